// An IPv6 network inside the test's namespace: a veth pair whose far end
// lives in a network namespace of its own, where the kernel answers pings.
//   2001:db8:1::1/64 and fe80::1  this side (kIPv6Link)
//   2001:db8:1::2     and fe80::2  the peer: answers echo requests
//   2001:db8:1::99                 on the link, but nobody has it: silent
//   2001:db8:3::/64                routed to the peer, which answers
//                                  "no route" (ICMPv6 unreachable, code 0)
//   2001:db8:2::/64                no route at all: refused at once
// Only after isolate(); the peer's namespace ends with the object.
#pragma once

#include <sys/types.h>

#include <string>

namespace pingtest {

inline constexpr const char *kIPv6Link = "pv6a";
inline constexpr const char *kIPv6Peer = "2001:db8:1::2";
inline constexpr const char *kIPv6LinkLocalPeer = "fe80::2%pv6a";
inline constexpr const char *kIPv6Silent = "2001:db8:1::99";
inline constexpr const char *kIPv6NoRouteAtPeer = "2001:db8:3::1";
inline constexpr const char *kIPv6NoRoute = "2001:db8:2::1";

class IPv6Peer {
 public:
  IPv6Peer();
  ~IPv6Peer();
  IPv6Peer(const IPv6Peer &) = delete;
  IPv6Peer &operator=(const IPv6Peer &) = delete;
  bool ok() const { return why_.empty(); }
  const std::string &why() const { return why_; }

 private:
  pid_t child_ = -1;
  int toChild_ = -1;
  std::string why_;
};

// One peer for the whole test program, made on first use (after isolation).
IPv6Peer &sharedIPv6Peer();

}  // namespace pingtest
