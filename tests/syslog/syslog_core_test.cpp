// The syslog core through its C interface: defaults, refusals, settings and
// the exact bytes of outgoing packets, captured by a listener on loopback.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "core_client.h"
#include "isolation.h"
#include "pelnet/core_interface.h"
#include "pelnet/syslog_ids.h"
#include "syslog_test_support.h"

namespace {

using syslogtest::UdpListener;

// One core instance through the shared client, driven with the plain (narrow) ids.
class Core : public testsupport::CoreClient {
 public:
  Core() : CoreClient(TESTSUPPORT_LINKED_CORE(SysLog)) {
    events.describe(PELNET_SYSLOG_EVENT_Error, "it");
    events.describe(PELNET_SYSLOG_EVENT_PacketIn, "itittttibti");
  }
  bool ok() const { return handle() != nullptr; }
  int sendPacket(int facility, int severity, const std::string &message) {
    return call(PELNET_SYSLOG_METHOD_SendPacket, {facility, severity, message});
  }
  int doEvents() { return call(PELNET_SYSLOG_METHOD_DoEvents); }
  int lastCode() { return lastErrorCode(); }
};

TEST(SysLogCore, DefaultsOfANewInstance) {
  Core c;
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_Active), 0);
  EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_LocalPort), 514);
  EXPECT_EQ(c.getText(PELNET_SYSLOG_PROP_RemoteHost), "255.255.255.255");
  EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_RemotePort), 514);
  EXPECT_EQ(c.getText(PELNET_SYSLOG_PROP_LocalHost), syslogtest::machineName());

  const std::string host = syslogtest::machineName();
  const struct {
    const char *name, *answer;
  } settings[] = {
      {"UseHostname", "True"},
      {"UseLocalTime", "False"},
      {"MaxPacketSize", "8192"},
      {"CaptureIPPacketInfo", "0"},
      {"SocketHandle", "-1"},
      {"UseConnection", "False"},
      {"ShareLocalPort", "False"},
      {"PumpDataInDoEvents", "False"},
      {"QOSFlags", "0"},
      {"TimeToLive", "0"},
      {"TTL", "0"},
      {"InBufferSize", "0"},
      {"OutBufferSize", "0"},
      {"DestinationAddress", ""},
      {"LocalPort", "514"},
      {"usehostname", "True"},
      {"LocalHost", host.c_str()},
  };
  for (const auto &s : settings) EXPECT_EQ(c.query(s.name), s.answer) << s.name;
}

TEST(SysLogCore, SettingsReadBackAndClamp) {
  Core c;
  const struct {
    const char *assign, *name, *answer;
  } rows[] = {
      {"MaxPacketSize=70000", "MaxPacketSize", "65536"},
      {"MaxPacketSize=65536", "MaxPacketSize", "65536"},
      {"MaxPacketSize=100", "MaxPacketSize", "100"},
      {"UseLocalTime=yes", "UseLocalTime", "True"},
      {"UseHostname=0", "UseHostname", "False"},
      {"CaptureIPPacketInfo=True", "CaptureIPPacketInfo", "1"},
      {"TTL=7", "TimeToLive", "7"},
      {"QOSFlags=16", "QOSFlags", "16"},
      {"LocalPort=0", "LocalPort", "0"},
      {"ShareLocalPort=1", "ShareLocalPort", "True"},
      {"PumpDataInDoEvents=TRUE", "PumpDataInDoEvents", "True"},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(c.config(r.assign), 0) << r.assign;
    EXPECT_EQ(c.query(r.name), r.answer) << r.assign;
  }
}

// Query-only names fall through when assigned and end as unknown settings.
TEST(SysLogCore, QueryOnlySettingsRefuseAssignment) {
  Core c;
  for (const char *text :
       {"SocketHandle=5", "DestinationAddress=1.2.3.4", "NoSuchSetting", "NoSuchSetting=1"}) {
    std::string answer = "x";
    EXPECT_EQ(c.config(text, &answer), -1) << text;
    EXPECT_EQ(c.lastError(), "Unknown config setting.") << text;
    EXPECT_EQ(answer, "") << text;
  }
}

