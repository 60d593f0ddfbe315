// A run's results as other programs read them: the JSON document checked
// against its schema, the metrics file read by a parser of the text format
// (and by promtool where it is installed), the history's CSV read back by
// Python's csv module.
#include "history/run_export.h"
#include "child_process.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cmath>
#include <map>
#include <set>
#include <string>

namespace {

const QDateTime Time = QDateTime::fromMSecsSinceEpoch(1714564800123, Qt::UTC);

THistoryDevice Device(const QString &Name, const QString &Address, int Category, int Sent,
                      int Answered, std::optional<std::int64_t> Min = {},
                      std::optional<double> Mean = {}, std::optional<std::int64_t> Max = {}) {
  return {Name,
          Address,
          Category == 2 ? QStringLiteral("OK") : QStringLiteral("No connection at all"),
          Category,
          Sent,
          Answered,
          Min,
          Mean,
          Max};
}

// Names that break a careless writer of each format.
THistoryRun SampleRun() {
  return {Time,
          QStringLiteral("/etc/dervik/site a.ini"),
          QStringLiteral("Some connections were OK (2 failed - 2 OK)"),
          {Device(QStringLiteral("Gateway"), QStringLiteral("127.0.0.1"), 2, 4, 4, 31, 42.5, 60),
           Device(QStringLiteral("Printer \"2nd\", floor"), QStringLiteral("10.0.0.5"), 0, 4, 0),
           Device(QStringLiteral("back\\slash\nnew line}"), QStringLiteral("::1"), 2, 4, 3, 1000,
                  1500.25, 2100),
           Device(QStringLiteral("K\u00fcche \u2603"), QString(), 0, 0, 0)}};
}

// ---------------------------------------------------------------- JSON schema

// The keywords the schema below uses: type, required, properties,
// additionalProperties (false), items, enum, minimum, pattern.
QString SchemaProblem(const QJsonValue &Value, const QJsonObject &Schema, const QString &Where) {
  if (Schema.contains(u"type")) {
    QStringList Types;
    if (Schema[u"type"].isArray())
      for (const auto &T : Schema[u"type"].toArray()) Types.append(T.toString());
    else
      Types.append(Schema[u"type"].toString());
    const auto Is = [&](const QString &Type) {
      if (Type == u"object") return Value.isObject();
      if (Type == u"array") return Value.isArray();
      if (Type == u"string") return Value.isString();
      if (Type == u"number") return Value.isDouble();
      if (Type == u"integer")
        return Value.isDouble() && std::floor(Value.toDouble()) == Value.toDouble();
      if (Type == u"null") return Value.isNull();
      return false;
    };
    if (!std::any_of(Types.begin(), Types.end(), Is))
      return Where + QStringLiteral(": not of type ") + Types.join(u'|');
  }
  if (Schema.contains(u"enum") && !Schema[u"enum"].toArray().contains(Value))
    return Where + QStringLiteral(": not one of the enum");
  if (Schema.contains(u"minimum") && Value.toDouble() < Schema[u"minimum"].toDouble())
    return Where + QStringLiteral(": below the minimum");
  if (Schema.contains(u"pattern") &&
      !QRegularExpression(Schema[u"pattern"].toString()).match(Value.toString()).hasMatch())
    return Where + QStringLiteral(": does not match ") + Schema[u"pattern"].toString();
  if (Value.isObject()) {
    const QJsonObject Object = Value.toObject();
    for (const auto &Name : Schema[u"required"].toArray())
      if (!Object.contains(Name.toString()))
        return Where + QStringLiteral(": lacks ") + Name.toString();
    const QJsonObject Properties = Schema[u"properties"].toObject();
    for (auto It = Object.begin(); It != Object.end(); ++It) {
      if (!Properties.contains(It.key())) {
        if (Schema[u"additionalProperties"] == QJsonValue(false))
          return Where + QStringLiteral(": unexpected ") + It.key();
        continue;
      }
      if (QString P =
              SchemaProblem(It.value(), Properties[It.key()].toObject(), Where + u'.' + It.key());
          !P.isEmpty())
        return P;
    }
  }
  if (Value.isArray() && Schema.contains(u"items")) {
    const QJsonArray Array = Value.toArray();
    for (qsizetype Index = 0; Index < Array.size(); ++Index)
      if (QString P = SchemaProblem(Array[Index], Schema[u"items"].toObject(),
                                    Where + QStringLiteral("[%1]").arg(Index));
          !P.isEmpty())
        return P;
  }
  return QString();
}

const char *const RunSchema = R"({
  "type": "object",
  "required": ["time", "settings_file", "summary", "devices"],
  "additionalProperties": false,
  "properties": {
    "time": {"type": "string", "pattern": "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(\\.\\d+)?Z$"},
    "settings_file": {"type": "string"},
    "summary": {"type": "string"},
    "devices": {"type": "array", "items": {
      "type": "object",
      "required": ["name", "address", "status", "category", "sent", "answered", "round_trip_ms"],
      "additionalProperties": false,
      "properties": {
        "name": {"type": "string"},
        "address": {"type": "string"},
        "status": {"type": "string"},
        "category": {"enum": ["ok", "unknown", "no_connection"]},
        "sent": {"type": "integer", "minimum": 0},
        "answered": {"type": "integer", "minimum": 0},
        "round_trip_ms": {"type": ["object", "null"],
          "required": ["min", "mean", "max"],
          "additionalProperties": false,
          "properties": {"min": {"type": "number", "minimum": 0},
                         "mean": {"type": "number", "minimum": 0},
                         "max": {"type": "number", "minimum": 0}}}
      }}}
  }
})";

