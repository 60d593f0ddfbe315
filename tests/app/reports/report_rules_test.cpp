// Runs one after the other as a timer starts them: a device going down,
// staying down, coming back, one added and one removed between runs. Which
// rule sends which report, the lines the reports add and the times since
// when a device has been down.
#include "reports/report_rules.h"
#include "reports/report_texts.h"
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QLocale>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Qt::StringLiterals;

struct TDeviceRow {
  const char *Name, *Address;
  TDeviceStatus Status;
};

// Settings after a finished run at Time with Devices in their states.
void FinishRun(TSettings &S, const std::vector<TDeviceRow> &Devices, const QDateTime &Time) {
  S.Clear();
  for (const TDeviceRow &Row : Devices) {
    auto Device =
        std::make_unique<TDevice>(QString::fromUtf8(Row.Name), QString::fromUtf8(Row.Address));
    Device->SetDeviceStatus(Row.Status);
    Device->SetDeviceStatusCategory(DeviceStatusCategoryOf(Row.Status));
    S.Devices().push_back(std::move(Device));
  }
  S.SetLastCheckDT(Time);
  S.SetLastCheckResult(u"summary"_s);
}

QDateTime At(int Minute) { return QDateTime(QDate(2026, 12, 9), QTime(6, Minute)); }

// Times are written in the user's locale: the tests read them in German.
struct TGermanLocale {
  TGermanLocale() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }
  ~TGermanLocale() { QLocale::setDefault(QLocale::c()); }
  TGermanLocale(const TGermanLocale &) = delete;
  TGermanLocale &operator=(const TGermanLocale &) = delete;
};

QString Reason(TSendWhen When, const TRunChanges &Changes) {
  TReportRule Rule;
  Rule.When = When;
  return ReportLeftOutReason(Rule, Changes);
}

std::vector<QString> Texts(const std::vector<TSysLogReportLine> &Lines, int Severity) {
  std::vector<QString> Out;
  for (const TSysLogReportLine &Line : Lines) {
    EXPECT_EQ(Line.Severity, Severity) << Line.Text.toStdString();
    Out.push_back(Line.Text);
  }
  return Out;
}

