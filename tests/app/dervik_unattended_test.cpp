// The program as a scheduler starts it: a copy alone in a folder with its
// settings file, no display in its environment. Its own options, the line
// it ends with when it needs a display, and the status and lines of an
// automatic run. Runs in the test's namespaces (devices on loopback, names
// from the test's /etc/hosts only).
#include "auto_mode.h"
#include "isolation.h"
#include "program_run.h"
#include "syslog_test_support.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

using programrun::ProgramCopy;
using programrun::Result;

std::string StatusText(const Result &R) {
  return "status " + std::to_string(R.Status) + (R.TimedOut ? " (timed out)" : "") + "\nstdout:\n" +
         R.Out + "stderr:\n" + R.Err;
}

// A display number with no X server behind it, local or abstract.
std::string UnusedDisplay() {
  for (int N = 4000 + getpid() % 1000; N < 6000; ++N) {
    const std::string Path = "/tmp/.X11-unix/X" + std::to_string(N);
    struct stat S;
    if (stat(Path.c_str(), &S) == 0) continue;
    const int Fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un A{};
    A.sun_family = AF_UNIX;
    std::memcpy(A.sun_path + 1, Path.data(), Path.size());
    const bool Taken =
        connect(Fd, reinterpret_cast<sockaddr *>(&A),
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + Path.size())) == 0;
    close(Fd);
    if (!Taken) return ":" + std::to_string(N);
  }
  return ":65000";
}

class DervikUnattended : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Program.Ok());
    ASSERT_TRUE(Listener.ok());
  }
  std::string Settings(const std::string &Devices,
                       const std::string &SysLogHost = "127.0.0.1") const {
    return "[Ping]\nTimes=1\nTimeout=1\n[SMTP]\nHostAddress=0.0.0.0\n[Syslog]\nHostAddress=" +
           SysLogHost + "\nPort=" + std::to_string(Listener.port()) + "\nFacility=16\n[Devices]\n" +
           Devices;
  }
  std::vector<std::string> PacketTexts() {
    std::vector<std::string> Texts;
    for (const std::string &Datagram : Listener.receiveAll(100, 100)) {
      const size_t Host = Datagram.find(' ', Datagram.find('>') + 1 + 16);
      Texts.push_back(Host == std::string::npos ? Datagram : Datagram.substr(Host + 1));
    }
    return Texts;
  }

  ProgramCopy Program{DERVIK_EXECUTABLE};
  syslogtest::UdpListener Listener;
};

TEST_F(DervikUnattended, HelpAndVersionAnswerOnStandardOutput) {
  const std::string Version = std::string("Dervik ") + PELORIN_TEST_VERSION + "\n";
  const struct {
    std::vector<std::string> Arguments;
    std::map<std::string, std::string> Environment;
    const char *Starts;
  } Rows[] = {
      {{"--help"}, {}, "Usage: dervik "},
      {{"-h"}, {{"DISPLAY", UnusedDisplay()}}, "Usage: dervik "},
      {{"/AUTO", "--help"}, {}, "Usage: dervik "},
      {{"--version"}, {}, Version.c_str()},
      {{"-platform", "offscreen", "--version"}, {}, Version.c_str()},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Arguments.back());
    const Result Run = Program.Run(R.Arguments, R.Environment, 20000);
    ASSERT_TRUE(Run.Started);
    EXPECT_EQ(Run.Status, 0) << StatusText(Run);
    EXPECT_EQ(Run.Err, "");
    EXPECT_EQ(Run.Out.rfind(R.Starts, 0), 0u) << Run.Out;
  }
  const Result Help = Program.Run({"--help"});
  // The settings file of this copy, every switch and every exit status.
  EXPECT_NE(Help.Out.find("Settings file: " + Program.SettingsFile() + "\n"), std::string::npos)
      << Help.Out;
  for (const char *Text :
       {"  /AUTO ", "  /AUTORUN ", "  /AUTOSMTP ", "  /AUTOSYSLOG ", "\n  0  every device",
        "\n  1  some devices did not answer", "\n  2  a report could not be sent", "\n  3  both",
        "\n  4  the run could not start"})
    EXPECT_NE(Help.Out.find(Text), std::string::npos) << Text;
  EXPECT_EQ(Program.Run({"--version"}).Out, Version);
}

