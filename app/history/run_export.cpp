#include "history/run_export.h"

#include "run/device.h"
#include "common/safe_file_write.h"
#include "settings/settings.h"

#include <QJsonArray>
#include <QLocale>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>

namespace {

constexpr std::array<const char*, 3> CategoryNames{"no_connection", "unknown", "ok"};

QString TimeText(const QDateTime& Time) { return Time.toUTC().toString(Qt::ISODateWithMs); }

double Milliseconds(double Microseconds) { return Microseconds / 1000.0; }

QJsonValue RoundTripJson(const THistoryDevice& Device) {
  if (!Device.RoundTripMean)
    return QJsonValue::Null;
  return QJsonObject{{"min", Milliseconds(double(Device.RoundTripMin.value_or(0)))},
                     {"mean", Milliseconds(*Device.RoundTripMean)},
                     {"max", Milliseconds(double(Device.RoundTripMax.value_or(0)))}};
}

QJsonObject RunObject(const THistoryRun& Run) {
  QJsonArray Devices;
  for (const THistoryDevice& Device : Run.Devices)
    Devices.append(QJsonObject{{"name", Device.Name},
                               {"address", Device.Address},
                               {"status", Device.Status},
                               {"category", CategoryName(Device.Category)},
                               {"sent", Device.Sent},
                               {"answered", Device.Answered},
                               {"round_trip_ms", RoundTripJson(Device)}});
  return QJsonObject{{"time", TimeText(Run.Time)},
                     {"settings_file", Run.SettingsFile},
                     {"summary", Run.Summary},
                     {"devices", Devices}};
}

// A label value of the text format: backslash, double quote and line feed
// escaped.
QByteArray LabelValue(const QString& Text) {
  QByteArray Out;
  for (const char C : Text.toUtf8()) {
    if (C == '\\')
      Out += "\\\\";
    else if (C == '"')
      Out += "\\\"";
    else if (C == '\n')
      Out += "\\n";
    else
      Out += C;
  }
  return Out;
}

// The shortest text that reads back as the same number.
QByteArray Number(double Value) { return QByteArray::number(Value, 'g', QLocale::FloatingPointShortest); }

struct TMetric {
  const char* Name;
  const char* Help;
  // The sample of a device, or none.
  std::optional<double> (*Value)(const THistoryDevice&);
};

const std::array<TMetric, 3> DeviceMetrics{{
    {"dervik_device_up", "Whether the device answered in the last run (1) or not (0).",
     [](const THistoryDevice& D) -> std::optional<double> { return D.Category == dscOK ? 1.0 : 0.0; }},
    {"dervik_device_round_trip_seconds", "Mean round trip of the device's answers in the last run.",
     [](const THistoryDevice& D) -> std::optional<double> {
       if (!D.RoundTripMean)
         return std::nullopt;
       return *D.RoundTripMean / 1e6;
     }},
    {"dervik_device_loss_ratio", "Share of the last run's echo requests to the device left unanswered.",
     [](const THistoryDevice& D) -> std::optional<double> {
       if (D.Sent <= 0)
         return std::nullopt;
       return double(D.Sent - std::min(D.Answered, D.Sent)) / D.Sent;
     }},
}};

QByteArray CsvField(const QString& Text) {
  QByteArray Bytes = Text.toUtf8();
  if (Bytes.contains(',') || Bytes.contains('"') || Bytes.contains('\n') || Bytes.contains('\r')) {
    Bytes.replace("\"", "\"\"");
    Bytes = '"' + Bytes + '"';
  }
  return Bytes;
}

QByteArray OptionalMs(const std::optional<double>& Microseconds) {
  return Microseconds ? Number(Milliseconds(*Microseconds)) : QByteArray();
}

}  // namespace

QString CategoryName(int Category) {
  if (Category < 0 || Category >= int(CategoryNames.size()))
    return QStringLiteral("unknown");
  return QString::fromLatin1(CategoryNames[std::size_t(Category)]);
}

