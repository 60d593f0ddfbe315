// The text of a generated Date header.
#pragma once

#include <ctime>
#include <string>

namespace pelsmtp {

// "%s, %d %s %d %02d:%02d:%02d GMT" from English day and month names; `utc`
// is a broken-down UTC time (tm_wday, tm_mday, tm_mon, tm_year, ...).
std::string formatMessageDate(const std::tm &utc);

// The current system time in that form.
std::string currentMessageDate();

}  // namespace pelsmtp
