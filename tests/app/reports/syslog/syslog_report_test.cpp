// The syslog report of the main window (offscreen): what a listener of the
// test receives after a run, the guard, and failures shown in panel 0.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <memory>
#include <string>
#include <vector>

#include "component_fixture.h"
#include "start/application.h"
#include "window/form_main.h"
#include "isolation.h"
#include "pelsyslog.h"
#include "syslog_test_support.h"
#include "temp_folder.h"

namespace {

constexpr int kFacility = 17;  // local1, as the settings file below says

// One received packet split into its fields.
struct Packet {
  int pri = -1;
  std::string stamp, host, text;
};

Packet split(const std::string &d) {
  Packet p;
  const size_t close = d.find('>');
  if (d.empty() || d[0] != '<' || close == std::string::npos || d.size() < close + 17) return p;
  p.pri = std::stoi(d.substr(1, close - 1));
  p.stamp = d.substr(close + 1, 15);
  const size_t hostEnd = d.find(' ', close + 17);
  p.host = d.substr(close + 17, hostEnd - close - 17);
  p.text = hostEnd == std::string::npos ? "" : d.substr(hostEnd + 1);
  return p;
}

class SysLogReport : public testsupport::ComponentTest<TApplication> {
 protected:
  void SetUp() override {
    if (!testsupport::isolationFailure().empty()) GTEST_SKIP() << testsupport::isolationFailure();
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(listener.ok());
  }

