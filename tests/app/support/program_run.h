// Runs the real program as a scheduler would: a copy of it alone in a
// folder of the test with its settings file beside it, no display in its
// environment, its standard output and error captured, waited for with a
// time limit.
#pragma once

#include "child_process.h"
#include "temp_folder.h"

#include <map>
#include <string>
#include <vector>

namespace programrun {

using Result = testsupport::ProcessResult;
// A run started by ProgramCopy::Start and not waited for yet: Wait ends it
// at a time limit and reads its outputs; one nobody waited for is killed.
using Running = testsupport::ChildProcess;

class ProgramCopy {
 public:
  // Copies Executable into a new temporary folder.
  explicit ProgramCopy(const std::string &Executable);

  bool Ok() const { return !FPath.empty(); }
  const std::string &Folder() const { return FFolder.path(); }
  const std::string &Path() const { return FPath; }
  std::string SettingsFile() const { return FPath + ".ini"; }
  void WriteSettings(const std::string &Text) const;

  // Runs the copy with Arguments. The environment is the test's without any
  // display or platform variable, plus Extra (a value "" removes the name).
  Result Run(const std::vector<std::string> &Arguments,
             const std::map<std::string, std::string> &Extra = {},
             int TimeoutMilliseconds = 60000) const;
  // Starts the copy as Run does and returns at once.
  Running Start(const std::vector<std::string> &Arguments,
                const std::map<std::string, std::string> &Extra = {}) const;

 private:
  testsupport::TempFolder FFolder;  // removed with everything in it
  std::string FPath;
};

}  // namespace programrun