QJsonObject Schema() { return QJsonDocument::fromJson(RunSchema).object(); }

TEST(RunJson, FollowsTheSchemaAndCarriesEveryDevice) {
  const THistoryRun Run = SampleRun();
  QJsonParseError Error;
  const QJsonDocument Document = QJsonDocument::fromJson(RunJson(Run), &Error);
  ASSERT_EQ(Error.error, QJsonParseError::NoError) << Error.errorString().toStdString();
  EXPECT_EQ(SchemaProblem(Document.object(), Schema(), QStringLiteral("$")).toStdString(), "");

  const QJsonObject Object = Document.object();
  EXPECT_EQ(Object[u"time"].toString(), QStringLiteral("2024-05-01T12:00:00.123Z"));
  EXPECT_EQ(Object[u"summary"].toString(), Run.Summary);
  const QJsonArray Devices = Object[u"devices"].toArray();
  ASSERT_EQ(Devices.size(), qsizetype(Run.Devices.size()));
  for (std::size_t Index = 0; Index < Run.Devices.size(); ++Index) {
    const THistoryDevice &D = Run.Devices[Index];
    const QJsonObject J = Devices[qsizetype(Index)].toObject();
    SCOPED_TRACE(D.Name.toStdString());
    EXPECT_EQ(J[u"name"].toString(), D.Name);
    EXPECT_EQ(J[u"address"].toString(), D.Address);
    EXPECT_EQ(J[u"category"].toString(), CategoryName(D.Category));
    EXPECT_EQ(J[u"sent"].toInt(), D.Sent);
    EXPECT_EQ(J[u"answered"].toInt(), D.Answered);
    EXPECT_EQ(J[u"round_trip_ms"].isNull(), !D.RoundTripMean);
    if (D.RoundTripMean) {
      EXPECT_DOUBLE_EQ(J[u"round_trip_ms"][u"min"].toDouble(), double(*D.RoundTripMin) / 1000);
      EXPECT_DOUBLE_EQ(J[u"round_trip_ms"][u"mean"].toDouble(), *D.RoundTripMean / 1000);
      EXPECT_DOUBLE_EQ(J[u"round_trip_ms"][u"max"].toDouble(), double(*D.RoundTripMax) / 1000);
    }
  }
}

