// A number put into one of the firewall texts ("unknown firewall error: %d").
#pragma once

#include <cstdio>
#include <string>

namespace pelnet::smtp {

inline std::string withNumber(const char *format, int n) {
  char text[128];
  std::snprintf(text, sizeof text, format, n);
  return text;
}

}  // namespace pelnet::smtp
