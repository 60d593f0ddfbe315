// The rules by which the mail core takes its TLS settings, in one header that
// the core's setters and the program's settings check both include: a value
// the check passes is one the component accepts, and a value it refuses the
// check names before any report is tried.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pelnet::smtp::rules {

using Sha256 = std::array<std::uint8_t, 32>;

namespace detail {

constexpr int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace detail

// A SHA-256 fingerprint: 64 ASCII hexadecimal digits in any case, a colon
// allowed only between two whole bytes ("AB:CD", never ":AB", "A:B",
// "AB::CD" or a colon at the end); nullopt for anything else.
inline std::optional<Sha256> parseFingerprint(std::string_view text) {
  Sha256 out{};
  std::size_t digits = 0;
  bool colonAllowed = false;
  for (char c : text) {
    if (c == ':') {
      if (!colonAllowed) return std::nullopt;
      colonAllowed = false;
      continue;
    }
    const int v = detail::hexValue(c);
    if (v < 0 || digits >= out.size() * 2) return std::nullopt;
    out[digits / 2] = static_cast<std::uint8_t>(out[digits / 2] << 4 | v);
    ++digits;
    colonAllowed = digits % 2 == 0;
  }
  if (digits != out.size() * 2 || (!text.empty() && text.back() == ':')) return std::nullopt;
  return out;
}

// A CA file holds a few hundred certificates at most (the system's whole
// store is well under 1 MiB); a larger file is refused unread, so that a
// CAFile naming a device such as /dev/zero cannot fill memory.
constexpr std::size_t kMaxCaFileBytes = 8u << 20;

// A proxy's user name and password each fit one length byte of the SOCKS5
// login request; the core keeps no more of either, so a longer one could
// only ever log in as somebody else.
constexpr std::size_t kProxyFieldMax = 255;

// A name for the certificate check and the TLS server name indication: a
// control byte would end up inside the handshake's name field, so none is
// taken.
constexpr bool serverNameAcceptable(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

}  // namespace pelnet::smtp::rules