// The schema check itself must find faults, or passing it proves nothing.
TEST(RunJson, TheSchemaCheckFindsFaults) {
  const QJsonObject Good = QJsonDocument::fromJson(RunJson(SampleRun())).object();
  const struct {
    const char *Name;
    void (*Spoil)(QJsonObject &);
  } Rows[] = {
      {"time without zone",
       [](QJsonObject &O) { O[u"time"] = QStringLiteral("2024-05-01T12:00:00"); }},
      {"no summary", [](QJsonObject &O) { O.remove(u"summary"); }},
      {"extra member", [](QJsonObject &O) { O[u"x"] = 1; }},
      {"category unknown to the enum",
       [](QJsonObject &O) {
         QJsonArray D = O[u"devices"].toArray();
         QJsonObject First = D[0].toObject();
         First[u"category"] = QStringLiteral("fine");
         D[0] = First;
         O[u"devices"] = D;
       }},
      {"sent as text",
       [](QJsonObject &O) {
         QJsonArray D = O[u"devices"].toArray();
         QJsonObject First = D[0].toObject();
         First[u"sent"] = QStringLiteral("4");
         D[0] = First;
         O[u"devices"] = D;
       }},
  };
  for (const auto &Row : Rows) {
    QJsonObject Spoilt = Good;
    Row.Spoil(Spoilt);
    EXPECT_NE(SchemaProblem(Spoilt, Schema(), QStringLiteral("$")), QString()) << Row.Name;
  }
}

// ---------------------------------------------------------------- metrics text format

struct TSample {
  std::string Name;
  std::map<std::string, std::string> Labels;
  double Value;
};

// Reads the text format of a metrics collector strictly: HELP and TYPE
// before a family's samples, which stay together; label values with only
// \\, \" and \n escaped; no series twice.  The error names the line.
std::vector<TSample> ParseMetrics(const QByteArray &Text, std::string *Error) {
  static const QRegularExpression NameRe(QStringLiteral("^[a-zA-Z_:][a-zA-Z0-9_:]*"));
  static const QRegularExpression LabelNameRe(QStringLiteral("^[a-zA-Z_][a-zA-Z0-9_]*"));
  std::vector<TSample> Samples;
  std::set<std::string> Typed, Finished, Series;
  std::string Current;
  const QList<QByteArray> Lines = Text.split('\n');
  if (!Text.endsWith('\n')) {
    *Error = "no line feed at the end";
    return {};
  }
  for (qsizetype Number = 0; Number + 1 < Lines.size(); ++Number) {
    const QString Line = QString::fromUtf8(Lines[Number]);
    const auto Fail = [&](const std::string &Why) {
      *Error = "line " + std::to_string(Number + 1) + ": " + Why + ": " + Line.toStdString();
      return std::vector<TSample>();
    };
    if (Line.startsWith(u'#')) {
      const QStringList Parts = Line.split(u' ');
      if (Parts.size() >= 3 && (Parts[1] == u"HELP" || Parts[1] == u"TYPE")) {
        const std::string Name = Parts[2].toStdString();
        if (Finished.count(Name) || (Name != Current && Typed.count(Name)))
          return Fail("family split");
        if (Parts[1] == u"TYPE") {
          if (Parts.size() != 4 || !QStringList{"gauge", "counter", "untyped"}.contains(Parts[3]))
            return Fail("bad TYPE");
          if (!Typed.insert(Name).second) return Fail("TYPE twice");
        }
        if (Name != Current && !Current.empty()) Finished.insert(Current);
        Current = Name;
      }
      continue;
    }
    TSample Sample;
    const auto Name = NameRe.match(Line);
    if (!Name.hasMatch()) return Fail("no metric name");
    Sample.Name = Name.captured().toStdString();
    qsizetype At = Name.capturedLength();
    if (At < Line.size() && Line[At] == u'{') {
      ++At;
      while (At < Line.size() && Line[At] != u'}') {
        const auto LabelName = LabelNameRe.match(QStringView(Line).mid(At));
        if (!LabelName.hasMatch()) return Fail("no label name");
        At += LabelName.capturedLength();
        if (Line.mid(At, 2) != u"=\"") return Fail("no =\"");
        At += 2;
        QString Value;
        for (; At < Line.size() && Line[At] != u'"'; ++At) {
          if (Line[At] != u'\\') {
            Value += Line[At];
            continue;
          }
          ++At;
          const QChar Next = At < Line.size() ? Line[At] : QChar();
          if (Next == u'\\' || Next == u'"')
            Value += Next;
          else if (Next == u'n')
            Value += u'\n';
          else
            return Fail("bad escape");
        }
        if (At >= Line.size()) return Fail("label value not closed");
        ++At;
        if (!Sample.Labels.emplace(LabelName.captured().toStdString(), Value.toStdString()).second)
          return Fail("label twice");
        if (At < Line.size() && Line[At] == u',') ++At;
      }
      if (At >= Line.size()) return Fail("labels not closed");
      ++At;
    }
    if (At >= Line.size() || Line[At] != u' ') return Fail("no space before the value");
    const QStringList Rest = Line.mid(At + 1).split(u' ');
    bool Valid = false;
    Sample.Value = Rest.value(0).toDouble(&Valid);
    if (!Valid || Rest.size() > 2) return Fail("bad value");
    if (Sample.Name != Current || !Typed.count(Sample.Name))
      return Fail("sample outside its family");
    std::string Key = Sample.Name;
    for (const auto &[K, V] : Sample.Labels) Key += "\x1f" + K + "\x1f" + V;
    if (!Series.insert(Key).second) return Fail("series twice");
    Samples.push_back(std::move(Sample));
  }
  return Samples;
}

