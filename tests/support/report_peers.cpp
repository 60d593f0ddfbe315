#include "report_peers.h"

#include "file_text.h"
#include "loopback_ports.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace reportpeers {

namespace fs = std::filesystem;

namespace {

// Ends a child: SIGTERM, then SIGKILL when it has not gone within 5 s.
void EndChild(pid_t &Pid) {
  if (Pid <= 0) return;
  kill(Pid, SIGTERM);
  int Status;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (waitpid(Pid, &Status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > Deadline) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &Status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Pid = -1;
}

void SendDatagram(int Port, const std::string &Bytes) {
  const int Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(static_cast<uint16_t>(Port));
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(Fd, Bytes.data(), Bytes.size(), 0, reinterpret_cast<sockaddr *>(&A), sizeof A);
  close(Fd);
}

constexpr const char *ProbeTag = "dervik-probe";

}  // namespace

std::string Mail::Header(const std::string &Name) const {
  std::istringstream In(Headers);
  std::string Line, Value;
  bool Found = false;
  while (std::getline(In, Line)) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (Found) {
      if (Line.empty() || (Line[0] != ' ' && Line[0] != '\t')) break;
      Value += Line;  // a folded continuation
      continue;
    }
    if (Line.size() > Name.size() && Line[Name.size()] == ':' &&
        strncasecmp(Line.c_str(), Name.c_str(), Name.size()) == 0) {
      Found = true;
      Value = Line.substr(Name.size() + 1);
      if (!Value.empty() && Value[0] == ' ') Value.erase(0, 1);
    }
  }
  return Value;
}

SmtpSink::SmtpSink() : SmtpSink(SmtpSinkOptions{}) {}

SmtpSink::SmtpSink(const SmtpSinkOptions &Options) {
  if (FFolder.path().empty()) {
    FWhy = "no temporary folder";
    return;
  }
  if (access("/usr/bin/python3", X_OK) != 0) {
    FWhy = "/usr/bin/python3 is not installed";
    return;
  }
  int Pipe[2];
  if (pipe2(Pipe, O_CLOEXEC) != 0) {
    FWhy = "no pipe";
    return;
  }
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
  posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<std::string> Words{"/usr/bin/python3", SMTP_SINK_SCRIPT, FFolder.path()};
  if (!Options.CertFile.empty())
    Words.insert(Words.end(), {"--cert", Options.CertFile, "--key", Options.KeyFile});
  if (Options.RequireStartTls) Words.push_back("--require-starttls");
  if (Options.ImplicitTls) Words.push_back("--implicit");
  if (!Options.User.empty())
    Words.insert(Words.end(), {"--auth", Options.User + ":" + Options.Password});
  if (Options.Port > 0) Words.insert(Words.end(), {"--port", std::to_string(Options.Port)});
  std::vector<char *> Argv;
  for (std::string &W : Words) Argv.push_back(W.data());
  Argv.push_back(nullptr);
  const int Spawned = posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  close(Pipe[1]);
  if (Spawned != 0) {
    FPid = -1;
    close(Pipe[0]);
    FWhy = "the mail server did not start";
    return;
  }
  // The first line is the port, printed once the server listens.
  std::string Line;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Line.find('\n') == std::string::npos) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        Deadline - std::chrono::steady_clock::now());
    pollfd P{Pipe[0], POLLIN, 0};
    if (Left.count() <= 0 || poll(&P, 1, static_cast<int>(Left.count())) <= 0) break;
    char Buffer[64];
    const ssize_t N = read(Pipe[0], Buffer, sizeof Buffer);
    if (N <= 0) break;
    Line.append(Buffer, static_cast<size_t>(N));
  }
  close(Pipe[0]);
  FPort = std::atoi(Line.c_str());
  if (FPort <= 0) FWhy = "the mail server (aiosmtpd) did not report its port: '" + Line + "'";
}

SmtpSink::~SmtpSink() { EndChild(FPid); }

