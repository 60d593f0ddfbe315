#include "real_proxy.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "file_text.h"
#include "loopback_ports.h"

namespace smtptest {

using testsupport::readFileText;
using testsupport::writeFileText;

RealProxy::RealProxy() {
  // tinyproxy writes its log as the unprivileged user it switches to.
  chmod(dir_.path().c_str(), 0777);
}

RealProxy::~RealProxy() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    // SIGTERM ends both proxies at once; after two seconds they are killed.
    for (int i = 0; i < 200 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
}

bool RealProxy::start(std::string config, std::vector<std::string> argv) {
  port_ = testsupport::FreeLoopbackPort();
  if (dir_.path().empty() || port_ == 0) return why("no folder or port");
  auto fill = [&](std::string &s, const std::string &key, const std::string &value) {
    for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
  };
  fill(config, "@PORT@", std::to_string(port_));
  fill(config, "@DIR@", dir_.path());
  const std::string conf = dir_.path() + "/proxy.conf";
  if (!writeFileText(conf, config)) return why("cannot write " + conf);
  for (std::string &a : argv) fill(a, "@CONF@", conf);
  const std::string logFile = dir_.path() + "/output.log";
  pid_ = fork();
  if (pid_ == 0) {
    FILE *out = std::freopen(logFile.c_str(), "w", stdout);
    if (out) dup2(fileno(out), 2);
    std::vector<char *> args;
    for (std::string &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid_ < 0) return why("fork failed");
  // Bounded: 10 s for the proxy to listen.
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return why("the proxy ended: " + readFileText(logFile) +
                 readFileText(dir_.path() + "/proxy.log"));
    }
    if (testsupport::LoopbackPortAccepts(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return why("the proxy does not listen: " + readFileText(logFile));
}

std::string RealProxy::log() const {
  return readFileText(dir_.path() + "/output.log") + readFileText(dir_.path() + "/proxy.log");
}

std::string dantedConfig(const char *method) {
  return std::string(
             "logoutput: @DIR@/proxy.log\n"
             "internal: 127.0.0.1 port = @PORT@\n"
             "external: 127.0.0.1\n"
             "clientmethod: none\n"
             "socksmethod: ") +
         method +
         "\n"
         "user.privileged: root\n"
         "user.unprivileged: nobody\n"
         "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
         "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
}

}  // namespace smtptest
