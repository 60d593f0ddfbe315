// The text of an outgoing BSD syslog packet: "<PRI>TIMESTAMP HOSTNAME MSG",
// with no line end and no terminating zero byte.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace pelnet::syslog {

// (Facility * 8 + (Severity AND 7)) reduced to its low 8 bits: facility 32
// wraps to 0 rather than being clamped, and any int is accepted.
unsigned priority(int facility, int severity);

// "Mmm dd hh:mm:ss" with a blank instead of a leading zero in the day; always
// 15 characters.  nullopt when the broken-down time is not a valid clock
// reading (month outside 1..12 or a field out of its range).
std::optional<std::string> timestamp(const std::tm &t);

// The whole datagram.  The message ends at its first zero byte.
std::string buildPacket(unsigned pri, const std::string &timestampText, const std::string &hostname,
                        std::string_view message);

}  // namespace pelnet::syslog
