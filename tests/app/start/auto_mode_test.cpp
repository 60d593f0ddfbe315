// What an automatic run tells its scheduler: the lines on standard error
// and the exit status, from the outcome of the run and the reports.
#include "start/auto_mode.h"
#include "reports/mail/mail_channel.h"
#include "reports/mail/mail_queue.h"
#include "reports/syslog/syslog_channel.h"
#include "settings/settings.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>

#include <vector>

namespace {

class AutoRunMonitorTest : public testing::Test {
 protected:
  // Settings with the devices A, B and C, as a run has left them.
  void Load(const std::vector<TDeviceStatus> &Statuses, const QString &Summary) {
    SettingsFile =
        Temp.writeText(QStringLiteral("dervik.ini"),
                       QStringLiteral("[SMTP]\nHostAddress=mail.test\nPort=2525\n"
                                      "[Syslog]\nHostAddress=127.0.0.1\nPort=5514\n"
                                      "[Devices]\nA=10.0.0.1\nB=10.0.0.2\nC=10.0.0.3\n"));
    Settings.LoadFromFile(SettingsFile);
    for (size_t I = 0; I < Statuses.size() && I < Settings.Devices().size(); ++I) {
      Settings.Devices()[I]->SetDeviceStatus(Statuses[I]);
      Settings.Devices()[I]->SetDeviceStatusCategory(DeviceStatusCategoryOf(Statuses[I]));
    }
    Settings.SetLastCheckResult(Summary);
    Settings.SetLastCheckDT(QDateTime::currentDateTime());
  }
  // A report's ending as a channel of these settings tells it.
  static TChannelOutcome Outcome(const TChannelTraits &Channel, TReportResult Result,
                                 const QString &Text, const QString &NotSentWhy = QString(),
                                 const QString &Hint = QString()) {
    TChannelOutcome Out;
    Out.Channel = Channel;
    Out.Result = Result;
    Out.Text = Text;
    Out.NotSentWhy = NotSentWhy;
    Out.Hint = Hint;
    return Out;
  }
  TAutoRunMonitor Make(bool Headless) {
    return TAutoRunMonitor(
        Headless, [this](const QString &Line) { Lines.append(Line); },
        [this](int Status) { Exits.push_back(Status); });
  }

