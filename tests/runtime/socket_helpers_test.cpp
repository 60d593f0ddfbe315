// The family-neutral socket helpers: addresses built from resolved hosts,
// the option setter's choice of level, and the read-then-close discipline of
// a port.  Sockets are bound to loopback only.
#include "pelnet/runtime/socket_helpers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {
using namespace pelnet;

HostAddress hostV4(const char *dotted) {
  HostAddress h;
  h.v4 = inet_addr(dotted);
  return h;
}

HostAddress hostV6(const char *text, uint32_t scope = 0) {
  HostAddress h;
  EXPECT_EQ(inet_pton(AF_INET6, text, &h.v6.sin6_addr), 1) << text;
  h.v6.sin6_scope_id = scope;
  return h;
}

// A socket closed at the end of the scope; -1 when the family is missing here.
struct Fd {
  int fd = -1;
  Fd(int family, int type) : fd(::socket(family, type | SOCK_CLOEXEC, 0)) {}
  explicit Fd(int raw) : fd(raw) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
};

bool ipv6Loopback() {
  Fd s(AF_INET6, SOCK_DGRAM);
  if (s.fd < 0) return false;
  SocketAddress a = socketAddress(hostV6("::1"), true);
  return ::bind(s.fd, a.get(), a.length) == 0;
}

// ---------------------------------------------------------------- addresses

TEST(SocketAddress, BuiltFromTheFamilyTheCallerChooses) {
  struct Case {
    HostAddress host;
    bool ipv6;
    uint16_t port;
    int family;
    socklen_t length;
    const char *text;
  };
  HostAddress both = hostV6("fd00::7");
  both.v4 = inet_addr("127.0.0.7");
  const Case cases[] = {
      {hostV4("127.0.0.1"), false, 514, AF_INET, sizeof(sockaddr_in), "127.0.0.1"},
      {hostV4("255.255.255.255"), false, 9, AF_INET, sizeof(sockaddr_in), "255.255.255.255"},
      {HostAddress(), false, 0, AF_INET, sizeof(sockaddr_in), "0.0.0.0"},
      {hostV6("::1"), true, 25, AF_INET6, sizeof(sockaddr_in6), "::1"},
      {HostAddress(), true, 65535, AF_INET6, sizeof(sockaddr_in6), "::"},
      // A host resolved in both families gives the part the socket's family asks for.
      {both, false, 7, AF_INET, sizeof(sockaddr_in), "127.0.0.7"},
      {both, true, 7, AF_INET6, sizeof(sockaddr_in6), "fd00::7"},
  };
  for (const Case &c : cases) {
    SocketAddress a = socketAddress(c.host, c.ipv6, c.port);
    EXPECT_EQ(a.family(), c.family) << c.text;
    EXPECT_EQ(a.length, c.length) << c.text;
    EXPECT_EQ(a.port(), c.port) << c.text;
    EXPECT_EQ(a.text(), c.text) << c.text;
    EXPECT_EQ(a.ipv4(), c.ipv6 ? 0u : c.host.v4) << c.text;
  }
}

TEST(SocketAddress, TextOfAResolvedHostIsEmptyWithoutAnAddress) {
  struct Case {
    HostAddress host;
    bool ipv6;
    bool none;
    const char *text;
  };
  HostAddress both = hostV6("fd00::7");
  both.v4 = inet_addr("127.0.0.7");
  const Case cases[] = {
      {HostAddress(), false, true, ""},
      {HostAddress(), true, true, ""},
      {hostV4("255.255.255.255"), false, false, "255.255.255.255"},
      {hostV4("127.0.0.1"), true, true, ""},  // only the other family's part is set
      {hostV6("::1"), false, true, ""},
      {both, false, false, "127.0.0.7"},
      {both, true, false, "fd00::7"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.host.none(c.ipv6), c.none) << c.text;
    EXPECT_EQ(addressText(c.host, c.ipv6), c.text) << c.text;
  }
}

TEST(SocketAddress, PortIsInNetworkOrderOnTheWire) {
  SocketAddress a = socketAddress(hostV4("127.0.0.1"), false, 0x1234);
  sockaddr_in in;
  std::memcpy(&in, &a.storage, sizeof in);
  EXPECT_EQ(in.sin_port, htons(0x1234));
  SocketAddress b = socketAddress(hostV6("::1"), true, 0x1234);
  sockaddr_in6 in6;
  std::memcpy(&in6, &b.storage, sizeof in6);
  EXPECT_EQ(in6.sin6_port, htons(0x1234));
}

