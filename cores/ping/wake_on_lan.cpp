#include "wake_on_lan.h"

#include <glib.h>

namespace pelping {

std::optional<std::string> macBytes(const std::string &text) {
  std::string digits;
  for (char c : text) {
    if (!g_ascii_isxdigit(c)) continue;
    if (digits.size() == 12) return std::nullopt;  // a 13th digit: not a MAC address
    digits.push_back(c);
  }
  if (digits.size() != 12) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < 12; i += 2)
    bytes.push_back(static_cast<char>(g_ascii_xdigit_value(digits[i]) << 4 |
                                      g_ascii_xdigit_value(digits[i + 1])));
  return bytes;
}

std::optional<std::string> wakeBody(const std::string &macText) {
  auto mac = macBytes(macText);
  if (!mac) return std::nullopt;
  std::string body(6, '\xFF');
  for (int i = 0; i < 16; ++i) body += *mac;
  return body;
}

}  // namespace pelping