  testsupport::TempFolder Temp;
  QString SettingsFile;
  TSettings Settings;
  QStringList Lines;
  std::vector<int> Exits;
};

TEST_F(AutoRunMonitorTest, StatusAndLinesFromDevicesAndReports) {
  const struct {
    const char *Name;
    std::vector<TDeviceStatus> Statuses;
    const char *Summary;
    TReportResult Mail, SysLog;
    int Status;
    QStringList Tail;  // the lines after the "checked" line
  } Rows[] = {
      {"all answered, both sent",
       {dsOK, dsOKPartial, dsOK},
       "All connections OK",
       rrSent,
       rrSent,
       0,
       {"dervik: mail report sent to mail.test:2525",
        "dervik: syslog report sent to 127.0.0.1:5514"}},
      {"one silent",
       {dsOK, dsNoConnection, dsOK},
       "Some connections were OK (1 failed - 2 OK)",
       rrSent,
       rrSent,
       ExitStatusDevicesFailed,
       {"dervik: no answer from: B", "dervik: mail report sent to mail.test:2525",
        "dervik: syslog report sent to 127.0.0.1:5514"}},
      {"not pinged and not found count as no answer",
       {dsNone, dsOK, dsHostLookupFailed},
       "x",
       rrSent,
       rrSent,
       ExitStatusDevicesFailed,
       {"dervik: no answer from: A, C", "dervik: mail report sent to mail.test:2525",
        "dervik: syslog report sent to 127.0.0.1:5514"}},
      {"mail failed",
       {dsOK, dsOK, dsOK},
       "All connections OK",
       rrFailed,
       rrSent,
       ExitStatusReportFailed,
       {"dervik: mail report to mail.test:2525 failed: PANEL",
        "dervik: syslog report sent to 127.0.0.1:5514"}},
      {"both",
       {dsNoConnection, dsOK, dsOK},
       "y",
       rrSent,
       rrFailed,
       ExitStatusDevicesFailed | ExitStatusReportFailed,
       {"dervik: no answer from: A", "dervik: mail report sent to mail.test:2525",
        "dervik: syslog report to 127.0.0.1:5514 failed: PANEL"}},
      {"mail queued",
       {dsOK, dsOK, dsOK},
       "All connections OK",
       rrQueued,
       rrSent,
       ExitStatusReportQueued,
       {"dervik: mail report to mail.test:2525 queued: PANEL",
        "dervik: syslog report sent to 127.0.0.1:5514"}},
      {"mail queued, syslog failed, one silent",
       {dsOK, dsNoConnection, dsOK},
       "z",
       rrQueued,
       rrFailed,
       ExitStatusDevicesFailed | ExitStatusReportFailed | ExitStatusReportQueued,
       {"dervik: no answer from: B", "dervik: mail report to mail.test:2525 queued: PANEL",
        "dervik: syslog report to 127.0.0.1:5514 failed: PANEL"}},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Lines.clear();
    Load(R.Statuses, QString::fromLatin1(R.Summary));
    TAutoRunMonitor Monitor = Make(false);
    Monitor.CheckDone(Settings, SettingsFile);
    Monitor.ReportDone(Outcome(MailChannelTraits(Settings), R.Mail, QStringLiteral("PANEL")));
    Monitor.ReportDone(Outcome(SysLogChannelTraits(Settings), R.SysLog, QStringLiteral("PANEL")));
    EXPECT_EQ(Monitor.ExitStatus(), R.Status);
    QStringList Expected{
        QStringLiteral("dervik: checked 3 devices from %1: %2").arg(SettingsFile, R.Summary)};
    Expected += R.Tail;
    EXPECT_EQ(Lines, Expected);
  }
  EXPECT_TRUE(Exits.empty());
}

TEST_F(AutoRunMonitorTest, AReportWithoutServerIsNoFailure) {
  Load({dsOK, dsOK, dsOK}, QString());
  Settings.SetSMTPHostAddress(QStringLiteral("0.0.0.0"));
  Settings.SetSyslogHostAddress(QString());
  TAutoRunMonitor Monitor = Make(true);
  Monitor.CheckDone(Settings, SettingsFile);
  Monitor.ReportDone(Outcome(MailChannelTraits(Settings), rrNotSent, QString()));
  Monitor.ReportDone(Outcome(SysLogChannelTraits(Settings), rrNotSent, QString()));
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusAllAnswered);
  EXPECT_EQ(
      Lines,
      (QStringList{QStringLiteral("dervik: checked 3 devices from %1: no result").arg(SettingsFile),
                   "dervik: mail report not sent: no server set (HostAddress in [SMTP])",
                   "dervik: syslog report not sent: no server set (HostAddress in [Syslog])"}));
}

TEST_F(AutoRunMonitorTest, SingleDeviceAndMissingSettingsFile) {
  Load({dsOK}, QStringLiteral("All connections OK"));
  Settings.Devices().resize(1);
  TAutoRunMonitor One = Make(false);
  One.CheckDone(Settings, SettingsFile);
  EXPECT_EQ(Lines,
            QStringList{QStringLiteral("dervik: checked 1 device from %1: All connections OK")
                            .arg(SettingsFile)});

  Lines.clear();
  const QString Missing = Temp.file(QStringLiteral("gone.ini"));
  TSettings Empty;
  Empty.LoadFromFile(Missing);
  Empty.SetLastCheckDT(QDateTime::currentDateTime());
  TAutoRunMonitor Monitor = Make(false);
  Monitor.CheckDone(Empty, Missing);
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusNotStarted) << "nothing was checked";
  EXPECT_EQ(
      Lines,
      QStringList{
          QStringLiteral("dervik: settings file %1 not found: no devices to check").arg(Missing)});
}