std::vector<Mail> SmtpSink::Messages() const {
  std::vector<Mail> Out;
  for (int N = 1;; ++N) {
    const fs::path Eml = fs::path(FFolder.path()) / (std::to_string(N) + ".eml");
    const fs::path Env = fs::path(FFolder.path()) / (std::to_string(N) + ".env");
    if (!fs::exists(Eml) || !fs::exists(Env)) break;
    Mail M;
    M.Raw = testsupport::readFileText(Eml);
    const size_t Split = M.Raw.find("\r\n\r\n");
    M.Headers = Split == std::string::npos ? M.Raw : M.Raw.substr(0, Split + 2);
    M.Body = Split == std::string::npos ? std::string() : M.Raw.substr(Split + 4);
    std::istringstream In(testsupport::readFileText(Env));
    for (std::string Line; std::getline(In, Line);) {
      if (Line.rfind("from ", 0) == 0) M.From = Line.substr(5);
      if (Line.rfind("to ", 0) == 0) M.To.push_back(Line.substr(3));
      if (Line.rfind("tls ", 0) == 0) M.Tls = Line.substr(4);
      if (Line.rfind("auth ", 0) == 0) {
        const size_t Blank = Line.find(' ', 5);
        M.AuthMechanism = Line.substr(5, Blank == std::string::npos ? Blank : Blank - 5);
        M.AuthUser = Blank == std::string::npos ? std::string() : Line.substr(Blank + 1);
      }
    }
    Out.push_back(std::move(M));
  }
  return Out;
}

std::vector<std::string> SmtpSink::AuthAttempts() const {
  std::vector<std::string> Out;
  std::istringstream In(testsupport::readFileText(fs::path(FFolder.path()) / "auth.log"));
  for (std::string Line; std::getline(In, Line);) Out.push_back(Line);
  return Out;
}

Rsyslogd::Rsyslogd() = default;

Rsyslogd::~Rsyslogd() { Stop(); }

bool Rsyslogd::Start() {
  if (access("/usr/sbin/rsyslogd", X_OK) != 0) {
    FWhy = "rsyslogd is not installed";
    return false;
  }
  FPort = testsupport::FreeLoopbackUdpPort();
  if (FFolder.path().empty() || FPort <= 0) {
    FWhy = "no folder or port for rsyslogd";
    return false;
  }
  const fs::path Folder(FFolder.path());
  fs::create_directories(Folder / "work");
  {
    std::ofstream Conf(Folder / "rsyslog.conf");
    Conf << "global(workDirectory=\"" << (Folder / "work").string() << "\")\n"
         << "module(load=\"imudp\")\n"
         << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << FPort << "\")\n"
         << "template(name=\"fields\" type=\"string\" "
            "string=\"%syslogfacility%|%syslogseverity%|%hostname%|%syslogtag%%msg%\\n\")\n"
         << "*.* action(type=\"omfile\" file=\"" << (Folder / "out.log").string()
         << "\" template=\"fields\")\n";
  }
  const std::string Conf = (Folder / "rsyslog.conf").string(),
                    Pid = (Folder / "rsyslogd.pid").string();
  const char *Argv[] = {"/usr/sbin/rsyslogd", "-n", "-f", Conf.c_str(), "-i", Pid.c_str(), nullptr};
  if (posix_spawn(&FPid, Argv[0], nullptr, nullptr, const_cast<char **>(Argv), environ) != 0) {
    FPid = -1;
    FWhy = "rsyslogd did not start";
    return false;
  }
  // It listens some time after it starts: probe until a probe is filed.
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < Deadline && waitpid(FPid, nullptr, WNOHANG) == 0) {
    SendDatagram(FPort, std::string("<14>") + ProbeTag + ": ready");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (testsupport::readFileText(Folder / "out.log").find(ProbeTag) != std::string::npos)
      return true;
  }
  FWhy = "rsyslogd did not file the probe";
  return false;
}

std::vector<std::string> Rsyslogd::Lines() const {
  std::istringstream In(testsupport::readFileText(fs::path(FFolder.path()) / "out.log"));
  std::vector<std::string> Out;
  for (std::string Line; std::getline(In, Line);)
    if (Line.find(ProbeTag) == std::string::npos) Out.push_back(Line);
  return Out;
}

std::vector<std::string> Rsyslogd::WaitForLines(size_t Count, int Milliseconds) const {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
  std::vector<std::string> Got = Lines();
  while (Got.size() < Count && std::chrono::steady_clock::now() < Deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Got = Lines();
  }
  return Got;
}

void Rsyslogd::Stop() { EndChild(FPid); }

}  // namespace reportpeers