TEST_F(DervikUnattended, WithoutSwitchAndDisplayItSaysSoInOneLine) {
  const std::string RuntimeDir = Program.Folder();
  const std::map<std::string, std::string> Rows[] = {
      {},
      {{"DISPLAY", UnusedDisplay()}},
      {{"WAYLAND_DISPLAY", "wayland-none"}, {"XDG_RUNTIME_DIR", RuntimeDir}},
  };
  Program.WriteSettings(Settings("A=127.0.0.1\n"));
  for (const auto &Environment : Rows) {
    SCOPED_TRACE(Environment.empty() ? "no variables" : Environment.begin()->first);
    const Result Run = Program.Run({"/AUTOX"}, Environment, 20000);
    ASSERT_TRUE(Run.Started);
    EXPECT_EQ(Run.Status, ExitStatusNotStarted) << StatusText(Run);
    EXPECT_EQ(Run.Out, "");
    EXPECT_EQ(Run.Err.rfind("dervik: no display", 0), 0u) << Run.Err;
    EXPECT_EQ(Run.Err.find('\n'), Run.Err.size() - 1) << "one line: " << Run.Err;
    EXPECT_NE(Run.Err.find("/AUTO"), std::string::npos) << "says how to run unattended";
  }
  EXPECT_TRUE(PacketTexts().empty());
}

// Each automatic run ends by itself with the status that says what happened,
// its lines on standard error and nothing else there.
TEST_F(DervikUnattended, AutomaticRunsEndWithTheirStatus) {
  REQUIRE_ISOLATION();
  const std::string Port = std::to_string(Listener.port());
  const std::string Display = UnusedDisplay();
  const std::string Checked = "dervik: checked 2 devices from " + Program.SettingsFile() + ": ";
  const std::string MailUnset =
      "dervik: mail report not sent: no server set (HostAddress in [SMTP])\n";
  const std::string SysLogSent = "dervik: syslog report sent to 127.0.0.1:" + Port + "\n";
  const struct {
    const char *Name;
    std::string Devices, SysLogHost;
    std::vector<std::string> Arguments;
    std::map<std::string, std::string> Environment;
    int Status;
    std::string Err;
    std::vector<std::string> Packets;
  } Rows[] = {
      {"all answered",
       "A=127.0.0.1\nlocalhost=\n",
       "127.0.0.1",
       {"/AUTO"},
       {},
       ExitStatusAllAnswered,
       Checked + "All connections OK\n" + MailUnset + SysLogSent,
       {"Dervik: All connections OK"}},
      {"a name that does not resolve",
       "A=127.0.0.1\nno-such-host.test=\n",
       "127.0.0.1",
       {"/autosyslog"},
       {},
       ExitStatusDevicesFailed,
       Checked +
           "Some connections were OK (1 failed - 1 OK)\ndervik: no answer from: "
           "no-such-host.test\n" +
           SysLogSent,
       {"Dervik: Some connections were OK (1 failed - 1 OK)", "Devices with no connection at all:",
        "- no-such-host.test (): Unable to lookup host address"}},
      {"syslog server not found",
       "A=127.0.0.1\nB=127.0.0.2\n",
       "no-such-host.test",
       {"/AUTOSYSLOG"},
       {},
       ExitStatusReportFailed,
       Checked + "All connections OK\ndervik: syslog report to no-such-host.test:" + Port +
           " failed: 11001: [11001] Host not found\n",
       {}},
      {"both",
       "no-such-host.test=\nB=127.0.0.2\n",
       "no-such-host.test",
       {"/AUTOSYSLOG"},
       {},
       ExitStatusDevicesFailed | ExitStatusReportFailed,
       Checked +
           "Some connections were OK (1 failed - 1 OK)\ndervik: no answer from: "
           "no-such-host.test\n" +
           "dervik: syslog report to no-such-host.test:" + Port +
           " failed: 11001: [11001] Host not found\n",
       {}},
      {"run alone ends without a display",
       "A=127.0.0.1\nB=127.0.0.2\n",
       "127.0.0.1",
       {"/AUTORUN"},
       {},
       ExitStatusAllAnswered,
       Checked + "All connections OK\n",
       {}},
      {"an unreachable display",
       "A=127.0.0.1\nB=127.0.0.2\n",
       "127.0.0.1",
       {"/AUTOSYSLOG"},
       {{"DISPLAY", Display}},
       ExitStatusAllAnswered,
       Checked + "All connections OK\n" + SysLogSent,
       {"Dervik: All connections OK"}},
      {"Qt's own platform option",
       "A=127.0.0.1\nB=127.0.0.2\n",
       "127.0.0.1",
       {"-platform", "offscreen", "/AUTOSYSLOG"},
       {{"DISPLAY", Display}},
       ExitStatusAllAnswered,
       Checked + "All connections OK\n" + SysLogSent,
       {"Dervik: All connections OK"}},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Program.WriteSettings(Settings(R.Devices, R.SysLogHost));
    const Result Run = Program.Run(R.Arguments, R.Environment);
    ASSERT_TRUE(Run.Started);
    EXPECT_FALSE(Run.TimedOut);
    EXPECT_EQ(Run.Status, R.Status) << StatusText(Run);
    EXPECT_EQ(Run.Err, R.Err);
    EXPECT_EQ(Run.Out, "");
    EXPECT_EQ(PacketTexts(), R.Packets);
  }
}

}  // namespace