// A settings file that is there but could not be used, or none at either
// place: the window's line, and the run counts as not started, also when
// the file exists as a regular file (unreadable).
TEST_F(AutoRunMonitorTest, SettingsProblemFailsTheRun) {
  Load({}, QString());
  const QString Problems[] = {
      QStringLiteral("Settings file %1 not used: no permission to read it").arg(SettingsFile),
      QStringLiteral("No settings file: looked for /a/dervik.ini and /b/dervik/dervik.ini"),
  };
  for (const QString &Problem : Problems) {
    Lines.clear();
    TAutoRunMonitor Monitor = Make(false);
    Monitor.CheckDone(Settings, SettingsFile, QString(), Problem);
    EXPECT_EQ(Monitor.ExitStatus(), ExitStatusNotStarted) << Problem.toStdString();
    EXPECT_EQ(Lines, QStringList{QStringLiteral("dervik: ") + Problem +
                                 QStringLiteral(": no devices to check")});
  }
}

TEST_F(AutoRunMonitorTest, ARunThatDidNotEndCouldNotStart) {
  Load({dsOK, dsOK, dsOK}, QStringLiteral("All connections OK"));
  Settings.SetLastCheckDT(QDateTime());
  TAutoRunMonitor Monitor = Make(true);
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusNotStarted) << "nothing checked yet";
  Monitor.CheckDone(Settings, SettingsFile);
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusNotStarted);
  EXPECT_EQ(Lines, QStringList{"dervik: the check run did not end"});
  EXPECT_TRUE(Exits.empty());
}

// A run that found no ping port: its own line, then the reports held back
// by their guard, and the status of a run that could not start.
TEST_F(AutoRunMonitorTest, ARunWithoutPingPortCouldNotStart) {
  Load({dsOK, dsOK, dsOK}, QString());
  Settings.SetLastCheckDT(QDateTime());
  TAutoRunMonitor Monitor = Make(true);
  const QString Line = QStringLiteral("Not checked: no ICMP socket for this user");
  Monitor.CheckDone(Settings, SettingsFile, Line);
  Monitor.ReportDone(Outcome(MailChannelTraits(Settings), rrNotSent, Line));
  Monitor.ReportDone(Outcome(SysLogChannelTraits(Settings), rrNotSent, Line));
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusNotStarted);
  EXPECT_EQ(Lines,
            (QStringList{"dervik: " + Line, "dervik: mail report not sent: no finished check run",
                         "dervik: syslog report not sent: no finished check run"}));
  EXPECT_TRUE(Exits.empty());
}

TEST_F(AutoRunMonitorTest, AStoppedSequenceEndsTheProgramOnlyWithoutDisplay) {
  for (const bool Headless : {false, true}) {
    SCOPED_TRACE(Headless ? "headless" : "display");
    Lines.clear();
    Exits.clear();
    TAutoRunMonitor Monitor = Make(Headless);
    EXPECT_EQ(Monitor.SequenceFailed(QStringLiteral("10022: [10022] Invalid argument")), Headless);
    EXPECT_EQ(Lines,
              QStringList{"dervik: the automatic run stopped: 10022: [10022] Invalid argument"});
    EXPECT_EQ(Monitor.ExitStatus(), ExitStatusNotStarted);
    EXPECT_EQ(Exits, Headless ? std::vector<int>{ExitStatusNotStarted} : std::vector<int>{});
  }
}

