// The syslog core's own error codes and their texts (Winsock and resolver
// codes pass through from the runtime).  UDPPort raises them with the code
// alone; 116 has one text for activation and one for sending, and 118 one per
// port, given where they are raised.
#pragma once

#include "pelnet/runtime/errors.h"

#define PELNET_SYSLOG_ERRORS(X)                                                                 \
  X(kAlreadyActive, 104, "UDPPort is already Active.")                                          \
  X(kLocalPortWhileActive, 106, "You cannot change the LocalPort while the control is Active.") \
  X(kLocalHostWhileActive, 107, "Cannot change LocalHost while the control is Active.")         \
  X(kNotActive, 109, "The control must be Active for this operation.")                          \
  X(kMaxPacketSizeWhileActive, 112, "Cannot change the MaxPacketSize while control is Active.") \
  X(kRemoteHostWhileConnected, 114,                                                             \
    "Cannot change RemoteHost when UseConnection is set and the control is Active.")            \
  X(kRemotePortWhileConnected, 115,                                                             \
    "Cannot change RemotePort when UseConnection is set and the control is Active.")            \
  X(kRemotePortZero, 116, nullptr) /* kTextRemotePortZeroConnect or kTextRemotePortZeroSend */  \
  X(kUseConnectionWhileActive, 117,                                                             \
    "Cannot change UseConnection option while the control is Active.")                          \
  X(kPortOutOfRange, 118, nullptr) /* kTextLocalPortOutOfRange or kTextRemotePortOutOfRange */  \
  X(kNoSystemTime, 451, "Unable to acquire valid system time.")

namespace pelnet::syslog {

enum SysLogError : int { PELNET_SYSLOG_ERRORS(PELNET_ERROR_ENUM) };
inline constexpr ErrorEntry kSysLogErrors[] = {PELNET_SYSLOG_ERRORS(PELNET_ERROR_ENTRY)};

// The two texts of kRemotePortZero: activation with UseConnection, and sending.
inline constexpr const char *kTextRemotePortZeroConnect =
    "RemotePort can't be zero when UseConnection is set. Please specify a valid service port "
    "number.";
inline constexpr const char *kTextRemotePortZeroSend =
    "RemotePort can't be zero. Please specify a valid service port number.";

// The two texts of kPortOutOfRange: a port that would wrap into another one
// is refused where it is used (activation binds LocalPort; sending, and
// activation with UseConnection, use RemotePort).
inline constexpr const char *kTextLocalPortOutOfRange =
    "LocalPort is out of range. Please specify a port number from 0 to 65535.";
inline constexpr const char *kTextRemotePortOutOfRange =
    "RemotePort is out of range. Please specify a port number from 1 to 65535.";

}  // namespace pelnet::syslog
