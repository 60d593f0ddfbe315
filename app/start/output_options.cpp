#include "start/output_options.h"

#include "history/history_store.h"
#include "settings/nearest_name.h"
#include "history/run_export.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

struct TValueOption {
  const char* Name;
  void (*Set)(TOutputOptions&, const QString&);
};

const std::array<TValueOption, 5> ValueOptions{{
    {"--json", [](TOutputOptions& O, const QString& V) { O.JsonFile = V; }},
    {"--prometheus", [](TOutputOptions& O, const QString& V) { O.PrometheusFile = V; }},
    {"--device", [](TOutputOptions& O, const QString& V) { O.Device = V; }},
    {"--since", [](TOutputOptions& O, const QString& V) { O.Since = V; }},
    {"--format", [](TOutputOptions& O, const QString& V) { O.Format = V; }},
}};

struct TUnit {
  QChar Letter;
  qint64 Seconds;
};
constexpr std::array<TUnit, 5> SinceUnits{
    {{u's', 1}, {u'm', 60}, {u'h', 3600}, {u'd', 86400}, {u'w', 604800}}};
// A hundred years back is as far as anyone keeps.
constexpr qint64 SinceLimitSeconds = 100LL * 366 * 86400;

}  // namespace

bool ReadOutputOption(int Argc, const char* const* Argv, int& Index, TOutputOptions& Options) {
  const char* Argument = Argv[Index];
  if (std::strcmp(Argument, "--history") == 0) {
    Options.History = true;
    return true;
  }
  for (const TValueOption& Option : ValueOptions) {
    const std::size_t Length = std::strlen(Option.Name);
    if (std::strncmp(Argument, Option.Name, Length) != 0)
      continue;
    if (Argument[Length] == '=') {
      Option.Set(Options, QString::fromLocal8Bit(Argument + Length + 1));
      return true;
    }
    if (Argument[Length] != '\0')
      continue;
    if (Index + 1 < Argc)
      Option.Set(Options, QString::fromLocal8Bit(Argv[++Index]));
    else if (Options.MissingValue.isEmpty())
      Options.MissingValue = QString::fromLatin1(Option.Name);
    return true;
  }
  return false;
}

std::optional<qint64> ParseSinceSeconds(const QString& Text) {
  if (Text.size() < 2)
    return std::nullopt;
  for (const TUnit& Unit : SinceUnits) {
    if (Text.back() != Unit.Letter)
      continue;
    const QStringView Digits = QStringView(Text).chopped(1);
    if (!std::all_of(Digits.begin(), Digits.end(), [](QChar C) { return C >= u'0' && C <= u'9'; }))
      return std::nullopt;
    bool Valid = false;
    const qint64 Count = Digits.toLongLong(&Valid);
    if (!Valid || Count <= 0 || Count > SinceLimitSeconds / Unit.Seconds)
      return std::nullopt;
    return Count * Unit.Seconds;
  }
  return std::nullopt;
}

QString OutputOptionsProblem(const TOutputOptions& Options, bool AnySwitch) {
  if (!Options.MissingValue.isEmpty())
    return QStringLiteral("%1 needs a value").arg(Options.MissingValue);
  const bool Files = !Options.JsonFile.isEmpty() || !Options.PrometheusFile.isEmpty();
  if (Options.History && (AnySwitch || Files))
    return QStringLiteral("--history goes alone, without /AUTO..., --json or --prometheus");
  if (Files && !AnySwitch)
    return QStringLiteral("--json and --prometheus go with /AUTO, /AUTORUN, /AUTOSMTP or /AUTOSYSLOG");
  if (!Options.History && (Options.Device || !Options.Since.isEmpty() || !Options.Format.isEmpty()))
    return QStringLiteral("--device, --since and --format go with --history");
  if (!Options.Since.isEmpty() && !ParseSinceSeconds(Options.Since))
    return QStringLiteral("--since takes a number and s, m, h, d or w (30m, 12h, 7d); not %1")
        .arg(Options.Since);
  if (!Options.Format.isEmpty() && Options.Format != QLatin1String("csv") &&
      Options.Format != QLatin1String("json"))
    return QStringLiteral("--format takes csv or json; not %1").arg(Options.Format);
  return QString();
}

int RunHistoryCommand(const TOutputOptions& Options, const QString& DatabaseFile, const QDateTime& Now,
                      QByteArray* Out, QString* Error) {
  const std::optional<qint64> Seconds = ParseSinceSeconds(Options.Since);
  const QDateTime Since = Seconds ? Now.addSecs(-*Seconds) : QDateTime();
  QString Problem;
  const std::vector<THistoryRun> Runs = THistoryStore(DatabaseFile).Read(Since, Options.Device, &Problem);
  if (!Problem.isEmpty()) {
    *Error = Problem;
    return HistoryNotReadable;
  }
  // A device the history never held is most likely a slip: a header alone
  // would read as "no run since".
  if (Options.Device && Runs.empty()) {
    QStringList Known;
    for (const THistoryRun& Run : THistoryStore(DatabaseFile).Read(QDateTime(), std::nullopt, &Problem))
      for (const THistoryDevice& Device : Run.Devices)
        if (!Known.contains(Device.Name))
          Known.append(Device.Name);
    if (!Known.contains(*Options.Device)) {
      const QString Nearest = NearestName(*Options.Device, Known);
      *Error = QStringLiteral("no device %1 in the history%2%3")
                   .arg(*Options.Device,
                        Known.isEmpty() ? QStringLiteral(" (no run is kept yet)")
                                        : QStringLiteral("; known: ") + Known.join(QStringLiteral(", ")),
                        Nearest.isEmpty() ? QString() : QStringLiteral("; did you mean %1?").arg(Nearest));
      return HistoryNotReadable;
    }
  }
  *Out = Options.Format == QLatin1String("json") ? HistoryJson(Runs) : HistoryCsv(Runs);
  return HistoryPrinted;
}
