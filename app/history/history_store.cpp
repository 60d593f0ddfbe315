#include "history/history_store.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <limits>
#include <type_traits>
#include <utility>

namespace {

constexpr const char* Schema =
    "CREATE TABLE IF NOT EXISTS runs("
    " id INTEGER PRIMARY KEY,"
    " time_ms INTEGER NOT NULL,"
    " settings_file TEXT NOT NULL,"
    " summary TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS runs_time ON runs(time_ms);"
    "CREATE TABLE IF NOT EXISTS devices("
    " run_id INTEGER NOT NULL,"
    " position INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " address TEXT NOT NULL,"
    " status TEXT NOT NULL,"
    " category INTEGER NOT NULL,"
    " sent INTEGER NOT NULL,"
    " answered INTEGER NOT NULL,"
    " rtt_min_us INTEGER,"
    " rtt_mean_us REAL,"
    " rtt_max_us INTEGER,"
    " PRIMARY KEY(run_id, position)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS devices_name ON devices(name, run_id);";

constexpr qint64 MillisecondsPerDay = 24LL * 60 * 60 * 1000;

// The codes with which SQLite says that a file is no database or a damaged one.
bool IsDamage(int Code) {
  const int Primary = Code & 0xff;
  return Primary == SQLITE_NOTADB || Primary == SQLITE_CORRUPT;
}

QString ErrorText(sqlite3* Database, int Code) {
  return Database != nullptr ? QString::fromUtf8(sqlite3_errmsg(Database))
                             : QString::fromUtf8(sqlite3_errstr(Code));
}

// A prepared statement that finalizes itself.
class TStatement {
public:
  TStatement(sqlite3* Database, const char* Sql) {
    FCode = sqlite3_prepare_v2(Database, Sql, -1, &FStatement, nullptr);
  }
  ~TStatement() { sqlite3_finalize(FStatement); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  int PrepareCode() const { return FCode; }
  sqlite3_stmt* operator*() const { return FStatement; }
  void Text(int Index, const QString& Value) {
    const QByteArray Bytes = Value.toUtf8();
    sqlite3_bind_text(FStatement, Index, Bytes.constData(), static_cast<int>(Bytes.size()), SQLITE_TRANSIENT);
  }
  void Integer(int Index, qint64 Value) { sqlite3_bind_int64(FStatement, Index, Value); }
  template <class T>
  void Optional(int Index, const std::optional<T>& Value) {
    if (!Value)
      sqlite3_bind_null(FStatement, Index);
    else if constexpr (std::is_floating_point_v<T>)
      sqlite3_bind_double(FStatement, Index, *Value);
    else
      sqlite3_bind_int64(FStatement, Index, *Value);
  }
  // Runs a statement that returns no rows; it can be bound and run again.
  int Run() {
    const int Code = sqlite3_step(FStatement);
    sqlite3_reset(FStatement);
    sqlite3_clear_bindings(FStatement);
    return Code == SQLITE_DONE ? SQLITE_OK : Code;
  }
  QString ColumnText(int Index) const {
    const auto* Bytes = reinterpret_cast<const char*>(sqlite3_column_text(FStatement, Index));
    return QString::fromUtf8(Bytes, sqlite3_column_bytes(FStatement, Index));
  }
  template <class T>
  std::optional<T> ColumnOptional(int Index) const {
    if (sqlite3_column_type(FStatement, Index) == SQLITE_NULL)
      return std::nullopt;
    if constexpr (std::is_floating_point_v<T>)
      return sqlite3_column_double(FStatement, Index);
    else
      return static_cast<T>(sqlite3_column_int64(FStatement, Index));
  }

private:
  sqlite3_stmt* FStatement = nullptr;
  int FCode = SQLITE_OK;
};

// One attempt at writing a run: the SQLite code of the first failure.
int WriteRun(sqlite3* Database, const THistoryRun& Run, qint64 KeepFromMs) {
  int Code = sqlite3_exec(Database, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (Code != SQLITE_OK)
    return Code;
  const auto Fail = [Database](int Failure) {
    sqlite3_exec(Database, "ROLLBACK", nullptr, nullptr, nullptr);
    return Failure;
  };
  TStatement InsertRun(Database, "INSERT INTO runs(time_ms, settings_file, summary) VALUES(?, ?, ?)");
  TStatement InsertDevice(
      Database,
      "INSERT INTO devices(run_id, position, name, address, status, category, sent, "
      "answered, rtt_min_us, rtt_mean_us, rtt_max_us) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  TStatement DropDevices(Database,
                         "DELETE FROM devices WHERE run_id IN (SELECT id FROM runs WHERE time_ms < ?)");
  TStatement DropRuns(Database, "DELETE FROM runs WHERE time_ms < ?");
  for (const TStatement* Statement : {&InsertRun, &InsertDevice, &DropDevices, &DropRuns})
    if (Statement->PrepareCode() != SQLITE_OK)
      return Fail(Statement->PrepareCode());

  InsertRun.Integer(1, Run.Time.toMSecsSinceEpoch());
  InsertRun.Text(2, Run.SettingsFile);
  InsertRun.Text(3, Run.Summary);
  if ((Code = InsertRun.Run()) != SQLITE_OK)
    return Fail(Code);
  const qint64 RunId = sqlite3_last_insert_rowid(Database);
  qint64 Position = 0;
  for (const THistoryDevice& Device : Run.Devices) {
    InsertDevice.Integer(1, RunId);
    InsertDevice.Integer(2, Position++);
    InsertDevice.Text(3, Device.Name);
    InsertDevice.Text(4, Device.Address);
    InsertDevice.Text(5, Device.Status);
    InsertDevice.Integer(6, Device.Category);
    InsertDevice.Integer(7, Device.Sent);
    InsertDevice.Integer(8, Device.Answered);
    InsertDevice.Optional(9, Device.RoundTripMin);
    InsertDevice.Optional(10, Device.RoundTripMean);
    InsertDevice.Optional(11, Device.RoundTripMax);
    if ((Code = InsertDevice.Run()) != SQLITE_OK)
      return Fail(Code);
  }
  DropDevices.Integer(1, KeepFromMs);
  DropRuns.Integer(1, KeepFromMs);
  if ((Code = DropDevices.Run()) != SQLITE_OK || (Code = DropRuns.Run()) != SQLITE_OK)
    return Fail(Code);
  if ((Code = sqlite3_exec(Database, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK)
    return Fail(Code);
  return SQLITE_OK;
}

// Opens Name with Flags into *Database (closed by the caller) and reads
// the runs that ended at or after Since into *Runs; the SQLite code.
int ReadRuns(const QByteArray& Name, int Flags, int BusyTimeout, const QDateTime& Since,
             const std::optional<QString>& Device, sqlite3** Database, std::vector<THistoryRun>* Runs) {
  int Code = sqlite3_open_v2(Name.constData(), Database, Flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (Code != SQLITE_OK)
    return Code;
  sqlite3_busy_timeout(*Database, BusyTimeout);
  TStatement Select(
      *Database, Device ? "SELECT r.id, r.time_ms, r.settings_file, r.summary, d.name, d.address, d.status, "
                          "d.category, d.sent, d.answered, d.rtt_min_us, d.rtt_mean_us, d.rtt_max_us "
                          "FROM devices d JOIN runs r ON r.id = d.run_id "
                          "WHERE d.name = ?2 AND r.time_ms >= ?1 ORDER BY r.time_ms, r.id"
                        : "SELECT r.id, r.time_ms, r.settings_file, r.summary, d.name, d.address, d.status, "
                          "d.category, d.sent, d.answered, d.rtt_min_us, d.rtt_mean_us, d.rtt_max_us "
                          "FROM runs r JOIN devices d ON r.id = d.run_id "
                          "WHERE r.time_ms >= ?1 ORDER BY r.time_ms, r.id, d.position");
  Code = Select.PrepareCode();
  if (Code == SQLITE_OK) {
    Select.Integer(1, Since.isValid() ? Since.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min());
    if (Device)
      Select.Text(2, *Device);
    qint64 LastRun = -1;
    while ((Code = sqlite3_step(*Select)) == SQLITE_ROW) {
      const qint64 RunId = sqlite3_column_int64(*Select, 0);
      if (Runs->empty() || RunId != LastRun) {
        THistoryRun Run;
        Run.Time = QDateTime::fromMSecsSinceEpoch(sqlite3_column_int64(*Select, 1), Qt::UTC);
        Run.SettingsFile = Select.ColumnText(2);
        Run.Summary = Select.ColumnText(3);
        Runs->push_back(std::move(Run));
        LastRun = RunId;
      }
      THistoryDevice Entry;
      Entry.Name = Select.ColumnText(4);
      Entry.Address = Select.ColumnText(5);
      Entry.Status = Select.ColumnText(6);
      Entry.Category = sqlite3_column_int(*Select, 7);
      Entry.Sent = sqlite3_column_int(*Select, 8);
      Entry.Answered = sqlite3_column_int(*Select, 9);
      Entry.RoundTripMin = Select.ColumnOptional<std::int64_t>(10);
      Entry.RoundTripMean = Select.ColumnOptional<double>(11);
      Entry.RoundTripMax = Select.ColumnOptional<std::int64_t>(12);
      Runs->back().Devices.push_back(std::move(Entry));
    }
    if (Code == SQLITE_DONE)
      Code = SQLITE_OK;
  }
  return Code;
}

// The URI that opens FileName as a file nobody changes: no lock, no -shm.
QByteArray ImmutableUri(const QString& FileName) {
  return "file:" + QFile::encodeName(QFileInfo(FileName).absoluteFilePath()).toPercentEncoding("/") +
         "?immutable=1";
}

}  // namespace

QString DataHomeFromEnvironment() {
  const QString DataHome = qEnvironmentVariable("XDG_DATA_HOME");
  if (!DataHome.isEmpty() && QDir::isAbsolutePath(DataHome))
    return DataHome;
  return qEnvironmentVariable("HOME") + QStringLiteral("/.local/share");
}

QString HistoryDatabaseFile(const QString& SettingsFile, const QString& DataHome) {
  const QFileInfo Info(SettingsFile);
  const QByteArray Hash =
      QCryptographicHash::hash(Info.absoluteFilePath().toUtf8(), QCryptographicHash::Sha1).toHex().left(8);
  const QString Base =
      Info.completeBaseName().isEmpty() ? QStringLiteral("settings") : Info.completeBaseName();
  return QStringLiteral("%1/dervik/%2-%3.sqlite").arg(DataHome, Base, QString::fromLatin1(Hash));
}

THistoryStore::THistoryStore(QString FileName) : FFileName(std::move(FileName)) {}

THistoryStore::~THistoryStore() { Close(); }

void THistoryStore::Close() {
  sqlite3_close(FDatabase);
  FDatabase = nullptr;
}

bool THistoryStore::OpenForWriting(QString* Problem) {
  Close();
  const QString Folder = QFileInfo(FFileName).absolutePath();
  if (!QDir().mkpath(Folder)) {
    *Problem = QStringLiteral("cannot create the folder %1").arg(Folder);
    return false;
  }
  int Code = sqlite3_open_v2(QFile::encodeName(FFileName).constData(), &FDatabase,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (Code == SQLITE_OK) {
    sqlite3_busy_timeout(FDatabase, FBusyTimeout);
    Code = sqlite3_exec(FDatabase, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  }
  // In WAL mode a crash may lose the last run but never spoils the file;
  // a sync at each checkpoint instead of each run keeps a run's write short.
  if (Code == SQLITE_OK)
    Code = sqlite3_exec(FDatabase, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (Code == SQLITE_OK)
    Code = sqlite3_exec(FDatabase, Schema, nullptr, nullptr, nullptr);
  if (Code == SQLITE_OK)
    return true;
  *Problem = ErrorText(FDatabase, Code);
  if (IsDamage(Code))
    Problem->prepend(QStringLiteral("damaged: "));
  return false;
}

// Moves the damaged file and its journal files aside; the note for the
// log, or empty when the file could not be moved.
QString THistoryStore::SetAside(const QString& Why) {
  Close();
  const QString Aside = FFileName + QStringLiteral(".damaged-") +
                        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  if (!QFile::rename(FFileName, Aside))
    return QString();
  // The journal of the damaged file would be taken for the fresh one's.
  for (const char* Suffix : {"-wal", "-shm"})
    if (QFile::exists(FFileName + QLatin1String(Suffix)))
      QFile::rename(FFileName + QLatin1String(Suffix), Aside + QLatin1String(Suffix));
  return QStringLiteral("history database %1 was damaged (%2); set aside as %3, a fresh one started")
      .arg(FFileName, Why, Aside);
}

THistoryWriteOutcome THistoryStore::Write(const THistoryRun& Run, int KeepDays, const QDateTime& Now) {
  THistoryWriteOutcome Outcome;
  if (KeepDays <= 0)
    return Outcome;
  const qint64 KeepFromMs = Now.toMSecsSinceEpoch() - qint64(KeepDays) * MillisecondsPerDay;
  for (int Attempt = 0; Attempt < 2; ++Attempt) {
    QString Problem;
    bool Damaged = false;
    if (OpenForWriting(&Problem)) {
      const int Code = WriteRun(FDatabase, Run, KeepFromMs);
      if (Code == SQLITE_OK) {
        Outcome.Written = true;
        Close();
        return Outcome;
      }
      Damaged = IsDamage(Code);
      Problem = (Damaged ? QStringLiteral("damaged: ") : QString()) + ErrorText(FDatabase, Code);
    } else {
      Damaged = Problem.startsWith(QLatin1String("damaged: "));
    }
    Close();
    if (Damaged && Attempt == 0) {
      Outcome.Note = SetAside(Problem.mid(9));
      if (!Outcome.Note.isEmpty())
        continue;
      Problem += QStringLiteral(", and the file could not be set aside");
    }
    Outcome.Problem = QStringLiteral("history not written to %1: %2").arg(FFileName, Problem);
    return Outcome;
  }
  return Outcome;
}

std::vector<THistoryRun> THistoryStore::Read(const QDateTime& Since, const std::optional<QString>& Device,
                                             QString* Problem) const {
  std::vector<THistoryRun> Runs;
  if (!QFileInfo::exists(FFileName))
    return Runs;
  sqlite3* Database = nullptr;
  int Code = ReadRuns(QFile::encodeName(FFileName), SQLITE_OPEN_READONLY, FBusyTimeout, Since, Device,
                      &Database, &Runs);
  // A WAL database needs its -shm beside it even to be read; on a read-only
  // file system (a snapshot, a backup) that cannot be made. Read as it is
  // then: what the last writer checkpointed, which a clean close leaves all.
  if ((Code & 0xff) == SQLITE_CANTOPEN) {
    sqlite3* Immutable = nullptr;
    std::vector<THistoryRun> Read;
    const int ImmutableCode = ReadRuns(ImmutableUri(FFileName), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                                       FBusyTimeout, Since, Device, &Immutable, &Read);
    if (ImmutableCode == SQLITE_OK) {
      sqlite3_close(Immutable);
      sqlite3_close(Database);
      return Read;
    }
    sqlite3_close(Immutable);
  }
  if (Code != SQLITE_OK && Problem != nullptr)
    *Problem = QStringLiteral("history %1 not readable: %2").arg(FFileName, ErrorText(Database, Code));
  sqlite3_close(Database);
  return Runs;
}
