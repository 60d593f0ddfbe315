// The options that take results out: read from the arguments, checked
// together, and --history's printout of a stored history.
#include "start/output_options.h"
#include "history/history_store.h"
#include "start/unattended_start.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <string>
#include <vector>

namespace {

TProgramOptions Read(std::vector<const char *> Args) {
  Args.insert(Args.begin(), "dervik");
  return ReadProgramOptions(int(Args.size()), Args.data());
}

TEST(OutputOptions, ReadAndCheckedTogether) {
  const struct {
    std::vector<const char *> Args;
    const char *Json;
    const char *Prometheus;
    bool History;
    const char *Problem;
  } Rows[] = {
      {{"/AUTO", "--json", "/tmp/r.json", "--prometheus=/tmp/d.prom"},
       "/tmp/r.json",
       "/tmp/d.prom",
       false,
       ""},
      // A value that looks like a switch is the option's.
      {{"/AUTORUN", "--json", "/AUTOSMTP"}, "/AUTOSMTP", "", false, ""},
      {{"--history"}, "", "", true, ""},
      {{"--history", "--device", "Gateway", "--since", "7d", "--format", "json"}, "", "", true, ""},
      {{"/AUTO", "--json"}, "", "", false, "--json needs a value"},
      {{"--json", "/tmp/r.json"},
       "/tmp/r.json",
       "",
       false,
       "--json and --prometheus go with /AUTO, /AUTORUN, /AUTOSMTP or /AUTOSYSLOG"},
      {{"--history", "/AUTO"},
       "",
       "",
       true,
       "--history goes alone, without /AUTO..., --json or --prometheus"},
      {{"--device", "A"}, "", "", false, "--device, --since and --format go with --history"},
      {{"--history", "--since", "7"},
       "",
       "",
       true,
       "--since takes a number and s, m, h, d or w (30m, 12h, 7d); not 7"},
      {{"--history", "--format", "xml"}, "", "", true, "--format takes csv or json; not xml"},
  };
  for (const auto &R : Rows) {
    std::string Trace;
    for (const char *A : R.Args) Trace += std::string(A) + " ";
    SCOPED_TRACE(Trace);
    const TProgramOptions O = Read(R.Args);
    EXPECT_EQ(O.UnknownSwitch, QString());
    EXPECT_EQ(O.Output.JsonFile, QString::fromLatin1(R.Json));
    EXPECT_EQ(O.Output.PrometheusFile, QString::fromLatin1(R.Prometheus));
    EXPECT_EQ(O.Output.History, R.History);
    EXPECT_EQ(OutputOptionsProblem(O.Output, O.Switches.Any()).toStdString(), R.Problem);
  }
  EXPECT_FALSE(Read({"--json", "/AUTOSMTP"}).Switches.Any());
}

TEST(OutputOptions, SinceValues) {
  const struct {
    const char *Text;
    std::optional<qint64> Seconds;
  } Rows[] = {
      {"30s", 30},
      {"15m", 900},
      {"12h", 43200},
      {"7d", 604800},
      {"2w", 1209600},
      {"0d", std::nullopt},
      {"d", std::nullopt},
      {"7", std::nullopt},
      {"-7d", std::nullopt},
      {"7D", std::nullopt},
      {"1.5h", std::nullopt},
      {"99999999999999999999d", std::nullopt},
      {"36600d", 36600LL * 86400},
      {"36601w", std::nullopt},
  };
  for (const auto &R : Rows)
    EXPECT_EQ(ParseSinceSeconds(QString::fromLatin1(R.Text)), R.Seconds) << R.Text;
}

TEST(OutputOptions, HistoryPrintsTheStoredRunsAsAsked) {
  testsupport::TempFolder Dir;
  const QString File = Dir.file(QStringLiteral("h.sqlite"));
  const QDateTime Now = QDateTime::fromMSecsSinceEpoch(1714564800000, Qt::UTC);
  THistoryStore Store(File);
  for (const int HoursAgo : {50, 3, 0}) {
    THistoryRun Run{
        Now.addSecs(-3600 * HoursAgo), QStringLiteral("x.ini"), QStringLiteral("s"), {}};
    for (const char *Name : {"A", "B", "C"})
      if (*Name != 'C' || HoursAgo == 50)
        Run.Devices.push_back({QString::fromLatin1(Name), QStringLiteral("127.0.0.1"),
                               QStringLiteral("OK"), 2, 4, 4, HoursAgo, HoursAgo + 0.5,
                               HoursAgo + 1});
    ASSERT_TRUE(Store.Write(Run, 90, Now).Written);
  }
  const struct {
    const char *Name;
    TOutputOptions Options;
    int Lines;  // CSV lines after the header, or JSON runs
  } Rows[] = {
      {"everything", {}, 7},
      {"one device", {.Device = QStringLiteral("B")}, 3},
      {"a known device without runs in the period",
       {.Device = QStringLiteral("C"), .Since = QStringLiteral("1d")},
       0},
      {"last day", {.Since = QStringLiteral("1d")}, 4},
      {"one device of the last day as json",
       {.Device = QStringLiteral("A"),
        .Since = QStringLiteral("4h"),
        .Format = QStringLiteral("json")},
       2},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    QByteArray Out;
    QString Error;
    EXPECT_EQ(RunHistoryCommand(R.Options, File, Now, &Out, &Error), HistoryPrinted);
    EXPECT_EQ(Error, QString());
    if (R.Options.Format == u"json")
      EXPECT_EQ(QJsonDocument::fromJson(Out).array().size(), R.Lines);
    else
      EXPECT_EQ(Out.count("\r\n"), 1 + R.Lines) << Out.toStdString();
  }

  // A device the history never held is named with the ones it holds.
  {
    QByteArray Out;
    QString Error;
    EXPECT_EQ(RunHistoryCommand({.Device = QStringLiteral("b ")}, File, Now, &Out, &Error),
              HistoryNotReadable);
    EXPECT_EQ(Error,
              QStringLiteral("no device b  in the history; known: A, B, C; did you mean B?"));
    EXPECT_EQ(RunHistoryCommand({.Device = QStringLiteral("Printer")}, File, Now, &Out, &Error),
              HistoryNotReadable);
    EXPECT_EQ(Error, QStringLiteral("no device Printer in the history; known: A, B, C"));
    EXPECT_EQ(Out, QByteArray());
  }

  QFile Spoil(File);
  ASSERT_TRUE(Spoil.open(QIODevice::WriteOnly | QIODevice::Truncate));
  Spoil.write(QByteArray(4096, 'x'));
  Spoil.close();
  QByteArray Out;
  QString Error;
  EXPECT_EQ(RunHistoryCommand({}, File, Now, &Out, &Error), HistoryNotReadable);
  EXPECT_EQ(Error, QStringLiteral("history %1 not readable: file is not a database").arg(File));
}

}  // namespace
