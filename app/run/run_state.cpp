#include "run/run_state.h"

#include "common/locale_texts.h"
#include "common/safe_file_write.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>

namespace {

// Marks the file as ours, and its layout; a file without it is foreign.
constexpr char FormatName[] = "dervik-run-state";
constexpr int FormatVersion = 1;
// Far more than any settings file lists: a larger file is not ours.
constexpr qint64 MaxStateBytes = 64 * 1024 * 1024;

struct TCategoryName {
  TDeviceStatusCategory Category;
  const char* Name;
};
constexpr std::array<TCategoryName, 3> CategoryNames{{
    {dscNoConnection, "no-connection"},
    {dscUnknown, "unknown"},
    {dscOK, "ok"},
}};

QString CategoryName(TDeviceStatusCategory Category) {
  for (const TCategoryName& C : CategoryNames)
    if (C.Category == Category)
      return QString::fromLatin1(C.Name);
  return QString();
}

std::optional<TDeviceStatusCategory> CategoryOf(const QString& Name) {
  for (const TCategoryName& C : CategoryNames)
    if (Name == QLatin1String(C.Name))
      return C.Category;
  return std::nullopt;
}

// Files of earlier versions kept each channel's cause under a key of its
// own; they are read as the channel's entry of "notRun".
struct TOldCauseKey {
  const char* Key;
  const char* Channel;
};
constexpr std::array<TOldCauseKey, 2> OldCauseKeys{{{"mailNotRun", "mail"}, {"syslogNotRun", "syslog"}}};

QString TimeText(const QDateTime& Time) { return Time.toUTC().toString(Qt::ISODateWithMs); }

std::optional<QDateTime> TimeOf(const QJsonValue& Value) {
  if (!Value.isString())
    return std::nullopt;
  const QDateTime Time = QDateTime::fromString(Value.toString(), Qt::ISODateWithMs);
  if (!Time.isValid())
    return std::nullopt;
  return Time.toLocalTime();
}

QString AbsoluteName(const QString& FileName) { return QFileInfo(FileName).absoluteFilePath(); }

// The state of Bytes, or why it is not one of ours for SettingsFileName.
std::optional<TRunState> ParseState(const QByteArray& Bytes, const QString& SettingsFileName, QString& Why) {
  QJsonParseError Error{};
  const QJsonDocument Document = QJsonDocument::fromJson(Bytes, &Error);
  if (Error.error != QJsonParseError::NoError || !Document.isObject()) {
    Why = QStringLiteral("is damaged");
    return std::nullopt;
  }
  const QJsonObject Root = Document.object();
  if (Root.value(QLatin1String("format")).toString() != QLatin1String(FormatName) ||
      Root.value(QLatin1String("version")).toInt(-1) != FormatVersion) {
    Why = QStringLiteral("is no state file of this version");
    return std::nullopt;
  }
  if (Root.value(QLatin1String("settings")).toString() != AbsoluteName(SettingsFileName)) {
    Why = QStringLiteral("belongs to another settings file");
    return std::nullopt;
  }
  Why = QStringLiteral("is damaged");
  TRunState State;
  // Only the causes of runs that could not check are kept before a first run.
  const QJsonValue RunValue = Root.value(QLatin1String("run"));
  if (!RunValue.isUndefined()) {
    const auto Run = TimeOf(RunValue);
    if (!Run)
      return std::nullopt;
    State.RunTime = *Run;
  }
  for (const TOldCauseKey& Old : OldCauseKeys)
    if (const QString Cause = Root.value(QLatin1String(Old.Key)).toString(); !Cause.isEmpty())
      State.NotRunCauses.insert(QString::fromLatin1(Old.Channel), Cause);
  const QJsonValue Causes = Root.value(QLatin1String("notRun"));
  if (!Causes.isUndefined() && !Causes.isObject())
    return std::nullopt;
  const QJsonObject CauseObject = Causes.toObject();
  for (auto It = CauseObject.begin(); It != CauseObject.end(); ++It) {
    if (!It.value().isString())
      return std::nullopt;
    if (!It.value().toString().isEmpty())
      State.NotRunCauses.insert(It.key(), It.value().toString());
  }
  const QJsonValue Devices = Root.value(QLatin1String("devices"));
  if (!Devices.isArray())
    return std::nullopt;
  for (const QJsonValue& Item : Devices.toArray()) {
    const QJsonObject Device = Item.toObject();
    const auto Category = CategoryOf(Device.value(QLatin1String("category")).toString());
    const auto Since = TimeOf(Device.value(QLatin1String("since")));
    const QJsonValue Name = Device.value(QLatin1String("name"));
    const QJsonValue Address = Device.value(QLatin1String("address"));
    const QJsonValue Status = Device.value(QLatin1String("status"));
    if (!Category || !Since || !Name.isString() || !Address.isString() || !Status.isString())
      return std::nullopt;
    State.Devices.push_back({Name.toString(), Address.toString(), *Category, Status.toString(), *Since});
  }
  Why.clear();
  return State;
}

QByteArray StateBytes(const QString& SettingsFileName, const TRunState& State) {
  QJsonArray Devices;
  for (const TDeviceState& Device : State.Devices)
    Devices.append(QJsonObject{
        {QStringLiteral("name"), Device.Name},
        {QStringLiteral("address"), Device.Address},
        {QStringLiteral("category"), CategoryName(Device.Category)},
        {QStringLiteral("status"), Device.Status},
        {QStringLiteral("since"), TimeText(Device.Since)},
    });
  QJsonObject Root{
      {QStringLiteral("format"), QLatin1String(FormatName)},
      {QStringLiteral("version"), FormatVersion},
      {QStringLiteral("settings"), AbsoluteName(SettingsFileName)},
      {QStringLiteral("devices"), Devices},
  };
  if (State.RunTime.isValid())
    Root.insert(QStringLiteral("run"), TimeText(State.RunTime));
  QJsonObject Causes;
  for (auto It = State.NotRunCauses.cbegin(); It != State.NotRunCauses.cend(); ++It)
    if (!It.value().isEmpty())
      Causes.insert(It.key(), It.value());
  if (!Causes.isEmpty())
    Root.insert(QStringLiteral("notRun"), Causes);
  return QJsonDocument(Root).toJson(QJsonDocument::Indented);
}

}  // namespace

