// The raw path (raw ICMP socket driven by notifications), and the helper
// path falling back to a raw socket where ping sockets are not allowed: this
// program closes net.ipv4.ping_group_range in its namespace.  The cases both
// paths answer alike (unreachable texts, wake-on-LAN bodies) run over both in
// ping_helper_test.cpp.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "ping_net.h"

using namespace pingtest;

namespace {
constexpr size_t kRawIdOffset =
    4;  // the request id fills the echo header's identifier and sequence

void useRaw(PingClient &c, int timeoutSeconds) {
  ASSERT_EQ(c.config("AbsoluteTimeout=True"), 0);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, timeoutSeconds), 0);
}

// Pumps wait steps until `done` or about two seconds passed.
template <class F>
void pumpUntil(PingClient &c, F done) {
  auto start = std::chrono::steady_clock::now();
  while (!done() && secondsSince(start) < 2.0) c.doEvents();
}
}  // namespace

TEST(RawPath, LoopbackAnswers) {
  REQUIRE_ISOLATION();
  PingClient c;
  useRaw(c, 2);
  ASSERT_EQ(c.pingHost("127.0.0.1"), 0) << c.lastError();
  ASSERT_EQ(c.responses.size(), 1u);
  EXPECT_EQ(c.responses[0].status, "OK");
  EXPECT_EQ(c.responses[0].source, "127.0.0.1");
  EXPECT_EQ(c.responses[0].requestId, c.getInt(PELNET_PING_PROP_RequestId));
  EXPECT_EQ(c.getText(PELNET_PING_PROP_ResponseSource), "127.0.0.1");
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
  EXPECT_EQ(c.query("SocketHandle"), "-1");
}

TEST(RawPath, IPv6LoopbackAnswers) {
  REQUIRE_ISOLATION();
  PingClient c;
  useRaw(c, 2);
  ASSERT_EQ(c.config("UseIPv6=True"), 0);
  ASSERT_EQ(c.pingHost("::1"), 0) << c.lastError();
  ASSERT_EQ(c.responses.size(), 1u);
  EXPECT_EQ(c.responses[0].status, "OK");
  EXPECT_EQ(c.responses[0].source, "::1");
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_TypeOfService), 128);  // the ICMPv6 echo request type stays
  EXPECT_EQ(c.getText(PELNET_PING_PROP_RemoteHost), "::1");
}

TEST(RawPath, WrongIdIsIgnoredAndTheCallKeepsWaiting) {
  REQUIRE_RESPONDER(kRawIdOffset);
  PingClient c;
  useRaw(c, 2);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(c.pingHost(kLateHost), 0) << c.lastError();
  EXPECT_GE(secondsSince(start), 0.28);  // the right answer comes 300 ms after the wrong one
  ASSERT_EQ(c.responses.size(), 1u);
  EXPECT_EQ(c.responses[0].requestId, c.getInt(PELNET_PING_PROP_RequestId));
  EXPECT_EQ(c.responses[0].source, kLateHost);

  PingClient w;
  useRaw(w, 1);
  EXPECT_EQ(w.pingHost(kWrongIdHost), 301);
  EXPECT_EQ(w.lastError(), "Timeout.");
  EXPECT_TRUE(w.responses.empty());
}

TEST(RawPath, NonWaitingModeReportsWhileEventsArePumped) {
  REQUIRE_RESPONDER(kRawIdOffset);
  PingClient c;
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, 0), 0);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(c.pingHost(kEchoHost), 0) << c.lastError();
  EXPECT_LT(secondsSince(start), 0.5);
  EXPECT_TRUE(c.responses.empty());
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 1);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Idle), 1);
  pumpUntil(c, [&] { return !c.responses.empty(); });
  ASSERT_EQ(c.responses.size(), 1u);
  EXPECT_EQ(c.responses[0].status, "OK");
  EXPECT_EQ(c.responses[0].source, kEchoHost);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 1);  // the port stays open
  // A second request on the open port is reported too.
  ASSERT_EQ(c.pingHost(kEchoHost), 0);
  pumpUntil(c, [&] { return c.responses.size() == 2; });
  EXPECT_EQ(c.responses.size(), 2u);
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_Active, 0), 0);
}

// An Interrupt from the response handler is consumed by the very wait step
// that delivered the answer: the call has its answer and succeeds, and a
// success leaves no "Interrupted." behind.  DoEvents, which never fails,
// likewise.
TEST(RawPath, InterruptInTheAnsweringStepLeavesNoErrorText) {
  REQUIRE_ISOLATION();
  PingClient c;
  useRaw(c, 2);
  c.events.handle(
      PELNET_PING_EVENT_Response,
      [&c](const testsupport::EventCall &e) {
        c.responses.push_back(
            {static_cast<int>(e.integer(0)), e.text(1), e.text(2), static_cast<int>(e.integer(3))});
        EXPECT_EQ(c.interrupt(), 0);
      },
      false);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    c.responses.clear();
    ASSERT_EQ(c.pingHost("127.0.0.1"), 0) << c.lastError();
    ASSERT_EQ(c.responses.size(), 1u);
    EXPECT_EQ(c.responses[0].status, "OK");
    EXPECT_EQ(c.lastErrorCode(), 0);
    EXPECT_EQ(c.lastError(), "");
  }
  ASSERT_EQ(c.interrupt(), 0);
  EXPECT_EQ(c.doEvents(), 0);
  EXPECT_EQ(c.lastError(), "");
  // The request was consumed there: the next ping waits for its answer.
  c.responses.clear();
  c.events.forget(PELNET_PING_EVENT_Response);
  ASSERT_EQ(c.pingHost("127.0.0.1"), 0) << c.lastError();
  EXPECT_EQ(c.lastError(), "");
}

