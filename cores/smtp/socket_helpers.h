// Small socket verbs of the mail connection that hide the address family.
// Kept in this one place so that they give way to the runtime's shared
// helpers once those exist.
#pragma once

#include <sys/socket.h>

#include "pelnet/runtime/resolve.h"

namespace pelnet::smtp {

// Winsock numbers the connection names beyond the runtime's shared ones.
inline constexpr int kWsaConnAborted = 10053;
inline constexpr int kWsaConnReset = 10054;
inline constexpr int kWsaNotConnected = 10057;
inline constexpr int kWsaConnRefused = 10061;

// The Winsock number of the errno left by the last failed call.
int lastSocketError();
// The socket address of `host` (IPv4 or IPv6 part) with `port`; returns its length.
socklen_t socketAddress(const HostAddress &host, bool ipv6, int port, sockaddr_storage &out);
// One integer option; 0 or the Winsock number of the failure.
int setIntOption(int fd, int level, int name, int value);
// The pending error of a socket (SO_ERROR) as a Winsock number, 0 when none.
int pendingSocketError(int fd);

}  // namespace pelnet::smtp
