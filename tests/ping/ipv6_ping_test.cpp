// The ping core over IPv6 in the test's namespace (a veth link to a peer
// namespace, tests/ping/ipv6_peer.h): as root on a raw ICMPv6 socket, and as
// an ordinary user on the ICMPv6 ping socket that stands in for it.
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "as_nobody.h"
#include "ipv6_peer.h"
#include "ping_errors.h"
#include "ping_net.h"
#include "ping_texts.h"

using namespace pingtest;

namespace {

struct User {
  const char *name;
  bool nobody;
};
const User kUsers[] = {{"root: raw socket", false}, {"nobody: ping socket", true}};

// The rest of the caller's scope runs as `user`: as nobody while the
// returned guard lives, else as root.
std::unique_ptr<AsNobody> actAs(const User &user) {
  return user.nobody ? std::make_unique<AsNobody>() : nullptr;
}

// A raw ICMPv6 socket can be had: what the core uses then is its own choice.
bool rawIPv6Permitted() {
  const int fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void useRawIPv6(PingClient &c, int timeoutSeconds) {
  ASSERT_EQ(c.config("AbsoluteTimeout=True"), 0);
  ASSERT_EQ(c.config("UseIPv6=True"), 0);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, timeoutSeconds), 0);
}

class IPv6Ping : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    IPv6Peer &peer = sharedIPv6Peer();
    if (!peer.ok()) GTEST_SKIP() << "no IPv6 test link: " << peer.why();
  }
};

}  // namespace

TEST_F(IPv6Ping, EchoUnreachableSilentAndNoRouteAsEitherUser) {
  struct Case {
    const char *host;
    int rc;
    const char *status;  // of the one response; nullptr: none
    const char *source;
    // A raw socket connected to the host hears nothing from another
    // address: the peer's "no route" answer then shows as a time-out.
    int rcAsRoot;
  };
  const std::string noRoute = pelping::unreachableText(0);
  const std::string byIndex = "fe80::2%" + std::to_string(if_nametoindex(kIPv6Link));
  const Case cases[] = {
      {"::1", 0, "OK", "::1", 0},
      {kIPv6Peer, 0, "OK", kIPv6Peer, 0},
      {kIPv6LinkLocalPeer, 0, "OK", kIPv6LinkLocalPeer, 0},
      {byIndex.c_str(), 0, "OK", kIPv6LinkLocalPeer, 0},  // the zone by number, answered by name
      {kIPv6NoRouteAtPeer, pelping::kUnreachable, noRoute.c_str(), kIPv6Peer, 301},
      {kIPv6Silent, 301, nullptr, "", 301},
      {kIPv6NoRoute, pelnet::kWsaNetUnreach, nullptr, "", pelnet::kWsaNetUnreach},
  };
  for (const User &user : kUsers) {
    SCOPED_TRACE(user.name);
    const std::unique_ptr<AsNobody> nobody = actAs(user);
    ASSERT_TRUE(!nobody || nobody->ok());
    ASSERT_EQ(rawIPv6Permitted(), !user.nobody);
    for (const Case &k : cases) {
      SCOPED_TRACE(k.host);
      PingClient c;
      useRawIPv6(c, 1);
      const int expected = user.nobody ? k.rc : k.rcAsRoot;
      EXPECT_EQ(c.pingHost(k.host), expected) << c.lastError();
      if (expected == 0 || expected == pelping::kUnreachable) {
        ASSERT_EQ(c.responses.size(), 1u);
        EXPECT_EQ(c.responses[0].status, k.status);
        EXPECT_EQ(c.responses[0].source, k.source);
        EXPECT_EQ(c.responses[0].requestId, c.getInt(PELNET_PING_PROP_RequestId))
            << "the answer belongs to the request just sent";
        EXPECT_EQ(c.getText(PELNET_PING_PROP_ResponseSource), k.source);
      } else {
        EXPECT_TRUE(c.responses.empty());
      }
      EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
    }
  }
}

// Several requests on one open socket, answers taken as events are pumped:
// each answer carries the id of its own request, also where the kernel
// wrote its identifier into them.
TEST_F(IPv6Ping, AnswersOnAnOpenSocketKeepTheirRequestIds) {
  for (const User &user : kUsers) {
    SCOPED_TRACE(user.name);
    const std::unique_ptr<AsNobody> nobody = actAs(user);
    ASSERT_TRUE(!nobody || nobody->ok());
    PingClient c;
    ASSERT_EQ(c.config("UseIPv6=True"), 0);
    ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, 0), 0);  // no waiting: the socket stays open
    std::vector<int> ids;
    for (const char *host : {"::1", kIPv6Peer, "::1"}) {
      ASSERT_EQ(c.pingHost(host), 0) << c.lastError();
      ids.push_back(c.getInt(PELNET_PING_PROP_RequestId));
    }
    const auto start = std::chrono::steady_clock::now();
    while (c.responses.size() < ids.size() && secondsSince(start) < 2.0) c.doEvents();
    ASSERT_EQ(c.responses.size(), ids.size());
    std::vector<int> answered;
    for (const ResponseRecord &r : c.responses) {
      EXPECT_EQ(r.status, "OK");
      answered.push_back(r.requestId);
    }
    std::sort(answered.begin(), answered.end());
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(answered, ids);
    EXPECT_EQ(c.setInt(PELNET_PING_PROP_Active, 0), 0);
  }
}