QString RunStateFolder() {
  const QString State = qEnvironmentVariable("XDG_STATE_HOME");
  // The base directory rules ignore a relative path.
  if (!State.isEmpty() && QDir::isAbsolutePath(State))
    return QDir(State).filePath(QStringLiteral("dervik"));
  return QDir(qEnvironmentVariable("HOME")).filePath(QStringLiteral(".local/state/dervik"));
}

QString RunStateFileName(const QString& SettingsFileName) {
  const QString Absolute = AbsoluteName(SettingsFileName);
  const QByteArray Hash =
      QCryptographicHash::hash(Absolute.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
  QString Base = QFileInfo(Absolute).completeBaseName();
  // Only the plain characters of the name: the hash tells files apart.
  Base.erase(std::remove_if(Base.begin(), Base.end(),
                            [](QChar C) {
                              return !(C.isLetterOrNumber() && C.unicode() < 0x80) && C != u'-' && C != u'_';
                            }),
             Base.end());
  return QDir(RunStateFolder())
      .filePath(QStringLiteral("%1-%2.state").arg(Base.left(64), QString::fromLatin1(Hash)));
}

TRunStateRead ReadRunState(const QString& FileName, const QString& SettingsFileName) {
  TRunStateRead Read;
  QFile File(FileName);
  // Opened first and asked after: between the two another process may
  // rename its file in, never take one away.
  if (!File.open(QIODevice::ReadOnly)) {
    if (!File.exists())
      return Read;
    Read.Message = QStringLiteral("state file %1 cannot be read: %2; changes are told as after a first run")
                       .arg(FileName, File.errorString());
    return Read;
  }
  QString Why;
  std::optional<TRunState> State;
  if (File.size() > MaxStateBytes)
    Why = QStringLiteral("is too large");
  else
    State = ParseState(File.readAll(), SettingsFileName, Why);
  File.close();
  if (State) {
    Read.State = std::move(*State);
    return Read;
  }
  const QString Aside = FileName + QStringLiteral(".bad-") +
                        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
  if (QFile::rename(FileName, Aside))
    Read.Message =
        QStringLiteral("state file %1 %2: set aside as %3; a fresh one is started").arg(FileName, Why, Aside);
  else
    Read.Message =
        QStringLiteral("state file %1 %2 and cannot be set aside; a fresh one is started").arg(FileName, Why);
  return Read;
}

QString WriteRunState(const QString& FileName, const QString& SettingsFileName, const TRunState& State) {
  const QString Folder = QFileInfo(FileName).absolutePath();
  if (!QDir().mkpath(Folder))
    return QStringLiteral("state folder %1 cannot be made: changes of this run are not kept").arg(Folder);
  // Replaced whole, so a reader or a second process sees the old file or
  // the new one, never a mix or none; the fresh name is random, so a run
  // with the pid of one killed while writing is not stopped by its leftover.
  const QString Why = ReplaceFileSafely(FileName, StateBytes(SettingsFileName, State));
  if (!Why.isEmpty())
    return QStringLiteral("state file %1 cannot be written: %2; changes of this run are not kept")
        .arg(FileName, Why);
  return QString();
}

QString RunTimeText(const QDateTime& Time) { return FormatDateTimeForDisplay(Time); }
