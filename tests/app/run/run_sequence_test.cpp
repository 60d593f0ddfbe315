// A whole run without a window, in the test's namespaces: the settings read,
// the devices checked (one on loopback, one behind a tun device where
// nothing answers), the run kept, its history and --json file written, and
// each channel's report decided by its rule and sent to a real mail server
// and rsyslogd. What the run came to is read from its result object only,
// and no widget is made on the way.
#include "history/history_store.h"
#include "isolation.h"
#include "loopback_ports.h"
#include "report_peers.h"
#include "run/run_sequence.h"
#include "run/run_state.h"
#include "start/auto_mode.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace Qt::StringLiterals;

const QString Camera = QStringLiteral("198.18.0.7");  // its pings go to the tun device

class RunSequenceWithoutWindow : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    std::string Why;
    Tun = testsupport::openTun("dervik-tun1", "198.18.0.1/24", &Why);
    if (Tun < 0) GTEST_SKIP() << "no tun device: " << Why;
    ASSERT_TRUE(Mail.Ok()) << Mail.Why();
    if (!SysLog.Start()) GTEST_SKIP() << SysLog.Why();
    char Name[256] = {};
    gethostname(Name, sizeof Name - 1);
    Host = Name;
  }
  void TearDown() override {
    if (Tun >= 0) close(Tun);
    unsetenv("XDG_STATE_HOME");
  }

  int Tun = -1;
  reportpeers::SmtpSink Mail;
  reportpeers::Rsyslogd SysLog;
  std::string Host;
};

struct TCase {
  const char *Name;
  QString Devices;
  bool MailListens;  // false: nothing listens on the mail port
  QString MailRule;  // added to [SMTP]
  QString Summary;
  QStringList Silent;
  TReportResult MailResult, SysLogResult;
  QString MailNotSentWhy;
  QString MailTextHas;  // words the mail report's line holds
  int Status;
  QStringList SysLogTexts;  // "severity|text" of each packet rsyslogd filed
};