// Each row: what to do before, the refused operation, its code and text, and
// what must still hold afterwards.
struct Refusal {
  const char *name;
  std::function<void(Core &, int listenerPort)> before;
  std::function<int(Core &)> op;
  int code;
  const char *text;
};

TEST(SysLogCore, Refusals) {
  const Refusal rows[] = {
      {"already_active", [](Core &c, int) { ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0); },
       [](Core &c) { return c.setInt(PELNET_SYSLOG_PROP_Active, 1); }, 104,
       "UDPPort is already Active."},
      {"local_port_while_active",
       [](Core &c, int) { ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0); },
       [](Core &c) { return c.setInt(PELNET_SYSLOG_PROP_LocalPort, 600); }, 106,
       "You cannot change the LocalPort while the control is Active."},
      {"local_port_setting_while_active",
       [](Core &c, int) { ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0); },
       [](Core &c) { return c.config("LocalPort=600"); }, 106,
       "You cannot change the LocalPort while the control is Active."},
      {"local_host_while_active",
       [](Core &c, int) { ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0); },
       [](Core &c) { return c.setText(PELNET_SYSLOG_PROP_LocalHost, "127.0.0.1"); }, 107,
       "Cannot change LocalHost while the control is Active."},
      {"max_packet_size_while_active",
       [](Core &c, int) { ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0); },
       [](Core &c) { return c.config("MaxPacketSize=100"); }, 112,
       "Cannot change the MaxPacketSize while control is Active."},
      {"remote_host_connected",
       [](Core &c, int port) {
         ASSERT_EQ(c.config("UseConnection=True"), 0);
         ASSERT_EQ(c.setText(PELNET_SYSLOG_PROP_RemoteHost, "127.0.0.1"), 0);
         ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_RemotePort, port), 0);
         ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
       },
       [](Core &c) { return c.setText(PELNET_SYSLOG_PROP_RemoteHost, "127.0.0.2"); }, 114,
       "Cannot change RemoteHost when UseConnection is set and the control is Active."},
      {"remote_port_connected",
       [](Core &c, int port) {
         ASSERT_EQ(c.config("UseConnection=True"), 0);
         ASSERT_EQ(c.setText(PELNET_SYSLOG_PROP_RemoteHost, "127.0.0.1"), 0);
         ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_RemotePort, port), 0);
         ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
       },
       [](Core &c) { return c.setInt(PELNET_SYSLOG_PROP_RemotePort, 9); }, 115,
       "Cannot change RemotePort when UseConnection is set and the control is Active."},
      {"connect_with_remote_port_zero",
       [](Core &c, int) {
         ASSERT_EQ(c.config("UseConnection=True"), 0);
         ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_RemotePort, 0), 0);
       },
       [](Core &c) { return c.setInt(PELNET_SYSLOG_PROP_Active, 1); }, 116,
       "RemotePort can't be zero when UseConnection is set. Please specify a valid service port "
       "number."},
      {"send_with_remote_port_zero",
       [](Core &c, int) {
         ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_RemotePort, 0), 0);
         ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
       },
       [](Core &c) { return c.sendPacket(1, 1, "x"); }, 116,
       "RemotePort can't be zero. Please specify a valid service port number."},
      {"use_connection_while_active",
       [](Core &c, int) { ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0); },
       [](Core &c) { return c.config("UseConnection=True"); }, 117,
       "Cannot change UseConnection option while the control is Active."},
      {"send_while_inactive", [](Core &, int) {}, [](Core &c) { return c.sendPacket(1, 1, "x"); },
       109, "The control must be Active for this operation."},
  };
  REQUIRE_ISOLATION();
  for (const Refusal &r : rows) {
    SCOPED_TRACE(r.name);
    UdpListener listener;
    ASSERT_TRUE(listener.ok());
    Core c;
    ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_LocalPort, 0), 0);
    r.before(c, listener.port());
    const bool wasActive = c.getInt(PELNET_SYSLOG_PROP_Active) != 0;
    EXPECT_EQ(r.op(c), r.code);
    EXPECT_EQ(c.lastCode(), r.code);
    EXPECT_EQ(c.lastError(), r.text);
    EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_Active) != 0, wasActive) << "a refusal changes no state";
    EXPECT_FALSE(listener.receive(50).has_value()) << "a refused operation sends nothing";
  }
}

