#include "tls/tls_settings.h"

namespace pelnet::smtp {

std::string fingerprintText(const Sha256 &digest) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(digest.size() * 3);
  for (uint8_t b : digest) {
    if (!out.empty()) out += ':';
    out += kHex[b >> 4];
    out += kHex[b & 0xf];
  }
  return out;
}

}  // namespace pelnet::smtp