TEST(SocketAddress, IPv6KeepsItsScope) {
  SocketAddress a = socketAddress(hostV6("fe80::1", 3), true, 80);
  sockaddr_in6 in6;
  std::memcpy(&in6, &a.storage, sizeof in6);
  EXPECT_EQ(in6.sin6_scope_id, 3u);
  EXPECT_EQ(in6.sin6_family, AF_INET6);
}

TEST(SocketAddress, UnknownFamilyHasNoTextNorPort) {
  SocketAddress a;
  EXPECT_EQ(a.text(), "");
  EXPECT_EQ(a.port(), 0);
  EXPECT_EQ(a.ipv4(), 0u);
}

// Datagram and stream sockets of both families bind, connect and talk through
// the built addresses, and boundAddress reads back what they were given.
TEST(SocketAddress, BindsConnectsAndReadsBackInBothFamiliesAndKinds) {
  struct Family {
    bool ipv6;
    const char *loopback;
  };
  const bool haveV6 = ipv6Loopback();
  for (const Family f : {Family{false, "127.0.0.1"}, Family{true, "::1"}}) {
    if (f.ipv6 && !haveV6) continue;
    const HostAddress host = f.ipv6 ? hostV6(f.loopback) : hostV4(f.loopback);
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
      SCOPED_TRACE(std::string(f.loopback) + (type == SOCK_DGRAM ? " datagram" : " stream"));
      Fd server(addressFamily(f.ipv6), type);
      ASSERT_GE(server.fd, 0);
      SocketAddress local = socketAddress(host, f.ipv6, 0);
      ASSERT_EQ(::bind(server.fd, local.get(), local.length), 0);
      if (type == SOCK_STREAM) {
        ASSERT_EQ(::listen(server.fd, 1), 0);
      }
      SocketAddress bound;
      ASSERT_EQ(boundAddress(server.fd, bound), 0);
      EXPECT_EQ(bound.text(), f.loopback);
      ASSERT_NE(bound.port(), 0);

      Fd client(addressFamily(f.ipv6), type);
      ASSERT_GE(client.fd, 0);
      SocketAddress peer = socketAddress(host, f.ipv6, bound.port());
      ASSERT_EQ(::connect(client.fd, peer.get(), peer.length), 0);
      int from = server.fd;
      Fd accepted(type == SOCK_STREAM ? ::accept(server.fd, nullptr, nullptr) : -1);
      if (type == SOCK_STREAM) from = accepted.fd;
      ASSERT_GE(from, 0);
      ASSERT_EQ(::send(client.fd, "hi", 2, 0), 2);
      char buf[4] = {};
      SocketAddress sender;
      ASSERT_EQ(::recvfrom(from, buf, sizeof buf, 0, sender.get(), &sender.length), 2);
      EXPECT_EQ(std::string(buf, 2), "hi");
      if (type == SOCK_DGRAM) {
        SocketAddress clientBound;
        ASSERT_EQ(boundAddress(client.fd, clientBound), 0);
        EXPECT_EQ(sender.text(), f.loopback);
        EXPECT_EQ(sender.port(), clientBound.port());
      }
    }
  }
}

TEST(SocketAddress, BoundAddressOfNoSocketIsBadFile) {
  SocketAddress a;
  EXPECT_EQ(boundAddress(-1, a), 10009);
}

// ---------------------------------------------------------------- options

struct OptionCase {
  SocketOption option;
  bool ipv6;
  int value;
  int level, name;  // where the kernel keeps it for this family
  int stored;       // what that place reads back
};