TEST(SysLogCore, RemoteHostChangesWhileActiveWithoutConnection) {
  REQUIRE_ISOLATION();
  UdpListener listener;
  Core c;
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_LocalPort, 0), 0);
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  EXPECT_EQ(c.setText(PELNET_SYSLOG_PROP_RemoteHost, "127.0.0.1"), 0);
  EXPECT_EQ(c.setInt(PELNET_SYSLOG_PROP_RemotePort, listener.port()), 0);
  EXPECT_EQ(c.sendPacket(1, 6, "moved"), 0);
  const auto got = listener.receive();
  ASSERT_TRUE(got.has_value());
  EXPECT_NE(got->find(" moved"), std::string::npos);
}

TEST(SysLogCore, LocalPortZeroReadsTheChosenPortWhileActive) {
  REQUIRE_ISOLATION();
  Core c;
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_LocalPort, 0), 0);
  EXPECT_EQ(c.query("SocketHandle"), "-1");
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0) << c.lastError();
  const int chosen = static_cast<int>(c.getInt(PELNET_SYSLOG_PROP_LocalPort));
  EXPECT_GT(chosen, 0);
  EXPECT_EQ(c.query("LocalPort"), std::to_string(chosen));
  EXPECT_EQ(c.getText(PELNET_SYSLOG_PROP_LocalHost), "0.0.0.0");

  // The socket behind SocketHandle is bound to that very port.
  const int fd = std::stoi(c.query("SocketHandle"));
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
  EXPECT_EQ(ntohs(a.sin_port), chosen);

  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 0), 0);
  EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_Active), 0);
  EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_LocalPort), 0);
  EXPECT_EQ(c.query("SocketHandle"), "-1");
  EXPECT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 0), 0) << "deactivating an inactive port succeeds";
}

// A port already taken fails activation with the platform's code and leaves
// no socket; ShareLocalPort on both sides lets them share it.
TEST(SysLogCore, BindingAPortInUse) {
  REQUIRE_ISOLATION();
  Core first, second;
  ASSERT_EQ(first.setInt(PELNET_SYSLOG_PROP_LocalPort, 0), 0);
  ASSERT_EQ(first.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  const int port = static_cast<int>(first.getInt(PELNET_SYSLOG_PROP_LocalPort));
  ASSERT_EQ(second.setInt(PELNET_SYSLOG_PROP_LocalPort, port), 0);
  EXPECT_EQ(second.setInt(PELNET_SYSLOG_PROP_Active, 1), 10048);
  EXPECT_EQ(second.lastError(), "[10048] Address already in use");
  EXPECT_EQ(second.getInt(PELNET_SYSLOG_PROP_Active), 0);
  EXPECT_EQ(second.query("SocketHandle"), "-1");

  ASSERT_EQ(first.setInt(PELNET_SYSLOG_PROP_Active, 0), 0);
  ASSERT_EQ(first.config("ShareLocalPort=True"), 0);
  ASSERT_EQ(second.config("ShareLocalPort=True"), 0);
  ASSERT_EQ(first.setInt(PELNET_SYSLOG_PROP_LocalPort, port), 0);
  ASSERT_EQ(first.setInt(PELNET_SYSLOG_PROP_Active, 1), 0) << first.lastError();
  EXPECT_EQ(second.setInt(PELNET_SYSLOG_PROP_Active, 1), 0) << second.lastError();
}

TEST(SysLogCore, LocalHostBindsAndReadsBack) {
  REQUIRE_ISOLATION();
  Core c;
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_LocalPort, 0), 0);
  ASSERT_EQ(c.setText(PELNET_SYSLOG_PROP_LocalHost, "127.0.0.1"), 0);
  EXPECT_EQ(c.getText(PELNET_SYSLOG_PROP_LocalHost), "127.0.0.1");
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  EXPECT_EQ(c.getText(PELNET_SYSLOG_PROP_LocalHost), "127.0.0.1");
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 0), 0);
  ASSERT_EQ(c.setText(PELNET_SYSLOG_PROP_LocalHost, ""), 0);
  EXPECT_EQ(c.getText(PELNET_SYSLOG_PROP_LocalHost), syslogtest::machineName());
}