  // Writes the settings file and opens the window over it.
  void open(const QString &host, int port) {
    QFile ini(dir.file(QStringLiteral("dervik.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(
        QStringLiteral("[Syslog]\r\nHostAddress=%1\r\nPort=%2\r\nFacility=%3\r\n"
                       "[Devices]\r\nA=10.0.0.1\r\nB=10.0.0.2\r\nC=10.0.0.3\r\nD=\r\nE=10.0.0.5\r\n"
                       "F=10.0.0.6\r\n")
            .arg(host)
            .arg(port)
            .arg(kFacility)
            .toUtf8());
    ini.close();
    window =
        std::make_unique<TFormMain>(TFormMain::TStartup{dir.file(QStringLiteral("dervik")), {}});
    ASSERT_EQ(window->Settings().Devices().size(), 6u);
  }

  // Statuses as a run leaves them (set directly: the run itself is not under test here).
  void finishRun(const std::vector<TDeviceStatus> &statuses, const QString &summary) {
    auto &devices = window->Settings().Devices();
    for (size_t i = 0; i < devices.size() && i < statuses.size(); ++i) {
      devices[i]->SetPinged(4);
      devices[i]->SetPingedOK(statuses[i] == dsOK ? 4 : statuses[i] == dsOKPartial ? 2 : 0);
      devices[i]->SetDeviceStatus(statuses[i]);
      devices[i]->SetDeviceStatusCategory(DeviceStatusCategoryOf(statuses[i]));
    }
    window->Settings().SetLastCheckDT(QDateTime::currentDateTime());
    window->Settings().SetLastCheckResult(summary);
  }

  std::vector<Packet> sendReport() {
    window->SetStatusPanelText(0, QStringLiteral("before"));
    window->ClickMenuItem(window->MenuItemSendToSysLog);
    std::vector<Packet> out;
    for (const auto &d : listener.receiveAll(500, 200)) out.push_back(split(d));
    return out;
  }

  testsupport::TempFolder dir;
  syslogtest::UdpListener listener;
  std::unique_ptr<TFormMain> window;
};

TEST_F(SysLogReport, ComponentCarriesItsStoredValues) {
  open("127.0.0.1", listener.port());
  ASSERT_NE(window->pelSysLog1, nullptr);
  EXPECT_EQ(window->pelSysLog1->LocalPort(), 0);
  EXPECT_EQ(window->pelSysLog1->RemoteHost(), "255.255.255.255");
  EXPECT_FALSE(window->pelSysLog1->Active());
}

TEST_F(SysLogReport, SummaryThenNotOkGroupsInSettingsOrder) {
  open("127.0.0.1", listener.port());
  finishRun({dsOK, dsNoConnection, dsOKPartial, dsHostLookupFailed, dsNone, dsNoConnection},
            "Some connections were OK (3 failed - 2 OK)");
  const std::time_t from = std::time(nullptr);
  const auto packets = sendReport();
  const std::time_t to = std::time(nullptr);

  const struct {
    int severity;
    const char *text;
  } expected[] = {
      {6, "Dervik: Some connections were OK (3 failed - 2 OK)"},
      {3, "Devices with no connection at all:"},
      {3, "- B (10.0.0.2): No connection at all"},
      {3, "- D (): Unable to lookup host address"},
      {3, "- F (10.0.0.6): No connection at all"},
      {4, "Devices with unknown results:"},
      {4, "- E (10.0.0.5): "},
  };
  ASSERT_EQ(packets.size(), std::size(expected));
  for (size_t i = 0; i < packets.size(); ++i) {
    SCOPED_TRACE(expected[i].text);
    EXPECT_EQ(packets[i].pri, kFacility * 8 + expected[i].severity);
    EXPECT_EQ(packets[i].text, expected[i].text);
    EXPECT_EQ(packets[i].host, syslogtest::machineName());
    // The report asks for local time (the test's zone is 13 hours from UTC).
    bool local = false;
    for (std::time_t t = from; t <= to; ++t)
      local = local || packets[i].stamp == syslogtest::stampOf(t, true);
    EXPECT_TRUE(local) << packets[i].stamp;
  }
  EXPECT_FALSE(window->pelSysLog1->Active());
  // The text says that it went and when: "(14:05:31)" in the user's time format.
  const QString sent = QStringLiteral("Syslog report sent to 127.0.0.1:%1. (").arg(listener.port());
  EXPECT_TRUE(window->StatusPanelText(0).startsWith(sent))
      << window->StatusPanelText(0).toStdString();
  EXPECT_TRUE(window->StatusPanelText(0).endsWith(u')'));
}

TEST_F(SysLogReport, AllOkSendsOnlyTheSummary) {
  open("127.0.0.1", listener.port());
  finishRun({dsOK, dsOK, dsOKPartial, dsOK, dsOK, dsOK}, "All connections were OK");
  const auto packets = sendReport();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].pri, kFacility * 8 + 6);
  EXPECT_EQ(packets[0].text, "Dervik: All connections were OK");
  EXPECT_FALSE(window->pelSysLog1->Active());
}

TEST_F(SysLogReport, GuardSendsNothingAndShowsNothing) {
  const struct {
    const char *name;
    QString host;
    bool run;
  } rows[] = {{"no_run_yet", "127.0.0.1", false},
              {"host_empty", "", true},
              {"host_0.0.0.0", "0.0.0.0", true}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    open(r.host, listener.port());
    if (r.run) finishRun({dsNoConnection}, "x");
    EXPECT_TRUE(sendReport().empty());
    EXPECT_EQ(window->StatusPanelText(0), "before");
    EXPECT_FALSE(window->pelSysLog1->Active());
  }
}

TEST_F(SysLogReport, FailureShowsTheMessageAndLeavesTheToolReady) {
  const struct {
    const char *name;
    QString host;
    int port;
    const char *panel;
  } rows[] = {
      {"unknown_host", "no-such-host.test", 0, "11001: [11001] Host not found"},
      {"port_zero", "127.0.0.1", -1,
       "116: RemotePort can't be zero. Please specify a valid service port number."},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    open(r.host, r.port < 0 ? 0 : listener.port());
    finishRun({dsNoConnection, dsOK, dsOK, dsOK, dsOK, dsOK}, "x");
    if (r.port < 0) window->Settings().SetSyslogPort(0);
    EXPECT_TRUE(sendReport().empty());
    EXPECT_EQ(window->StatusPanelText(0), r.panel);
    EXPECT_FALSE(window->pelSysLog1->Active());
    EXPECT_TRUE(window->MenuItemSendToSysLog->isEnabled());
    // Ready for the next report.
    window->Settings().SetSyslogHostAddress("127.0.0.1");
    window->Settings().SetSyslogPort(listener.port());
    TRunSequence &run = window->RunSequence();
    EXPECT_EQ(run.Report(*run.Channel(QStringLiteral("syslog"))).Result, rrSent);
    EXPECT_EQ(listener.receiveAll(500, 200).size(), 3u);
  }
}

// The settings file's Port is taken as read and goes to the component, which
// refuses a port outside 0..65535 when the report sends: the report fails in
// panel 0 instead of reaching the port the value would wrap to.
TEST_F(SysLogReport, SettingsFilePortOutsideTheRangeFailsLoudly) {
  syslogtest::UdpListener top("127.0.0.1", 65535);  // also where -1 would land
  ASSERT_TRUE(top.ok());
  syslogtest::UdpListener wrapped("127.0.0.1", 66050 - 65536);
  ASSERT_TRUE(wrapped.ok());
  const QString range = QStringLiteral(
      "118: RemotePort is out of range. Please specify a port number from 1 to 65535.");
  const struct {
    int port;
    QString panel;
    syslogtest::UdpListener *target;  // receives the report, or where a wrapped port would go
  } rows[] = {
      {0,
       QStringLiteral("116: RemotePort can't be zero. Please specify a valid service port number."),
       nullptr},
      {65535, QStringLiteral("Syslog report sent to 127.0.0.1:65535. ("), &top},
      {65536, range, nullptr},
      {66050, range, &wrapped},
      {-1, range, &top},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.port);
    open("127.0.0.1", r.port);
    EXPECT_EQ(window->Settings().SyslogPort(), r.port);
    finishRun({dsOK, dsOK, dsOK, dsOK, dsOK, dsOK}, "All connections were OK");
    EXPECT_TRUE(sendReport().empty());
    const bool sent = r.panel.startsWith(QStringLiteral("Syslog report sent"));
    if (sent)
      EXPECT_TRUE(window->StatusPanelText(0).startsWith(r.panel))
          << window->StatusPanelText(0).toStdString();
    else
      EXPECT_EQ(window->StatusPanelText(0), r.panel);
    EXPECT_FALSE(window->pelSysLog1->Active());
    if (r.target == nullptr) continue;
    if (sent) {
      const auto got = r.target->receive();
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(split(*got).text, "Dervik: All connections were OK");
    } else {
      // The first datagram at the wrapped port is the marker sent now.
      ASSERT_TRUE(syslogtest::sendDatagram(r.target->port(), "marker"));
      EXPECT_EQ(r.target->receive(), "marker");
    }
  }
}

