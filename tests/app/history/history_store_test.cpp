// The history database: what goes in comes out, old runs go, two writers
// at once each keep whole runs, and a locked, damaged or unwritable file
// costs nothing but a line.
#include "history/history_store.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

const QDateTime Now = QDateTime::fromMSecsSinceEpoch(1714564800000, Qt::UTC);  // 2024-05-01 12:00

THistoryDevice Device(const QString &Name, int Answered, qint64 Base = 1000) {
  THistoryDevice D;
  D.Name = Name;
  D.Address = QStringLiteral("127.0.0.%1").arg(Name.size());
  D.Status = Answered == 4 ? QStringLiteral("OK") : QStringLiteral("No connection at all");
  D.Category = Answered == 4 ? 2 : 0;
  D.Sent = 4;
  D.Answered = Answered;
  if (Answered > 0) {
    D.RoundTripMin = Base;
    D.RoundTripMean = Base * 1.5;
    D.RoundTripMax = Base * 2;
  }
  return D;
}

THistoryRun MakeRun(const QDateTime &Time, std::vector<THistoryDevice> Devices) {
  return {Time, QStringLiteral("/etc/dervik.ini"), QStringLiteral("2 OK, 1 failed"),
          std::move(Devices)};
}

class HistoryStore : public ::testing::Test {
 protected:
  QString File() const { return Dir.file(QStringLiteral("data/dervik/test.sqlite")); }
  std::vector<THistoryRun> ReadAll(const std::optional<QString> &Name = std::nullopt) const {
    QString Problem;
    auto Runs = THistoryStore(File()).Read(QDateTime(), Name, &Problem);
    EXPECT_EQ(Problem, QString());
    return Runs;
  }
  testsupport::TempFolder Dir;
};

TEST_F(HistoryStore, WhatIsWrittenIsReadBackWholeOrByDevice) {
  THistoryStore Store(File());
  const THistoryRun First =
      MakeRun(Now.addSecs(-300), {Device(QStringLiteral("Gateway"), 4),
                                  Device(QStringLiteral("Printer, \"2nd\" floor \u00e4"), 0),
                                  Device(QStringLiteral("Camera"), 4, 250)});
  const THistoryRun Second = MakeRun(Now, {Device(QStringLiteral("Gateway"), 4, 3000)});
  ASSERT_TRUE(Store.Write(First, 90, Now).Written);
  ASSERT_TRUE(Store.Write(Second, 90, Now).Written);
  EXPECT_EQ(ReadAll(), (std::vector<THistoryRun>{First, Second}));

  const auto Gateway = ReadAll(QStringLiteral("Gateway"));
  ASSERT_EQ(Gateway.size(), 2U);
  EXPECT_EQ(Gateway[0].Devices, std::vector<THistoryDevice>{First.Devices[0]});
  EXPECT_EQ(Gateway[1].Devices, std::vector<THistoryDevice>{Second.Devices[0]});
  EXPECT_EQ(ReadAll(QStringLiteral("Camera")).size(), 1U);
  EXPECT_TRUE(ReadAll(QStringLiteral("camera")).empty());

  QString Problem;
  EXPECT_EQ(Store.Read(Now.addSecs(-1), std::nullopt, &Problem), std::vector<THistoryRun>{Second});
}

TEST_F(HistoryStore, AMissingFileIsAnEmptyHistory) {
  QString Problem;
  EXPECT_TRUE(THistoryStore(File()).Read(QDateTime(), std::nullopt, &Problem).empty());
  EXPECT_EQ(Problem, QString());
  EXPECT_FALSE(QFileInfo::exists(File()));
}

struct TKeepCase {
  const char *Name;
  int Keep;
  std::vector<int> AgesInHours;  // of the runs written, oldest first
  std::vector<int> Kept;         // the ages left after the last write
};

class HistoryKeep : public HistoryStore, public ::testing::WithParamInterface<TKeepCase> {};

