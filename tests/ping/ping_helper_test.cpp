// The helper path on ICMP datagram sockets, in the test's own network
// namespace: loopback answers, and hosts behind a tun answer as told; and the
// cases that both paths answer alike, over both.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <thread>

#include "ping_net.h"

using namespace pingtest;

namespace {
constexpr size_t kHelperIdOffset = 8;  // the echo data starts with the request id

// The cases both paths answer alike run over both from here; the raw path
// needs no ping sockets, so it runs in this namespace as well.
enum class Path { Helper, Raw };
constexpr Path kPaths[] = {Path::Helper, Path::Raw};
const char *pathName(Path p) { return p == Path::Helper ? "helper" : "raw"; }

void usePath(PingClient &c, Path path, int timeoutSeconds) {
  if (path == Path::Helper) {
    useHelper(c, timeoutSeconds);
    return;
  }
  ASSERT_EQ(c.config("AbsoluteTimeout=True"), 0);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, timeoutSeconds), 0);
}
}  // namespace

TEST(HelperPath, HostThatAnswers) {
  REQUIRE_ISOLATION();
  PingClient c;
  useHelper(c, 2);
  ASSERT_EQ(c.pingHost("127.0.0.1"), 0) << c.lastError();
  ASSERT_EQ(c.responses.size(), 1u);
  const ResponseRecord &r = c.responses[0];
  EXPECT_EQ(r.status, "OK");
  EXPECT_EQ(r.source, "127.0.0.1");
  EXPECT_EQ(r.requestId, c.getInt(PELNET_PING_PROP_RequestId));
  EXPECT_GE(r.time, 0);
  EXPECT_LT(r.time, 1000);
  EXPECT_EQ(c.getText(PELNET_PING_PROP_ResponseSource), "127.0.0.1");
  EXPECT_NEAR(c.getInt(PELNET_PING_PROP_ResponseTime), r.time, 1);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Idle), 1);
  EXPECT_EQ(c.lastErrorCode(), 0);
  EXPECT_TRUE(c.errors.empty());
}

TEST(HelperPath, TunHostAnswersWithItsAddress) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  PingClient c;
  useHelper(c, 2);
  ASSERT_EQ(c.pingHost(kEchoHost), 0) << c.lastError();
  ASSERT_EQ(c.responses.size(), 1u);
  EXPECT_EQ(c.responses[0].source, kEchoHost);
  EXPECT_EQ(c.responses[0].status, "OK");
  // The call's options: the time-to-live that was set, and the type byte as type-of-service.
  auto sent = sentTo(responder, kEchoHost);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].ttl, 128);
  EXPECT_EQ(sent[0].tos, 8);
}

TEST(HelperPath, SilentHostTimesOutWithoutEvent) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  PingClient c;
  useHelper(c, 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.pingHost(kSilentHost), 301);
  double took = secondsSince(start);
  EXPECT_EQ(c.lastError(), "Timeout.");
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 2.5);
  EXPECT_TRUE(c.responses.empty());
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_ResponseTime), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
  EXPECT_EQ(sentTo(responder, kSilentHost).size(), 1u);
}

TEST(HelperPath, UnresolvableNameFailsBeforeSending) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  PingClient c;
  useHelper(c, 1);
  EXPECT_EQ(c.pingHost("no-such-host.invalid"), 11001);
  EXPECT_EQ(c.lastError(), "[11001] Host not found");
  EXPECT_TRUE(c.responses.empty());
  EXPECT_TRUE(responder->captured().empty());
  EXPECT_EQ(c.getText(PELNET_PING_PROP_RemoteHost), "");
}

TEST(HelperPath, NameFromHostsFileIsResolved) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  ASSERT_TRUE(testsupport::writeHosts("127.0.0.1 localhost\n198.18.0.2 echo-host\n"));
  PingClient c;
  useHelper(c, 2);
  ASSERT_EQ(c.pingHost("echo-host"), 0) << c.lastError();
  ASSERT_EQ(c.responses.size(), 1u);
  EXPECT_EQ(c.responses[0].source, kEchoHost);
  EXPECT_EQ(c.getText(PELNET_PING_PROP_RemoteHost), kEchoHost);
}