// Without --verbose only the lines that need a look: devices without
// answer, a report that failed or was queued, warnings, why nothing was
// checked. The status is the same either way.
TEST_F(AutoRunMonitorTest, QuietRunsWriteOnlyTheirProblems) {
  const struct {
    const char *Name;
    std::vector<TDeviceStatus> Statuses;
    TReportResult Mail, SysLog;
    QStringList Verbose, Quiet;  // the lines after the "checked" line, which only verbose has
  } Rows[] = {
      {"all well",
       {dsOK, dsOK, dsOK},
       rrSent,
       rrSent,
       {"dervik: mail report sent to mail.test:2525",
        "dervik: syslog report sent to 127.0.0.1:5514"},
       {}},
      {"a report held back",
       {dsOK, dsOK, dsOK},
       rrNotSent,
       rrSent,
       {"dervik: mail report not sent: no finished check run",
        "dervik: syslog report sent to 127.0.0.1:5514"},
       {}},
      {"a device silent",
       {dsOK, dsNoConnection, dsOK},
       rrSent,
       rrSent,
       {"dervik: no answer from: B", "dervik: mail report sent to mail.test:2525",
        "dervik: syslog report sent to 127.0.0.1:5514"},
       {"dervik: no answer from: B"}},
      {"failed and queued",
       {dsOK, dsOK, dsOK},
       rrQueued,
       rrFailed,
       {"dervik: mail report to mail.test:2525 queued: PANEL",
        "dervik: syslog report to 127.0.0.1:5514 failed: PANEL"},
       {"dervik: mail report to mail.test:2525 queued: PANEL",
        "dervik: syslog report to 127.0.0.1:5514 failed: PANEL"}},
  };
  for (const auto &R : Rows) {
    for (const bool Verbose : {true, false}) {
      SCOPED_TRACE(std::string(R.Name) + (Verbose ? " verbose" : " quiet"));
      Lines.clear();
      Load(R.Statuses, QStringLiteral("S"));
      TAutoRunMonitor Monitor = Make(true);
      EXPECT_TRUE(Monitor.Verbose()) << "verbose unless told otherwise";
      Monitor.SetVerbose(Verbose);
      Monitor.CheckDone(Settings, SettingsFile);
      Monitor.ReportDone(Outcome(MailChannelTraits(Settings), R.Mail, QStringLiteral("PANEL")));
      Monitor.ReportDone(Outcome(SysLogChannelTraits(Settings), R.SysLog, QStringLiteral("PANEL")));
      QStringList Expected;
      if (Verbose)
        Expected =
            QStringList{QStringLiteral("dervik: checked 3 devices from %1: S").arg(SettingsFile)} +
            R.Verbose;
      else
        Expected = R.Quiet;
      EXPECT_EQ(Lines, Expected);
    }
  }
  // The problems of a run that could not start or stopped are written quietly too.
  Lines.clear();
  TAutoRunMonitor Monitor = Make(false);
  Monitor.SetVerbose(false);
  Settings.SetLastCheckDT(QDateTime());
  Monitor.CheckDone(Settings, SettingsFile);
  Monitor.SequenceFailed(QStringLiteral("E"));
  EXPECT_EQ(Lines, (QStringList{"dervik: the check run did not end",
                                "dervik: the automatic run stopped: E"}));
}

