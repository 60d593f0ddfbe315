#include "history/history_store.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QHash>
#include <QStringList>

#include <sqlite3.h>
#include <sys/stat.h>

#include <limits>
#include <type_traits>
#include <utility>

namespace {

// A run's device rows are keyed by (run, position), so that a run's write
// appends them together at the end of the table.  Which device sits at which
// position comes from the run's layout, the list of device names that the
// settings file gave, stored once for all the runs that share it: reading
// one device finds its positions by name among the few layouts, then its row
// in each run.  An index of device rows by name would put each run's
// entries on a page of their own for every device, a thousand pages written
// for a run of a thousand devices; the name stays in the row all the same,
// which is what a full read and a file of the first layout show.
constexpr const char* Schema =
    "CREATE TABLE IF NOT EXISTS runs("
    " id INTEGER PRIMARY KEY,"
    " time_ms INTEGER NOT NULL,"
    " settings_file TEXT NOT NULL,"
    " summary TEXT NOT NULL,"
    " layout_id INTEGER);"
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
    " PRIMARY KEY(run_id, position)) WITHOUT ROWID;";

// The part that a file of the first layout lacks; made when the name index
// goes (Migrate), and with it a fresh file.
constexpr const char* LayoutSchema =
    "CREATE INDEX IF NOT EXISTS runs_layout ON runs(layout_id, time_ms);"
    "CREATE TABLE IF NOT EXISTS layouts("
    " id INTEGER PRIMARY KEY,"
    " digest BLOB NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS layout_devices("
    " layout_id INTEGER NOT NULL,"
    " position INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " PRIMARY KEY(layout_id, position)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS layout_devices_name ON layout_devices(name, layout_id);";

// The index by device name of the first layout.  A file that has it was last
// written by a version that keeps it, for every run: it is read through it,
// and the next write here gives its runs their layouts and drops it.
constexpr const char* NameIndex = "devices_name";

// A store kept open checkpoints when the WAL has this many pages, every
// ten runs or so of a thousand devices (about 25 pages each); one that
// closes after its write checkpoints as it closes, which costs no more
// than the pages of that run since the WAL holds nothing else.
constexpr int CheckpointPages = 256;
// A WAL that a large transaction (a migration) made long is cut back to
// this after its next checkpoint.
constexpr const char* WalLimit = "PRAGMA journal_size_limit=4194304";

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
  void Blob(int Index, const QByteArray& Value) {
    sqlite3_bind_blob(FStatement, Index, Value.constData(), static_cast<int>(Value.size()), SQLITE_TRANSIENT);
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

// Whether the file still has the name index of the first layout.
bool HasNameIndex(sqlite3* Database, int* Code) {
  TStatement Find(Database, "SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?");
  if ((*Code = Find.PrepareCode()) != SQLITE_OK)
    return false;
  Find.Text(1, QString::fromLatin1(NameIndex));
  const int Step = sqlite3_step(*Find);
  *Code = Step == SQLITE_ROW || Step == SQLITE_DONE ? SQLITE_OK : Step;
  return Step == SQLITE_ROW;
}

// What tells one list of device names from another: the SHA-256 of each
// name's length and UTF-8 in turn, so that no two lists run together.
QByteArray LayoutDigest(const QStringList& Names) {
  QCryptographicHash Hash(QCryptographicHash::Sha256);
  for (const QString& Name : Names) {
    const QByteArray Bytes = Name.toUtf8();
    const QByteArray Size = QByteArray::number(Bytes.size()) + ':';
    Hash.addData(Size);
    Hash.addData(Bytes);
  }
  return Hash.result();
}

// The id of the layout of Names into *LayoutId, the layout added when it
// is new; the SQLite code.  Known maps digests to ids already looked up.
int LayoutOf(sqlite3* Database, const QStringList& Names, qint64* LayoutId,
             QHash<QByteArray, qint64>* Known) {
  const QByteArray Digest = LayoutDigest(Names);
  if (const auto Found = Known->constFind(Digest); Found != Known->constEnd()) {
    *LayoutId = *Found;
    return SQLITE_OK;
  }
  {
    TStatement Find(Database, "SELECT id FROM layouts WHERE digest = ?");
    if (Find.PrepareCode() != SQLITE_OK)
      return Find.PrepareCode();
    Find.Blob(1, Digest);
    const int Code = sqlite3_step(*Find);
    if (Code == SQLITE_ROW) {
      *LayoutId = sqlite3_column_int64(*Find, 0);
      Known->insert(Digest, *LayoutId);
      return SQLITE_OK;
    }
    if (Code != SQLITE_DONE)
      return Code;
  }
  TStatement AddLayout(Database, "INSERT INTO layouts(digest) VALUES(?)");
  TStatement AddName(Database, "INSERT INTO layout_devices(layout_id, position, name) VALUES(?, ?, ?)");
  for (const TStatement* Statement : {&AddLayout, &AddName})
    if (Statement->PrepareCode() != SQLITE_OK)
      return Statement->PrepareCode();
  AddLayout.Blob(1, Digest);
  int Code = AddLayout.Run();
  if (Code != SQLITE_OK)
    return Code;
  *LayoutId = sqlite3_last_insert_rowid(Database);
  qint64 Position = 0;
  for (const QString& Name : Names) {
    AddName.Integer(1, *LayoutId);
    AddName.Integer(2, Position++);
    AddName.Text(3, Name);
    if ((Code = AddName.Run()) != SQLITE_OK)
      return Code;
  }
  Known->insert(Digest, *LayoutId);
  return SQLITE_OK;
}

// Removes the runs that ended before KeepFromMs and the layouts that no
// run left uses; the SQLite code.
int DropOldRuns(sqlite3* Database, qint64 KeepFromMs) {
  std::vector<qint64> Layouts;
  TStatement Used(Database,
                  "SELECT DISTINCT layout_id FROM runs WHERE time_ms < ? AND layout_id IS NOT NULL");
  TStatement DropDevices(Database,
                         "DELETE FROM devices WHERE run_id IN (SELECT id FROM runs WHERE time_ms < ?)");
  TStatement DropRuns(Database, "DELETE FROM runs WHERE time_ms < ?");
  TStatement StillUsed(Database, "SELECT 1 FROM runs WHERE layout_id = ?");
  TStatement DropNames(Database, "DELETE FROM layout_devices WHERE layout_id = ?");
  TStatement DropLayout(Database, "DELETE FROM layouts WHERE id = ?");
  for (const TStatement* Statement : {&Used, &DropDevices, &DropRuns, &StillUsed, &DropNames, &DropLayout})
    if (Statement->PrepareCode() != SQLITE_OK)
      return Statement->PrepareCode();
  Used.Integer(1, KeepFromMs);
  int Code;
  while ((Code = sqlite3_step(*Used)) == SQLITE_ROW)
    Layouts.push_back(sqlite3_column_int64(*Used, 0));
  if (Code != SQLITE_DONE)
    return Code;
  DropDevices.Integer(1, KeepFromMs);
  DropRuns.Integer(1, KeepFromMs);
  if ((Code = DropDevices.Run()) != SQLITE_OK || (Code = DropRuns.Run()) != SQLITE_OK)
    return Code;
  for (const qint64 Layout : Layouts) {
    StillUsed.Integer(1, Layout);
    Code = sqlite3_step(*StillUsed);
    sqlite3_reset(*StillUsed);
    if (Code == SQLITE_ROW)
      continue;
    if (Code != SQLITE_DONE)
      return Code;
    DropNames.Integer(1, Layout);
    DropLayout.Integer(1, Layout);
    if ((Code = DropNames.Run()) != SQLITE_OK || (Code = DropLayout.Run()) != SQLITE_OK)
      return Code;
  }
  return SQLITE_OK;
}

int Rollback(sqlite3* Database, int Failure) {
  sqlite3_exec(Database, "ROLLBACK", nullptr, nullptr, nullptr);
  return Failure;
}

// Brings a file of the first layout to this one in a transaction of its
// own: its runs get their layouts and the name index goes.  A reader sees
// the file whole in either.  Another writer may have done it meanwhile.
int Migrate(sqlite3* Database) {
  int Code = sqlite3_exec(Database, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (Code != SQLITE_OK)
    return Code;
  const bool Old = HasNameIndex(Database, &Code);
  if (Code != SQLITE_OK)
    return Rollback(Database, Code);
  if (!Old)
    return sqlite3_exec(Database, "COMMIT", nullptr, nullptr, nullptr);
  {
    // A file of the first layout has no layout column; one that a version
    // of the first layout wrote again after a migration has.
    sqlite3_stmt* Probe = nullptr;
    const bool HasColumn =
        sqlite3_prepare_v2(Database, "SELECT layout_id FROM runs", -1, &Probe, nullptr) == SQLITE_OK;
    sqlite3_finalize(Probe);
    if (!HasColumn && (Code = sqlite3_exec(Database, "ALTER TABLE runs ADD COLUMN layout_id INTEGER", nullptr,
                                           nullptr, nullptr)) != SQLITE_OK)
      return Rollback(Database, Code);
  }
  if ((Code = sqlite3_exec(Database, LayoutSchema, nullptr, nullptr, nullptr)) != SQLITE_OK)
    return Rollback(Database, Code);
  // The layouts are found first and set after, so that the runs do not
  // change under the statement that walks them.  The runs are walked in
  // the order of their ids, not through the layout index, whose order
  // would have every device row sorted anew.
  std::vector<std::pair<qint64, qint64>> RunLayouts;
  QHash<QByteArray, qint64> Known;
  {
    TStatement Walk(Database,
                    "SELECT r.id, d.name FROM runs r NOT INDEXED LEFT JOIN devices d ON d.run_id = r.id "
                    "WHERE r.layout_id IS NULL ORDER BY r.id, d.position");
    if ((Code = Walk.PrepareCode()) != SQLITE_OK)
      return Rollback(Database, Code);
    qint64 Run = -1;
    QStringList Names;
    // Runs one after the other mostly share their device list: theirs is
    // compared with the last one's before it is digested.
    QStringList LastNames;
    qint64 LastLayout = 0;
    const auto Finish = [&]() {
      int Found = SQLITE_OK;
      if (RunLayouts.empty() || Names != LastNames) {
        Found = LayoutOf(Database, Names, &LastLayout, &Known);
        LastNames.swap(Names);
      }
      RunLayouts.emplace_back(Run, LastLayout);
      Names.clear();
      return Found;
    };
    while ((Code = sqlite3_step(*Walk)) == SQLITE_ROW) {
      const qint64 Id = sqlite3_column_int64(*Walk, 0);
      if (Id != Run && Run != -1 && (Code = Finish()) != SQLITE_OK)
        return Rollback(Database, Code);
      Run = Id;
      if (sqlite3_column_type(*Walk, 1) != SQLITE_NULL)
        Names.append(Walk.ColumnText(1));
    }
    if (Code != SQLITE_DONE || (Run != -1 && (Code = Finish()) != SQLITE_OK))
      return Rollback(Database, Code);
  }
  TStatement SetLayout(Database, "UPDATE runs SET layout_id = ? WHERE id = ?");
  if ((Code = SetLayout.PrepareCode()) != SQLITE_OK)
    return Rollback(Database, Code);
  for (const auto& [Run, Layout] : RunLayouts) {
    SetLayout.Integer(1, Layout);
    SetLayout.Integer(2, Run);
    if ((Code = SetLayout.Run()) != SQLITE_OK)
      return Rollback(Database, Code);
  }
  if ((Code = sqlite3_exec(Database, "DROP INDEX devices_name", nullptr, nullptr, nullptr)) != SQLITE_OK)
    return Rollback(Database, Code);
  if ((Code = sqlite3_exec(Database, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK)
    return Rollback(Database, Code);
  return SQLITE_OK;
}

// One attempt at writing a run: the SQLite code of the first failure.
int WriteRun(sqlite3* Database, const THistoryRun& Run, qint64 KeepFromMs) {
  int Code = sqlite3_exec(Database, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (Code != SQLITE_OK)
    return Code;
  TStatement InsertRun(Database,
                       "INSERT INTO runs(time_ms, settings_file, summary, layout_id) VALUES(?, ?, ?, ?)");
  TStatement InsertDevice(
      Database,
      "INSERT INTO devices(run_id, position, name, address, status, category, sent, "
      "answered, rtt_min_us, rtt_mean_us, rtt_max_us) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  for (const TStatement* Statement : {&InsertRun, &InsertDevice})
    if (Statement->PrepareCode() != SQLITE_OK)
      return Rollback(Database, Statement->PrepareCode());

  QStringList Names;
  Names.reserve(qsizetype(Run.Devices.size()));
  for (const THistoryDevice& Device : Run.Devices)
    Names.append(Device.Name);
  qint64 Layout = 0;
  QHash<QByteArray, qint64> Known;
  if ((Code = LayoutOf(Database, Names, &Layout, &Known)) != SQLITE_OK)
    return Rollback(Database, Code);
  InsertRun.Integer(1, Run.Time.toMSecsSinceEpoch());
  InsertRun.Text(2, Run.SettingsFile);
  InsertRun.Text(3, Run.Summary);
  InsertRun.Integer(4, Layout);
  if ((Code = InsertRun.Run()) != SQLITE_OK)
    return Rollback(Database, Code);
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
      return Rollback(Database, Code);
  }
  if ((Code = DropOldRuns(Database, KeepFromMs)) != SQLITE_OK)
    return Rollback(Database, Code);
  if ((Code = sqlite3_exec(Database, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK)
    return Rollback(Database, Code);
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
  // The layout and the rows are read in one snapshot, should a writer
  // migrate the file in between.
  if ((Code = sqlite3_exec(*Database, "BEGIN", nullptr, nullptr, nullptr)) != SQLITE_OK)
    return Code;
  const bool ByNameIndex = Device && HasNameIndex(*Database, &Code);
  if (Code != SQLITE_OK)
    return Code;
  constexpr const char* Columns =
      "SELECT r.id, r.time_ms, r.settings_file, r.summary, d.name, d.address, d.status, "
      "d.category, d.sent, d.answered, d.rtt_min_us, d.rtt_mean_us, d.rtt_max_us ";
  const QByteArray Sql =
      QByteArray(Columns) +
      (!Device       ? "FROM runs r JOIN devices d ON r.id = d.run_id "
                       "WHERE r.time_ms >= ?1 ORDER BY r.time_ms, r.id, d.position"
       : ByNameIndex ? "FROM devices d JOIN runs r ON r.id = d.run_id "
                       "WHERE d.name = ?2 AND r.time_ms >= ?1 ORDER BY r.time_ms, r.id, d.position"
                     // The device's positions in the layouts that have it, then its row of
                     // each of their runs.
                     : "FROM layout_devices l JOIN runs r ON r.layout_id = l.layout_id "
                       "JOIN devices d ON d.run_id = r.id AND d.position = l.position "
                       "WHERE l.name = ?2 AND d.name = ?2 AND r.time_ms >= ?1 "
                       "ORDER BY r.time_ms, r.id, d.position");
  TStatement Select(*Database, Sql.constData());
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
  // On a failure its message stays for the caller; closing ends the read.
  if (Code == SQLITE_OK)
    Code = sqlite3_exec(*Database, "COMMIT", nullptr, nullptr, nullptr);
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

void THistoryStore::SetBusyTimeoutMilliseconds(int Value) {
  FBusyTimeout = Value;
  if (FDatabase != nullptr)
    sqlite3_busy_timeout(FDatabase, FBusyTimeout);
}

bool THistoryStore::IsOpenOnItsFile() const {
  struct stat Now;
  return FDatabase != nullptr && stat(QFile::encodeName(FFileName).constData(), &Now) == 0 &&
         std::uint64_t(Now.st_dev) == FOpenDevice && std::uint64_t(Now.st_ino) == FOpenInode;
}

bool THistoryStore::OpenForWriting(QString* Problem) {
  // The connection of the last write goes on unless the file was set aside
  // or replaced meanwhile.
  if (IsOpenOnItsFile())
    return true;
  Close();
  const QString Folder = QFileInfo(FFileName).absolutePath();
  if (!QDir().mkpath(Folder)) {
    *Problem = QStringLiteral("cannot create the folder %1").arg(Folder);
    return false;
  }
  const QByteArray Name = QFile::encodeName(FFileName);
  int Code = sqlite3_open_v2(Name.constData(), &FDatabase,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (Code == SQLITE_OK)
    sqlite3_busy_timeout(FDatabase, FBusyTimeout);
  if (Code == SQLITE_OK)
    Code = sqlite3_exec(FDatabase, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  // In WAL mode a commit is synced into the WAL (FULL): one sync a run, so
  // that a run written stays written through a crash of the machine while
  // a store that is kept open carries it in the WAL until the next
  // checkpoint.  The file is never spoiled either way.
  if (Code == SQLITE_OK)
    Code = sqlite3_exec(FDatabase, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  if (Code == SQLITE_OK)
    Code = sqlite3_exec(FDatabase,
                        QByteArray("PRAGMA wal_autocheckpoint=") + QByteArray::number(CheckpointPages),
                        nullptr, nullptr, nullptr);
  if (Code == SQLITE_OK)
    Code = sqlite3_exec(FDatabase, WalLimit, nullptr, nullptr, nullptr);
  if (Code == SQLITE_OK)
    Code = sqlite3_exec(FDatabase, Schema, nullptr, nullptr, nullptr);
  if (Code == SQLITE_OK) {
    const bool Old = HasNameIndex(FDatabase, &Code);
    if (Code == SQLITE_OK)
      Code = Old ? Migrate(FDatabase) : sqlite3_exec(FDatabase, LayoutSchema, nullptr, nullptr, nullptr);
  }
  struct stat Opened;
  if (Code == SQLITE_OK && stat(Name.constData(), &Opened) == 0) {
    FOpenDevice = std::uint64_t(Opened.st_dev);
    FOpenInode = std::uint64_t(Opened.st_ino);
    return true;
  }
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
        if (!FKeepOpen)
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
