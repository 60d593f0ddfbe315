// Socket addresses and options without the family spelled out at every call.
#include "pelnet/runtime/socket_helpers.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "pelnet/runtime/errors.h"

namespace pelnet {

// ---------------------------------------------------------------- addresses

uint32_t SocketAddress::ipv4() const {
  if (family() != AF_INET) return 0;
  sockaddr_in a;
  std::memcpy(&a, &storage, sizeof a);
  return a.sin_addr.s_addr;
}

uint16_t SocketAddress::port() const {
  if (family() == AF_INET) {
    sockaddr_in a;
    std::memcpy(&a, &storage, sizeof a);
    return ntohs(a.sin_port);
  }
  if (family() == AF_INET6) {
    sockaddr_in6 a;
    std::memcpy(&a, &storage, sizeof a);
    return ntohs(a.sin6_port);
  }
  return 0;
}

std::string SocketAddress::text() const {
  if (family() == AF_INET) return dottedText(ipv4());
  if (family() == AF_INET6) {
    sockaddr_in6 a;
    std::memcpy(&a, &storage, sizeof a);
    return numericText(a);
  }
  return std::string();
}

SocketAddress socketAddress(const HostAddress &host, bool ipv6, uint16_t port) {
  SocketAddress out;
  if (ipv6) {
    sockaddr_in6 a = host.v6;
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    std::memcpy(&out.storage, &a, sizeof a);
    out.length = sizeof a;
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = host.v4;
    a.sin_port = htons(port);
    std::memcpy(&out.storage, &a, sizeof a);
    out.length = sizeof a;
  }
  return out;
}

std::string addressText(const HostAddress &host, bool ipv6) {
  if (host.none(ipv6)) return std::string();
  return ipv6 ? numericText(host.v6) : dottedText(host.v4);
}

int boundAddress(int fd, SocketAddress &out) {
  out = SocketAddress();
  if (::getsockname(fd, out.get(), &out.length) != 0) return winsockFromErrno(errno);
  return 0;
}

// ---------------------------------------------------------------- options

namespace {

struct OptionPlace {
  int level;
  int name;
};

struct OptionEntry {
  SocketOption option;
  OptionPlace v4;
  OptionPlace v6;
};

// Indexed by SocketOption; the socket-level ones are the same in both families.
constexpr OptionEntry kOptions[] = {
    {SocketOption::ReceiveBuffer, {SOL_SOCKET, SO_RCVBUF}, {SOL_SOCKET, SO_RCVBUF}},
    {SocketOption::SendBuffer, {SOL_SOCKET, SO_SNDBUF}, {SOL_SOCKET, SO_SNDBUF}},
    {SocketOption::Broadcast, {SOL_SOCKET, SO_BROADCAST}, {SOL_SOCKET, SO_BROADCAST}},
    {SocketOption::ReuseAddress, {SOL_SOCKET, SO_REUSEADDR}, {SOL_SOCKET, SO_REUSEADDR}},
    {SocketOption::ReusePort, {SOL_SOCKET, SO_REUSEPORT}, {SOL_SOCKET, SO_REUSEPORT}},
    {SocketOption::KeepAlive, {SOL_SOCKET, SO_KEEPALIVE}, {SOL_SOCKET, SO_KEEPALIVE}},
    {SocketOption::TimeToLive, {IPPROTO_IP, IP_TTL}, {IPPROTO_IPV6, IPV6_UNICAST_HOPS}},
    {SocketOption::MulticastTtl,
     {IPPROTO_IP, IP_MULTICAST_TTL},
     {IPPROTO_IPV6, IPV6_MULTICAST_HOPS}},
    {SocketOption::TypeOfService, {IPPROTO_IP, IP_TOS}, {IPPROTO_IPV6, IPV6_TCLASS}},
    {SocketOption::DontFragment, {IPPROTO_IP, IP_MTU_DISCOVER}, {IPPROTO_IPV6, IPV6_MTU_DISCOVER}},
    {SocketOption::PacketInfo, {IPPROTO_IP, IP_PKTINFO}, {IPPROTO_IPV6, IPV6_RECVPKTINFO}},
    {SocketOption::ReceiveErrors, {IPPROTO_IP, IP_RECVERR}, {IPPROTO_IPV6, IPV6_RECVERR}},
};

const OptionPlace &place(bool ipv6, SocketOption option) {
  const OptionEntry &e = kOptions[static_cast<size_t>(option)];
  return ipv6 ? e.v6 : e.v4;
}

constexpr bool optionsInOrder() {
  size_t i = 0;
  for (const OptionEntry &e : kOptions)
    if (static_cast<size_t>(e.option) != i++) return false;
  return i == static_cast<size_t>(SocketOption::ReceiveErrors) + 1;
}
static_assert(optionsInOrder(), "one entry per socket option, in the order of the enum");

}  // namespace

int setSocketOption(int fd, bool ipv6, SocketOption option, int value) {
  if (option == SocketOption::DontFragment) {
    // The two families share these numbers.
    static_assert(IP_PMTUDISC_DO == IPV6_PMTUDISC_DO && IP_PMTUDISC_WANT == IPV6_PMTUDISC_WANT);
    value = value != 0 ? IP_PMTUDISC_DO : IP_PMTUDISC_WANT;
  }
  const OptionPlace &p = place(ipv6, option);
  if (::setsockopt(fd, p.level, p.name, &value, sizeof value) != 0) return winsockFromErrno(errno);
  return 0;
}

int getSocketOption(int fd, bool ipv6, SocketOption option, int &value) {
  const OptionPlace &p = place(ipv6, option);
  int v = 0;
  socklen_t len = sizeof v;
  if (::getsockopt(fd, p.level, p.name, &v, &len) != 0) return winsockFromErrno(errno);
  // Some byte-sized IPv4 options (IP_MULTICAST_TTL) may be read back as a single byte.
  if (len == 1) v = static_cast<uint8_t>(v);
  if (option == SocketOption::DontFragment) v = v == IP_PMTUDISC_DO ? 1 : 0;
  value = v;
  return 0;
}

}  // namespace pelnet