TEST(RunPrometheus, ParsesAndCarriesEachDevicesFigures) {
  const THistoryRun Run = SampleRun();
  std::string Error;
  const std::vector<TSample> Samples = ParseMetrics(RunPrometheus(Run), &Error);
  ASSERT_EQ(Error, "") << RunPrometheus(Run).toStdString();

  std::map<std::string, std::map<std::string, double>> ByName;  // metric -> device -> value
  for (const TSample &S : Samples) {
    if (S.Name == "dervik_last_run_timestamp_seconds") {
      EXPECT_TRUE(S.Labels.empty());
      EXPECT_DOUBLE_EQ(S.Value, 1714564800.123);
      ByName[S.Name][""] = S.Value;
      continue;
    }
    ASSERT_EQ(S.Labels.size(), 2U) << S.Name;
    ByName[S.Name][S.Labels.at("name") + "|" + S.Labels.at("address")] = S.Value;
  }
  EXPECT_EQ(ByName.size(), 4U);
  for (const THistoryDevice &D : Run.Devices) {
    const std::string Key = D.Name.toStdString() + "|" + D.Address.toStdString();
    SCOPED_TRACE(Key);
    EXPECT_EQ(ByName["dervik_device_up"].at(Key), D.Category == 2 ? 1.0 : 0.0);
    EXPECT_EQ(ByName["dervik_device_round_trip_seconds"].count(Key), D.RoundTripMean ? 1U : 0U);
    if (D.RoundTripMean) {
      EXPECT_DOUBLE_EQ(ByName["dervik_device_round_trip_seconds"][Key], *D.RoundTripMean / 1e6);
    }
    EXPECT_EQ(ByName["dervik_device_loss_ratio"].count(Key), D.Sent > 0 ? 1U : 0U);
    if (D.Sent > 0) {
      EXPECT_DOUBLE_EQ(ByName["dervik_device_loss_ratio"][Key],
                       double(D.Sent - D.Answered) / D.Sent);
    }
  }
}

TEST(RunPrometheus, TheParserRejectsWhatACollectorWould) {
  const char *const Bad[] = {
      "# TYPE a gauge\na{name=\"x\"y\"} 1\n",  // quote not escaped
      "# TYPE a gauge\na{name=\"x\\q\"} 1\n",  // unknown escape
      "a 1\n",                                 // no TYPE
      "# TYPE a gauge\na 1\na 2\n",            // series twice
      "# TYPE a gauge\na{name=\"x\"} one\n",   // no number
      "# TYPE a gauge\na 1\n# TYPE b gauge\nb 1\n# TYPE a gauge\na{x=\"1\"} 1\n",  // family split
      "# TYPE a gauge\na 1",  // no line feed at the end
  };
  for (const char *Text : Bad) {
    std::string Error;
    ParseMetrics(QByteArray(Text), &Error);
    EXPECT_NE(Error, "") << Text;
  }
}

