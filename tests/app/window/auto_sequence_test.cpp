// The automatic sequence of the main window (offscreen, in namespaces of the
// test's own: devices on loopback, names from the test's /etc/hosts only):
// which switches run, report and close, what stays open, and how an
// exception in the sequence ends on a display and without one.
#include "start/application.h"
#include "start/auto_mode.h"
#include "core_units.h"
#include "window/form_main.h"
#include "window/framework_ops.h"
#include "isolation.h"
#include "common/locale_texts.h"
#include "modal_box.h"
#include "pelping.h"
#include "syslog_test_support.h"
#include "start/unattended_start.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTreeWidget>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// A message number of the test's own, posted behind the window's.
constexpr int MarkerMessage = 4242;

class AutoSequence : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    ASSERT_FALSE(Dir.path().empty());
    ASSERT_TRUE(Listener.ok());
  }
  void TearDown() override { Form.reset(); }

  // The settings file beside the window's executable; the syslog report goes
  // to the test's listener unless SysLogHost says otherwise.
  void WriteSettings(const QString &Devices,
                     const QString &SysLogHost = QStringLiteral("127.0.0.1"),
                     const QString &MailHost = QStringLiteral("0.0.0.0")) {
    QFile Ini(Dir.file(QStringLiteral("dervik.ini")));
    ASSERT_TRUE(Ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    Ini.write(QStringLiteral("[Ping]\nTimes=1\nTimeout=1\n[SMTP]\nHostAddress=%1\nPort=25\n"
                             "[Syslog]\nHostAddress=%2\nPort=%3\nFacility=16\n[Devices]\n%4")
                  .arg(MailHost, SysLogHost)
                  .arg(Listener.port())
                  .arg(Devices)
                  .toUtf8());
  }
  void Create(const QStringList &Arguments, TAutoRunMonitor *Monitor = nullptr) {
    Form = std::make_unique<TFormMain>(
        TFormMain::TStartup{Dir.file(QStringLiteral("dervik")), Arguments});
    Form->SetAutoRunMonitor(Monitor);
    Form->SetWindowMessageHandler(MarkerMessage, [this] { MarkerSeen = true; });
  }
  // Shows the window and returns once the message it posted is handled:
  // the marker posted right after it comes next.
  void ShowAndHandleTheAutoRunMessage() {
    MarkerSeen = false;
    Form->show();
    PostWindowMessage(Form.get(), MarkerMessage);
    const QDeadlineTimer Deadline(30000);
    while (!MarkerSeen && Form->isVisible() && !Deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  // Waits for the window to close by itself; false after 30 s.
  bool WaitForClose() {
    const QDeadlineTimer Deadline(30000);
    while (Form->isVisible() && !Deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return !Form->isVisible();
  }
  std::vector<std::string> PacketTexts() {
    std::vector<std::string> Texts;
    // The reports are synchronous: whatever they sent is queued already.
    for (const std::string &Datagram : Listener.receiveAll(100, 100)) {
      // "<pri>Mmm dd hh:mm:ss host text": the text follows the host name.
      const size_t Stamp = Datagram.find('>') + 1;
      const size_t Host = Datagram.find(' ', Stamp + 16);
      Texts.push_back(Host == std::string::npos ? Datagram : Datagram.substr(Host + 1));
    }
    return Texts;
  }
  TAutoRunMonitor MakeMonitor(bool Headless) {
    return TAutoRunMonitor(
        Headless, [this](const QString &Line) { Lines.append(Line); },
        [this](int Status) { Exits.push_back(Status); });
  }
  // Makes the check run's configuration step raise: an open raw socket
  // refuses a time-to-live of 300 at once.
  void BreakTheConfigurationStep() {
    WriteSettings(QStringLiteral("A=127.0.0.1\n"));
    QFile Ini(Dir.file(QStringLiteral("dervik.ini")));
    ASSERT_TRUE(Ini.open(QIODevice::Append));
    Ini.write("[Ping]\nTTL=300\n");
    Ini.close();
  }
  void OpenRawPingSocket() {
    Form->pelPing1->Config(QStringLiteral("UseICMPDLL=False"));
    Form->pelPing1->setRemoteHost(QStringLiteral("127.0.0.1"));
    Form->pelPing1->setActive(true);
  }

  testsupport::TempFolder Dir;
  syslogtest::UdpListener Listener;
  std::unique_ptr<TFormMain> Form;
  bool MarkerSeen = false;
  QStringList Lines;
  std::vector<int> Exits;
};

TEST_F(AutoSequence, WithoutSwitchesThePostedMessageDoesNothing) {
  WriteSettings(QStringLiteral("A=127.0.0.1\n"));
  for (const QStringList &Arguments :
       {QStringList{}, QStringList{"/AUTOX", "AUTO", "-AUTO", "/AUTO "}}) {
    SCOPED_TRACE(Arguments.join(u' ').toStdString());
    Create(Arguments);
    ShowAndHandleTheAutoRunMessage();
    ASSERT_TRUE(MarkerSeen);
    EXPECT_FALSE(Form->Settings().HasLastCheck()) << "no run";
    EXPECT_TRUE(Form->isVisible());
    EXPECT_TRUE(PacketTexts().empty());
    QCoreApplication::processEvents();
    EXPECT_TRUE(Form->isVisible());
  }
}

TEST_F(AutoSequence, AutoRunAloneRunsAndLeavesTheWindowOpen) {
  WriteSettings(QStringLiteral("A=127.0.0.1\nB=localhost\n"));
  TAutoRunMonitor Monitor = MakeMonitor(false);
  Create({QStringLiteral("/autorun")}, &Monitor);
  ShowAndHandleTheAutoRunMessage();
  ASSERT_TRUE(MarkerSeen);
  EXPECT_TRUE(Form->Settings().HasLastCheck());
  EXPECT_EQ(Form->Settings().LastCheckResult(), "All connections OK");
  EXPECT_TRUE(PacketTexts().empty()) << "no report without its switch";
  // Were a close coming it would be queued by now, behind the marker.
  QCoreApplication::processEvents();
  EXPECT_TRUE(Form->isVisible());
  EXPECT_EQ(Lines.size(), 1);
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusAllAnswered);
  EXPECT_TRUE(Exits.empty());
}

TEST_F(AutoSequence, AutoRunAloneWithoutDisplayClosesAfterTheRun) {
  WriteSettings(QStringLiteral("A=127.0.0.1\nno-such-host.test=\n"));
  TAutoRunMonitor Monitor = MakeMonitor(true);
  Create({QStringLiteral("/AUTORUN")}, &Monitor);
  QElapsedTimer Clock;
  Clock.start();
  Form->show();
  ASSERT_TRUE(WaitForClose());
  EXPECT_LT(Clock.elapsed(), 3000) << "no reports: no wait before the close";
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusDevicesFailed);
  EXPECT_EQ(Lines.value(1), "dervik: no answer from: no-such-host.test");
}

// The switches that send reports close the window about three seconds after
// the last one on a display, at once without one; only the reports of the
// switches given are sent.
TEST_F(AutoSequence, ReportSwitchesSendAndClose) {
  const struct {
    const char *Name;
    QStringList Arguments;
    QString MailHost;
    std::vector<std::string> Packets;
    QStringList ReportLines;
  } Rows[] = {
      {"run and syslog",
       {"/AUTORUN", "/AUTOSYSLOG"},
       "127.0.0.1",
       {"Dervik: All connections OK"},
       {"syslog"}},
      {"auto with the mail host unset",
       {"/AUTO"},
       "0.0.0.0",
       {"Dervik: All connections OK"},
       {"mail", "syslog"}},
      {"syslog alone, lower case",
       {"/autosyslog"},
       "0.0.0.0",
       {"Dervik: All connections OK"},
       {"syslog"}},
      {"mail alone", {"/AUTOSMTP"}, "0.0.0.0", {}, {"mail"}},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Lines.clear();
    WriteSettings(QStringLiteral("A=127.0.0.1\n"), QStringLiteral("127.0.0.1"), R.MailHost);
    TAutoRunMonitor Monitor = MakeMonitor(false);
    Create(R.Arguments, &Monitor);
    QElapsedTimer Clock;
    Clock.start();
    Form->show();
    ASSERT_TRUE(WaitForClose());
    EXPECT_GE(Clock.elapsed(), 3000);
    EXPECT_TRUE(Form->Settings().HasLastCheck());
    EXPECT_EQ(PacketTexts(), R.Packets);
    ASSERT_EQ(Lines.size(), 1 + R.ReportLines.size());
    for (qsizetype I = 0; I < R.ReportLines.size(); ++I)
      EXPECT_TRUE(Lines[I + 1].startsWith("dervik: " + R.ReportLines[I] + " report"))
          << Lines[I + 1].toStdString();
    EXPECT_EQ(Monitor.ExitStatus(), ExitStatusAllAnswered);
  }
  // Without a display nobody reads the status bar: the window closes at once.
  WriteSettings(QStringLiteral("A=127.0.0.1\n"), QStringLiteral("127.0.0.1"),
                QStringLiteral("0.0.0.0"));
  TAutoRunMonitor Headless = MakeMonitor(true);
  Create({QStringLiteral("/AUTOSYSLOG")}, &Headless);
  QElapsedTimer Clock;
  Clock.start();
  Form->show();
  ASSERT_TRUE(WaitForClose());
  EXPECT_LT(Clock.elapsed(), 3000);
  EXPECT_EQ(PacketTexts(), std::vector<std::string>{"Dervik: All connections OK"});
}

// After a sent report panel 0 says so, with the time it went, instead of
// the "Sending" text.
TEST_F(AutoSequence, ASentReportSaysSoInPanelZero) {
  WriteSettings(QStringLiteral("A=127.0.0.1\n"));
  Create({QStringLiteral("/AUTORUN")});
  Form->ClickMenuItem(Form->MenuItemRun);
  ASSERT_TRUE(Form->Settings().HasLastCheck());
  const QTime From = QTime::currentTime();
  Form->ClickMenuItem(Form->MenuItemSendToSysLog);
  const QTime To = QTime::currentTime();
  EXPECT_EQ(Form->LastSysLogReport(), rrSent);
  EXPECT_EQ(PacketTexts(), std::vector<std::string>{"Dervik: All connections OK"});
  const QString Panel = Form->StatusPanelText(0);
  const QString Lead = QStringLiteral("Syslog report sent to 127.0.0.1:%1. (").arg(Listener.port());
  ASSERT_TRUE(Panel.startsWith(Lead) && Panel.endsWith(u')')) << Panel.toStdString();
  const QString Stamp = Panel.mid(Lead.size(), Panel.size() - Lead.size() - 1);
  // The time as the window writes the time of a run (its date left out).
  bool InTime = false;
  for (QTime T = From.addSecs(-1); T <= To.addSecs(1) && !InTime; T = T.addSecs(1)) {
    const QString RunTime = FormatDateTimeForDisplay(
        QDateTime(QDate(2026, 12, 9), QTime(T.hour(), T.minute(), T.second())));
    InTime = !Stamp.isEmpty() && RunTime.endsWith(u' ' + Stamp);
  }
  EXPECT_TRUE(InTime) << Stamp.toStdString();
  // A failed report keeps its error there, as ever.
  Form->Settings().SetSyslogHostAddress(QStringLiteral("no-such-host.test"));
  Form->ClickMenuItem(Form->MenuItemSendToSysLog);
  EXPECT_EQ(Form->StatusPanelText(0), "11001: [11001] Host not found");
}

// Settings that let a run check nothing: the window runs them as ever and
// says why in panel 0 after the run, after the summary when there is one; a
// watched run ends as one that could not start and sends no report.
TEST_F(AutoSequence, ARunThatChecksNothingSaysWhy) {
  const QString File = Dir.file(QStringLiteral("dervik.ini"));
  const struct {
    const char *Name, *Settings, *Cause;
    bool Summary;  // the run has one: devices were pinged
  } Rows[] = {
      {"empty [Devices]", "[Devices]\n", "Nothing checked: the [Devices] section of %1 is empty",
       false},
      {"a mistyped section", "[Device]\nA=127.0.0.1\n",
       "Nothing checked: %1 has no [Devices] section", false},
      {"Times 0", "[Ping]\nTimes=0\n[Devices]\nA=127.0.0.1\n",
       "Nothing checked: Times=0 in [Ping] of %1 sends no ping; set it to 1 or more", false},
      {"Timeout 0", "[Ping]\nTimeout=0\n[Devices]\nA=127.0.0.1\nB=127.0.0.2\n",
       "Nothing checked: Timeout=0 in [Ping] of %1 waits for no answer; set it to 1 or more", true},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    // The syslog server is set, so only the failed check holds the report back.
    QFile Ini(File);
    ASSERT_TRUE(Ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    Ini.write(
        QStringLiteral("[Syslog]\nHostAddress=127.0.0.1\nPort=%1\n").arg(Listener.port()).toUtf8() +
        R.Settings);
    Ini.close();
    const QString Cause = QString::fromLatin1(R.Cause).arg(File);

    // By hand: the run as ever, the cause after it.
    Create({});
    Form->ClickMenuItem(Form->MenuItemRun);
    ASSERT_TRUE(Form->Settings().HasLastCheck());
    EXPECT_EQ(Form->NothingChecked(), Cause);
    const QString Stamp =
        QStringLiteral(" (%1)").arg(FormatDateTimeForDisplay(Form->Settings().LastCheckDT()));
    const QString Summary = Form->Settings().LastCheckResult();
    EXPECT_EQ(Summary.isEmpty(), !R.Summary) << Summary.toStdString();
    EXPECT_EQ(Form->StatusPanelText(0),
              R.Summary ? Summary + Stamp + QStringLiteral(" - ") + Cause : Cause + Stamp);
    Form->ClickMenuItem(Form->MenuItemSendToSysLog);
    EXPECT_EQ(Form->LastSysLogReport(), rrSent) << "the menu command sends as ever";
    EXPECT_FALSE(PacketTexts().empty());

    // Watched: no report, the status of a run that could not start.
    Lines.clear();
    TAutoRunMonitor Monitor = MakeMonitor(true);
    Create({QStringLiteral("/AUTOSYSLOG")}, &Monitor);
    Form->show();
    ASSERT_TRUE(WaitForClose());
    EXPECT_EQ(Form->StatusPanelText(0),
              R.Summary ? Form->Settings().LastCheckResult() +
                              QStringLiteral(" (%1) - ")
                                  .arg(FormatDateTimeForDisplay(Form->Settings().LastCheckDT())) +
                              Cause
                        : Cause + QStringLiteral(" (%1)").arg(
                                      FormatDateTimeForDisplay(Form->Settings().LastCheckDT())));
    EXPECT_EQ(Form->LastSysLogReport(), rrNotSent);
    EXPECT_TRUE(PacketTexts().empty()) << "no report of a run that checked nothing";
    EXPECT_EQ(Monitor.ExitStatus(), ExitStatusNotStarted);
    QStringList Expected;
    if (QByteArray(R.Settings).startsWith("[Device]"))
      Expected.append(
          QStringLiteral("dervik: warning: unknown section [Device] in %1; did you mean [Devices]?")
              .arg(File));
    Expected +=
        QStringList{"dervik: " + Cause, "dervik: syslog report not sent: nothing was checked"};
    EXPECT_EQ(Lines, Expected);
  }
}

// A report that fails shows its error, the sequence goes on and the window
// still closes; the status tells the scheduler.
TEST_F(AutoSequence, AFailedReportStillCloses) {
  WriteSettings(QStringLiteral("A=127.0.0.1\nno-such-host.test=\n"),
                QStringLiteral("no-such-host.test"));
  TAutoRunMonitor Monitor = MakeMonitor(false);
  Create({QStringLiteral("/AUTO")}, &Monitor);
  Form->show();
  ASSERT_TRUE(WaitForClose());
  EXPECT_EQ(Form->StatusPanelText(0), "11001: [11001] Host not found");
  EXPECT_EQ(Form->LastSysLogReport(), rrFailed);
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusDevicesFailed | ExitStatusReportFailed);
  EXPECT_EQ(Lines.last(), QStringLiteral("dervik: syslog report to no-such-host.test:%1 failed: "
                                         "11001: [11001] Host not found")
                              .arg(Listener.port()));
}

TEST_F(AutoSequence, AnExceptionLeavesTheWindowOpenOnADisplay) {
  BreakTheConfigurationStep();
  TAutoRunMonitor Monitor = MakeMonitor(false);
  Create({QStringLiteral("/AUTO")}, &Monitor);
  OpenRawPingSocket();
  const TModalBoxCatcher Box;
  ShowAndHandleTheAutoRunMessage();
  ASSERT_TRUE(MarkerSeen);
  EXPECT_EQ(Box.Count(), 1);
  EXPECT_EQ(Box.Text(), "10022: [10022] Invalid argument");
  EXPECT_FALSE(Form->Settings().HasLastCheck());
  EXPECT_TRUE(PacketTexts().empty()) << "the remaining steps do not happen";
  QCoreApplication::processEvents();
  EXPECT_TRUE(Form->isVisible()) << "no close";
  EXPECT_EQ(Lines,
            QStringList{"dervik: the automatic run stopped: 10022: [10022] Invalid argument"});
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusNotStarted);
  EXPECT_TRUE(Exits.empty());
}

