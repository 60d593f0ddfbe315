// The stored history of check runs: one SQLite database per settings file,
// a row per run and a row per device of it.  Writers take the database one
// transaction at a time in WAL mode, so a scheduled run and an open window
// neither block each other for long nor see half a run.  Nothing here
// raises: every failure comes back as a text for the run log and panel 0.
#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

struct sqlite3;

// One device as a run left it.  Round trips in microseconds; absent when
// no answer came.
struct THistoryDevice {
  QString Name;
  QString Address;
  QString Status;    // the status text the list shows
  int Category = 0;  // TDeviceStatusCategory
  int Sent = 0;
  int Answered = 0;
  std::optional<std::int64_t> RoundTripMin = std::nullopt;
  std::optional<double> RoundTripMean = std::nullopt;
  std::optional<std::int64_t> RoundTripMax = std::nullopt;
  bool operator==(const THistoryDevice&) const = default;
};

struct THistoryRun {
  QDateTime Time;  // when the run ended
  QString SettingsFile;
  QString Summary;
  std::vector<THistoryDevice> Devices;
  bool operator==(const THistoryRun&) const = default;
};

// What a write did: Problem when the run is not in the history (why), Note
// when it is but something had to be repaired on the way.
struct THistoryWriteOutcome {
  bool Written = false;
  QString Problem;
  QString Note;
};

// The database of a settings file in DataHome ($XDG_DATA_HOME or
// ~/.local/share, DataHomeFromEnvironment): dervik/<base name>-<8 hex digits
// of the absolute path's hash>.sqlite, so that two files of the same name
// in different folders keep apart.
QString HistoryDatabaseFile(const QString& SettingsFile, const QString& DataHome);
QString DataHomeFromEnvironment();

class THistoryStore {
public:
  explicit THistoryStore(QString FileName);
  ~THistoryStore();
  THistoryStore(const THistoryStore&) = delete;
  THistoryStore& operator=(const THistoryStore&) = delete;

  const QString& FileName() const { return FFileName; }
  // How long a writer waits for another one before it gives up.
  void SetBusyTimeoutMilliseconds(int Value);
  // Whether the connection of a write stays open for the next one, until
  // the store goes.  For a process that writes run after run: its commits
  // are checkpointed in batches instead of each as the connection closes.
  // By default a write closes it, which leaves the database file whole
  // (the WAL checkpointed) for the moment no process holds it.
  void SetKeepOpen(bool Value) { FKeepOpen = Value; }

  // Adds Run in one transaction and removes the runs older than KeepDays
  // before Now.  The folder is created when missing; a file that is no
  // database or is damaged is set aside (renamed with ".damaged-" and the
  // time) and a fresh one started.
  THistoryWriteOutcome Write(const THistoryRun& Run, int KeepDays, const QDateTime& Now);

  // The runs that ended at or after Since, oldest first, with only the
  // device named Device when it is given (and runs without it left out).
  // Problem says why nothing could be read; a missing file is an empty
  // history.
  std::vector<THistoryRun> Read(const QDateTime& Since, const std::optional<QString>& Device,
                                QString* Problem) const;

private:
  bool OpenForWriting(QString* Problem);
  bool IsOpenOnItsFile() const;
  QString SetAside(const QString& Why);
  void Close();

  QString FFileName;
  sqlite3* FDatabase = nullptr;
  int FBusyTimeout = 10000;
  bool FKeepOpen = false;
  // The file that FDatabase has open, to tell when another one took its name.
  std::uint64_t FOpenDevice = 0;
  std::uint64_t FOpenInode = 0;
};
