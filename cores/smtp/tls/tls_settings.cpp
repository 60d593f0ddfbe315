#include "tls/tls_settings.h"

namespace pelnet::smtp {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Sha256> parseFingerprint(std::string_view text) {
  Sha256 out{};
  size_t digits = 0;
  bool colonAllowed = false;
  for (char c : text) {
    if (c == ':') {
      // Only between two whole bytes: "AB:CD", never ":AB" or "A:B" or "AB::CD".
      if (!colonAllowed || digits % 2 != 0) return std::nullopt;
      colonAllowed = false;
      continue;
    }
    const int v = hexValue(c);
    if (v < 0 || digits >= out.size() * 2) return std::nullopt;
    out[digits / 2] = static_cast<uint8_t>(out[digits / 2] << 4 | v);
    ++digits;
    colonAllowed = digits % 2 == 0;
  }
  if (digits != out.size() * 2 || (!text.empty() && text.back() == ':')) return std::nullopt;
  return out;
}

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
