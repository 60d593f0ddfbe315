// The fixed tables of the syslog core: month abbreviations, facility and
// severity names of received packets, and the texts of the core's own
// error codes.
#pragma once

namespace pelnet::syslog {

// Codes of the syslog core's own failures (Winsock and resolver codes pass through).
enum SysLogError : int {
  kAlreadyActive = 104,
  kLocalPortWhileActive = 106,
  kLocalHostWhileActive = 107,
  kNotActive = 109,
  kMaxPacketSizeWhileActive = 112,
  kRemoteHostWhileConnected = 114,
  kRemotePortWhileConnected = 115,
  kRemotePortZeroConnect = 116,  // activation with UseConnection
  kRemotePortZeroSend = 1116,    // table key only: SendPacket reports code 116 with its own text
  kUseConnectionWhileActive = 117,
  kNoSystemTime = 451,
};

// The code a failure reports (the send-time variant of 116 shares its code).
int errorCode(SysLogError e);
// The text of one of the codes above.
const char *errorText(SysLogError e);

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
