#include "support/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace programrun {

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path &Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

bool IsDisplayVariable(const std::string &Name) {
  static const char *const Names[] = {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET",
                                      "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"};
  for (const char *N : Names)
    if (Name == N) return true;
  return false;
}

}  // namespace

ProgramCopy::ProgramCopy(const std::string &Executable) {
  char Template[] = "/tmp/dervik-run-XXXXXX";
  if (mkdtemp(Template) == nullptr) return;
  FFolder = Template;
  const fs::path Target = fs::path(FFolder) / "dervik";
  std::error_code Error;
  if (!fs::copy_file(Executable, Target, Error)) return;
  FPath = Target.string();
}

ProgramCopy::~ProgramCopy() {
  std::error_code Error;
  if (!FFolder.empty()) fs::remove_all(FFolder, Error);
}

void ProgramCopy::WriteSettings(const std::string &Text) const {
  std::ofstream Out(SettingsFile(), std::ios::binary | std::ios::trunc);
  Out << Text;
}

Result ProgramCopy::Run(const std::vector<std::string> &Arguments,
                        const std::map<std::string, std::string> &Extra,
                        int TimeoutMilliseconds) const {
  Running Run = Start(Arguments, Extra);
  if (!Run.Started()) return Result{};
  return Run.Wait(TimeoutMilliseconds);
}

Running ProgramCopy::Start(const std::vector<std::string> &Arguments,
                           const std::map<std::string, std::string> &Extra,
                           const std::string &Name) const {
  Running R;
  std::vector<std::string> Environment;
  for (char **E = environ; *E != nullptr; ++E) {
    const std::string Entry = *E;
    const std::string Variable = Entry.substr(0, Entry.find('='));
    if (!IsDisplayVariable(Variable) && Extra.count(Variable) == 0) Environment.push_back(Entry);
  }
  for (const auto &[Variable, Value] : Extra)
    if (!Value.empty()) Environment.push_back(Variable + "=" + Value);
  std::vector<char *> Envp, Argv{const_cast<char *>(FPath.c_str())};
  for (auto &E : Environment) Envp.push_back(E.data());
  Envp.push_back(nullptr);
  for (const auto &A : Arguments) Argv.push_back(const_cast<char *>(A.c_str()));
  Argv.push_back(nullptr);

  const std::string Stem = Name == "run" ? "std" : Name + "-std";
  R.FOutFile = (fs::path(FFolder) / (Stem + "out.txt")).string();
  R.FErrFile = (fs::path(FFolder) / (Stem + "err.txt")).string();
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&Actions, 1, R.FOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&Actions, 2, R.FErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t Pid = -1;
  const int Spawned = posix_spawn(&Pid, FPath.c_str(), &Actions, nullptr, Argv.data(), Envp.data());
  posix_spawn_file_actions_destroy(&Actions);
  if (Spawned == 0) R.FPid = Pid;
  return R;
}

Running::Running(Running &&Other) noexcept
    : FPid(Other.FPid), FOutFile(std::move(Other.FOutFile)), FErrFile(std::move(Other.FErrFile)) {
  Other.FPid = -1;
}

Running::~Running() {
  if (FPid <= 0) return;
  kill(FPid, SIGKILL);
  while (waitpid(FPid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

Result Running::Wait(int TimeoutMilliseconds) {
  Result R;
  if (FPid <= 0) return R;
  R.Started = true;
  const pid_t Pid = FPid;
  FPid = -1;
  // A pidfd turns readable when the process ends: wait on it, not in steps.
  const int PidFd = static_cast<int>(syscall(SYS_pidfd_open, Pid, 0));
  if (PidFd >= 0) {
    pollfd P{PidFd, POLLIN, 0};
    int Ready;
    do Ready = poll(&P, 1, TimeoutMilliseconds);
    while (Ready < 0 && errno == EINTR);
    close(PidFd);
    if (Ready == 0) {
      R.TimedOut = true;
      kill(Pid, SIGKILL);
    }
  }
  int Status = 0;
  while (waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
  }
  R.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  R.Out = ReadAll(FOutFile);
  R.Err = ReadAll(FErrFile);
  return R;
}

}  // namespace programrun
