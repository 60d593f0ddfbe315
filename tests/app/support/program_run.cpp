#include "support/program_run.h"

#include <filesystem>

#include "file_text.h"

extern char **environ;

namespace programrun {

namespace fs = std::filesystem;

namespace {

bool IsDisplayVariable(const std::string &Name) {
  static const char *const Names[] = {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET",
                                      "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"};
  for (const char *N : Names)
    if (Name == N) return true;
  return false;
}

}  // namespace

ProgramCopy::ProgramCopy(const std::string &Executable) {
  if (FFolder.path().empty()) return;
  const std::string Target = FFolder.file("dervik");
  std::error_code Error;
  if (fs::copy_file(Executable, Target, Error)) FPath = Target;
}

void ProgramCopy::WriteSettings(const std::string &Text) const {
  testsupport::writeFileText(SettingsFile(), Text);
}

Result ProgramCopy::Run(const std::vector<std::string> &Arguments,
                        const std::map<std::string, std::string> &Extra,
                        int TimeoutMilliseconds) const {
  return Start(Arguments, Extra).Wait(TimeoutMilliseconds);
}

Running ProgramCopy::Start(const std::vector<std::string> &Arguments,
                           const std::map<std::string, std::string> &Extra) const {
  std::vector<std::string> Environment;
  for (char **E = environ; *E != nullptr; ++E) {
    const std::string Entry = *E;
    const std::string Variable = Entry.substr(0, Entry.find('='));
    if (!IsDisplayVariable(Variable) && Extra.count(Variable) == 0) Environment.push_back(Entry);
  }
  for (const auto &[Variable, Value] : Extra)
    if (!Value.empty()) Environment.push_back(Variable + "=" + Value);
  std::vector<std::string> Argv{FPath};
  Argv.insert(Argv.end(), Arguments.begin(), Arguments.end());
  Running R;
  if (!FPath.empty()) R.Start(Argv, "", &Environment);
  return R;
}

}  // namespace programrun