// The whole road: a real check run over loopback and a name that does not
// resolve, then the report.
TEST_F(SysLogReport, AfterARealRun) {
  QFile ini(dir.file(QStringLiteral("dervik.ini")));
  ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
  ini.write(QStringLiteral(
                "[Ping]\r\nTimes=1\r\nTimeout=2\r\n[Syslog]\r\nHostAddress=127.0.0.1\r\nPort=%1\r\n"
                "Facility=%2\r\n[Devices]\r\nA=127.0.0.1\r\nno-such-host.test=\r\nC=localhost\r\n")
                .arg(listener.port())
                .arg(kFacility)
                .toUtf8());
  ini.close();
  window = std::make_unique<TFormMain>(TFormMain::TStartup{dir.file(QStringLiteral("dervik")), {}});
  window->ClickMenuItem(window->MenuItemRun);
  ASSERT_TRUE(window->Settings().HasLastCheck());
  const auto packets = sendReport();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0].pri, kFacility * 8 + 6);
  EXPECT_EQ(packets[0].text, "Dervik: Some connections were OK (1 failed - 2 OK)");
  EXPECT_EQ(packets[1].pri, kFacility * 8 + 3);
  EXPECT_EQ(packets[1].text, "Devices with no connection at all:");
  EXPECT_EQ(packets[2].pri, kFacility * 8 + 3);
  EXPECT_EQ(packets[2].text, "- no-such-host.test (): Unable to lookup host address");
  EXPECT_FALSE(window->pelSysLog1->Active());
}

TEST_F(SysLogReport, ErrorEventShowsInPanelZero) {
  open("127.0.0.1", listener.port());
  const TErrorEvent handler = window->pelSysLog1->OnError();
  ASSERT_TRUE(handler);
  handler(window->pelSysLog1, 10054, "Destination unreachable (service unavailable?).");
  EXPECT_EQ(window->StatusPanelText(0),
            "SysLog error 10054: Destination unreachable (service unavailable?).");
}

}  // namespace