// The real checker of the format, where it is installed (Debian's
// prometheus package, in the test list of scripts/install-deps.sh).
TEST(RunPrometheus, PromtoolFindsNoFault) {
  const QString Promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
  if (Promtool.isEmpty()) GTEST_SKIP() << "promtool is not installed";
  const testsupport::ProcessResult Check =
      testsupport::runProcess({Promtool.toStdString(), "check", "metrics"},
                              RunPrometheus(SampleRun()).toStdString(), 30000);
  ASSERT_TRUE(Check.Started);
  EXPECT_EQ(Check.Status, 0) << Check.Out << Check.Err;
}

// ---------------------------------------------------------------- CSV

TEST(HistoryCsv, ReadBackByPythonsCsvModuleGivesEveryField) {
  THistoryRun Later = SampleRun();
  Later.Time = Time.addSecs(300);
  Later.Devices.resize(1);
  const std::vector<THistoryRun> Runs{SampleRun(), Later};
  const testsupport::ProcessResult Python = testsupport::runProcess(
      {"/usr/bin/python3", "-c",
       "import csv, json, sys, io\n"
       "rows = list(csv.reader(io.TextIOWrapper(sys.stdin.buffer, encoding='utf-8', "
       "newline='')))\n"
       "sys.stdout.buffer.write(json.dumps(rows).encode('utf-8'))\n"},
      HistoryCsv(Runs).toStdString(), 30000);
  ASSERT_TRUE(Python.Started);
  ASSERT_EQ(Python.Status, 0) << Python.Err;
  const QJsonArray Rows = QJsonDocument::fromJson(QByteArray::fromStdString(Python.Out)).array();

  ASSERT_EQ(Rows.size(), 1 + 4 + 1);
  EXPECT_EQ(Rows[0].toArray().size(), 10);
  qsizetype Row = 1;
  const auto Number = [](const QJsonValue &V) -> std::optional<double> {
    if (V.toString().isEmpty()) return std::nullopt;
    return V.toString().toDouble();
  };
  const auto Ms = [](const auto &Us) -> std::optional<double> {
    if (!Us) return std::nullopt;
    return double(*Us) / 1000;
  };
  for (const THistoryRun &Run : Runs)
    for (const THistoryDevice &D : Run.Devices) {
      const QJsonArray F = Rows[Row++].toArray();
      SCOPED_TRACE(D.Name.toStdString());
      ASSERT_EQ(F.size(), 10);
      EXPECT_EQ(QDateTime::fromString(F[0].toString(), Qt::ISODateWithMs), Run.Time);
      EXPECT_EQ(F[1].toString(), D.Name);
      EXPECT_EQ(F[2].toString(), D.Address);
      EXPECT_EQ(F[3].toString(), D.Status);
      EXPECT_EQ(F[4].toString(), CategoryName(D.Category));
      EXPECT_EQ(F[5].toString().toInt(), D.Sent);
      EXPECT_EQ(F[6].toString().toInt(), D.Answered);
      EXPECT_EQ(Number(F[7]), Ms(D.RoundTripMin));
      EXPECT_EQ(Number(F[8]), Ms(D.RoundTripMean));
      EXPECT_EQ(Number(F[9]), Ms(D.RoundTripMax));
    }
}

TEST(WriteFileWhole, ReplacesTheFileOrSaysWhy) {
  testsupport::TempFolder Dir;
  const QString File = Dir.file(QStringLiteral("dervik.prom"));
  EXPECT_EQ(WriteFileWhole(File, "first\n"), QString());
  EXPECT_EQ(WriteFileWhole(File, "second\n"), QString());
  QFile Read(File);
  ASSERT_TRUE(Read.open(QIODevice::ReadOnly));
  EXPECT_EQ(Read.readAll(), QByteArray("second\n"));
  // Only the file itself is left: no temporary beside it.
  EXPECT_EQ(QDir(QString::fromStdString(Dir.path())).entryList(QDir::Files),
            QStringList{QStringLiteral("dervik.prom")});
  EXPECT_NE(WriteFileWhole(Dir.file(QStringLiteral("missing/dervik.prom")), "x"), QString());
}

}  // namespace