TEST(SysLogCore, RemoteHostTexts) {
  REQUIRE_ISOLATION();
  Core c;
  const struct {
    const char *write;
    int code;
    const char *readBack;
  } rows[] = {
      {syslogtest::kNamedHost, 0, syslogtest::kNamedAddress},
      {"localhost", 0, "127.0.0.1"},
      {"255.255.255.255", 0, "255.255.255.255"},
      {"10.1.2.3", 0, "10.1.2.3"},
      {"", 0, ""},
      {"no-such-host.test", 11001, ""},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(c.setText(PELNET_SYSLOG_PROP_RemoteHost, r.write), r.code) << r.write;
    EXPECT_EQ(c.getText(PELNET_SYSLOG_PROP_RemoteHost), r.readBack) << r.write;
  }
  c.setText(PELNET_SYSLOG_PROP_RemoteHost, "no-such-host.test");
  EXPECT_EQ(c.lastError(), "[11001] Host not found");
}

// ---------------------------------------------------------------- port numbers

constexpr const char *kLocalPortText =
    "LocalPort is out of range. Please specify a port number from 0 to 65535.";
constexpr const char *kRemotePortText =
    "RemotePort is out of range. Please specify a port number from 1 to 65535.";
constexpr intptr_t kBeyond32Bits = (intptr_t{1} << 32) + 514;

// A port is kept as written and refused where it is used, never cut to 16
// bits on its way into an address.
TEST(SysLogCore, LocalPortOutsideTheRangeIsRefusedAtActivation) {
  if (!testsupport::isolationFailure().empty()) GTEST_SKIP() << testsupport::isolationFailure();
  const struct {
    intptr_t port;
    int code;
  } rows[] = {{0, 0}, {65535, 0}, {65536, 118}, {66050, 118}, {-1, 118}, {kBeyond32Bits, 118}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.port);
    Core c;
    ASSERT_EQ(c.setText(PELNET_SYSLOG_PROP_LocalHost, "127.0.0.1"), 0);
    ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_LocalPort, r.port), 0);
    EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_LocalPort), r.port);
    EXPECT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), r.code);
    if (r.code != 0) {
      EXPECT_EQ(c.lastError(), kLocalPortText);
      EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_Active), 0);
      EXPECT_EQ(c.query("SocketHandle"), "-1");
      EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_LocalPort), r.port);
      continue;
    }
    const intptr_t bound = c.getInt(PELNET_SYSLOG_PROP_LocalPort);
    if (r.port == 0)
      EXPECT_GT(bound, 0);
    else
      EXPECT_EQ(bound, r.port);
    // The bound port hears what is sent to it.
    c.events.handle(PELNET_SYSLOG_EVENT_PacketIn, [](const testsupport::EventCall &) {});
    ASSERT_TRUE(syslogtest::sendDatagram(static_cast<int>(bound), "<13>here"));
    for (int i = 0; i < 500 && c.events.delivered(PELNET_SYSLOG_EVENT_PacketIn).empty(); ++i)
      c.doEvents();
    EXPECT_EQ(c.events.delivered(PELNET_SYSLOG_EVENT_PacketIn).size(), 1u);
  }
  // Through Config the same.
  Core c;
  ASSERT_EQ(c.config("LocalPort=66050"), 0);
  EXPECT_EQ(c.query("LocalPort"), "66050");
  EXPECT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 118);
  EXPECT_EQ(c.lastError(), kLocalPortText);
}