TEST_F(RunSequenceWithoutWindow, ChecksKeepsAndReportsByEachChannelsRule) {
  const QString Router = QStringLiteral("Router=127.0.0.1\n");
  const QString Both = Router + QStringLiteral("Camera=%1\n").arg(Camera);
  const QString AllOK = QStringLiteral("All connections OK");
  const QString OneSilent = QStringLiteral("Some connections were OK (1 failed - 1 OK)");
  const QStringList SilentLines{u"3|Devices with no connection at all:"_s,
                                u"3|- Camera (198.18.0.7): No connection at all"_s};
  const TCase Cases[] = {
      {"all answered, both sent",
       Router,
       true,
       QString(),
       AllOK,
       {},
       rrSent,
       rrSent,
       QString(),
       u"Mail report sent to 127.0.0.1:"_s,
       ExitStatusAllAnswered,
       {u"6|Dervik: "_s + AllOK}},
      {"one silent, both sent",
       Both,
       true,
       QString(),
       OneSilent,
       {u"Camera"_s},
       rrSent,
       rrSent,
       QString(),
       u"Mail report sent to 127.0.0.1:"_s,
       ExitStatusDevicesFailed,
       QStringList{u"6|Dervik: "_s + OneSilent} + SilentLines},
      {"mail only on failures, all answered",
       Router,
       true,
       u"SendWhen=failures\n"_s,
       AllOK,
       {},
       rrNotSent,
       rrSent,
       u"all devices OK"_s,
       QString(),
       ExitStatusAllAnswered,
       {u"6|Dervik: "_s + AllOK}},
      {"nobody at the mail port",
       Both,
       false,
       QString(),
       OneSilent,
       {u"Camera"_s},
       rrFailed,
       rrSent,
       QString(),
       u"refused"_s,
       ExitStatusDevicesFailed | ExitStatusReportFailed,
       QStringList{u"6|Dervik: "_s + OneSilent} + SilentLines},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    setenv("XDG_STATE_HOME", Dir.filePath(u"state"_s).toLocal8Bit().constData(), 1);
    const int MailPort = C.MailListens ? Mail.Port() : testsupport::FreeLoopbackPort();
    ASSERT_GT(MailPort, 0);
    const QString SettingsFile = Dir.filePath(u"dervik.ini"_s);
    QFile Ini(SettingsFile);
    ASSERT_TRUE(Ini.open(QIODevice::WriteOnly));
    Ini.write(QStringLiteral("[Ping]\nTimes=1\nTimeout=1\n"
                             "[SMTP]\nHostAddress=127.0.0.1\nPort=%1\nRecipients=ops@dervik.test\n"
                             "Sender=dervik@dervik.test\n%2"
                             "[Syslog]\nHostAddress=127.0.0.1\nPort=%3\nFacility=16\n[Devices]\n%4")
                  .arg(MailPort)
                  .arg(C.MailRule)
                  .arg(SysLog.Port())
                  .arg(C.Devices)
                  .toUtf8());
    Ini.close();
    const QString Json = Dir.filePath(u"run.json"_s);
    const size_t MailsBefore = Mail.Messages().size();
    const size_t LinesBefore = SysLog.Lines().size();

    TRunSequence Sequence({Dir.filePath(u"dervik"_s), QString(), Dir.filePath(u"data"_s)});
    Sequence.SetResultFiles(Json, QString());
    const TRunResult Result = Sequence.Run({u"mail"_s, u"syslog"_s});

    EXPECT_TRUE(QApplication::allWidgets().isEmpty()) << "a run without a window makes no widget";
    EXPECT_EQ(Result.Stopped, QString());
    // The check.
    EXPECT_TRUE(Result.Check.Ended);
    EXPECT_EQ(Result.Check.SettingsFileName, SettingsFile);
    EXPECT_EQ(Result.Check.NotStarted, QString());
    EXPECT_EQ(Result.Check.NothingChecked, QString());
    EXPECT_EQ(Result.Check.Summary, C.Summary);
    EXPECT_EQ(Result.Check.Silent, C.Silent);
    // What the run kept and wrote.
    ASSERT_TRUE(Result.Changes.has_value());
    EXPECT_TRUE(Result.Changes->PreviousRun.isNull()) << "the first run of this settings file";
    EXPECT_EQ(Result.RunStateMessage, QString());
    EXPECT_TRUE(QFileInfo::exists(RunStateFileName(SettingsFile)));
    EXPECT_EQ(Result.HistoryLine, QString());
    EXPECT_TRUE(QFileInfo::exists(HistoryDatabaseFile(SettingsFile, Dir.filePath(u"data"_s))));
    ASSERT_EQ(Result.ResultFiles.size(), 1u);
    EXPECT_EQ(Result.ResultFiles[0].FileName, Json);
    EXPECT_EQ(Result.ResultFiles[0].Problem, QString());
    QFile Written(Json);
    ASSERT_TRUE(Written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(Written.readAll().contains("\"Router\""));
    // Each channel's report, in the order the sequence sends them.
    ASSERT_EQ(Result.Reports.size(), 2u);
    EXPECT_EQ(Result.Reports[0].Channel.Name, u"mail"_s);
    EXPECT_EQ(Result.Reports[1].Channel.Name, u"syslog"_s);
    const TChannelOutcome *MailReport = Result.Report(u"mail"_s);
    const TChannelOutcome *SysLogReport = Result.Report(u"syslog"_s);
    ASSERT_NE(MailReport, nullptr);
    ASSERT_NE(SysLogReport, nullptr);
    EXPECT_EQ(MailReport->Result, C.MailResult) << MailReport->Text.toStdString();
    EXPECT_EQ(MailReport->Channel.Destination(), u"127.0.0.1:%1"_s.arg(MailPort));
    EXPECT_EQ(MailReport->NotSentWhy, C.MailNotSentWhy);
    if (C.MailTextHas.isEmpty())
      EXPECT_EQ(MailReport->Text, QString());
    else
      EXPECT_TRUE(MailReport->Text.contains(C.MailTextHas, Qt::CaseInsensitive))
          << MailReport->Text.toStdString();
    EXPECT_EQ(SysLogReport->Result, C.SysLogResult) << SysLogReport->Text.toStdString();
    EXPECT_TRUE(
        SysLogReport->Text.startsWith(u"Syslog report sent to 127.0.0.1:%1."_s.arg(SysLog.Port())))
        << SysLogReport->Text.toStdString();
    EXPECT_EQ(Result.ExitStatus(), C.Status);

    // What the peers received.
    const std::vector<reportpeers::Mail> Mails = Mail.Messages();
    ASSERT_EQ(Mails.size(), MailsBefore + (C.MailResult == rrSent ? 1 : 0));
    if (C.MailResult == rrSent) {
      const reportpeers::Mail &Got = Mails.back();
      EXPECT_EQ(Got.Header("Subject"), ("Dervik: " + C.Summary).toStdString());
      EXPECT_EQ(Got.To, std::vector<std::string>{"ops@dervik.test"});
      EXPECT_NE(Got.Body.find("- Router (127.0.0.1): OK"), std::string::npos) << Got.Body;
      EXPECT_EQ(Got.Body.find("- Camera (") != std::string::npos, !C.Silent.isEmpty()) << Got.Body;
    }
    const size_t Want = LinesBefore + static_cast<size_t>(C.SysLogTexts.size());
    const std::vector<std::string> Lines = SysLog.WaitForLines(Want, 5000);
    ASSERT_EQ(Lines.size(), Want);
    for (qsizetype I = 0; I < C.SysLogTexts.size(); ++I) {
      const QString Text = C.SysLogTexts[I];
      const qsizetype Bar = Text.indexOf(u'|');
      EXPECT_EQ(Lines[LinesBefore + static_cast<size_t>(I)], "16|" + Text.left(Bar).toStdString() +
                                                                 "|" + Host + "|" +
                                                                 Text.mid(Bar + 1).toStdString());
    }

    // The unattended lines come from the result alone.
    QStringList Told;
    TAutoRunMonitor Monitor(
        true, [&](const QString &Line) { Told.append(Line); }, [](int) {});
    Monitor.RunDone(Result);
    EXPECT_EQ(Monitor.ExitStatus(), C.Status);
    EXPECT_TRUE(Told.contains(u"dervik: results written to %1"_s.arg(Json)))
        << Told.join(u'\n').toStdString();
    const QString MailLine =
        C.MailResult == rrFailed
            ? u"dervik: mail report to 127.0.0.1:%1 failed: %2"_s.arg(MailPort).arg(
                  MailReport->Text)
        : C.MailResult == rrNotSent ? u"dervik: mail report not sent: "_s + C.MailNotSentWhy
                                    : u"dervik: mail report sent to 127.0.0.1:%1"_s.arg(MailPort);
    EXPECT_TRUE(Told.contains(MailLine)) << MailLine.toStdString() << "\n"
                                         << Told.join(u'\n').toStdString();
  }
}

// The short report of a run that could not check goes once per cause by the
// rules that wait for trouble, and the state keeps each channel's cause
// under its name.
TEST_F(RunSequenceWithoutWindow, ARunThatChecksNothingIsToldOncePerChannel) {
  QTemporaryDir Dir;
  ASSERT_TRUE(Dir.isValid());
  setenv("XDG_STATE_HOME", Dir.filePath(u"state"_s).toLocal8Bit().constData(), 1);
  const QString SettingsFile = Dir.filePath(u"dervik.ini"_s);
  QFile Ini(SettingsFile);
  ASSERT_TRUE(Ini.open(QIODevice::WriteOnly));
  // Times=0 asks nothing: the run ends without checking.
  Ini.write(
      QStringLiteral("[Ping]\nTimes=0\nTimeout=1\n"
                     "[SMTP]\nHostAddress=127.0.0.1\nPort=%1\nRecipients=ops@dervik.test\n"
                     "Sender=dervik@dervik.test\nSendWhen=failures\n"
                     "[Syslog]\nHostAddress=127.0.0.1\nPort=%2\nFacility=16\nSendWhen=failures\n"
                     "[Devices]\nRouter=127.0.0.1\n")
          .arg(Mail.Port())
          .arg(SysLog.Port())
          .toUtf8());
  Ini.close();
  const size_t MailsBefore = Mail.Messages().size();
  for (const bool First : {true, false}) {
    SCOPED_TRACE(First ? "first run" : "second run");
    TRunSequence Sequence({Dir.filePath(u"dervik"_s), QString(), QString()});
    const TRunResult Result = Sequence.Run({u"mail"_s, u"syslog"_s});
    EXPECT_TRUE(QApplication::allWidgets().isEmpty());
    EXPECT_FALSE(Result.Check.NothingChecked.isEmpty());
    EXPECT_EQ(Result.ExitStatus(), ExitStatusNotStarted);
    ASSERT_EQ(Result.Reports.size(), 2u);
    for (const TChannelOutcome &Report : Result.Reports) {
      SCOPED_TRACE(Report.Channel.Name.toStdString());
      EXPECT_EQ(Report.Result, First ? rrSent : rrNotSent) << Report.Text.toStdString();
      EXPECT_EQ(Report.NotSentWhy,
                First ? QString() : u"the check could not run, as already reported"_s);
    }
    const TRunStateRead State = ReadRunState(RunStateFileName(SettingsFile), SettingsFile);
    EXPECT_EQ(State.State.NotRunCauses.value(u"mail"_s), Result.Check.NothingChecked);
    EXPECT_EQ(State.State.NotRunCauses.value(u"syslog"_s), Result.Check.NothingChecked);
  }
  const std::vector<reportpeers::Mail> Mails = Mail.Messages();
  ASSERT_EQ(Mails.size(), MailsBefore + 1) << "told once";
  EXPECT_EQ(Mails.back().Header("Subject"), "Dervik: the check could not run");
  const std::vector<std::string> Lines = SysLog.WaitForLines(1, 5000);
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0].rfind("16|", 0), 0u) << Lines[0];
  EXPECT_NE(Lines[0].find("|Dervik: the check could not run: "), std::string::npos) << Lines[0];
}

}  // namespace
