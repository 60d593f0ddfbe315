// Socket helpers that hide the address family, shared by every port kind
// (ICMP, UDP, TCP client): the socket address of a resolved host, one option
// setter that picks the IPv4 or the IPv6 level, and the read-then-close
// discipline of a port whose event handlers may close it while a read runs.
// Nothing here assumes datagrams.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "pelnet/runtime/resolve.h"

namespace pelnet {

// ---------------------------------------------------------------- addresses

// A socket address of either family with its length, as bind, connect,
// sendto and recvfrom take it.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = sizeof(sockaddr_storage);

  sockaddr *get() { return reinterpret_cast<sockaddr *>(&storage); }
  const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&storage); }
  int family() const { return storage.ss_family; }
  // The IPv4 address in network byte order; 0 for another family.
  uint32_t ipv4() const;
  // The port in host byte order; 0 for a family without ports.
  uint16_t port() const;
  // Numeric text of the address: "a.b.c.d" or the IPv6 text with its scope; "" for another family.
  std::string text() const;
};

// A port number a socket can use, 0 to 65535.  A wider value would be cut to
// 16 bits on its way into an address and reach another port, so a port kind
// refuses it before using it.
constexpr bool isPortNumber(long long port) { return port >= 0 && port <= 65535; }

// `host` in the family chosen by `ipv6` (its v6 or its v4 part), with `port`
// in host byte order.  An IPv6 address keeps its scope id.
SocketAddress socketAddress(const HostAddress &host, bool ipv6, uint16_t port = 0);
// Numeric text of `host` in the family chosen by `ipv6`; "" when it holds no address there.
std::string addressText(const HostAddress &host, bool ipv6);
// The family number for `ipv6`.
inline int addressFamily(bool ipv6) { return ipv6 ? AF_INET6 : AF_INET; }
// The address a socket is bound to; 0 or a Winsock code.
int boundAddress(int fd, SocketAddress &out);

// ---------------------------------------------------------------- options

// Socket options by what they do.  The IP-level ones exist in both families
// under different levels and names; the setter picks them from the family.
enum class SocketOption {
  ReceiveBuffer,  // SO_RCVBUF
  SendBuffer,     // SO_SNDBUF
  Broadcast,      // SO_BROADCAST
  ReuseAddress,   // SO_REUSEADDR
  ReusePort,      // SO_REUSEPORT
  KeepAlive,      // SO_KEEPALIVE
  TimeToLive,     // IP_TTL / IPV6_UNICAST_HOPS
  MulticastTtl,   // IP_MULTICAST_TTL / IPV6_MULTICAST_HOPS
  TypeOfService,  // IP_TOS / IPV6_TCLASS
  DontFragment,   // IP_MTU_DISCOVER / IPV6_MTU_DISCOVER: non-zero "do", zero "want"
  PacketInfo,     // IP_PKTINFO / IPV6_RECVPKTINFO
  ReceiveErrors,  // IP_RECVERR / IPV6_RECVERR
};

// Sets `option` to `value` on `fd` at the level of the family chosen by `ipv6`.
// Returns 0 or the Winsock code of the failure.
int setSocketOption(int fd, bool ipv6, SocketOption option, int value);
// Reads `option` back into `value`; 0 or a Winsock code (`value` unchanged then).
int getSocketOption(int fd, bool ipv6, SocketOption option, int &value);

// ---------------------------------------------------------------- reading and closing

// Where a port's socket is in its life.  A port keeps one of these and
// changes it in one place, so every transition can be seen (and traced) there.
enum class PortState : uint8_t {
  Closed,        // no socket
  Opening,       // being created, bound and connected
  Open,          // open, nothing running
  Reading,       // a read hands received data to event handlers
  Draining,      // the close delivers what is still waiting before the socket goes
  ClosePending,  // a handler asked for the close during a read: made when the read returns
};

// The port's state with the two paths that must agree on it.  An event
// handler may pump the loop, send or close the port while a read is running;
// the socket and its buffer must not go away under that read, so a close
// asked for meanwhile is only remembered, and carried out (after draining)
// when the read returns.
class PortLife {
 public:
  PortState state() const { return state_; }
  // The one setter of the state.
  void set(PortState s) { state_ = s; }
  // A socket exists and is usable (also while a read runs or a close waits).
  bool open() const { return state_ != PortState::Closed && state_ != PortState::Opening; }
  // A read loop stops at this: a handler asked for the close.
  bool closeRequested() const { return state_ == PortState::ClosePending; }
  bool draining() const { return state_ == PortState::Draining; }

  // One read, as a notification or a pump starts it: nothing while another
  // read runs (a handler pumped the loop; the running read goes on).  Then a
  // close asked for during the read is made.
  template <class Read, class Shut>
  void read(Read &&readWaiting, Shut &&shut) {
    if (state_ != PortState::Open) return;
    set(PortState::Reading);
    readWaiting();
    if (state_ == PortState::ClosePending)
      drainThenClose(readWaiting, shut);
    else if (state_ == PortState::Reading)
      set(PortState::Open);
  }

  // The close: during a read only remembered (0); otherwise delivers what is
  // still waiting, then closes.  Returns what `shut` returns, or 0.
  template <class Read, class Shut>
  int close(Read &&readWaiting, Shut &&shut) {
    switch (state_) {
      case PortState::Closed:
      case PortState::Opening:
      case PortState::Draining:  // a handler of the drain: the running close finishes
        return 0;
      case PortState::Reading:
      case PortState::ClosePending:
        set(PortState::ClosePending);
        return 0;
      case PortState::Open:
        break;
    }
    return drainThenClose(readWaiting, shut);
  }

 private:
  template <class Read, class Shut>
  int drainThenClose(Read &readWaiting, Shut &shut) {
    set(PortState::Draining);
    readWaiting();
    const int rc = shut();
    set(PortState::Closed);
    return rc;
  }

  PortState state_ = PortState::Closed;
};

}  // namespace pelnet