TEST(HelperPath, RequestIdsDifferAndStayBelow2To31) {
  REQUIRE_ISOLATION();
  PingClient c;
  useHelper(c, 2);
  ASSERT_EQ(c.pingHost("127.0.0.1"), 0);
  intptr_t first = c.getInt(PELNET_PING_PROP_RequestId);
  ASSERT_EQ(c.pingHost("127.0.0.1"), 0);
  intptr_t second = c.getInt(PELNET_PING_PROP_RequestId);
  EXPECT_NE(first, second);
  for (intptr_t id : {first, second}) {
    EXPECT_GE(id, 0);
    EXPECT_LT(id, intptr_t(1) << 31);
  }
  ASSERT_EQ(c.responses.size(), 2u);
  EXPECT_EQ(c.responses[0].requestId, first);
  EXPECT_EQ(c.responses[1].requestId, second);
}

TEST(BothPaths, DestinationUnreachableTexts) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  struct {
    const char *host;
    const char *text;
  } rows[] = {
      {kUnreachHost1, "Host unreachable."},
      {kUnreachHost13, "Destination unreachable: 13."},
  };
  for (Path path : kPaths) {
    for (auto &row : rows) {
      SCOPED_TRACE(std::string(pathName(path)) + " " + row.host);
      PingClient c;
      usePath(c, path, 2);
      auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(c.pingHost(row.host), 127);
      EXPECT_LT(secondsSince(start), 1.5);
      EXPECT_EQ(c.lastError(), row.text);
      ASSERT_EQ(c.responses.size(), 1u);
      EXPECT_EQ(c.responses[0].status, row.text);
      EXPECT_EQ(c.responses[0].source, row.host);
      EXPECT_EQ(c.responses[0].requestId, c.getInt(PELNET_PING_PROP_RequestId));
      EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
      EXPECT_TRUE(c.errors.empty());
    }
  }
}

TEST(HelperPath, AnswersThatAreNotOursTimeOut) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  // A reply with another request id, and a time-exceeded answer (reported to
  // the answer handler, which takes nothing from it): both end at the deadline.
  for (const char *host : {kWrongIdHost, kTimeExceededHost}) {
    PingClient c;
    useHelper(c, 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.pingHost(host), 301) << host;
    EXPECT_EQ(c.lastError(), "Timeout.");
    EXPECT_GE(secondsSince(start), 0.95);
    EXPECT_TRUE(c.responses.empty()) << host;
  }
}

TEST(HelperPath, LocalRouteRefusalFailsWithWinsockCode) {
  REQUIRE_ISOLATION();
  ASSERT_EQ(testsupport::ip("route add unreachable 198.19.1.0/24"), 0);
  ASSERT_EQ(testsupport::ip("route add prohibit 198.19.2.0/24"), 0);
  struct {
    const char *host;
    int code;
    const char *text;
  } rows[] = {
      {"198.19.1.1", 10065, "[10065] No route to host"},
      {"198.19.2.1", 10013, "[10013] Access denied"},
  };
  for (auto &row : rows) {
    PingClient c;
    useHelper(c, 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.pingHost(row.host), row.code) << row.host;
    EXPECT_EQ(c.lastError(), row.text);
    EXPECT_LT(secondsSince(start), 0.5);
    EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
  }
}

TEST(HelperPath, PacketSizeGivesEchoDataOfSizeMinus4) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  PingClient c;
  useHelper(c, 2);
  ASSERT_EQ(c.getInt(PELNET_PING_PROP_PacketSize), 64);
  ASSERT_EQ(c.pingHost(kEchoHost), 0);
  auto sent = sentTo(responder, kEchoHost);
  ASSERT_EQ(sent.size(), 1u);
  const std::string &icmp = sent[0].icmp;
  ASSERT_EQ(icmp.size(), 8u + 60u);
  EXPECT_EQ(icmp[0], 8);
  uint32_t id;
  std::memcpy(&id, icmp.data() + 8, 4);
  EXPECT_EQ(static_cast<intptr_t>(id), c.getInt(PELNET_PING_PROP_RequestId));
  EXPECT_EQ(icmp.substr(16), std::string(52, '*'));
}

