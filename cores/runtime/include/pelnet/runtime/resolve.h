// Host texts to addresses and back: "" none, "255.255.255.255" broadcast for
// the two datagram ports, dotted text without a lookup, else the system resolver.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace pelnet {

class SocketObject;

struct HostAddress {
  uint32_t v4 = 0;    // network byte order; 0 = none, 0xFFFFFFFF = limited broadcast
  sockaddr_in6 v6{};  // family AF_INET6 and zero address = none
  HostAddress() { v6.sin6_family = AF_INET6; }
  bool noneV6() const;
  // No address in the family chosen by `ipv6`.
  bool none(bool ipv6) const { return ipv6 ? noneV6() : v4 == 0; }
};

// Resolve a remote host; `broadcastRule` is true for the ICMP and UDP ports.
// Returns 0 or a Winsock/resolver code; the address is none after a failure.
// A name is looked up in the wait steps of `waiter` when one is given (301
// when the wait ends first, see name_lookup.h), else blocking the thread.
int resolveRemote(const std::string &text, bool ipv6, bool broadcastRule, HostAddress &out,
                  SocketObject *waiter = nullptr);
// The same without the broadcast rule.
int resolveLocal(const std::string &text, bool ipv6, HostAddress &out,
                 SocketObject *waiter = nullptr);
// "name%scope" through getaddrinfo with AF_INET6; returns 0 or a code.
int resolveIPv6(const std::string &text, sockaddr_in6 &out, SocketObject *waiter = nullptr);

// The first IPv4 address of a name through the system resolver (no dotted
// text parsing, no broadcast rule), network byte order; 0 or a resolver code
// (11004 for a name without an IPv4 address), `out` unchanged then.
int lookupIPv4(const std::string &name, uint32_t &out, SocketObject *waiter = nullptr);

// "a.b.c.d" of a network-order address.
std::string dottedText(uint32_t addr);
// Numeric text of an IPv6 socket address ("" on failure).
std::string numericText(const sockaddr_in6 &addr);
// The machine's host name; on failure returns the Winsock code and leaves `out` empty.
int hostName(std::string &out);

}  // namespace pelnet