// Settings that let the run check nothing: the cause, the status of a run
// that could not start, and no report (the held-back reports say so only
// when verbose). Warnings about unknown names come first, quiet or not.
TEST_F(AutoRunMonitorTest, ARunThatCheckedNothingFailsAndSendsNoReport) {
  for (const bool Verbose : {true, false}) {
    SCOPED_TRACE(Verbose ? "verbose" : "quiet");
    Lines.clear();
    SettingsFile =
        Temp.writeText(QStringLiteral("dervik.ini"),
                       QStringLiteral("[Ping]\nTimout=0\nTimes=0\n[SMTP]\nHostAddress=mail.test\n"
                                      "[Device]\nA=10.0.0.1\n"));
    Settings.LoadFromFile(SettingsFile);
    Settings.SetLastCheckDT(QDateTime::currentDateTime());
    TAutoRunMonitor Monitor = Make(true);
    Monitor.SetVerbose(Verbose);
    EXPECT_TRUE(Monitor.ReportsWanted());
    Monitor.CheckDone(Settings, SettingsFile, QString(), QString(),
                      QStringLiteral("Nothing checked: CAUSE"));
    EXPECT_FALSE(Monitor.ReportsWanted());
    Monitor.ReportDone(Outcome(MailChannelTraits(Settings), rrNotSent, QString()));
    Monitor.ReportDone(Outcome(SysLogChannelTraits(Settings), rrNotSent, QString()));
    EXPECT_EQ(Monitor.ExitStatus(), ExitStatusNotStarted);
    QStringList Expected{
        QStringLiteral("dervik: warning: unknown key Timout in [Ping] of %1; did you mean Timeout?")
            .arg(SettingsFile),
        QStringLiteral("dervik: warning: unknown section [Device] in %1; did you mean [Devices]?")
            .arg(SettingsFile),
        "dervik: Nothing checked: CAUSE"};
    if (Verbose)
      Expected +=
          QStringList{"dervik: mail report not sent: nothing was checked",
                      "dervik: syslog report not sent: no server set (HostAddress in [Syslog])"};
    EXPECT_EQ(Lines, Expected);
  }
  EXPECT_TRUE(Exits.empty());
}

// Which failures of the mail report keep it in the queue folder: a server
// that could not be reached, or a temporary (4xx) refusal; nothing else. The
// refusal's reply code is the component's RefusedReplyCode (0 when the
// failure was not a refusal).
TEST(MailQueuePolicy, OnlyUnreachableServersAndTemporaryRefusalsAreQueued) {
  const struct {
    int Code;
    int RefusedReplyCode;
    bool Unreachable, Temporary;
  } Rows[] = {
      {10061, 0, true, true},
      {10060, 0, true, true},
      {11001, 0, true, true},
      {11004, 0, true, true},
      {301, 0, true, true},
      {161, 451, false, true},
      {161, 421, false, true},
      // A reply that is only its class still counts by it.
      {161, 400, false, true},
      {161, 550, false, false},
      {161, 554, false, false},
      {161, 0, false, false},
      // A 4xx code of another failure is not a refusal of the server.
      {164, 451, false, false},
      {164, 0, false, false},
      {165, 0, false, false},
      {117, 0, false, false},
      {302, 0, false, false},
      {9999, 0, false, false},
      {12000, 0, false, false},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(testing::Message() << R.Code << " " << R.RefusedReplyCode);
    EXPECT_EQ(MailServerUnreachable(R.Code), R.Unreachable);
    EXPECT_EQ(MailFailureIsTemporary(R.Code, R.RefusedReplyCode), R.Temporary);
    // Only a name lookup's failure may queue a report before the server was even tried.
    EXPECT_EQ(MailServerLookupFailed(R.Code), R.Code >= 11001 && R.Code <= 11004);
  }
}

// The file whose delivery ended ProcessQueue, and the damaged files set
// aside, from the outcomes the component reports for each file.
TEST(MailQueuePolicy, TheFileBeingDeliveredAndTheDamagedOnesComeFromTheOutcomes) {
  const TQueuedFile Delivered{QStringLiteral("1l_1l0.queued"), PELNET_SMTP_qoDelivered, {}};
  const TQueuedFile Kept{QStringLiteral("1l_2l0.queued"), PELNET_SMTP_qoKept,
                         QStringLiteral("/q/1l_2l0.sent")};
  const TQueuedFile Skipped{QStringLiteral("1l_3l0.queued"), PELNET_SMTP_qoSkipped, {}};
  const TQueuedFile Damaged{QStringLiteral("1l_4l0.queued"), PELNET_SMTP_qoDamaged,
                            QStringLiteral("/q/1l_4l0.bad")};
  const TQueuedFile DamagedStuck{QStringLiteral("1l_5l0.queued"), PELNET_SMTP_qoDamaged, {}};
  const TQueuedFile Failed{QStringLiteral("a b.queued"), PELNET_SMTP_qoFailed,
                           QStringLiteral("/q/a b.failed")};
  const TQueuedFile FailedUnclaimed{QStringLiteral("1l_6l0.queued"), PELNET_SMTP_qoFailed, {}};
  const struct {
    const char *Case;
    QList<TQueuedFile> Files;
    QString Delivering;
    QStringList DamagedPaths;
  } Rows[] = {
      {"none taken up", {}, {}, {}},
      {"all delivered", {Delivered, Kept, Skipped}, {}, {}},
      {"the last failed", {Delivered, Failed}, QStringLiteral("a b.queued"), {}},
      {"failed before its claim", {FailedUnclaimed}, QStringLiteral("1l_6l0.queued"), {}},
      {"damaged ones on the way",
       {Damaged, Delivered, DamagedStuck, Failed},
       QStringLiteral("a b.queued"),
       {QStringLiteral("/q/1l_4l0.bad")}},
      {"damaged last", {Delivered, Damaged}, {}, {QStringLiteral("/q/1l_4l0.bad")}},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Case);
    EXPECT_EQ(FailedQueueFile(R.Files), R.Delivering);
    EXPECT_EQ(DamagedQueueFiles(R.Files), R.DamagedPaths);
  }
}

