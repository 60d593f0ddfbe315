// The automatic sequence where no window can be seen, run in this process
// under a core application only, as the program runs it on such a platform:
// a widget made on the way would end the test at once ("Must construct a
// QApplication before a QWidget"). Devices on loopback and behind a tun
// device of the test where nothing answers, the syslog report to a
// listener of the test, the mail report to a port where nobody listens.
#include "core_units.h"
#include "isolation.h"
#include "loopback_ports.h"
#include "start/application.h"
#include "start/auto_mode.h"
#include "start/headless_run.h"
#include "syslog_test_support.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace Qt::StringLiterals;

class HeadlessRun : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    std::string Why;
    Tun = testsupport::openTun("dervik-tun2", "198.18.0.1/24", &Why);
    if (Tun < 0) GTEST_SKIP() << "no tun device: " << Why;
    ASSERT_TRUE(Listener.ok());
  }
  void TearDown() override {
    if (Tun >= 0) close(Tun);
    unsetenv("XDG_STATE_HOME");
  }

  int Tun = -1;
  syslogtest::UdpListener Listener;
};

struct TCase {
  const char *Name;
  TAutoSwitches Switches;
  bool Verbose;
  bool SettingsFile;  // false: none beside the program
  QString Devices;
  bool MailSetUp;  // true: a mail server where nobody listens
  // The lines on standard error, each by its start ("%1": the settings
  // file, "%2": the JSON file, "%3": the mail port).
  QStringList Lines;
  int Status;
  qsizetype SysLogPackets;
  bool JsonWritten;
};

TEST_F(HeadlessRun, ChecksReportsAndTellsAsTheWindowsSequence) {
  const QString Router = u"Router=127.0.0.1\nPrinter=127.0.0.1\n"_s;
  const QString WithCamera = Router + u"Camera=198.18.0.7\n"_s;
  const TCase Cases[] = {
      {"/AUTORUN, all answer, verbose",
       {true, false, false},
       true,
       true,
       Router,
       false,
       {u"dervik: results written to %2"_s,
        u"dervik: checked 2 devices from %1: All connections OK"_s},
       ExitStatusAllAnswered,
       0,
       true},
      {"/AUTORUN, all answer, quiet",
       {true, false, false},
       false,
       true,
       Router,
       false,
       {},
       ExitStatusAllAnswered,
       0,
       true},
      {"/AUTOSYSLOG, one silent, quiet",
       {false, false, true},
       false,
       true,
       WithCamera,
       false,
       {u"dervik: no answer from: Camera"_s},
       ExitStatusDevicesFailed,
       3,
       true},
      {"/AUTO, mail refused, verbose",
       {true, true, true},
       true,
       true,
       Router,
       true,
       {u"dervik: results written to %2"_s,
        u"dervik: checked 2 devices from %1: All connections OK"_s,
        u"dervik: mail report to 127.0.0.1:%3 failed: "_s, u"dervik: to fix: "_s,
        u"dervik: syslog report sent to 127.0.0.1:"_s},
       ExitStatusReportFailed,
       1,
       true},
      {"/AUTO, no settings file",
       {true, true, true},
       false,
       false,
       QString(),
       false,
       {u"dervik: No settings file: looked for %1;"_s},
       ExitStatusNotStarted,
       0,
       false},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    setenv("XDG_STATE_HOME", Dir.filePath(u"state"_s).toLocal8Bit().constData(), 1);
    const int MailPort = testsupport::FreeLoopbackPort();
    ASSERT_GT(MailPort, 0);
    const QString SettingsFile = Dir.filePath(u"dervik.ini"_s);
    if (C.SettingsFile) {
      QFile Ini(SettingsFile);
      ASSERT_TRUE(Ini.open(QIODevice::WriteOnly));
      Ini.write(
          u"[Ping]\nTimes=1\nTimeout=1\n[SMTP]\nHostAddress=%1\nPort=%2\n"
          "Recipients=ops@dervik.test\nSender=dervik@dervik.test\n"
          "[Syslog]\nHostAddress=127.0.0.1\nPort=%3\nFacility=16\n[Devices]\n%4"_s
              .arg(C.MailSetUp ? u"127.0.0.1"_s : u"0.0.0.0"_s)
              .arg(MailPort)
              .arg(Listener.port())
              .arg(C.Devices)
              .toUtf8());
    }
    const QString Json = Dir.filePath(u"run.json"_s);

    QStringList Told;
    TAutoRunMonitor Monitor(
        true, [&](const QString &Line) { Told.append(Line); }, [](int) {});
    Monitor.SetVerbose(C.Verbose);
    Monitor.SetResultFiles(Json, QString());
    const int Status = RunWithoutWindow(
        {Dir.filePath(u"dervik"_s), QString(), Dir.filePath(u"data"_s)}, C.Switches, Monitor);

    EXPECT_EQ(Status, C.Status) << Told.join(u'\n').toStdString();
    ASSERT_EQ(Told.size(), C.Lines.size()) << Told.join(u'\n').toStdString();
    for (qsizetype I = 0; I < Told.size(); ++I) {
      const QString Start = QString(C.Lines[I])
                                .replace(u"%1"_s, SettingsFile)
                                .replace(u"%2"_s, Json)
                                .replace(u"%3"_s, QString::number(MailPort));
      EXPECT_TRUE(Told[I].startsWith(Start))
          << Told[I].toStdString() << "\nwanted " << Start.toStdString();
    }
    EXPECT_EQ(QFileInfo::exists(Json), C.JsonWritten);
    const std::vector<std::string> Packets =
        Listener.receiveAll(C.SysLogPackets > 0 ? 2000 : 100, 200);
    EXPECT_EQ(static_cast<qsizetype>(Packets.size()), C.SysLogPackets);
    if (!Packets.empty()) {
      EXPECT_NE(Packets[0].find("Dervik: "), std::string::npos) << Packets[0];
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::string Why;
  testsupport::setIsolationFailure(
      testsupport::isolate(testsupport::IsolationOptions{}, &Why) ? "" : Why);
  unsetenv("QT_NO_GLIB");
  // A core application only: the run must need nothing of a window system.
  THeadlessApplication Application(argc, argv);
  SetExceptionReportToStandardError(true);
  testing::InitGoogleTest(&argc, argv);
  const TCoreUnits Units;
  return RUN_ALL_TESTS();
}