TEST(RawPath, PacketSizeOnTheWire) {
  REQUIRE_RESPONDER(kRawIdOffset);
  for (int size : {64, 8, 200}) {
    responder->clearCaptured();
    PingClient c;
    useRaw(c, 2);
    ASSERT_EQ(c.setInt(PELNET_PING_PROP_PacketSize, size), 0);
    // Below 12 there is no room for the send time; the answer is still
    // matched by its request id and timed from the request's send.
    ASSERT_EQ(c.pingHost(kEchoHost), 0) << c.lastError();
    ASSERT_EQ(c.responses.size(), 1u) << size;
    EXPECT_EQ(c.responses[0].requestId, c.getInt(PELNET_PING_PROP_RequestId));
    auto sent = sentTo(responder, kEchoHost);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].icmp.size(), static_cast<size_t>(size));
    uint32_t id;
    std::memcpy(&id, sent[0].icmp.data() + 4, 4);
    EXPECT_EQ(static_cast<intptr_t>(id), c.getInt(PELNET_PING_PROP_RequestId));
  }
}

TEST(RawPath, OpenSocketRules) {
  REQUIRE_ISOLATION();
  PingClient c;
  ASSERT_EQ(c.setText(PELNET_PING_PROP_RemoteHost, "127.0.0.1"), 0);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_TimeToLive, 33), 0);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Active, 1), 0) << c.lastError();
  EXPECT_NE(c.query("SocketHandle"), "-1");
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_TimeToLive), 33);  // read from the socket
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_TimeToLive, 44), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_TimeToLive), 44);
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_Active, 1), 104);
  EXPECT_EQ(c.lastError(), "ICMPPort is already Active.");
  EXPECT_EQ(c.setText(PELNET_PING_PROP_LocalHost, "127.0.0.1"), 107);
  EXPECT_EQ(c.config("MaxMessageSize=100"), 112);
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_PacketSize, 4000), 112);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_PacketSize),
            4000);  // kept although the buffer could not grow
  EXPECT_EQ(c.query("MaxMessageSize"), "2048");
  EXPECT_EQ(c.config("QOSFlags=16"), 0);
  EXPECT_EQ(c.query("QOSFlags"), "16");
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_Active, 0), 0);
  EXPECT_EQ(c.query("SocketHandle"), "-1");
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_Active, 0), 0);  // closing a closed port does nothing
}

TEST(RawPath, ReceiveAllModeIsNotSupported) {
  REQUIRE_ISOLATION();
  PingClient c;
  ASSERT_EQ(c.setText(PELNET_PING_PROP_RemoteHost, "127.0.0.1"), 0);
  ASSERT_EQ(c.config("ReceiveAllMode=0"), 0);
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_Active, 1), 10045);
  EXPECT_EQ(c.lastError(), "[10045] Operation not supported on socket");
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 1);  // the socket stays open
}

TEST(RawPath, SendWithoutAddressOrPort) {
  REQUIRE_ISOLATION();
  PingClient c;
  EXPECT_EQ(c.wakeOnLan("", "001122334455"), 102);
  EXPECT_EQ(c.lastError(), "The RemoteHost address is invalid.");
}

TEST(HelperFallback, RawSocketDoesTheSameExchange) {
  REQUIRE_RESPONDER(8);
  PingClient c;
  useHelper(c, 2);
  ASSERT_EQ(c.pingHost("127.0.0.1"), 0) << c.lastError();
  ASSERT_EQ(c.responses.size(), 1u);
  EXPECT_EQ(c.responses[0].status, "OK");
  EXPECT_EQ(c.responses[0].source, "127.0.0.1");

  PingClient u;
  useHelper(u, 2);
  EXPECT_EQ(u.pingHost(kUnreachHost1), 127);
  EXPECT_EQ(u.lastError(), "Host unreachable.");
  ASSERT_EQ(u.responses.size(), 1u);
  EXPECT_EQ(u.responses[0].source, kUnreachHost1);

  PingClient w;
  useHelper(w, 1);
  EXPECT_EQ(w.pingHost(kWrongIdHost), 301);
  EXPECT_TRUE(w.responses.empty());
}

TEST(HelperFallback, NeitherSocketGives120) {
  REQUIRE_ISOLATION();
  // A child without CAP_NET_RAW: no raw socket, and ping sockets are closed here.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &hdr, data) != 0) _exit(10);
    data[0].effective &= ~(1u << CAP_NET_RAW);
    data[0].permitted &= ~(1u << CAP_NET_RAW);
    if (syscall(SYS_capset, &hdr, data) != 0) _exit(11);
    PingClient c;
    c.config("UseICMPDLL=True");
    c.setText(PELNET_PING_PROP_RemoteHost, "127.0.0.1");
    int rc = c.setInt(PELNET_PING_PROP_Active, 1);
    if (rc != 120) _exit(12);
    if (c.lastError() != "Can't create ICMP handle.") _exit(13);
    if (c.pingHost("127.0.0.1") != 120) _exit(14);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Ping sockets are refused here, so the helper path turns to a raw socket,
// which a process out of descriptors cannot have either: that is reported,
// not "no ICMP handle".
TEST(HelperFallback, OutOfDescriptorsFailsWithItsOwnCode) {
  REQUIRE_ISOLATION();
  expectOutOfDescriptorsFailure();
}

int main(int argc, char **argv) {
  testsupport::IsolationOptions opts;
  opts.allowPingSockets = false;
  std::string why;
  testsupport::setIsolationFailure(testsupport::isolate(opts, &why) ? "" : why);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