// Without a display the same exception must not wait for a box nobody sees:
// the program writes the message to standard error and ends with the status
// of a run that could not start. Set up as the program entry does it.
TEST_F(AutoSequence, AnExceptionEndsTheProgramWithoutDisplay) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        InstallUnattendedMessageFilter();
        SetExceptionReportToStandardError(true);
        TAutoRunMonitor Headless(true, [](const QString &Line) {
          std::fprintf(stderr, "%s\n", Line.toLocal8Bit().constData());
        });
        BreakTheConfigurationStep();
        Create({QStringLiteral("/AUTO")}, &Headless);
        OpenRawPingSocket();
        // A box waiting for a click would hang here: end with a status of our own.
        QTimer::singleShot(20000, [] { std::_Exit(99); });
        Form->show();
        QCoreApplication::exec();
        std::exit(Headless.ExitStatus());
      },
      testing::ExitedWithCode(ExitStatusNotStarted),
      "dervik: the automatic run stopped: 10022: \\[10022\\] Invalid argument");
}

}  // namespace

namespace {

// Runs one after the other in the window: the rows whose device changed
// since the last run are bold and say what they were; with SendWhen the
// automatic sequence leaves a report out and panel 0 says why, while the
// menu command by hand still sends.
TEST_F(AutoSequence, ChangedRowsAreMarkedAndARuleLeavesAReportOut) {
  const QByteArray OldState = qgetenv("XDG_STATE_HOME");
  qputenv("XDG_STATE_HOME", Dir.file(QStringLiteral("state")).toUtf8());
  const auto Restore = qScopeGuard([&] { qputenv("XDG_STATE_HOME", OldState); });
  ASSERT_TRUE(testsupport::writeHosts("127.0.0.1 localhost\n127.0.0.2 b.test\n"));
  const auto Hosts = qScopeGuard([] { testsupport::writeHosts("127.0.0.1 localhost\n"); });
  const struct {
    const char *Name;
    const char *Hosts;
    std::vector<std::string> Packets;  // of the sequence with SendWhen=changes
    QString Panel0;
    bool BBold;
    QString BTip;
    int Status;
  } Runs[] = {
      {"first run, both answer",
       "127.0.0.1 localhost\n127.0.0.2 b.test\n",
       {},
       QStringLiteral("Syslog report not sent: nothing changed."),
       false,
       QString(),
       ExitStatusAllAnswered},
      {"B's name no longer resolves",
       "127.0.0.1 localhost\n",
       {"Dervik: Some connections were OK (1 failed - 1 OK)",
        "Devices with no connection at all:", "- B (b.test): Unable to lookup host address",
        "Dervik: B (b.test) changed from OK to Unable to lookup host address"},
       QString(),
       true,
       QStringLiteral("was OK until "),
       ExitStatusDevicesFailed},
      {"B stays unknown to the name server",
       "127.0.0.1 localhost\n",
       {},
       QStringLiteral("Syslog report not sent: nothing changed."),
       false,
       QString(),
       ExitStatusDevicesFailed},
  };
  QFile Ini(Dir.file(QStringLiteral("dervik.ini")));
  ASSERT_TRUE(Ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
  Ini.write(
      QStringLiteral(
          "[Ping]\nTimes=1\nTimeout=1\n[Syslog]\nHostAddress=127.0.0.1\nPort=%1\nFacility=16\n"
          "SendWhen=changes\n[Devices]\nA=127.0.0.1\nB=b.test\n")
          .arg(Listener.port())
          .toUtf8());
  Ini.close();
  for (const auto &R : Runs) {
    SCOPED_TRACE(R.Name);
    ASSERT_TRUE(testsupport::writeHosts(R.Hosts));
    TAutoRunMonitor Monitor = MakeMonitor(false);
    Create({QStringLiteral("/AUTOSYSLOG")}, &Monitor);
    ShowAndHandleTheAutoRunMessage();
    ASSERT_TRUE(MarkerSeen);
    EXPECT_EQ(PacketTexts(), R.Packets);
    if (!R.Panel0.isEmpty()) {
      EXPECT_EQ(Form->StatusPanelText(0), R.Panel0);
      EXPECT_EQ(Form->LastSysLogReport(), rrNotSent);
    }
    EXPECT_EQ(Monitor.ExitStatus(), R.Status);
    for (int I = 0; I < Form->ListViewResults->topLevelItemCount(); ++I) {
      const QTreeWidgetItem *Row = Form->ListViewResults->topLevelItem(I);
      const bool IsB = Row->text(TFormMain::ColumnDevice) == QStringLiteral("B");
      for (int Column = 0; Column < Row->columnCount(); ++Column) {
        EXPECT_EQ(Row->font(Column).bold(), IsB && R.BBold)
            << Row->text(0).toStdString() << " column " << Column;
        if (IsB && R.BBold) {
          EXPECT_TRUE(Row->toolTip(Column).startsWith(R.BTip))
              << Row->toolTip(Column).toStdString();
          // The time of the last run, in the window's form of the user's locale.
          const QString Tail = Row->toolTip(Column).mid(R.BTip.size());
          EXPECT_TRUE(Tail.contains(QRegularExpression(QStringLiteral("\\d:\\d\\d:\\d\\d"))))
              << Tail.toStdString();
        }
      }
    }
    // By hand the report goes, whatever the rule.
    Form->ClickMenuItem(Form->MenuItemSendToSysLog);
    EXPECT_EQ(Form->LastSysLogReport(), rrSent);
    EXPECT_FALSE(PacketTexts().empty());
    WaitForClose();
    Form.reset();
  }
}

}  // namespace