TEST(SocketOptions, SetterPicksTheLevelOfTheFamily) {
  const OptionCase cases[] = {
      {SocketOption::TimeToLive, false, 77, IPPROTO_IP, IP_TTL, 77},
      {SocketOption::TimeToLive, true, 77, IPPROTO_IPV6, IPV6_UNICAST_HOPS, 77},
      {SocketOption::MulticastTtl, false, 5, IPPROTO_IP, IP_MULTICAST_TTL, 5},
      {SocketOption::MulticastTtl, true, 5, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 5},
      {SocketOption::TypeOfService, false, 0x28, IPPROTO_IP, IP_TOS, 0x28},
      {SocketOption::TypeOfService, true, 0x28, IPPROTO_IPV6, IPV6_TCLASS, 0x28},
      {SocketOption::DontFragment, false, 1, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DO},
      {SocketOption::DontFragment, true, 1, IPPROTO_IPV6, IPV6_MTU_DISCOVER, IPV6_PMTUDISC_DO},
      {SocketOption::DontFragment, false, 0, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_WANT},
      {SocketOption::PacketInfo, false, 1, IPPROTO_IP, IP_PKTINFO, 1},
      {SocketOption::PacketInfo, true, 1, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1},
      {SocketOption::ReceiveErrors, false, 1, IPPROTO_IP, IP_RECVERR, 1},
      {SocketOption::ReceiveErrors, true, 1, IPPROTO_IPV6, IPV6_RECVERR, 1},
      {SocketOption::Broadcast, false, 1, SOL_SOCKET, SO_BROADCAST, 1},
      {SocketOption::ReuseAddress, true, 1, SOL_SOCKET, SO_REUSEADDR, 1},
      {SocketOption::ReusePort, false, 1, SOL_SOCKET, SO_REUSEPORT, 1},
      {SocketOption::KeepAlive, false, 1, SOL_SOCKET, SO_KEEPALIVE, 1},
      // Linux keeps twice the asked buffer size for its own bookkeeping.
      {SocketOption::ReceiveBuffer, false, 8192, SOL_SOCKET, SO_RCVBUF, 16384},
      {SocketOption::SendBuffer, true, 8192, SOL_SOCKET, SO_SNDBUF, 16384},
  };
  for (const OptionCase &c : cases) {
    SCOPED_TRACE("option " + std::to_string(static_cast<int>(c.option)) +
                 (c.ipv6 ? " IPv6" : " IPv4"));
    Fd s(addressFamily(c.ipv6), SOCK_DGRAM);
    if (c.ipv6 && s.fd < 0) continue;  // no IPv6 on this machine
    ASSERT_GE(s.fd, 0);
    ASSERT_EQ(setSocketOption(s.fd, c.ipv6, c.option, c.value), 0);
    int stored = -1;
    socklen_t len = sizeof stored;
    ASSERT_EQ(::getsockopt(s.fd, c.level, c.name, &stored, &len), 0);
    if (len == 1) stored &= 0xFF;
    EXPECT_EQ(stored, c.stored);
    int back = -1;
    ASSERT_EQ(getSocketOption(s.fd, c.ipv6, c.option, back), 0);
    EXPECT_EQ(back, c.option == SocketOption::ReceiveBuffer || c.option == SocketOption::SendBuffer
                        ? c.stored
                        : c.value);
  }
}

TEST(SocketOptions, FailuresComeBackAsWinsockCodes) {
  // The IPv6 level does not exist on an IPv4 socket: the family decides.
  // (Linux refuses the write as "no such option", the read as "not supported".)
  Fd v4(AF_INET, SOCK_DGRAM);
  ASSERT_GE(v4.fd, 0);
  EXPECT_EQ(setSocketOption(v4.fd, true, SocketOption::TimeToLive, 9), 10042);
  int v = 123;
  EXPECT_NE(getSocketOption(v4.fd, true, SocketOption::TimeToLive, v), 0);
  EXPECT_EQ(v, 123);
  // A value the kernel refuses, and no socket at all.
  EXPECT_EQ(setSocketOption(v4.fd, false, SocketOption::TimeToLive, 256), 10022);
  EXPECT_EQ(setSocketOption(-1, false, SocketOption::TimeToLive, 9), 10009);
  EXPECT_EQ(getSocketOption(-1, false, SocketOption::TimeToLive, v), 10009);
  // On a stream socket too: the helpers do not assume datagrams.
  Fd tcp(AF_INET, SOCK_STREAM);
  ASSERT_GE(tcp.fd, 0);
  EXPECT_EQ(setSocketOption(tcp.fd, false, SocketOption::TimeToLive, 33), 0);
  ASSERT_EQ(getSocketOption(tcp.fd, false, SocketOption::TimeToLive, v), 0);
  EXPECT_EQ(v, 33);
}

// ---------------------------------------------------------------- read then close

// Records the order of reads and the close, with the state each saw.
struct Recorder {
  PortLife life;
  std::vector<std::string> steps;
  int shutResult = 0;
  std::function<void()> duringRead;  // what a handler does inside the (first) read