TEST(ReportRules, ASequenceOfRunsSendsWhatEachRuleAsksFor) {
  const TGermanLocale Locale;
  const struct {
    const char *Name;
    std::vector<TDeviceRow> Devices;
    int Minute;
    QString FailuresLeftOut, ChangesLeftOut;
    QString Section;
    std::vector<QString> SysLog;
  } Runs[] = {
      {"first run, all OK",
       {{"A", "10.0.0.1", dsOK}, {"B", "10.0.0.2", dsOK}},
       30,
       u"all devices OK"_s,
       u"nothing changed"_s,
       u"Changes since the last run (no earlier run):\r\nNo device changed.\r\n\r\n"_s,
       {}},
      {"B goes down",
       {{"A", "10.0.0.1", dsOK}, {"B", "10.0.0.2", dsNoConnection}},
       35,
       {},
       {},
       u"Changes since the last run (09.12.26 06:30:00):\r\n"
       "- B (10.0.0.2): OK -> No connection at all\r\n"
       "Devices not OK, and since when:\r\n"
       "- B (10.0.0.2): No connection at all since 09.12.26 06:35:00\r\n\r\n"_s,
       {u"Dervik: B (10.0.0.2) changed from OK to No connection at all"_s}},
      {"B stays down: its time stays",
       {{"A", "10.0.0.1", dsOK}, {"B", "10.0.0.2", dsNoConnection}},
       40,
       {},
       u"nothing changed"_s,
       u"Changes since the last run (09.12.26 06:35:00):\r\n"
       "No device changed.\r\n"
       "Devices not OK, and since when:\r\n"
       "- B (10.0.0.2): No connection at all since 09.12.26 06:35:00\r\n\r\n"_s,
       {}},
      {"partial answers are still OK: no change",
       {{"A", "10.0.0.1", dsOKPartial}, {"B", "10.0.0.2", dsNoConnection}},
       42,
       {},
       u"nothing changed"_s,
       u"Changes since the last run (09.12.26 06:40:00):\r\n"
       "No device changed.\r\n"
       "Devices not OK, and since when:\r\n"
       "- B (10.0.0.2): No connection at all since 09.12.26 06:35:00\r\n\r\n"_s,
       {}},
      {"B back, A removed, C added and down",
       {{"B", "10.0.0.2", dsOK}, {"C", "c.test", dsHostLookupFailed}},
       45,
       {},
       {},
       u"Changes since the last run (09.12.26 06:42:00):\r\n"
       "- B (10.0.0.2): No connection at all -> OK\r\n"
       "- C (c.test): not checked before -> Unable to lookup host address\r\n"
       "Devices not OK, and since when:\r\n"
       "- C (c.test): Unable to lookup host address since 09.12.26 06:45:00\r\n\r\n"_s,
       {u"Dervik: B (10.0.0.2) changed from No connection at all to OK"_s,
        u"Dervik: C (c.test) changed from not checked before to Unable to lookup host address"_s}},
      {"A back in the list and OK: added, yet no change",
       {{"A", "10.0.0.1", dsOK}, {"B", "10.0.0.2", dsOK}, {"C", "c.test", dsHostLookupFailed}},
       50,
       {},
       u"nothing changed"_s,
       u"Changes since the last run (09.12.26 06:45:00):\r\n"
       "No device changed.\r\n"
       "Devices not OK, and since when:\r\n"
       "- C (c.test): Unable to lookup host address since 09.12.26 06:45:00\r\n\r\n"_s,
       {}},
      {"a device is known by its name: B under another address",
       {{"A", "10.0.0.1", dsOK}, {"B", "b.test", dsNoConnection}, {"C", "127.0.0.3", dsOK}},
       55,
       {},
       {},
       u"Changes since the last run (09.12.26 06:50:00):\r\n"
       "- B (b.test): OK -> No connection at all\r\n"
       "- C (127.0.0.3): Unable to lookup host address -> OK\r\n"
       "Devices not OK, and since when:\r\n"
       "- B (b.test): No connection at all since 09.12.26 06:55:00\r\n\r\n"_s,
       {u"Dervik: B (b.test) changed from OK to No connection at all"_s,
        u"Dervik: C (127.0.0.3) changed from Unable to lookup host address to OK"_s}},
  };
  TSettings S;
  TRunState State;
  for (const auto &Run : Runs) {
    SCOPED_TRACE(Run.Name);
    FinishRun(S, Run.Devices, At(Run.Minute));
    const TRunChanges Changes = CompareRuns(State, S);
    EXPECT_EQ(Reason(swAlways, Changes), QString());
    EXPECT_EQ(Reason(swFailures, Changes), Run.FailuresLeftOut);
    EXPECT_EQ(Reason(swChanges, Changes), Run.ChangesLeftOut);
    EXPECT_EQ(MailChangesSection(Changes), Run.Section);
    EXPECT_EQ(Texts(SysLogChangeLines(Changes), 5), Run.SysLog);
    State = StateAfter(Changes);
    EXPECT_EQ(State.RunTime, At(Run.Minute));
  }
}

TEST(ReportRules, AFirstRunCountsAsAChangeForEveryDeviceNotOK) {
  TSettings S;
  FinishRun(S, {{"A", "10.0.0.1", dsOK}, {"B", "10.0.0.2", dsNoConnection}}, At(0));
  const TRunChanges Changes = CompareRuns(TRunState{}, S);
  ASSERT_EQ(Changes.Devices.size(), 2u);
  EXPECT_FALSE(Changes.Devices[0].Changed);
  EXPECT_TRUE(Changes.Devices[1].Changed);
  EXPECT_EQ(Reason(swChanges, Changes), QString());
  EXPECT_EQ(ChangedRowToolTip(Changes.Devices[1], Changes.PreviousRun), u"not checked before"_s);
}

