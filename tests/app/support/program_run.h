// Runs the real program as a scheduler would: a copy of it alone in a
// folder of the test with its settings file beside it, no display in its
// environment, its standard output and error captured, waited for with a
// time limit.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace programrun {

struct Result {
  bool Started = false;
  bool TimedOut = false;  // killed at the time limit
  int Status = -1;        // exit status; -1 when killed by a signal
  std::string Out, Err;
};

// A run started by ProgramCopy::Start and not waited for yet.
class Running {
 public:
  Running() = default;
  Running(Running &&Other) noexcept;
  Running &operator=(Running &&) = delete;
  Running(const Running &) = delete;
  ~Running();  // kills and reaps a run nobody waited for
  bool Started() const { return FPid > 0; }
  int Pid() const { return FPid; }
  // Waits for the end (killed at the time limit) and reads its output.
  Result Wait(int TimeoutMilliseconds = 60000);

 private:
  friend class ProgramCopy;
  int FPid = -1;
  std::string FOutFile, FErrFile;
};

class ProgramCopy {
 public:
  // Copies Executable into a new temporary folder.
  explicit ProgramCopy(const std::string &Executable);
  ~ProgramCopy();
  ProgramCopy(const ProgramCopy &) = delete;
  ProgramCopy &operator=(const ProgramCopy &) = delete;

  bool Ok() const { return !FPath.empty(); }
  const std::string &Folder() const { return FFolder; }
  const std::string &Path() const { return FPath; }
  std::string SettingsFile() const { return FPath + ".ini"; }
  void WriteSettings(const std::string &Text) const;

  // Runs the copy with Arguments. The environment is the test's without any
  // display or platform variable, plus Extra (a value "" removes the name).
  Result Run(const std::vector<std::string> &Arguments,
             const std::map<std::string, std::string> &Extra = {},
             int TimeoutMilliseconds = 60000) const;
  // Starts the copy as Run does and returns at once; Name tells the output
  // files of runs at the same time apart.
  Running Start(const std::vector<std::string> &Arguments,
                const std::map<std::string, std::string> &Extra = {},
                const std::string &Name = "run") const;

 private:
  std::string FFolder, FPath;
};

}  // namespace programrun
