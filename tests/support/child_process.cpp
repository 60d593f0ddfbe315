#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char **environ;

namespace testsupport {

namespace {

// An anonymous file holding Bytes, read from its start.
int AnonymousFile(const char *Name, const std::string &Bytes = "") {
  const int Fd = memfd_create(Name, MFD_CLOEXEC);
  if (Fd < 0) return -1;
  if (write(Fd, Bytes.data(), Bytes.size()) != static_cast<ssize_t>(Bytes.size()) ||
      lseek(Fd, 0, SEEK_SET) != 0) {
    close(Fd);
    return -1;
  }
  return Fd;
}

std::string ReadFromStart(int Fd) {
  std::string Text;
  char Buffer[4096];
  ssize_t N;
  for (off_t At = 0; (N = pread(Fd, Buffer, sizeof Buffer, At)) > 0; At += N)
    Text.append(Buffer, static_cast<size_t>(N));
  return Text;
}

void CloseFd(int &Fd) {
  if (Fd >= 0) close(Fd);
  Fd = -1;
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess &&Other) noexcept
    : FPid(Other.FPid), FOut(Other.FOut), FErr(Other.FErr) {
  Other.FPid = Other.FOut = Other.FErr = -1;
}

ChildProcess::~ChildProcess() {
  if (FPid > 0) {
    kill(FPid, SIGKILL);
    while (waitpid(FPid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  CloseFd(FOut);
  CloseFd(FErr);
}

bool ChildProcess::Start(const std::vector<std::string> &Argv, const std::string &Input,
                         const std::vector<std::string> *Environment) {
  if (FPid > 0 || Argv.empty()) return false;
  int In = AnonymousFile("stdin", Input);
  FOut = AnonymousFile("stdout");
  FErr = AnonymousFile("stderr");
  if (In < 0 || FOut < 0 || FErr < 0) {
    CloseFd(In);
    CloseFd(FOut);
    CloseFd(FErr);
    return false;
  }
  std::vector<char *> Args, Envp;
  for (const std::string &A : Argv) Args.push_back(const_cast<char *>(A.c_str()));
  Args.push_back(nullptr);
  if (Environment != nullptr) {
    for (const std::string &E : *Environment) Envp.push_back(const_cast<char *>(E.c_str()));
    Envp.push_back(nullptr);
  }
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, In, 0);
  posix_spawn_file_actions_adddup2(&Actions, FOut, 1);
  posix_spawn_file_actions_adddup2(&Actions, FErr, 2);
  pid_t Pid = -1;
  const int Spawned = posix_spawnp(&Pid, Args[0], &Actions, nullptr, Args.data(),
                                   Environment != nullptr ? Envp.data() : environ);
  posix_spawn_file_actions_destroy(&Actions);
  CloseFd(In);
  if (Spawned == 0) FPid = Pid;
  return Spawned == 0;
}

ProcessResult ChildProcess::Wait(int TimeoutMilliseconds) {
  ProcessResult R;
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
  R.Status = !R.TimedOut && WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  R.Out = ReadFromStart(FOut);
  R.Err = ReadFromStart(FErr);
  CloseFd(FOut);
  CloseFd(FErr);
  return R;
}

ProcessResult runProcess(const std::vector<std::string> &Argv, const std::string &Input,
                         int TimeoutMilliseconds) {
  ChildProcess Child;
  if (!Child.Start(Argv, Input)) return ProcessResult{};
  return Child.Wait(TimeoutMilliseconds);
}

}  // namespace testsupport
