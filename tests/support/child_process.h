// A program run by a test: started with the bytes of its standard input,
// waited for with a time limit, its exit status and both outputs collected.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  bool Started = false;
  bool TimedOut = false;  // killed at the time limit
  int Status = -1;        // exit status; -1 when it did not start or a signal ended it
  std::string Out, Err;
};

// A child started and not waited for yet; its outputs go to anonymous files,
// so a child that writes much never blocks on a test that is busy elsewhere.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess &&Other) noexcept;
  ChildProcess &operator=(ChildProcess &&) = delete;
  ChildProcess(const ChildProcess &) = delete;
  ~ChildProcess();  // kills and reaps a child nobody waited for

  // Starts Argv (Argv[0] a path, or a name looked up in PATH) with Input on
  // its standard input.
  // Environment, when given, replaces the test's own ("NAME=value" entries).
  bool Start(const std::vector<std::string> &Argv, const std::string &Input = "",
             const std::vector<std::string> *Environment = nullptr);
  bool Started() const { return FPid > 0; }
  int Pid() const { return FPid; }
  // Waits for the end, killing the child at the time limit, and reads its outputs.
  ProcessResult Wait(int TimeoutMilliseconds = 60000);

 private:
  int FPid = -1;
  int FOut = -1, FErr = -1;
};

// Starts Argv and waits for it: ChildProcess::Start and Wait in one.
ProcessResult runProcess(const std::vector<std::string> &Argv, const std::string &Input = "",
                         int TimeoutMilliseconds = 60000);

}  // namespace testsupport