TEST_P(HistoryKeep, RunsOlderThanKeepDaysGoAfterAWrite) {
  THistoryStore Store(File());
  for (const int Age : GetParam().AgesInHours)
    Store.Write(MakeRun(Now.addSecs(-3600LL * Age), {Device(QStringLiteral("A"), 4)}),
                GetParam().Keep, Now);
  std::vector<int> Kept;
  for (const THistoryRun &R : ReadAll()) Kept.push_back(int(R.Time.secsTo(Now) / 3600));
  EXPECT_EQ(Kept, GetParam().Kept);
  // Keep 0 writes nothing at all, not even an empty file.
  EXPECT_EQ(QFileInfo::exists(File()), GetParam().Keep > 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HistoryKeep,
    ::testing::Values(TKeepCase{"ninety_days", 90, {2400, 2184, 2136, 1, 0}, {2136, 1, 0}},
                      TKeepCase{"one_day", 1, {49, 25, 23, 0}, {23, 0}},
                      TKeepCase{"zero_writes_nothing", 0, {5, 0}, {}},
                      TKeepCase{"negative_writes_nothing", -3, {0}, {}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(HistoryStore, AThousandDevicesInOneRun) {
  std::vector<THistoryDevice> Devices;
  for (int Index = 0; Index < 1000; ++Index)
    Devices.push_back(
        Device(QStringLiteral("device-%1").arg(Index), Index % 7 == 0 ? 0 : 4, 100 + Index));
  const THistoryRun Big = MakeRun(Now, Devices);
  ASSERT_TRUE(THistoryStore(File()).Write(Big, 90, Now).Written);
  EXPECT_EQ(ReadAll(), std::vector<THistoryRun>{Big});
}

// Two processes write runs at the same time: every run arrives whole.
TEST_F(HistoryStore, TwoProcessesWritingAtOnceKeepEveryRunWhole) {
  constexpr int RunsEach = 40;
  constexpr int DevicesPerRun = 25;
  const auto WriteRuns = [this](int Writer) {
    THistoryStore Store(File());
    int Written = 0;
    for (int Index = 0; Index < RunsEach; ++Index) {
      std::vector<THistoryDevice> Devices;
      for (int D = 0; D < DevicesPerRun; ++D)
        Devices.push_back(Device(QStringLiteral("w%1-d%2").arg(Writer).arg(D), 4, Index));
      Written += Store.Write(MakeRun(Now.addSecs(Index), Devices), 90, Now).Written ? 1 : 0;
    }
    return Written;
  };
  // Both start once the database exists, so neither finds a half-made file.
  ASSERT_TRUE(THistoryStore(File()).Write(MakeRun(Now.addSecs(-60), {}), 90, Now).Written);
  int Go[2];
  ASSERT_EQ(pipe(Go), 0);
  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    char Byte;
    close(Go[1]);
    const bool Started = read(Go[0], &Byte, 1) == 1;
    _exit(Started && WriteRuns(1) == RunsEach ? 0 : 1);
  }
  close(Go[0]);
  ASSERT_EQ(write(Go[1], "g", 1), 1);
  close(Go[1]);
  const int Written = WriteRuns(0);
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
  EXPECT_EQ(Written, RunsEach);

  int Whole[2] = {0, 0};
  for (const THistoryRun &R : ReadAll()) {
    if (R.Devices.empty()) continue;
    const int Writer = R.Devices.front().Name.startsWith(QLatin1String("w1")) ? 1 : 0;
    bool Same = int(R.Devices.size()) == DevicesPerRun;
    for (int D = 0; Same && D < DevicesPerRun; ++D)
      Same = R.Devices[std::size_t(D)].Name == QStringLiteral("w%1-d%2").arg(Writer).arg(D);
    Whole[Writer] += Same ? 1 : 0;
  }
  EXPECT_EQ(Whole[0], RunsEach);
  EXPECT_EQ(Whole[1], RunsEach);
}

// Another writer that does not let go: this run is not stored and says
// so; a reader in the middle of its read does not stop a writer.
TEST_F(HistoryStore, ALockedDatabaseCostsTheRunItsHistoryOnly) {
  THistoryStore Store(File());
  ASSERT_TRUE(
      Store.Write(MakeRun(Now.addSecs(-1), {Device(QStringLiteral("A"), 4)}), 90, Now).Written);
  Store.SetBusyTimeoutMilliseconds(100);

  sqlite3 *Other = nullptr;
  ASSERT_EQ(sqlite3_open(QFile::encodeName(File()).constData(), &Other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(Other, "BEGIN; SELECT count(*) FROM runs;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_TRUE(Store.Write(MakeRun(Now, {Device(QStringLiteral("B"), 4)}), 90, Now).Written)
      << "a reader blocked the writer";
  ASSERT_EQ(sqlite3_exec(Other, "COMMIT; BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
  const THistoryWriteOutcome Locked =
      Store.Write(MakeRun(Now, {Device(QStringLiteral("C"), 4)}), 90, Now);
  EXPECT_FALSE(Locked.Written);
  EXPECT_EQ(Locked.Problem,
            QStringLiteral("history not written to %1: database is locked").arg(File()));
  sqlite3_exec(Other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(Other);
  EXPECT_EQ(ReadAll().size(), 2U);
  EXPECT_TRUE(Store.Write(MakeRun(Now, {Device(QStringLiteral("D"), 4)}), 90, Now).Written);
}

// A store that goes on from write to write keeps writing to the file at its
// name: one that was set aside meanwhile keeps what it had.
TEST_F(HistoryStore, AStoreThatGoesOnFollowsTheFileAtItsName) {
  THistoryStore Store(File());
  Store.SetKeepOpen(true);
  const THistoryRun First = MakeRun(Now.addSecs(-60), {Device(QStringLiteral("A"), 4)});
  const THistoryRun Second = MakeRun(Now, {Device(QStringLiteral("B"), 4)});
  ASSERT_TRUE(Store.Write(First, 90, Now).Written);
  const QString Aside = File() + QStringLiteral(".aside");
  for (const char *Suffix : {"", "-wal", "-shm"}) {
    if (!QFile::exists(File() + QLatin1String(Suffix))) continue;
    ASSERT_TRUE(QFile::rename(File() + QLatin1String(Suffix), Aside + QLatin1String(Suffix)));
  }
  ASSERT_TRUE(Store.Write(Second, 90, Now).Written);
  EXPECT_EQ(ReadAll(), std::vector<THistoryRun>{Second});
  QString Problem;
  EXPECT_EQ(THistoryStore(Aside).Read(QDateTime(), std::nullopt, &Problem),
            std::vector<THistoryRun>{First});
  EXPECT_EQ(Problem, QString());
}

// Writes Run the way the version before layouts did, with its statements:
// the tables made when missing (a runs table without the layout column), the
// index by name, and the rows.
void WriteInTheFirstLayout(const QString &File, const THistoryRun &Run) {
  QDir().mkpath(QFileInfo(File).absolutePath());
  sqlite3 *Database = nullptr;
  ASSERT_EQ(sqlite3_open(QFile::encodeName(File).constData(), &Database), SQLITE_OK);
  const char *Schema =
      "PRAGMA journal_mode=WAL;"
      "CREATE TABLE IF NOT EXISTS runs(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL,"
      " settings_file TEXT NOT NULL, summary TEXT NOT NULL);"
      "CREATE INDEX IF NOT EXISTS runs_time ON runs(time_ms);"
      "CREATE TABLE IF NOT EXISTS devices(run_id INTEGER NOT NULL, position INTEGER NOT NULL,"
      " name TEXT NOT NULL, address TEXT NOT NULL, status TEXT NOT NULL,"
      " category INTEGER NOT NULL, sent INTEGER NOT NULL, answered INTEGER NOT NULL,"
      " rtt_min_us INTEGER, rtt_mean_us REAL, rtt_max_us INTEGER,"
      " PRIMARY KEY(run_id, position)) WITHOUT ROWID;"
      "CREATE INDEX IF NOT EXISTS devices_name ON devices(name, run_id);"
      "BEGIN IMMEDIATE;";
  ASSERT_EQ(sqlite3_exec(Database, Schema, nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(Database);
  sqlite3_stmt *InsertRun = nullptr;
  sqlite3_stmt *InsertDevice = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(Database,
                               "INSERT INTO runs(time_ms, settings_file, summary) VALUES(?, ?, ?)",
                               -1, &InsertRun, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_prepare_v2(Database,
                               "INSERT INTO devices(run_id, position, name, address, status, "
                               "category, sent, answered, rtt_min_us, rtt_mean_us, rtt_max_us) "
                               "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                               -1, &InsertDevice, nullptr),
            SQLITE_OK);
  const auto Text = [](sqlite3_stmt *Statement, int Index, const QString &Value) {
    const QByteArray Bytes = Value.toUtf8();
    sqlite3_bind_text(Statement, Index, Bytes.constData(), int(Bytes.size()), SQLITE_TRANSIENT);
  };
  sqlite3_bind_int64(InsertRun, 1, Run.Time.toMSecsSinceEpoch());
  Text(InsertRun, 2, Run.SettingsFile);
  Text(InsertRun, 3, Run.Summary);
  ASSERT_EQ(sqlite3_step(InsertRun), SQLITE_DONE);
  const sqlite3_int64 RunId = sqlite3_last_insert_rowid(Database);
  int Position = 0;
  for (const THistoryDevice &D : Run.Devices) {
    sqlite3_reset(InsertDevice);
    sqlite3_bind_int64(InsertDevice, 1, RunId);
    sqlite3_bind_int(InsertDevice, 2, Position++);
    Text(InsertDevice, 3, D.Name);
    Text(InsertDevice, 4, D.Address);
    Text(InsertDevice, 5, D.Status);
    sqlite3_bind_int(InsertDevice, 6, D.Category);
    sqlite3_bind_int(InsertDevice, 7, D.Sent);
    sqlite3_bind_int(InsertDevice, 8, D.Answered);
    for (const int Index : {9, 10, 11}) sqlite3_bind_null(InsertDevice, Index);
    if (D.RoundTripMin) sqlite3_bind_int64(InsertDevice, 9, *D.RoundTripMin);
    if (D.RoundTripMean) sqlite3_bind_double(InsertDevice, 10, *D.RoundTripMean);
    if (D.RoundTripMax) sqlite3_bind_int64(InsertDevice, 11, *D.RoundTripMax);
    ASSERT_EQ(sqlite3_step(InsertDevice), SQLITE_DONE);
  }
  sqlite3_finalize(InsertRun);
  sqlite3_finalize(InsertDevice);
  ASSERT_EQ(sqlite3_exec(Database, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(Database);
}

bool HasNameIndex(const QString &File) {
  sqlite3 *Database = nullptr;
  sqlite3_open_v2(QFile::encodeName(File).constData(), &Database, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt *Find = nullptr;
  sqlite3_prepare_v2(Database, "SELECT 1 FROM sqlite_master WHERE name = 'devices_name'", -1, &Find,
                     nullptr);
  const bool Found = sqlite3_step(Find) == SQLITE_ROW;
  sqlite3_finalize(Find);
  sqlite3_close(Database);
  return Found;
}

struct TFirstLayoutCase {
  const char *Name;
  // Writes the runs before the last in the file, each in the layout that
  // its writer kept.
  std::function<void(const QString &File, const std::vector<THistoryRun> &Runs)> Fill;
};

class HistoryFirstLayout : public HistoryStore,
                           public ::testing::WithParamInterface<TFirstLayoutCase> {};

// A file that the version before layouts wrote is read as it is, and the
// next write keeps all its runs.
TEST_P(HistoryFirstLayout, IsReadAsItIsAndKeptByTheNextWrite) {
  const THistoryRun Moved = MakeRun(Now.addSecs(-900), {Device(QStringLiteral("Camera"), 4, 250),
                                                        Device(QStringLiteral("Gateway"), 4)});
  const THistoryRun Empty = MakeRun(Now.addSecs(-700), {});
  const std::vector<THistoryRun> Before{
      MakeRun(Now.addSecs(-1200), {Device(QStringLiteral("Gateway"), 4, 500),
                                   Device(QStringLiteral("Printer \u00e4"), 0),
                                   Device(QStringLiteral("Camera"), 4, 250)}),
      Moved,
      MakeRun(Now.addSecs(-800),
              {Device(QStringLiteral("Gateway"), 3, 700),
               Device(QStringLiteral("Printer \u00e4"), 4), Device(QStringLiteral("Camera"), 0)}),
      Empty,
  };
  GetParam().Fill(File(), Before);
  ASSERT_TRUE(HasNameIndex(File()));
  const auto Only = [](std::vector<THistoryRun> Runs, const QString &Name) {
    std::vector<THistoryRun> Kept;
    for (THistoryRun &Run : Runs) {
      std::erase_if(Run.Devices, [&](const THistoryDevice &D) { return D.Name != Name; });
      if (!Run.Devices.empty()) Kept.push_back(std::move(Run));
    }
    return Kept;
  };
  const std::vector<QString> Names{QStringLiteral("Gateway"), QStringLiteral("Printer \u00e4"),
                                   QStringLiteral("Camera"), QStringLiteral("Scanner")};
  // A run without devices is kept but not read back, in either layout.
  const auto Whole = [](std::vector<THistoryRun> Runs) {
    std::erase_if(Runs, [](const THistoryRun &Run) { return Run.Devices.empty(); });
    return Runs;
  };
  EXPECT_EQ(ReadAll(), Whole(Before));
  for (const QString &Name : Names)
    EXPECT_EQ(ReadAll(Name), Only(Before, Name)) << Name.toStdString();

  const THistoryRun Next = MakeRun(
      Now, {Device(QStringLiteral("Gateway"), 4, 900), Device(QStringLiteral("Scanner"), 4, 100)});
  ASSERT_TRUE(THistoryStore(File()).Write(Next, 90, Now).Written);
  std::vector<THistoryRun> After = Before;
  After.push_back(Next);
  EXPECT_FALSE(HasNameIndex(File()));
  EXPECT_EQ(ReadAll(), Whole(After));
  for (const QString &Name : Names)
    EXPECT_EQ(ReadAll(Name), Only(After, Name)) << Name.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HistoryFirstLayout,
    ::testing::Values(
        TFirstLayoutCase{"written_before_layouts",
                         [](const QString &File, const std::vector<THistoryRun> &Runs) {
                           for (const THistoryRun &Run : Runs) WriteInTheFirstLayout(File, Run);
                         }},
        // The version before layouts writes again into a file that this
        // one brought over: it makes its index anew, its runs lack layouts.
        TFirstLayoutCase{"written_again_before_layouts",
                         [](const QString &File, const std::vector<THistoryRun> &Runs) {
                           for (std::size_t Index = 0; Index < Runs.size(); ++Index) {
                             if (Index < 2)
                               ASSERT_TRUE(THistoryStore(File).Write(Runs[Index], 90, Now).Written);
                             else
                               WriteInTheFirstLayout(File, Runs[Index]);
                           }
                         }}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// A writer killed in the middle of its runs leaves a history that reads
// without a problem, with every run that it was told was written, each
// whole, and that takes the next run.
TEST_F(HistoryStore, AWriterKilledMidRunLeavesEveryWrittenRunWhole) {
  constexpr int DevicesPerRun = 300;
  constexpr int RunsAtMost = 400;
  constexpr int KillAfter = 12;
  const auto RunAt = [](int Index) {
    std::vector<THistoryDevice> Devices;
    for (int D = 0; D < DevicesPerRun; ++D)
      Devices.push_back(Device(QStringLiteral("d%1").arg(D), D % 5 == 0 ? 0 : 4, Index));
    return MakeRun(Now.addSecs(Index - RunsAtMost), Devices);
  };
  int Told[2];
  ASSERT_EQ(pipe(Told), 0);
  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    close(Told[0]);
    // A store per run, as unattended runs have: open, write, close.
    for (int Index = 0; Index < RunsAtMost; ++Index)
      if (!THistoryStore(File()).Write(RunAt(Index), 90, Now).Written ||
          write(Told[1], "w", 1) != 1)
        _exit(1);
    _exit(0);
  }
  close(Told[1]);
  int Confirmed = 0;
  char Byte;
  while (Confirmed < KillAfter && read(Told[0], &Byte, 1) == 1) ++Confirmed;
  kill(Child, SIGKILL);
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  while (read(Told[0], &Byte, 1) == 1) ++Confirmed;
  close(Told[0]);
  ASSERT_GE(Confirmed, KillAfter);

  const std::vector<THistoryRun> Runs = ReadAll();
  ASSERT_GE(Runs.size(), std::size_t(Confirmed));
  ASSERT_LE(Runs.size(), std::size_t(Confirmed) + 1);
  for (std::size_t Index = 0; Index < Runs.size(); ++Index)
    EXPECT_EQ(Runs[Index], RunAt(int(Index))) << Index;
  EXPECT_EQ(ReadAll(QStringLiteral("d7")).size(), Runs.size());
  ASSERT_TRUE(THistoryStore(File()).Write(RunAt(RunsAtMost), 90, Now).Written);
  EXPECT_EQ(ReadAll().size(), Runs.size() + 1);
}

struct TDamageCase {
  const char *Name;
  // Spoils the database file in place.
  void (*Spoil)(const QString &File);
};

class HistoryDamage : public HistoryStore, public ::testing::WithParamInterface<TDamageCase> {};

TEST_P(HistoryDamage, IsSetAsideAndAFreshFileTakesTheRun) {
  {
    THistoryStore Store(File());
    std::vector<THistoryDevice> Many;
    for (int Index = 0; Index < 300; ++Index)
      Many.push_back(Device(QStringLiteral("old-%1").arg(Index), 4));
    ASSERT_TRUE(Store.Write(MakeRun(Now.addSecs(-60), Many), 90, Now).Written);
  }
  GetParam().Spoil(File());
  const THistoryRun Fresh = MakeRun(Now, {Device(QStringLiteral("A"), 4)});
  const THistoryWriteOutcome Outcome = THistoryStore(File()).Write(Fresh, 90, Now);
  EXPECT_TRUE(Outcome.Written) << Outcome.Problem.toStdString();
  EXPECT_TRUE(
      Outcome.Note.startsWith(QStringLiteral("history database %1 was damaged (").arg(File())))
      << Outcome.Note.toStdString();
  const QStringList Aside =
      QFileInfo(File()).dir().entryList({QStringLiteral("test.sqlite.damaged-*")}, QDir::Files);
  ASSERT_EQ(Aside.size(), 1) << Aside.join(u' ').toStdString();
  EXPECT_TRUE(Outcome.Note.endsWith(QStringLiteral("set aside as %1, a fresh one started")
                                        .arg(QFileInfo(File()).dir().filePath(Aside.front()))));
  EXPECT_EQ(ReadAll(), std::vector<THistoryRun>{Fresh});
}

void Overwrite(const QString &File, qint64 Offset, const QByteArray &Bytes) {
  QFile F(File);
  ASSERT_TRUE(F.open(QIODevice::ReadWrite));
  ASSERT_TRUE(F.seek(Offset));
  ASSERT_EQ(F.write(Bytes), Bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HistoryDamage,
    ::testing::Values(TDamageCase{"no_database_at_all",
                                  [](const QString &File) {
                                    QFile F(File);
                                    ASSERT_TRUE(F.open(QIODevice::WriteOnly | QIODevice::Truncate));
                                    F.write(QByteArray(8192, 'x'));
                                  }},
                      // The header stays, the tables' pages are noise.
                      TDamageCase{"pages_overwritten",
                                  [](const QString &File) {
                                    QByteArray Noise(QFileInfo(File).size() - 4096, '\0');
                                    for (qsizetype Index = 0; Index < Noise.size(); ++Index)
                                      Noise[Index] = char((Index * 131 + 7) & 0xff);
                                    Overwrite(File, 4096, Noise);
                                  }},
                      TDamageCase{"header_overwritten",
                                  [](const QString &File) {
                                    Overwrite(File, 0, QByteArray(100, '\x5a'));
                                  }}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// A folder the user may not write in: a line, no crash, no file.  Run as
// an ordinary user in a child process, since root may write anywhere.
TEST_F(HistoryStore, AFolderWithoutWriteAccessIsALine) {
  const QString Folder = Dir.file(QStringLiteral("data/dervik"));
  ASSERT_TRUE(QDir().mkpath(Folder));
  // The user may reach the folder, only not write in it.
  for (const QString &Path : {QString::fromStdString(Dir.path()), Dir.file(QStringLiteral("data"))})
    ASSERT_EQ(chmod(QFile::encodeName(Path).constData(), 0755), 0);
  ASSERT_EQ(chmod(QFile::encodeName(Folder).constData(), 0555), 0);
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    close(Pipe[0]);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    const QByteArray Problem = THistoryStore(File())
                                   .Write(MakeRun(Now, {Device(QStringLiteral("A"), 4)}), 90, Now)
                                   .Problem.toUtf8();
    const bool Sent =
        write(Pipe[1], Problem.constData(), std::size_t(Problem.size())) == Problem.size();
    _exit(Sent ? 0 : 3);
  }
  close(Pipe[1]);
  QByteArray Problem;
  char Buffer[512];
  for (ssize_t Got; (Got = read(Pipe[0], Buffer, sizeof Buffer)) > 0;) Problem.append(Buffer, Got);
  close(Pipe[0]);
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << WEXITSTATUS(Status);
  chmod(QFile::encodeName(Folder).constData(), 0755);
  EXPECT_EQ(QString::fromUtf8(Problem).toStdString(),
            QStringLiteral("history not written to %1: unable to open database file")
                .arg(File())
                .toStdString());
  EXPECT_FALSE(QFileInfo::exists(File()));
}

TEST(HistoryDatabaseFile, OnePerSettingsFileUnderTheDataHome) {
  const QString A = HistoryDatabaseFile(QStringLiteral("/etc/site-a/dervik.ini"),
                                        QStringLiteral("/home/u/.local/share"));
  const QString B = HistoryDatabaseFile(QStringLiteral("/etc/site-b/dervik.ini"),
                                        QStringLiteral("/home/u/.local/share"));
  EXPECT_TRUE(A.startsWith(QLatin1String("/home/u/.local/share/dervik/dervik-")))
      << A.toStdString();
  EXPECT_TRUE(A.endsWith(QLatin1String(".sqlite")));
  EXPECT_NE(A, B);
  EXPECT_EQ(A, HistoryDatabaseFile(QStringLiteral("/etc/site-a/./dervik.ini"),
                                   QStringLiteral("/home/u/.local/share")));
}

}  // namespace
