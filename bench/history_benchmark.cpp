// The history's costs: writing one run of 1,000 devices (goal: under 20 ms)
// into a near-empty history and into one that holds a month of five-minute
// runs of those devices, and opening the history window of a device with a year of five-minute
// runs, 105,000 of them (goal: under 300 ms): reading its last month and
// drawing the plot.
#include "start/application.h"
#include "history/history_store.h"
#include "history/history_window.h"

#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <sqlite3.h>

#include <cstdlib>

namespace {

const QDateTime Now = QDateTime::currentDateTime();

THistoryRun RunOf(int Devices, const QDateTime &Time) {
  THistoryRun Run{
      Time, QStringLiteral("/etc/dervik.ini"), QStringLiteral("Some connections were OK"), {}};
  for (int Index = 0; Index < Devices; ++Index)
    Run.Devices.push_back({QStringLiteral("Device%1").arg(Index),
                           QStringLiteral("10.0.%1.%2").arg(Index / 256).arg(Index % 256),
                           QStringLiteral("OK"), 2, 4, 4, 1000 + Index, 1500.0 + Index,
                           2000 + Index});
  return Run;
}

void WriteRunOf1000Devices(benchmark::State &State) {
  QTemporaryDir Dir;
  THistoryStore Store(Dir.filePath(QStringLiteral("h.sqlite")));
  const THistoryRun Run = RunOf(1000, Now);
  for (auto _ : State) {
    if (!Store.Write(Run, 90, Now).Written) State.SkipWithError("not written");
  }
}
BENCHMARK(WriteRunOf1000Devices)->Unit(benchmark::kMillisecond);

// A month of runs every five minutes, 8,640 runs of the same 1,000 devices
// (8.6 million device rows), written by the store itself one run at a time
// so that the file has the layout and the fragmentation that real runs
// leave.  Made once per process (minutes) and shared by the repetitions.
const QString &MonthOf1000Devices() {
  static QTemporaryDir Dir;
  static const QString File = [] {
    const QString Name = Dir.filePath(QStringLiteral("month.sqlite"));
    THistoryRun Run = RunOf(1000, Now);
    for (int Index = 30 * 288; Index > 0; --Index) {
      Run.Time = Now.addSecs(-300LL * Index);
      if (!THistoryStore(Name).Write(Run, 90, Now).Written) std::abort();
    }
    return Name;
  }();
  return File;
}

// What an unattended run pays: a process of its own opens the history,
// writes its run of 1,000 devices after a month of them and closes it
// again.  Each iteration adds one more run five minutes after the last;
// keeping 90 days, none is removed.
void WriteRunOf1000DevicesAfterAMonth(benchmark::State &State) {
  const QString &File = MonthOf1000Devices();
  static int Written = 0;
  THistoryRun Run = RunOf(1000, Now);
  for (auto _ : State) {
    Run.Time = Now.addSecs(300LL * ++Written);
    THistoryStore Store(File);
    if (!Store.Write(Run, 90, Run.Time).Written) State.SkipWithError("not written");
  }
}
BENCHMARK(WriteRunOf1000DevicesAfterAMonth)->Unit(benchmark::kMillisecond)->Iterations(100);

// What the window pays when it writes its runs: the same write, with the
// connection kept open from run to run (checkpoints in batches).
void WriteRunOf1000DevicesAfterAMonthKeptOpen(benchmark::State &State) {
  const QString &File = MonthOf1000Devices();
  static int Written = 0;
  THistoryRun Run = RunOf(1000, Now);
  THistoryStore Store(File);
  Store.SetKeepOpen(true);
  for (auto _ : State) {
    Run.Time = Now.addDays(1).addSecs(300LL * ++Written);
    if (!Store.Write(Run, 90, Run.Time).Written) State.SkipWithError("not written");
  }
}
BENCHMARK(WriteRunOf1000DevicesAfterAMonthKeptOpen)->Unit(benchmark::kMillisecond)->Iterations(100);

// A year of runs every five minutes for device "A": the oldest written by
// the store, which makes the tables and the layout of the device list, the
// others copies of it made in one transaction (the store itself would
// commit each run on its own).
void FillYear(const QString &File) {
  THistoryRun First = RunOf(0, Now.addDays(-366));
  First.Devices.push_back({QStringLiteral("A"), QStringLiteral("10.0.0.1"), QStringLiteral("OK"), 2,
                           4, 4, 1000, 1500.0, 2000});
  THistoryStore(File).Write(First, 400, Now);
  sqlite3 *Database = nullptr;
  sqlite3_open(File.toUtf8().constData(), &Database);
  sqlite3_exec(Database, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt *Run = nullptr;
  sqlite3_stmt *Device = nullptr;
  sqlite3_prepare_v2(Database,
                     "INSERT INTO runs(time_ms, settings_file, summary, layout_id) "
                     "SELECT ?, 'x.ini', 'OK', layout_id FROM runs ORDER BY id LIMIT 1",
                     -1, &Run, nullptr);
  sqlite3_prepare_v2(Database,
                     "INSERT INTO devices VALUES(?, 0, 'A', '10.0.0.1', ?, 2, 4, ?, 1000 + ?4, "
                     "1500.0 + ?4, 2000 + ?4)",
                     -1, &Device, nullptr);
  const qint64 End = Now.toMSecsSinceEpoch();
  for (int Index = 0; Index < 105000; ++Index) {
    sqlite3_bind_int64(Run, 1, End - qint64(Index) * 300000);
    sqlite3_step(Run);
    sqlite3_reset(Run);
    sqlite3_bind_int64(Device, 1, sqlite3_last_insert_rowid(Database));
    sqlite3_bind_text(Device, 2, Index % 97 == 0 ? "No connection at all" : "OK", -1,
                      SQLITE_STATIC);
    sqlite3_bind_int(Device, 3, Index % 97 == 0 ? 0 : Index % 13 == 0 ? 3 : 4);
    sqlite3_bind_int(Device, 4, Index % 500);
    sqlite3_step(Device);
    sqlite3_reset(Device);
  }
  sqlite3_finalize(Run);
  sqlite3_finalize(Device);
  sqlite3_exec(Database, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(Database);
}

void OpenHistoryWindowOfAYear(benchmark::State &State) {
  QTemporaryDir Dir;
  const QString File = Dir.filePath(QStringLiteral("year.sqlite"));
  FillYear(File);
  for (auto _ : State) {
    THistoryWindow Window(File, QStringLiteral("A"), Now);
    Window.SetPeriod(THistoryWindow::pMonth);
    Window.Plot()->resize(760, 300);
    const QImage Image = Window.Plot()->grab().toImage();
    benchmark::DoNotOptimize(Image.constBits());
    if (Window.Samples().size() < 8000) State.SkipWithError("the month was not read");
  }
}
BENCHMARK(OpenHistoryWindowOfAYear)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  unsetenv("QT_NO_GLIB");
  TApplication Application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
