#include "compose/message_date.h"

#include <cstdio>

namespace pelsmtp {

namespace {

constexpr const char *kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string formatMessageDate(const std::tm &utc) {
  // English names whatever the locale: the Date header is read by programs.
  const char *day = kDayNames[static_cast<unsigned>(utc.tm_wday) % 7];
  const char *month = kMonthNames[static_cast<unsigned>(utc.tm_mon) % 12];
  char text[64];
  const int n =
      std::snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d GMT", day, utc.tm_mday, month,
                    utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  if (n < 0) return {};
  return std::string(
      text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

std::string currentMessageDate() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  return formatMessageDate(utc);
}

}  // namespace pelsmtp