TEST(ReportRules, KeysParseAsWrittenAndSlipsKeepTheDefault) {
  const struct {
    const char *SendWhen, *ShowChanges;
    std::optional<TSendWhen> When;
    std::optional<bool> Show;
    TSendWhen RuleWhen;
    bool RuleShow;
  } Rows[] = {
      {"", "", swAlways, false, swAlways, false},
      {"always", "no", swAlways, false, swAlways, false},
      {" Failures ", "YES", swFailures, true, swFailures, true},
      {"CHANGES", "", swChanges, false, swChanges, true},  // changes implies yes
      {"changes", "no", swChanges, false, swChanges, true},
      {"change", "y", std::nullopt, std::nullopt, swAlways, false},
      {"never", "true", std::nullopt, std::nullopt, swAlways, false},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(std::string(R.SendWhen) + "/" + R.ShowChanges);
    EXPECT_EQ(ParseSendWhen(QString::fromUtf8(R.SendWhen)), R.When);
    EXPECT_EQ(ParseShowChanges(QString::fromUtf8(R.ShowChanges)), R.Show);
    TSettings S;
    S.SetSMTPSendWhen(QString::fromUtf8(R.SendWhen));
    S.SetSMTPShowChanges(QString::fromUtf8(R.ShowChanges));
    S.SetSyslogSendWhen(QString::fromUtf8(R.SendWhen));
    S.SetSyslogShowChanges(QString::fromUtf8(R.ShowChanges));
    for (const TReportRule &Rule : {MailReportRule(S), SysLogReportRule(S)}) {
      EXPECT_EQ(Rule.When, R.RuleWhen);
      EXPECT_EQ(Rule.ShowChanges, R.RuleShow);
    }
  }
}

TEST(ReportRules, TheToolTipTellsWhatTheDeviceWasUntilTheLastRun) {
  const TGermanLocale Locale;
  TSettings S;
  FinishRun(S, {{"B", "10.0.0.2", dsOK}}, At(30));
  const TRunState Before = StateAfter(CompareRuns(TRunState{}, S));
  FinishRun(S, {{"B", "10.0.0.2", dsNoConnection}}, At(35));
  const TRunChanges Changes = CompareRuns(Before, S);
  ASSERT_EQ(Changes.Devices.size(), 1u);
  EXPECT_EQ(ChangedRowToolTip(Changes.Devices[0], Changes.PreviousRun),
            u"was OK until 09.12.26 06:30:00"_s);
}

TEST(ReportRules, HostileNamesStaySafeAndWithinTheLine) {
  TSettings S;
  const QString Long(3000, u'x');
  S.Devices().push_back(std::make_unique<TDevice>(u"a\r\nRCPT TO:<x@y>"_s + Long, Long));
  S.Devices().back()->SetDeviceStatus(dsNoConnection);
  S.Devices().back()->SetDeviceStatusCategory(dscNoConnection);
  S.SetLastCheckDT(At(1));
  const TRunChanges Changes = CompareRuns(TRunState{}, S);
  const QString Section = MailChangesSection(Changes);
  for (const QString &Line : Section.split(u"\r\n"_s)) {
    EXPECT_LE(Line.toUtf8().size(), MailLineOctets);
    EXPECT_FALSE(Line.contains(u'\r') || Line.contains(u'\n'));
  }
  for (const TSysLogReportLine &Line : SysLogChangeLines(Changes)) {
    EXPECT_LE(Line.Text.toUtf8().size(), SysLogTextOctets);
    EXPECT_FALSE(Line.Text.contains(u'\r') || Line.Text.contains(u'\n'));
  }
}

TEST(ReportRules, ARunThatCouldNotCheckIsReportedOncePerCause) {
  const struct {
    const char *Name;
    TSendWhen When;
    const char *Cause, *LastCause;
    bool Wanted;
  } Rows[] = {
      {"always sends nothing new", swAlways, "no ping port", "", false},
      {"failures: first time", swFailures, "no ping port", "", true},
      {"changes: first time", swChanges, "no ping port", "", true},
      {"same cause again", swChanges, "no ping port", "no ping port", false},
      {"another cause", swFailures, "nothing to check", "no ping port", true},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    TReportRule Rule;
    Rule.When = R.When;
    EXPECT_EQ(NotRunReportWanted(Rule, QString::fromUtf8(R.Cause), QString::fromUtf8(R.LastCause)),
              R.Wanted);
  }
  EXPECT_EQ(NotRunSubject(), u"Dervik: the check could not run"_s);
  EXPECT_EQ(NotRunMailBody(u"no permission\nto ping"_s),
            u"Dervik: the check could not run\r\n\r\nno permission\r\nto ping\r\n"_s);
  const TSysLogReportLine Line = NotRunSysLogLine(u"no permission\nto ping"_s);
  EXPECT_EQ(Line.Severity, 3);
  EXPECT_EQ(Line.Text, u"Dervik: the check could not run: no permission\uFFFDto ping"_s);
}

}  // namespace
