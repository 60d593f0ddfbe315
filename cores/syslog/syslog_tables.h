// The fixed tables of the syslog core: month abbreviations, and facility and
// severity names of received packets.  (Error texts: syslog_errors.h.)
#pragma once

namespace pelnet::syslog {

// "Jan".."Dec" for 1..12, nullptr otherwise.
const char *monthAbbreviation(int month);
// The month 1..12 whose abbreviation equals the three bytes at `p`
// (compared without regard to case), or 0.
int monthFromAbbreviation(const char *p);

// Name of facility code 0..31 ("<unknown facility>" from 24 on and for anything else).
const char *facilityName(int code);
// Name of severity code 0..7 (taken modulo 8).
const char *severityName(int code);

}  // namespace pelnet::syslog
