// The ping core's own error codes and their texts (Winsock and resolver codes
// pass through from the runtime).  ICMPPort raises them with the code alone.
#pragma once

#include "pelnet/ping_ids.h"
#include "pelnet/runtime/errors.h"

#define PELNET_PING_ERRORS(X)                                                          \
  X(kNoRemoteAddress, 102, "The RemoteHost address is invalid.")                       \
  X(kAlreadyActive, 104, "ICMPPort is already Active.")                                \
  X(kLocalHostWhileActive, 107, "Cannot change LocalHost when ICMPPort is Active.")    \
  X(kMustBeActive, 109, "ICMPPort must be Active for this operation.")                 \
  X(kMaxSizeWhileActive, 112, "Cannot change MaxPacketSize while ICMPPort is Active.") \
  X(kRemoteHostWhileConnected, 114,                                                    \
    "Cannot change RemoteHost when UseConnection is set and ICMPPort is Active.")      \
  X(kUseConnectionWhileActive, 117,                                                    \
    "Cannot change UseConnection option while ICMPPort is Active.")                    \
  X(kMessageTooLong, 118, "Message can't be longer than MaxMessageSize.")              \
  X(kMessageTooShort, 119, "Message too short.")                                       \
  X(kNoIcmpHandle, PELNET_PING_ERROR_NoIcmpHandle, "Can't create ICMP handle.")        \
  X(kUnreachable, 127, nullptr) /* the status text of the unreachable answer */        \
  X(kBadMac, 128, "Bad MAC address.")                                                  \
  X(kIPv6WithHelper, 306, "IPv6 is not supported when the UseICMPDLL configuration is set to true.")

namespace pelping {

enum PingError : int { PELNET_PING_ERRORS(PELNET_ERROR_ENUM) };
inline constexpr pelnet::ErrorEntry kPingErrors[] = {PELNET_PING_ERRORS(PELNET_ERROR_ENTRY)};

}  // namespace pelping