THistoryRun RunRecordOf(const TSettings& Settings, const QString& SettingsFile) {
  THistoryRun Run;
  Run.Time = Settings.LastCheckDT();
  Run.SettingsFile = SettingsFile;
  Run.Summary = Settings.LastCheckResult();
  Run.Devices.reserve(Settings.Devices().size());
  for (const auto& Device : Settings.Devices()) {
    THistoryDevice Entry;
    Entry.Name = Device->DeviceName();
    Entry.Address = Device->DeviceHostAddress();
    Entry.Status = Device->DeviceStatusToString();
    Entry.Category = Device->DeviceStatusCategory();
    Entry.Sent = Device->Pinged();
    Entry.Answered = Device->PingedOK();
    if (Device->RoundTripCount() > 0) {
      Entry.RoundTripMin = Device->RoundTripMinMicroseconds();
      Entry.RoundTripMean = Device->RoundTripAverageMicroseconds();
      Entry.RoundTripMax = Device->RoundTripMaxMicroseconds();
    }
    Run.Devices.push_back(std::move(Entry));
  }
  return Run;
}

QByteArray RunJson(const THistoryRun& Run) {
  return QJsonDocument(RunObject(Run)).toJson(QJsonDocument::Indented);
}

QByteArray RunPrometheus(const THistoryRun& Run) {
  QByteArray Out;
  for (const TMetric& Metric : DeviceMetrics) {
    Out += QByteArray("# HELP ") + Metric.Name + ' ' + Metric.Help + '\n';
    Out += QByteArray("# TYPE ") + Metric.Name + " gauge\n";
    for (const THistoryDevice& Device : Run.Devices)
      if (const auto Value = Metric.Value(Device))
        Out += QByteArray(Metric.Name) + "{name=\"" + LabelValue(Device.Name) + "\",address=\"" +
               LabelValue(Device.Address) + "\"} " + Number(*Value) + '\n';
  }
  Out +=
      "# HELP dervik_last_run_timestamp_seconds When the last check run ended, in seconds since 1970.\n"
      "# TYPE dervik_last_run_timestamp_seconds gauge\n"
      "dervik_last_run_timestamp_seconds " +
      Number(double(Run.Time.toMSecsSinceEpoch()) / 1000.0) + '\n';
  return Out;
}

QByteArray HistoryCsv(const std::vector<THistoryRun>& Runs) {
  QByteArray Out =
      "time,device,address,status,category,sent,answered,round_trip_min_ms,"
      "round_trip_mean_ms,round_trip_max_ms\r\n";
  for (const THistoryRun& Run : Runs)
    for (const THistoryDevice& Device : Run.Devices) {
      const auto Min =
          Device.RoundTripMin ? std::optional<double>(double(*Device.RoundTripMin)) : std::nullopt;
      const auto Max =
          Device.RoundTripMax ? std::optional<double>(double(*Device.RoundTripMax)) : std::nullopt;
      Out += CsvField(TimeText(Run.Time)) + ',' + CsvField(Device.Name) + ',' + CsvField(Device.Address) +
             ',' + CsvField(Device.Status) + ',' + CategoryName(Device.Category).toLatin1() + ',' +
             QByteArray::number(Device.Sent) + ',' + QByteArray::number(Device.Answered) + ',' +
             OptionalMs(Min) + ',' + OptionalMs(Device.RoundTripMean) + ',' + OptionalMs(Max) + "\r\n";
    }
  return Out;
}

QByteArray HistoryJson(const std::vector<THistoryRun>& Runs) {
  QJsonArray Array;
  for (const THistoryRun& Run : Runs)
    Array.append(RunObject(Run));
  return QJsonDocument(Array).toJson(QJsonDocument::Indented);
}

QString WriteFileWhole(const QString& FileName, const QByteArray& Bytes) {
  return ReplaceFileSafely(FileName, Bytes);
}