TEST(BothPaths, WakeOnLanSendsTheSameBodyForBothMacForms) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  // The helper path to a host that echoes (the echo of the body carries no
  // request id of ours), the raw path to one that stays silent.
  struct {
    Path path;
    const char *host;
  } rows[] = {{Path::Helper, kEchoHost}, {Path::Raw, kSilentHost}};
  for (auto &row : rows) {
    SCOPED_TRACE(pathName(row.path));
    std::vector<std::string> bodies;
    for (const char *mac : {"00-1A-2b-3C-4d-5E", "001A2b3C4d5E"}) {
      responder->clearCaptured();
      PingClient c;
      usePath(c, row.path, 2);
      ASSERT_EQ(c.wakeOnLan(row.host, mac), 0) << c.lastError();
      EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);  // the port is left as it was
      EXPECT_TRUE(c.responses.empty());
      auto sent = waitSentTo(responder, row.host, 1);
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].icmp[0], 8);
      bodies.push_back(sent[0].icmp.substr(row.path == Path::Helper ? 8 : 4));
    }
    ASSERT_EQ(bodies[0].size(), 102u);
    EXPECT_EQ(bodies[0], bodies[1]);
    EXPECT_EQ(bodies[0].substr(0, 6), std::string(6, '\xFF'));
    EXPECT_EQ(bodies[0].substr(6, 6), std::string("\x00\x1A\x2B\x3C\x4D\x5E", 6));

    PingClient c;
    usePath(c, row.path, 1);
    EXPECT_EQ(c.wakeOnLan(row.host, "00-11-22-33-44"), 128);
    EXPECT_EQ(c.lastError(), "Bad MAC address.");
    EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
  }
}

TEST(HelperPath, OpenPortRules) {
  REQUIRE_ISOLATION();
  PingClient c;
  useHelper(c, 2);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Active, 1), 0) << c.lastError();
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 1);
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_Active, 1), 0);  // an open handle is kept
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Idle), 0);
  EXPECT_EQ(c.config("UseConnection=False"), 117);
  EXPECT_EQ(c.lastError(), "Cannot change UseConnection option while ICMPPort is Active.");
  EXPECT_EQ(c.setText(PELNET_PING_PROP_RemoteHost, "127.0.0.1"), 114);
  EXPECT_EQ(c.config("UseIPv6=True"), 0);
  EXPECT_EQ(c.config("UseIPv6=False"), 0);
  // Timeout 0 closes the port and clears UseConnection.
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_Timeout, 0), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
  EXPECT_EQ(c.query("UseConnection"), "False");

  PingClient v6;
  useHelper(v6, 1);
  ASSERT_EQ(v6.config("UseIPv6=True"), 0);
  EXPECT_EQ(v6.setInt(PELNET_PING_PROP_Active, 1), 306);
  EXPECT_EQ(v6.lastError(),
            "IPv6 is not supported when the UseICMPDLL configuration is set to true.");
}

// Ping sockets are allowed here: their own failure for want of descriptors
// is reported, without trying a raw socket.
TEST(HelperPath, OutOfDescriptorsFailsWithItsOwnCode) {
  REQUIRE_ISOLATION();
  expectOutOfDescriptorsFailure();
}

TEST(HelperPath, PendingInterruptStopsTheNextWait) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  PingClient c;
  useHelper(c, 1);
  c.config("TimeoutInMilliseconds=True");
  c.setInt(PELNET_PING_PROP_Timeout, 300);
  ASSERT_EQ(c.interrupt(), 0);
  EXPECT_EQ(c.pingHost(kSilentHost), 301);
  EXPECT_EQ(c.lastError(), "Interrupted.");
}

TEST(HelperPath, TimeoutZeroDoesNotWait) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  PingClient c;
  useHelper(c, 1);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, 0), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.pingHost(kSilentHost), 0) << c.lastError();
  EXPECT_LT(secondsSince(start), 0.5);
  EXPECT_TRUE(c.responses.empty());
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 1);  // the handle stays open
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Idle), 1);
  EXPECT_EQ(c.pingHost(""), 0);  // an empty host closes it
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
}