TEST(SysLogCore, RemotePortOutsideTheRangeIsRefusedAtSendAndConnect) {
  if (!testsupport::isolationFailure().empty()) GTEST_SKIP() << testsupport::isolationFailure();
  UdpListener top("127.0.0.1", 65535);  // where -1 would land when cut to 16 bits
  ASSERT_TRUE(top.ok());
  UdpListener low("127.0.0.1", 40000);  // where 105536 would land
  ASSERT_TRUE(low.ok());
  UdpListener wrapped("127.0.0.1", 514);  // where 66050 would land
  ASSERT_TRUE(wrapped.ok());
  const struct {
    intptr_t port;
    int code;
    const char *text;
    UdpListener *receiver;  // gets the packet (code 0) or must not get it (refusals)
  } rows[] = {
      {0, 116, "RemotePort can't be zero. Please specify a valid service port number.", nullptr},
      {65535, 0, "", &top},
      {65536, 118, kRemotePortText, nullptr},
      {66050, 118, kRemotePortText, &wrapped},
      {-1, 118, kRemotePortText, &top},
      {105536, 118, kRemotePortText, &low},
      {kBeyond32Bits, 118, kRemotePortText, nullptr},
  };
  Core c;
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_LocalPort, 0), 0);
  ASSERT_EQ(c.setText(PELNET_SYSLOG_PROP_RemoteHost, "127.0.0.1"), 0);
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  for (const auto &r : rows) {
    SCOPED_TRACE(r.port);
    ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_RemotePort, r.port), 0);
    EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_RemotePort), r.port);
    EXPECT_EQ(c.sendPacket(1, 5, "probe"), r.code);
    EXPECT_EQ(c.lastError(), r.text);
    if (r.receiver == nullptr) continue;
    if (r.code != 0) {
      // Nothing went to the wrapped port: the first datagram there is our marker.
      ASSERT_TRUE(syslogtest::sendDatagram(r.receiver->port(), "marker"));
      EXPECT_EQ(r.receiver->receive(), "marker");
    } else {
      const auto got = r.receiver->receive();
      ASSERT_TRUE(got.has_value());
      EXPECT_NE(got->find(" probe"), std::string::npos) << *got;
    }
  }
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 0), 0);

  // A connected socket uses RemotePort at activation.
  for (intptr_t port : {intptr_t{65536}, intptr_t{66050}, intptr_t{-1}, kBeyond32Bits}) {
    SCOPED_TRACE(port);
    Core u;
    ASSERT_EQ(u.config("UseConnection=True"), 0);
    ASSERT_EQ(u.setInt(PELNET_SYSLOG_PROP_LocalPort, 0), 0);
    ASSERT_EQ(u.setText(PELNET_SYSLOG_PROP_RemoteHost, "127.0.0.1"), 0);
    ASSERT_EQ(u.setInt(PELNET_SYSLOG_PROP_RemotePort, port), 0);
    EXPECT_EQ(u.setInt(PELNET_SYSLOG_PROP_Active, 1), 118);
    EXPECT_EQ(u.lastError(), kRemotePortText);
    EXPECT_EQ(u.getInt(PELNET_SYSLOG_PROP_Active), 0);
  }
}

// ---------------------------------------------------------------- outgoing packets

class SysLogPackets : public testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::isolationFailure().empty()) GTEST_SKIP() << testsupport::isolationFailure();
    ASSERT_TRUE(listener.ok());
    ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_LocalPort, 0), 0);
    ASSERT_EQ(c.setText(PELNET_SYSLOG_PROP_RemoteHost, "127.0.0.1"), 0);
    ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_RemotePort, listener.port()), 0);
  }
  // Sends one packet and returns what the listener got, with the send window.
  std::string sendOne(int facility, int severity, const std::string &message) {
    from = std::time(nullptr);
    EXPECT_EQ(c.sendPacket(facility, severity, message), 0) << c.lastError();
    to = std::time(nullptr);
    return listener.receive().value_or("<nothing>");
  }
  UdpListener listener;
  Core c;
  std::time_t from = 0, to = 0;
};

TEST_F(SysLogPackets, UtcTimestampAndHostNameByDefault) {
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  const std::string p = sendOne(22, 6, "hello");
  EXPECT_TRUE(syslogtest::matchesWithin(p, "<182>", " " + syslogtest::machineName() + " hello",
                                        from, to, false))
      << p;
}

// The test runs with a time zone 13 hours east of UTC, so the two forms differ.
TEST_F(SysLogPackets, LocalTimeWhenAsked) {
  ASSERT_EQ(c.config("UseLocalTime=True"), 0);
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  const std::string p = sendOne(1, 5, "local");
  EXPECT_TRUE(syslogtest::matchesWithin(p, "<13>", " " + syslogtest::machineName() + " local", from,
                                        to, true))
      << p;
  EXPECT_FALSE(syslogtest::matchesWithin(p, "<13>", " " + syslogtest::machineName() + " local",
                                         from, to, false))
      << "TZ of the test must differ from UTC: " << p;
}

