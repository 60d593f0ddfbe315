// TpelSysLog over its core: creation defaults, exceptions, and every received
// datagram as OnPacketIn reports it, including the re-entrant close.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "syslog_component_fixture.h"
#include "isolation.h"
#include "pelsyslog.h"
#include "syslog_test_support.h"

namespace {

struct PacketIn {
  int facilityCode;
  QString facility;
  int severityCode;
  QString severity, timestamp, hostname, message;
  bool conforms;
  QString packet;
  QByteArray packetB;
  QString sourceAddress;
  int sourcePort;
};

class SysLogComponent : public SysLogComponentTest {
 protected:
  void record() {
    log->setOnPacketIn([this](QObject *sender, int fc, const QString &f, int sc, const QString &s,
                              const QString &ts, const QString &host, const QString &msg,
                              bool conforms, const QString &packet, const QString &src,
                              int srcPort) {
      EXPECT_EQ(sender, log.get());
      events.push_back(
          {fc, f, sc, s, ts, host, msg, conforms, packet, log->PacketInPacketB(), src, srcPort});
      if (onEach) onEach();
    });
  }

  std::vector<PacketIn> events;
  std::function<void()> onEach;
};

TEST_F(SysLogComponent, CreationDefaults) {
  TpelSysLog fresh;
  EXPECT_FALSE(fresh.Active());
  EXPECT_EQ(fresh.LocalPort(), 514);
  EXPECT_EQ(fresh.RemoteHost(), "255.255.255.255");
  EXPECT_EQ(fresh.RemotePort(), 514);
  EXPECT_EQ(fresh.Config("UseHostname"), "True");
  EXPECT_EQ(fresh.Config("UseLocalTime"), "False");
  EXPECT_EQ(fresh.Config("MaxPacketSize"), "8192");
  EXPECT_EQ(fresh.Config("CaptureIPPacketInfo"), "0");
  EXPECT_EQ(fresh.Config("SocketHandle"), "-1");
  EXPECT_TRUE(fresh.PacketInPacketB().isEmpty());
}

TEST_F(SysLogComponent, ErrorsAreRaisedWithCodeAndText) {
  const struct {
    const char *name;
    std::function<void(TpelSysLog &)> op;
    int code;
    const char *message;
  } rows[] = {
      {"send_inactive", [](TpelSysLog &l) { l.SendPacket(1, 1, "x"); }, 109,
       "109: The control must be Active for this operation."},
      {"socket_handle_assigned", [](TpelSysLog &l) { l.Config("SocketHandle=3"); }, -1,
       "-1: Unknown config setting."},
      {"unknown_host", [](TpelSysLog &l) { l.setRemoteHost("no-such-host.test"); }, 11001,
       "11001: [11001] Host not found"},
      {"twice_active",
       [](TpelSysLog &l) {
         l.setActive(true);
         l.setActive(true);
       },
       104, "104: UDPPort is already Active."},
  };
  for (const auto &r : rows) {
    TpelSysLog l;
    l.setLocalPort(0);
    try {
      r.op(l);
      ADD_FAILURE() << r.name << ": no exception";
    } catch (const EpelSysLog &e) {
      EXPECT_EQ(e.Code(), r.code) << r.name;
      EXPECT_EQ(e.Message(), r.message) << r.name;
    }
  }
}

struct ParseRow {
  const char *name;
  std::string datagram;
  int facilityCode;
  const char *facility;
  int severityCode;
  const char *severity;
  const char *timestamp;
  const char *hostname;
  const char *message;
  bool conforms;
};

TEST_F(SysLogComponent, ParseTableThroughOnPacketIn) {
  const ParseRow rows[] = {
      {"rfc", "<182>Dec  9 14:03:07 WS01 hello world", 22, "Local Use 6", 6,
       "Informational Message", "Dec  9 14:03:07", "WS01", "hello world", true},
      {"lower_month", "<13>dec 19 04:05:06 host  two spaces", 1, "User-level", 5,
       "Notice: Normal But Significant Condition", "dec 19 04:05:06", "host", " two spaces", true},
      {"year", "<34>Oct 11 2013 22:14:15 host msg", 4, "Security/authorization", 2,
       "Critical Condition", "Oct 11 2013 22:14:15", "host", "msg", false},
      {"fraction", "<34>Oct 11 22:14:15.123 host msg", 4, "Security/authorization", 2,
       "Critical Condition", "Oct 11 22:14:15.123", "host", "msg", false},
      {"no_pri", "a text without a priority part", 1, "User-level", 5,
       "Notice: Normal But Significant Condition", "", "", "a text without a priority part", false},
      {"short", "<13>short", 1, "User-level", 5, "Notice: Normal But Significant Condition", "", "",
       "", false},
      {"empty_pri", "<>Jan  1 00:00:00 h m", 0, "Kernel", 0, "Emergency: System Is Unusable",
       "Jan  1 00:00:00", "h", "m", true},
      {"pri_255", "<255>Jan  1 00:00:00 h m", 31, "<unknown facility>", 7, "Debug-level Messages",
       "Jan  1 00:00:00", "h", "m", true},
  };
  record();
  log->setActive(true);
  const int port = log->LocalPort();
  ASSERT_GT(port, 0);
  syslogtest::UdpListener sender;  // a bound socket, so the source port is known
  for (const ParseRow &r : rows) {
    SCOPED_TRACE(r.name);
    events.clear();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(sendto(sender.fd(), r.datagram.data(), r.datagram.size(), 0,
                     reinterpret_cast<sockaddr *>(&to), sizeof to),
              static_cast<ssize_t>(r.datagram.size()));
    ASSERT_TRUE(pumpUntil([&] { return !events.empty(); }));
    ASSERT_EQ(events.size(), 1u);
    const PacketIn &e = events[0];
    EXPECT_EQ(e.facilityCode, r.facilityCode);
    EXPECT_EQ(e.facility, r.facility);
    EXPECT_EQ(e.severityCode, r.severityCode);
    EXPECT_EQ(e.severity, r.severity);
    EXPECT_EQ(e.timestamp, r.timestamp);
    EXPECT_EQ(e.hostname, r.hostname);
    EXPECT_EQ(e.message, r.message);
    EXPECT_EQ(e.conforms, r.conforms);
    EXPECT_EQ(e.packet, QString::fromLatin1(r.datagram.data(), qsizetype(r.datagram.size())));
    EXPECT_EQ(e.packetB, QByteArray(r.datagram.data(), qsizetype(r.datagram.size())));
    EXPECT_EQ(e.sourceAddress, "127.0.0.1");
    EXPECT_EQ(e.sourcePort, sender.port());
  }
  log->setActive(false);
}

TEST_F(SysLogComponent, ZeroBytesSurviveAndEmptyDatagramGivesNoEvent) {
  record();
  log->setActive(true);
  const int port = log->LocalPort();
  const std::string withZeros("<13>Jan  1 00:00:00 h a\0b\0", 26);
  ASSERT_TRUE(syslogtest::sendDatagram(port, ""));
  ASSERT_TRUE(syslogtest::sendDatagram(port, withZeros));
  ASSERT_TRUE(pumpUntil([&] { return !events.empty(); }));
  log->setActive(false);  // drains whatever else is waiting
  ASSERT_EQ(events.size(), 1u) << "the empty datagram must not give an event";
  EXPECT_EQ(events[0].packetB, QByteArray(withZeros.data(), qsizetype(withZeros.size())));
  EXPECT_EQ(events[0].packetB.size(), 26);
  // The Packet parameter of the handler carries them too.
  EXPECT_EQ(events[0].packet, QString::fromUtf16(u"<13>Jan  1 00:00:00 h a\0b\0", 26));
  EXPECT_EQ(events[0].message, "a") << "a text parameter ends at its first zero byte";
}

TEST_F(SysLogComponent, DeactivationInsideHandlerIsDeferred) {
  record();
  log->setActive(true);
  const int port = log->LocalPort();
  for (const char *d : {"first", "second", "third"}) ASSERT_TRUE(syslogtest::sendDatagram(port, d));
  bool stillActiveInside = false;
  onEach = [&] {
    if (events.size() != 1) return;
    log->setActive(false);  // must return at once and leave the socket to the running read
    stillActiveInside = log->Active();
  };
  ASSERT_TRUE(pumpUntil([&] { return !log->Active(); }));
  EXPECT_TRUE(stillActiveInside);
  ASSERT_EQ(events.size(), 3u) << "datagrams already waiting are still delivered";
  EXPECT_EQ(events[0].message, "first");
  EXPECT_EQ(events[1].message, "second");
  EXPECT_EQ(events[2].message, "third");
  EXPECT_EQ(log->Config("SocketHandle"), "-1");
  // The port can be opened again afterwards.
  log->setActive(true);
  EXPECT_TRUE(log->Active());
  log->setActive(false);
}

TEST_F(SysLogComponent, DeactivationDeliversWaitingDatagrams) {
  record();
  log->setActive(true);
  const int port = log->LocalPort();
  for (const char *d : {"a", "b"}) ASSERT_TRUE(syslogtest::sendDatagram(port, d));
  log->setActive(false);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].message, "b");
  EXPECT_FALSE(log->Active());
}