// Not waiting on the helper path: PingHost sends and returns, and every answer
// to a request of this component is reported with that request's id while
// the thread runs wait steps: echo replies, destination-unreachable answers,
// and a reply that comes after the next request was sent.  Nothing for a
// silent host; a reply whose id was changed is reported under that id, which
// is none of the requests' (the caller matches by id).
TEST(HelperPath, NotWaitingReportsEveryAnswerWithItsRequestId) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  constexpr const char *kDelayedHost = "198.18.0.40";
  responder->setHost(kDelayedHost, {Reply::LateEcho, 0, kHelperIdOffset, 150});
  const struct {
    const char *host;
    const char *status;  // nullptr: nothing is reported
  } cases[] = {
      {kDelayedHost, "OK"},
      {kEchoHost, "OK"},
      {kSilentHost, nullptr},
      {kUnreachHost1, "Host unreachable."},
      {kWrongIdHost, nullptr},
      {"127.0.0.1", "OK"},
      {kUnreachHost13, "Destination unreachable: 13."},
  };
  PingClient c;
  useHelper(c, 1);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, 0), 0);
  // All requests out first, on the one open port.  An answer may be
  // reported inside a later PingHost (an ICMP error pending on the socket is
  // read before that call sends), never inside its own.
  std::vector<int> ids;
  for (const auto &k : cases) {
    const size_t before = c.responses.size();
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(c.pingHost(k.host), 0) << k.host << ": " << c.lastError();
    EXPECT_LT(secondsSince(start), 0.1) << k.host;
    const int id = c.getInt(PELNET_PING_PROP_RequestId);
    // An ICMP error pending for an earlier request makes this call read what
    // is queued: the changed-id reply of an earlier call may be among it.
    for (size_t r = before; r < c.responses.size(); ++r) {
      const ResponseRecord &answer = c.responses[r];
      const bool earlierRequest = std::find(ids.begin(), ids.end(), answer.requestId) != ids.end();
      const bool earlierChangedId =
          answer.source == kWrongIdHost && std::string_view(k.host) != kWrongIdHost;
      EXPECT_TRUE(earlierRequest || earlierChangedId)
          << k.host << ": an answer to this call's own request, or to none";
    }
    ids.push_back(id);
    EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 1);
  }
  size_t expected = 1;  // the changed id
  for (const auto &k : cases) expected += k.status != nullptr;
  auto start = std::chrono::steady_clock::now();
  while (c.responses.size() < expected && secondsSince(start) < 2.0) c.doEvents();
  // A little longer, for anything that should not come.
  start = std::chrono::steady_clock::now();
  while (secondsSince(start) < 0.3) c.doEvents();
  ASSERT_EQ(c.responses.size(), expected);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto &k = cases[i];
    auto it = std::find_if(c.responses.begin(), c.responses.end(),
                           [&](const ResponseRecord &r) { return r.requestId == ids[i]; });
    if (k.status == nullptr) {
      EXPECT_EQ(it, c.responses.end()) << k.host;
      continue;
    }
    ASSERT_NE(it, c.responses.end()) << k.host;
    EXPECT_EQ(it->status, k.status) << k.host;
    EXPECT_EQ(it->source, k.host) << k.host;
  }
  EXPECT_EQ(std::count_if(c.responses.begin(), c.responses.end(),
                          [&](const ResponseRecord &r) {
                            return std::find(ids.begin(), ids.end(), r.requestId) == ids.end();
                          }),
            1);
  // The delayed reply came last, with its time.
  EXPECT_EQ(c.responses.back().requestId, ids[0]);
  EXPECT_GE(c.responses.back().time, 150);
  EXPECT_EQ(c.pingHost(""), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
}