TEST_F(SysLogPackets, AddressInsteadOfHostName) {
  ASSERT_EQ(c.config("UseHostname=False"), 0);
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  std::string p = sendOne(4, 2, "by address");
  EXPECT_TRUE(syslogtest::matchesWithin(
      p, "<34>", std::string(" ") + syslogtest::kOwnAddress + " by address", from, to, false))
      << p;
  // A configured local address wins over the host name's address.
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 0), 0);
  ASSERT_EQ(c.setText(PELNET_SYSLOG_PROP_LocalHost, "127.0.0.1"), 0);
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  p = sendOne(4, 2, "bound");
  EXPECT_TRUE(syslogtest::matchesWithin(p, "<34>", " 127.0.0.1 bound", from, to, false)) << p;
}

TEST_F(SysLogPackets, PriorityWrapsAndSeverityIsTakenModulo8) {
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  const struct {
    int facility, severity;
    const char *pri;
  } rows[] = {{22, 6, "<182>"}, {22, 14, "<182>"}, {32, 1, "<1>"},
              {0, 0, "<0>"},    {23, 3, "<187>"},  {31, 7, "<255>"}};
  for (const auto &r : rows) {
    const std::string p = sendOne(r.facility, r.severity, "x");
    EXPECT_TRUE(syslogtest::matchesWithin(p, r.pri, " " + syslogtest::machineName() + " x", from,
                                          to, false))
        << r.facility << "/" << r.severity << ": " << p;
  }
}

TEST_F(SysLogPackets, EmptyMessageAndNoLineEnd) {
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  const std::string p = sendOne(1, 1, "");
  EXPECT_TRUE(
      syslogtest::matchesWithin(p, "<9>", " " + syslogtest::machineName() + " ", from, to, false))
      << p;
  const std::string q = sendOne(1, 1, "two\nlines");
  EXPECT_EQ(q.back(), 's');
}

TEST_F(SysLogPackets, InactiveSendsNothing) {
  EXPECT_EQ(c.sendPacket(1, 1, "x"), 109);
  EXPECT_FALSE(listener.receive(100).has_value());
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 0), 0);
  EXPECT_EQ(c.sendPacket(1, 1, "x"), 109);
  EXPECT_FALSE(listener.receive(100).has_value());
}

// The frame's close/quit interrupt calls the Interrupt method without
// arguments; it must never turn into a packet.
TEST_F(SysLogPackets, InterruptSendsNothing) {
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  EXPECT_EQ(c.callWide(PELNET_SYSLOG_METHOD_Interrupt), 0);
  EXPECT_FALSE(listener.receive(100).has_value());
  EXPECT_EQ(c.getInt(PELNET_SYSLOG_PROP_Active), 1);
}

TEST_F(SysLogPackets, ConnectedSocketSendsToItsPeer) {
  ASSERT_EQ(c.config("UseConnection=True"), 0);
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0) << c.lastError();
  const std::string p = sendOne(3, 3, "connected");
  EXPECT_TRUE(syslogtest::matchesWithin(p, "<27>", " " + syslogtest::machineName() + " connected",
                                        from, to, false))
      << p;
}

TEST_F(SysLogPackets, TimeToLiveAndTypeOfServiceAreApplied) {
  ASSERT_EQ(c.config("TTL=9"), 0);
  ASSERT_EQ(c.config("QOSFlags=16"), 0);
  ASSERT_EQ(c.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  const int fd = std::stoi(c.query("SocketHandle"));
  int ttl = 0;
  socklen_t len = sizeof ttl;
  ASSERT_EQ(getsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, &len), 0);
  EXPECT_EQ(ttl, 9);
  EXPECT_EQ(c.query("QOSFlags"), "16");
  ASSERT_EQ(c.config("QOSFlags=8"), 0);
  EXPECT_EQ(c.query("QOSFlags"), "8") << "applied at once while active";
}

}  // namespace