// Queued reports of earlier runs refused for good are lost reports: each is
// named on its own line and the run's status carries the report-failed bit,
// also when this run's own report went out.
TEST_F(AutoRunMonitorTest, QueuedReportsRefusedForGoodFailTheReport) {
  Load({dsOK, dsOK, dsOK}, QStringLiteral("All connections OK"));
  TAutoRunMonitor Monitor = Make(true);
  Monitor.CheckDone(Settings, SettingsFile);
  Monitor.ReportDone(Outcome(MailChannelTraits(Settings), rrSent, QString()));
  Monitor.QueuedMailLost({});
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusAllAnswered);
  Monitor.QueuedMailLost({QStringLiteral("/q/1l_2l0.failed: 161: SMTP protocol error. 550 no."),
                          QStringLiteral("/q/1l_3l0.failed: 161: SMTP protocol error. 554 no.")});
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusReportFailed);
  EXPECT_EQ(Lines.mid(Lines.size() - 2),
            (QStringList{"dervik: queued mail report not delivered: /q/1l_2l0.failed: 161: SMTP "
                         "protocol error. 550 no.",
                         "dervik: queued mail report not delivered: /q/1l_3l0.failed: 161: SMTP "
                         "protocol error. 554 no."}));
}

// A settings file deleted while its devices were being checked: the run
// checked them, and its outcome is theirs.
TEST_F(AutoRunMonitorTest, SettingsFileDeletedDuringTheRunKeepsTheOutcome) {
  Load({dsOK, dsNoConnection, dsOK}, QStringLiteral("Some connections were OK (1 failed - 2 OK)"));
  ASSERT_TRUE(QFile::remove(SettingsFile));
  TAutoRunMonitor Monitor = Make(true);
  Monitor.CheckDone(Settings, SettingsFile);
  EXPECT_EQ(Monitor.ExitStatus(), ExitStatusDevicesFailed);
  EXPECT_EQ(Lines, (QStringList{
                       QStringLiteral("dervik: checked 3 devices from %1: Some connections were OK "
                                      "(1 failed - 2 OK)")
                           .arg(SettingsFile),
                       "dervik: no answer from: B"}));
}

// A device name holding a control character does not cut the line.
TEST_F(AutoRunMonitorTest, ControlCharactersInNamesAreShownNotObeyed) {
  Load({dsOK, dsNoConnection, dsNoConnection}, QStringLiteral("x"));
  Settings.Devices()[1]->SetDeviceName(QString::fromUtf16(u"B\0x", 3));
  TAutoRunMonitor Monitor = Make(true);
  Monitor.CheckDone(Settings, SettingsFile);
  EXPECT_EQ(Lines.last(), QStringLiteral("dervik: no answer from: B\uFFFDx, C"));
}

}  // namespace
