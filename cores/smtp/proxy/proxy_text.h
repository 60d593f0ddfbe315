// The texts of the firewall replies that callers and tests share, and a
// number put into one of them ("unknown firewall error: %d").
#pragma once

#include <cstdio>
#include <string>

namespace pelnet::smtp {

// The SOCKS5 reply codes 1 to 8 (RFC 1928), by code; 0 is success.
inline constexpr const char *kTextSocks5Replies[] = {
    nullptr,
    "general SOCKS server failure",
    "connection not allowed by ruleset",
    "network unreachable",
    "host unreachable",
    "connection refused",
    "TTL expired",
    "command not supported",
    "address type not supported",
};

inline std::string withNumber(const char *format, int n) {
  char text[128];
  std::snprintf(text, sizeof text, format, n);
  return text;
}

}  // namespace pelnet::smtp
