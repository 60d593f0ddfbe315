#include "syslog_packet.h"

#include <cstdio>

#include "syslog_tables.h"

namespace pelnet::syslog {

unsigned priority(int facility, int severity) {
  // Unsigned arithmetic: the low 8 bits are wanted and a huge facility must not overflow.
  const unsigned sev = static_cast<unsigned>(severity) & 7u;
  return (static_cast<unsigned>(facility) * 8u + sev) & 0xFFu;
}

std::optional<std::string> timestamp(const std::tm &t) {
  const char *month = monthAbbreviation(t.tm_mon + 1);
  if (!month) return std::nullopt;
  // A leap second reads 60; anything beyond the two-digit fields would break the fixed width.
  if (t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour < 0 || t.tm_hour > 23 || t.tm_min < 0 ||
      t.tm_min > 59 || t.tm_sec < 0 || t.tm_sec > 60)
    return std::nullopt;
  char out[16];
  std::snprintf(out, sizeof out, "%s %2d %02d:%02d:%02d", month, t.tm_mday, t.tm_hour, t.tm_min,
                t.tm_sec);
  return std::string(out, 15);
}

std::string buildPacket(unsigned pri, const std::string &timestampText, const std::string &hostname,
                        std::string_view message) {
  const size_t zero = message.find('\0');
  if (zero != std::string_view::npos) message = message.substr(0, zero);
  std::string packet;
  packet.reserve(8 + timestampText.size() + hostname.size() + message.size());
  packet += '<';
  packet += std::to_string(pri & 0xFFu);
  packet += '>';
  packet += timestampText;
  packet += ' ';
  packet += hostname;
  packet += ' ';
  packet.append(message.data(), message.size());
  return packet;
}

}  // namespace pelnet::syslog
