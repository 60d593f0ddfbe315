// Interoperability with real syslog peers from the system's packages:
// util-linux logger sends RFC 3164 datagrams to the component, and an
// rsyslogd started here on a loopback port files the component's packets.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "syslog_component_fixture.h"
#include "isolation.h"
#include "pelsyslog.h"
#include "syslog_test_support.h"
#include "temp_folder.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

bool haveProgram(const char *path) { return access(path, X_OK) == 0; }

class SysLogInterop : public SysLogComponentTest {
 protected:
  SysLogInterop() { pumpSeconds = 5; }  // real programs start and answer more slowly
};

// ---------------------------------------------------------------- logger -> component

TEST_F(SysLogInterop, LoggerDatagramsParseAsConforming) {
  if (!haveProgram("/usr/bin/logger")) GTEST_SKIP() << "util-linux logger is not installed";
  struct Got {
    int facility, severity;
    QString timestamp, host, message;
    bool conforms;
  };
  std::vector<Got> got;
  log->setOnPacketIn([&](QObject *, int fc, const QString &, int sc, const QString &,
                         const QString &ts, const QString &host, const QString &msg, bool conforms,
                         const QString &, const QString &, int) {
    got.push_back({fc, sc, ts, host, msg, conforms});
  });
  log->setActive(true);
  const std::string port = std::to_string(log->LocalPort());

  const struct {
    const char *priority;
    int facility, severity;
    const char *text;
  } rows[] = {
      {"local3.warning", 19, 4, "interop check"},
      {"user.info", 1, 6, "second line with  two blanks"},
      {"daemon.err", 3, 3, "x"},
  };
  // logger writes the host name up to its first dot in this form.
  std::string host = syslogtest::machineName();
  host = host.substr(0, host.find('.'));
  for (const auto &r : rows) {
    SCOPED_TRACE(r.priority);
    got.clear();
    ASSERT_EQ(testsupport::runProcess({"/usr/bin/logger", "--rfc3164", "-d", "-n", "127.0.0.1",
                                       "-P", port, "-p", r.priority, "-t", "pelorin", "--", r.text})
                  .Status,
              0);
    ASSERT_TRUE(pumpUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got[0].facility, r.facility);
    EXPECT_EQ(got[0].severity, r.severity);
    EXPECT_TRUE(got[0].conforms);
    EXPECT_EQ(got[0].timestamp.size(), 15);
    EXPECT_EQ(got[0].host.toStdString(), host);
    EXPECT_EQ(got[0].message.toStdString(), std::string("pelorin: ") + r.text);
  }
  log->setActive(false);
}

// ---------------------------------------------------------------- component -> rsyslogd

class Rsyslogd {
 public:
  explicit Rsyslogd(const fs::path &dir) : dir_(dir) {}
  ~Rsyslogd() { stop(); }

  // Starts rsyslogd on 127.0.0.1:port with a file action writing one line per message.
  bool start(int port) {
    fs::create_directories(dir_ / "work");
    out_ = dir_ / "out.log";
    const fs::path conf = dir_ / "rsyslog.conf";
    std::ofstream c(conf);
    c << "global(workDirectory=\"" << (dir_ / "work").string() << "\")\n"
      << "module(load=\"imudp\")\n"
      << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << port << "\")\n"
      << "template(name=\"fields\" type=\"string\" "
         "string=\"%syslogfacility%|%syslogseverity%|%hostname%|%syslogtag%%msg%\\n\")\n"
      << "*.* action(type=\"omfile\" file=\"" << out_.string() << "\" template=\"fields\")\n";
    c.close();
    const std::string confText = conf.string(), pidText = (dir_ / "rsyslogd.pid").string();
    const char *argv[] = {"/usr/sbin/rsyslogd", "-n",   "-f", confText.c_str(), "-i",
                          pidText.c_str(),      nullptr};
    return posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) == 0;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  std::vector<std::string> lines() const {
    std::ifstream in(out_);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  fs::path dir_, out_;
  pid_t pid_ = -1;
};

bool contains(const std::vector<std::string> &lines, const std::string &line) {
  for (const auto &l : lines)
    if (l == line) return true;
  return false;
}

TEST_F(SysLogInterop, RsyslogdFilesTheComponentsPackets) {
  if (!haveProgram("/usr/sbin/rsyslogd")) GTEST_SKIP() << "rsyslogd is not installed";
  testsupport::TempFolder dir;
  int port;
  {
    syslogtest::UdpListener probe;  // a port that was free a moment ago
    port = probe.port();
  }
  Rsyslogd daemon(dir.path());
  ASSERT_TRUE(daemon.start(port));
  log->setRemoteHost("127.0.0.1");
  log->setRemotePort(port);
  log->setActive(true);

  // rsyslogd listens some time after it starts: probe until a packet lands.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool ready = false;
  while (!ready && std::chrono::steady_clock::now() < end && daemon.running()) {
    log->SendPacket(1, 7, "probe");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto &l : daemon.lines()) ready = ready || l.find("|probe") != std::string::npos;
  }
  ASSERT_TRUE(ready) << "rsyslogd did not file the probe packets";

  const std::string host = syslogtest::machineName();
  const struct {
    int facility, severity;
    const char *text;
    std::string line;
  } rows[] = {
      {16, 3, "Devices with no connection at all:",
       "16|3|" + host + "|Devices with no connection at all:"},
      {22, 6, "Dervik: All connections were OK",
       "22|6|" + host + "|Dervik: All connections were OK"},
      {4, 12, "severity twelve", "4|4|" + host + "|severity twelve"},
      {23, 0, "- B (10.0.0.2): No connection at all",
       "23|0|" + host + "|- B (10.0.0.2): No connection at all"},
  };
  for (const auto &r : rows) log->SendPacket(r.facility, r.severity, r.text);
  log->setActive(false);
  log->Config("UseHostname=False");
  log->setActive(true);
  log->SendPacket(1, 5, "by address");
  const std::string byAddress = std::string("1|5|") + syslogtest::kOwnAddress + "|by address";

  std::vector<std::string> lines;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    lines = daemon.lines();
  } while (!contains(lines, byAddress) && std::chrono::steady_clock::now() < until);
  for (const auto &r : rows) EXPECT_TRUE(contains(lines, r.line)) << r.line;
  EXPECT_TRUE(contains(lines, byAddress)) << byAddress;
  log->setActive(false);
  daemon.stop();
}

}  // namespace
