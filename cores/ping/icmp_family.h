// Everything in which ICMP over IPv4 and ICMPv6 differ for the ICMP port,
// as data: the socket's family and protocol, the echo types, the control
// messages of a request and of the error queue, and what an address of the
// family allows.  The port picks one of the two entries from UseIPv6 in one
// place and reads the rest from it.  Private to the ping core.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "pelnet/runtime/resolve.h"
#include "pelnet/runtime/socket_helpers.h"

namespace pelping {

// One entry taken off a socket's error queue: the request the error quotes
// and the ICMP error the kernel attached to it.
struct QueuedError {
  // Room for the largest quote of either family; a family keeps at most its
  // quotedLimit of it.
  uint8_t quoted[1280];
  size_t length = 0;
  bool icmp = false;  // false for an entry that carries no ICMP error
  uint8_t type = 0;
  uint8_t code = 0;
  pelnet::SocketAddress source;  // the sender of the error
};

struct IcmpFamily {
  int domain;    // AF_INET / AF_INET6
  int protocol;  // IPPROTO_ICMP / IPPROTO_ICMPV6
  uint8_t echoRequest;
  uint8_t echoReply;
  // Control messages: the level of the family, and the types that carry a
  // request's time-to-live and type-of-service, and an error-queue entry's
  // ICMP error (with the origin the kernel gives such an error).
  int controlLevel;
  int timeToLiveControl;
  int typeOfServiceControl;
  int errorControl;
  uint8_t errorOrigin;
  socklen_t addressSize;  // sizeof sockaddr_in / sockaddr_in6
  size_t quotedLimit;     // bytes of a quoted request read off the error queue
  bool rawHasIpHeader;    // a raw socket delivers the IP header in front of the message
  bool kernelChecksum;    // the kernel computes and checks the checksum (pseudo-header)
  bool dotted;            // addresses have a dotted text, worth keeping between answers
  bool broadcast;         // a limited broadcast address exists and the socket must allow it
  bool typeOfService;     // QOSFlags and DontFragment apply to the socket
  bool helperPath;        // the helper path (ping socket with per-request options) exists
  bool pingSocketForRaw;  // an ICMP datagram socket stands in when raw sockets are refused
  bool ipv6;              // the runtime's address and option helpers take the family as this

  // Socket addresses and texts of a host in this family.
  pelnet::SocketAddress address(const pelnet::HostAddress &host) const {
    return pelnet::socketAddress(host, ipv6);
  }
  std::string text(const pelnet::HostAddress &host) const {
    return pelnet::addressText(host, ipv6);
  }
  bool none(const pelnet::HostAddress &host) const { return host.none(ipv6); }
  // Names are looked up in the wait steps of `waiter`.
  int resolveRemote(const std::string &text, pelnet::HostAddress &out,
                    pelnet::SocketObject *waiter) const {
    return pelnet::resolveRemote(text, ipv6, true, out, waiter);
  }
  int resolveLocal(const std::string &text, pelnet::HostAddress &out,
                   pelnet::SocketObject *waiter) const {
    return pelnet::resolveLocal(text, ipv6, out, waiter);
  }
  int setOption(int fd, pelnet::SocketOption option, int value) const {
    return pelnet::setSocketOption(fd, ipv6, option, value);
  }
  int getOption(int fd, pelnet::SocketOption option, int &value) const {
    return pelnet::getSocketOption(fd, ipv6, option, value);
  }

  // Takes one entry off fd's error queue; false when the queue is empty.
  bool readQueuedError(int fd, QueuedError &e) const;
};

extern const IcmpFamily kIcmpV4;
extern const IcmpFamily kIcmpV6;

inline const IcmpFamily &icmpFamily(bool ipv6) { return ipv6 ? kIcmpV6 : kIcmpV4; }

}  // namespace pelping