// ResponseTimeMicroseconds: the round trip of ResponseTime in microseconds,
// from the same clock readings, so the two never differ by a millisecond or
// more.  Both are set as each answer is reported, whether PingHost waits or
// not (read inside the Response event), and both are 0 after a time-out.
TEST(HelperPath, ResponseTimeInMicroseconds) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  constexpr const char *kDelayedHost = "198.18.0.41";
  responder->setHost(kDelayedHost, {Reply::LateEcho, 0, kHelperIdOffset, 150});
  const struct {
    const char *host;
    bool waiting;
    intptr_t lowUs, highUs;  // the round trip lies within
  } cases[] = {
      {"127.0.0.1", true, 1, 200000},
      {"127.0.0.1", false, 1, 200000},
      {kDelayedHost, true, 150000, 700000},
      {kDelayedHost, false, 150000, 700000},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(std::string(k.host) + (k.waiting ? " waiting" : " not waiting"));
    PingClient c;
    struct Reading {
      intptr_t ms, us;
    };
    std::vector<Reading> atEvent;
    c.events.handle(
        PELNET_PING_EVENT_Response,
        [&](const testsupport::EventCall &) {
          atEvent.push_back({c.getInt(PELNET_PING_PROP_ResponseTime),
                             c.getInt(PELNET_PING_PROP_ResponseTimeMicroseconds)});
        },
        false);
    useHelper(c, 1);
    if (!k.waiting) {
      ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, 0), 0);
    }
    ASSERT_EQ(c.pingHost(k.host), 0) << c.lastError();
    const auto start = std::chrono::steady_clock::now();
    while (atEvent.empty() && secondsSince(start) < 2.0) c.doEvents();
    ASSERT_EQ(atEvent.size(), 1u);
    const Reading r = atEvent[0];
    EXPECT_GE(r.us, k.lowUs);
    EXPECT_LE(r.us, k.highUs);
    EXPECT_LT(std::abs(r.ms * 1000 - r.us), 1000) << r.ms << " ms, " << r.us << " us";
    // Kept until the next request: what the event saw is what the property says.
    EXPECT_EQ(c.getInt(PELNET_PING_PROP_ResponseTimeMicroseconds), r.us);
    EXPECT_EQ(c.getInt(PELNET_PING_PROP_ResponseTime), r.ms);
    if (k.waiting) {
      EXPECT_EQ(c.pingHost(kSilentHost), 301);
      EXPECT_EQ(c.getInt(PELNET_PING_PROP_ResponseTime), 0);
      EXPECT_EQ(c.getInt(PELNET_PING_PROP_ResponseTimeMicroseconds), 0);
    }
  }
}

// Not waiting with ManyHosts: requests to several hosts out at once on the
// one port.  A request that fails at once (no route) leaves the port open for
// the others' answers, which it closes without ManyHosts; each answer is
// timed from its own request, also when later ones were sent after it; and
// request ids stay apart.
TEST(HelperPath, ManyHostsKeepsThePortAndTimesEachAnswerFromItsRequest) {
  REQUIRE_RESPONDER(kHelperIdOffset);
  ASSERT_EQ(testsupport::ip("route add unreachable 198.19.3.0/24"), 0);
  constexpr const char *kDelayedHost = "198.18.0.42";
  responder->setHost(kDelayedHost, {Reply::LateEcho, 0, kHelperIdOffset, 300});
  for (const bool many : {false, true}) {
    SCOPED_TRACE(many ? "ManyHosts" : "without ManyHosts");
    PingClient c;
    std::map<int, intptr_t> usAtEvent;  // by request id
    c.events.handle(
        PELNET_PING_EVENT_Response,
        [&](const testsupport::EventCall &e) {
          usAtEvent[static_cast<int>(e.integer(0))] =
              c.getInt(PELNET_PING_PROP_ResponseTimeMicroseconds);
        },
        false);
    useHelper(c, 1);
    ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, 0), 0);
    ASSERT_EQ(c.setInt(PELNET_PING_PROP_ManyHosts, many), 0);
    EXPECT_EQ(c.getInt(PELNET_PING_PROP_ManyHosts), many ? 1 : 0);
    ASSERT_EQ(c.pingHost(kDelayedHost), 0) << c.lastError();
    const int delayedId = c.getInt(PELNET_PING_PROP_RequestId);
    EXPECT_EQ(c.pingHost("198.19.3.1"), 10065);
    EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), many ? 1 : 0);
    // A request sent well after the delayed one, answered at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_EQ(c.pingHost("127.0.0.1"), 0) << c.lastError();
    const int loopId = c.getInt(PELNET_PING_PROP_RequestId);
    EXPECT_NE(loopId, delayedId);
    const auto start = std::chrono::steady_clock::now();
    while ((usAtEvent.count(delayedId) == 0 || usAtEvent.count(loopId) == 0) &&
           secondsSince(start) < 2.0)
      c.doEvents();
    ASSERT_EQ(usAtEvent.count(delayedId), 1u);
    ASSERT_EQ(usAtEvent.count(loopId), 1u);
    EXPECT_GE(usAtEvent[delayedId], 300000);
    EXPECT_LT(usAtEvent[loopId], 150000);
  }
}