TEST_F(SysLogComponent, CaptureIPPacketInfoReportsDestination) {
  record();
  log->Config("CaptureIPPacketInfo=1");
  log->setActive(true);
  ASSERT_TRUE(syslogtest::sendDatagram(log->LocalPort(), "to five", "127.0.0.5"));
  ASSERT_TRUE(pumpUntil([&] { return !events.empty(); }));
  EXPECT_EQ(log->Config("DestinationAddress"), "127.0.0.5");
  log->setActive(false);
}

TEST_F(SysLogComponent, LongerThanMaxPacketSizeArrivesCut) {
  record();
  log->Config("MaxPacketSize=16");
  log->setActive(true);
  const std::string big(1000, 'z');
  ASSERT_TRUE(syslogtest::sendDatagram(log->LocalPort(), big));
  ASSERT_TRUE(syslogtest::sendDatagram(log->LocalPort(), "next"));
  ASSERT_TRUE(pumpUntil([&] { return events.size() == 2; }));
  EXPECT_EQ(events[0].packetB, QByteArray(16, 'z'));
  EXPECT_EQ(events[1].packetB, "next");
  log->setActive(false);
}

TEST_F(SysLogComponent, WithoutHandlerNothingIsKept) {
  log->setActive(true);
  ASSERT_TRUE(syslogtest::sendDatagram(log->LocalPort(), "unseen"));
  log->setActive(false);
  EXPECT_TRUE(log->PacketInPacketB().isEmpty());
}

