#include "syslog_tables.h"

#include <array>
#include <cstddef>
#include <utility>

namespace pelnet::syslog {

namespace {

constexpr std::array<const char *, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Codes 4 and 10 differ in one letter's case and 15 repeats 9: receivers
// written against the same table expect exactly these names.
constexpr std::array<const char *, 24> kFacilities = {
    "Kernel",
    "User-level",
    "Mail System",
    "System Daemons",
    "Security/authorization",
    "Internal",
    "Line Printer Subsystem",
    "Network News Subsystem",
    "UUCP Subsystem",
    "Clock Daemon",
    "Security/Authorization",
    "FTP",
    "NTP Subsystem",
    "Log Audit",
    "Log Alert",
    "Clock Daemon",
    "Local Use 0",
    "Local Use 1",
    "Local Use 2",
    "Local Use 3",
    "Local Use 4",
    "Local Use 5",
    "Local Use 6",
    "Local Use 7",
};
constexpr const char *kUnknownFacility = "<unknown facility>";

constexpr std::array<const char *, 8> kSeverities = {
    "Emergency: System Is Unusable",
    "Alert: Action Must Be Taken Immediately",
    "Critical Condition",
    "Error Condition",
    "Warning Condition",
    "Notice: Normal But Significant Condition",
    "Informational Message",
    "Debug-level Messages",
};

}  // namespace

const char *monthAbbreviation(int month) {
  if (month < 1 || month > 12) return nullptr;
  return kMonths[static_cast<size_t>(month - 1)];
}

int monthFromAbbreviation(const char *p) {
  // ASCII folding on purpose: the month names of the wire format do not follow the user's locale.
  const auto lower = [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  };
  for (size_t i = 0; i < kMonths.size(); ++i) {
    const char *m = kMonths[i];
    if (lower(p[0]) == lower(m[0]) && lower(p[1]) == lower(m[1]) && lower(p[2]) == lower(m[2]))
      return static_cast<int>(i) + 1;
  }
  return 0;
}

const char *facilityName(int code) {
  if (code < 0 || static_cast<size_t>(code) >= kFacilities.size()) return kUnknownFacility;
  return kFacilities[static_cast<size_t>(code)];
}

const char *severityName(int code) { return kSeverities[static_cast<size_t>(code & 7)]; }

}  // namespace pelnet::syslog
