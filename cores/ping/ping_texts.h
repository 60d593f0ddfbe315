// The texts of the ping core: its own error conditions and the status texts
// of destination-unreachable answers, kept as tables.
#pragma once

#include <string>

namespace pelping {

enum PingError : int {
  kNoRemoteAddress = 102,
  kAlreadyActive = 104,
  kLocalHostWhileActive = 107,
  kMustBeActive = 109,
  kMaxSizeWhileActive = 112,
  kRemoteHostWhileConnected = 114,
  kUseConnectionWhileActive = 117,
  kMessageTooLong = 118,
  kMessageTooShort = 119,
  kNoIcmpHandle = 120,
  kUnreachable = 127,
  kBadMac = 128,
  kIPv6WithHelper = 306,
};

// The fixed text of one of the codes above; "" for 127, whose text is the answer's status.
const char *pingErrorText(int code);

// Status text of a destination-unreachable answer with ICMP code `code`.
std::string unreachableText(int code);

inline constexpr const char *kTextRecvFailed = "Winsock error in recv()";
inline constexpr const char *kStatusOk = "OK";

}  // namespace pelping