TEST_F(SysLogComponent, PumpDataInDoEventsReads) {
  record();
  log->Config("PumpDataInDoEvents=True");
  log->setActive(true);
  ASSERT_TRUE(syslogtest::sendDatagram(log->LocalPort(), "pumped"));
  log->DoEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "pumped");
  log->setActive(false);
}

// With UseIPv6 the port is an IPv6 socket: it receives from ::1 and sends to ::1.
TEST_F(SysLogComponent, IPv6BothWays) {
  record();
  log->Config("UseIPv6=True");
  log->setRemoteHost("::1");
  log->setLocalPort(0);
  log->setActive(true);
  EXPECT_EQ(log->RemoteHost(), "::1");

  const int v6 = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(v6, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  ASSERT_EQ(bind(v6, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(v6, reinterpret_cast<sockaddr *>(&a), &len);
  const int v6Port = ntohs(a.sin6_port);

  sockaddr_in6 to = a;
  to.sin6_port = htons(static_cast<uint16_t>(log->LocalPort()));
  const std::string d = "<14>Jan  1 00:00:00 h over six";
  ASSERT_EQ(sendto(v6, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
            static_cast<ssize_t>(d.size()));
  ASSERT_TRUE(pumpUntil([&] { return !events.empty(); }));
  EXPECT_EQ(events[0].sourceAddress, "::1");
  EXPECT_EQ(events[0].sourcePort, v6Port);
  EXPECT_EQ(events[0].message, "over six");

  log->setRemotePort(v6Port);
  log->SendPacket(1, 6, "back");
  pollfd p{v6, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  char buf[256];
  const ssize_t n = recv(v6, buf, sizeof buf, 0);
  ASSERT_GT(n, 5);
  EXPECT_EQ(std::string(buf + n - 5, 5), " back");
  EXPECT_EQ(std::string(buf, 4), "<14>");
  close(v6);
  log->setActive(false);
}

// A connected socket learns from the ICMP answer that nobody listens.
TEST_F(SysLogComponent, RefusedDestinationRaisesErrorEvent) {
  std::vector<std::pair<int, QString>> errors;
  log->setOnError(
      [&](QObject *, int code, const QString &text) { errors.emplace_back(code, text); });
  int closedPort;
  {
    syslogtest::UdpListener gone;
    closedPort = gone.port();
  }
  log->Config("UseConnection=True");
  log->setRemoteHost("127.0.0.1");
  log->setRemotePort(closedPort);
  log->setActive(true);
  log->SendPacket(1, 1, "nobody home");
  ASSERT_TRUE(pumpUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors[0].first, 10054);
  EXPECT_EQ(errors[0].second, "Destination unreachable (service unavailable?).");
  log->setActive(false);
}

}  // namespace