  void readWaiting() {
    steps.push_back(life.draining() ? "drain" : "read");
    if (duringRead) {
      auto handler = std::move(duringRead);
      duringRead = nullptr;
      handler();
    }
  }
  int closePort() {
    return life.close([this] { readWaiting(); }, [this] { return shut(); });
  }
  void notify() {
    life.read([this] { readWaiting(); }, [this] { return shut(); });
  }
  int shut() {
    steps.push_back("shut");
    return shutResult;
  }
};

TEST(PortLife, CloseOfAnIdlePortDrainsThenShuts) {
  Recorder r;
  r.life.set(PortState::Open);
  r.shutResult = 10009;
  EXPECT_EQ(r.closePort(), 10009);  // the shut's result is the close's
  EXPECT_EQ(r.steps, (std::vector<std::string>{"drain", "shut"}));
  EXPECT_EQ(r.life.state(), PortState::Closed);
  EXPECT_FALSE(r.life.open());
}

TEST(PortLife, NothingHappensOnAClosedPort) {
  Recorder r;
  EXPECT_EQ(r.closePort(), 0);
  r.notify();
  r.life.set(PortState::Opening);
  EXPECT_EQ(r.closePort(), 0);
  r.notify();
  EXPECT_TRUE(r.steps.empty());
  EXPECT_FALSE(r.life.open());
}

TEST(PortLife, ReadReturnsToOpen) {
  Recorder r;
  r.life.set(PortState::Open);
  r.duringRead = [&r] { EXPECT_EQ(r.life.state(), PortState::Reading); };
  r.notify();
  EXPECT_EQ(r.steps, (std::vector<std::string>{"read"}));
  EXPECT_EQ(r.life.state(), PortState::Open);
  EXPECT_TRUE(r.life.open());
}

TEST(PortLife, CloseFromAHandlerWaitsForTheReadToReturn) {
  Recorder r;
  r.life.set(PortState::Open);
  int rc = -1;
  r.duringRead = [&] {
    rc = r.closePort();
    // Still there for the running read, which is told to stop.
    EXPECT_TRUE(r.life.open());
    EXPECT_TRUE(r.life.closeRequested());
    r.steps.push_back("handler closed");
  };
  r.notify();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.steps, (std::vector<std::string>{"read", "handler closed", "drain", "shut"}));
  EXPECT_EQ(r.life.state(), PortState::Closed);
}

TEST(PortLife, AReadStartedInsideAReadIsSkipped) {
  Recorder r;
  r.life.set(PortState::Open);
  r.duringRead = [&r] { r.notify(); };  // a handler pumps the loop
  r.notify();
  EXPECT_EQ(r.steps, (std::vector<std::string>{"read"}));
  EXPECT_EQ(r.life.state(), PortState::Open);
}

TEST(PortLife, ACloseInsideTheDrainIsThePendingOne) {
  Recorder r;
  r.life.set(PortState::Open);
  r.duringRead = [&r] {
    EXPECT_EQ(r.closePort(), 0);
    r.notify();
  };
  EXPECT_EQ(r.closePort(), 0);
  EXPECT_EQ(r.steps, (std::vector<std::string>{"drain", "shut"}));
  EXPECT_EQ(r.life.state(), PortState::Closed);
}

// The discipline on a real socket: a handler that closes after the first of
// three waiting datagrams still sees the other two (delivered by the drain)
// before the socket goes, and never a read on a closed socket.
TEST(PortLife, WaitingDataIsDeliveredBeforeTheSocketGoes) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
  Fd writer(pair[1]);
  int fd = pair[0];
  for (const char *d : {"a", "b", "c"}) ASSERT_EQ(::send(writer.fd, d, 1, 0), 1);

  PortLife life;
  life.set(PortState::Open);
  std::string delivered;
  bool readOnClosed = false;
  auto shut = [&] {
    const int rc = ::close(fd);
    fd = -1;
    return rc;
  };
  std::function<void()> readWaiting;
  readWaiting = [&] {
    for (;;) {
      if (fd < 0) {
        readOnClosed = true;
        return;
      }
      if (life.closeRequested()) return;
      char c;
      if (::recv(fd, &c, 1, MSG_DONTWAIT) != 1) return;
      delivered += c;
      if (c == 'a') {
        EXPECT_EQ(life.close(readWaiting, shut), 0);
      }
    }
  };
  life.read(readWaiting, shut);
  EXPECT_EQ(delivered, "abc");
  EXPECT_EQ(fd, -1);
  EXPECT_FALSE(readOnClosed);
  EXPECT_EQ(life.state(), PortState::Closed);
}

}  // namespace
