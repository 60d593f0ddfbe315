// The program as a scheduler starts it: a copy alone in a folder with its
// settings file, no display in its environment. Its own options, the line
// it ends with when it needs a display, and the status and lines of an
// automatic run. Runs in the test's namespaces (devices on loopback, names
// from the test's /etc/hosts only).
#include "start/auto_mode.h"
#include "file_text.h"
#include "isolation.h"
#include "support/program_run.h"
#include "report_peers.h"
#include "syslog_test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <functional>
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
        "\n  4  the run could not start", "\n  8  the mail report was kept in the queue folder"})
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
    const Result Run = Program.Run({"notes.txt"}, Environment, 20000);
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
       {"/AUTO", "--verbose"},
       {},
       ExitStatusAllAnswered,
       Checked + "All connections OK\n" + MailUnset + SysLogSent,
       {"Dervik: All connections OK"}},
      {"a name that does not resolve",
       "A=127.0.0.1\nno-such-host.test=\n",
       "127.0.0.1",
       {"/autosyslog", "--verbose"},
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
       {"/AUTOSYSLOG", "--verbose"},
       {},
       ExitStatusReportFailed,
       Checked + "All connections OK\ndervik: syslog report to no-such-host.test:" + Port +
           " failed: 11001: [11001] Host not found\n",
       {}},
      {"both",
       "no-such-host.test=\nB=127.0.0.2\n",
       "no-such-host.test",
       {"/AUTOSYSLOG", "--verbose"},
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
       {"/AUTORUN", "--verbose"},
       {},
       ExitStatusAllAnswered,
       Checked + "All connections OK\n",
       {}},
      {"an unreachable display",
       "A=127.0.0.1\nB=127.0.0.2\n",
       "127.0.0.1",
       {"/AUTOSYSLOG", "--verbose"},
       {{"DISPLAY", Display}},
       ExitStatusAllAnswered,
       Checked + "All connections OK\n" + SysLogSent,
       {"Dervik: All connections OK"}},
      {"Qt's own platform option",
       "A=127.0.0.1\nB=127.0.0.2\n",
       "127.0.0.1",
       {"-platform", "offscreen", "/AUTOSYSLOG", "--verbose"},
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

// Without --verbose a run writes only what needs a look, so that a
// scheduler that mails what a job prints stays quiet when all is well; the
// status is the same either way.
TEST_F(DervikUnattended, QuietUnlessVerbose) {
  REQUIRE_ISOLATION();
  const std::string Port = std::to_string(Listener.port());
  const std::string Checked = "dervik: checked 2 devices from " + Program.SettingsFile() + ": ";
  const std::string MailUnset =
      "dervik: mail report not sent: no server set (HostAddress in [SMTP])\n";
  const std::string SysLogSent = "dervik: syslog report sent to 127.0.0.1:" + Port + "\n";
  const std::string NoAnswer = "dervik: no answer from: no-such-host.test\n";
  const std::string SysLogFailed = "dervik: syslog report to no-such-host.test:" + Port +
                                   " failed: 11001: [11001] Host not found\n";
  const std::string Warning = "dervik: warning: unknown key Timout in [Ping] of " +
                              Program.SettingsFile() + "; did you mean Timeout?\n";
  const struct {
    const char *Name;
    std::string Extra, Devices, SysLogHost;
    int Status;
    std::string Quiet, Verbose;
  } Rows[] = {
      {"all well: nothing at all", "", "A=127.0.0.1\nB=127.0.0.2\n", "127.0.0.1",
       ExitStatusAllAnswered, "", Checked + "All connections OK\n" + MailUnset + SysLogSent},
      {"a device silent", "", "A=127.0.0.1\nno-such-host.test=\n", "127.0.0.1",
       ExitStatusDevicesFailed, NoAnswer,
       Checked + "Some connections were OK (1 failed - 1 OK)\n" + NoAnswer + MailUnset +
           SysLogSent},
      {"a report failed", "", "A=127.0.0.1\nB=127.0.0.2\n", "no-such-host.test",
       ExitStatusReportFailed, SysLogFailed,
       Checked + "All connections OK\n" + MailUnset + SysLogFailed},
      {"a warning, all well otherwise", "[Ping]\nTimout=2\n", "A=127.0.0.1\nB=127.0.0.2\n",
       "127.0.0.1", ExitStatusAllAnswered, Warning,
       Warning + Checked + "All connections OK\n" + MailUnset + SysLogSent},
  };
  for (const auto &R : Rows) {
    for (const bool Verbose : {false, true}) {
      SCOPED_TRACE(std::string(R.Name) + (Verbose ? ", verbose" : ", quiet"));
      Program.WriteSettings(Settings(R.Devices, R.SysLogHost) + R.Extra);
      const Result Run = Program.Run(Verbose ? std::vector<std::string>{"--verbose", "/AUTO"}
                                             : std::vector<std::string>{"/AUTO"});
      ASSERT_TRUE(Run.Started);
      EXPECT_EQ(Run.Status, R.Status) << StatusText(Run);
      EXPECT_EQ(Run.Err, Verbose ? R.Verbose : R.Quiet);
      EXPECT_EQ(Run.Out, "");
      PacketTexts();  // the next run's packets alone
    }
  }
}

// What ends a run before it checks anything, each with its status and one
// line that names the cause: a mistyped switch (nothing started, not even
// the window), and settings that leave nothing to check (no report sent,
// quiet or not).
// The results of a run for other programs and in the history: --json and
// --prometheus files written whole, --history printing what the runs kept,
// Keep=0 keeping nothing, and a file or history that cannot be written.
TEST_F(DervikUnattended, ResultsForOtherProgramsAndTheHistory) {
  REQUIRE_ISOLATION();
  const std::string Data = Program.Folder() + "/data";
  const std::string Json = Program.Folder() + "/run.json";
  const std::string Prom = Program.Folder() + "/dervik.prom";
  const std::map<std::string, std::string> Env{{"XDG_DATA_HOME", Data}};
  const std::string Devices = "A=127.0.0.1\nno-such-host.test=\n";
  Program.WriteSettings(Settings(Devices));

  Result R = Program.Run({"/AUTORUN", "--json", Json, "--prometheus", Prom}, Env);
  EXPECT_EQ(R.Status, ExitStatusDevicesFailed) << StatusText(R);
  const std::string JsonText = testsupport::readFileText(Json);
  const std::string PromText = testsupport::readFileText(Prom);
  EXPECT_NE(JsonText.find("\"name\": \"no-such-host.test\""), std::string::npos) << JsonText;
  EXPECT_NE(JsonText.find("\"status\": \"Unable to lookup host address\""), std::string::npos)
      << JsonText;
  EXPECT_NE(PromText.find("dervik_device_up{name=\"A\",address=\"127.0.0.1\"} 1\n"),
            std::string::npos)
      << PromText;
  EXPECT_NE(PromText.find("dervik_device_up{name=\"no-such-host.test\",address=\"\"} 0\n"),
            std::string::npos)
      << PromText;
  EXPECT_NE(PromText.find("dervik_device_loss_ratio{name=\"no-such-host.test\",address=\"\"} 1\n"),
            std::string::npos)
      << PromText;

  // A second run; then one with Keep=0, which adds nothing.
  EXPECT_EQ(Program.Run({"/AUTORUN"}, Env).Status, ExitStatusDevicesFailed);
  Program.WriteSettings(Settings(Devices) + "[History]\nKeep=0\n");
  EXPECT_EQ(Program.Run({"/AUTORUN"}, Env).Status, ExitStatusDevicesFailed);
  const struct {
    std::vector<std::string> Arguments;
    int Status;
    std::vector<std::string> Lines;  // each found in standard output
    size_t LineCount;
    std::string Err = "";
  } Rows[] = {
      {{"--history"},
       0,
       {"time,device,address,status,", ",A,127.0.0.1,OK,ok,1,1,",
        ",no-such-host.test,,Unable to lookup host address,no_connection,1,0,,,"},
       5},
      {{"--history", "--device", "A", "--since", "1h"}, 0, {",A,127.0.0.1,OK,ok,1,1,"}, 3},
      {{"--history", "--device", "B"},
       ExitStatusNotStarted,
       {},
       0,
       "dervik: no device B in the history; known: A, no-such-host.test; did you mean A?\n"},
      {{"--history", "--format", "json", "--device", "A"},
       0,
       {"\"round_trip_ms\": {", "\"category\": \"ok\""},
       0},
  };
  for (const auto &Row : Rows) {
    R = Program.Run(Row.Arguments, Env);
    SCOPED_TRACE(Row.Arguments.front() + " " + std::to_string(Row.Arguments.size()));
    EXPECT_EQ(R.Status, Row.Status) << StatusText(R);
    EXPECT_EQ(R.Err, Row.Err);
    for (const std::string &Line : Row.Lines)
      EXPECT_NE(R.Out.find(Line), std::string::npos) << R.Out;
    if (Row.LineCount > 0) {
      EXPECT_EQ(size_t(std::count(R.Out.begin(), R.Out.end(), '\n')), Row.LineCount) << R.Out;
    }
  }

  // Neither a results file nor the history that cannot be written costs
  // the run: the file is a failed report (2), the history a line.
  Program.WriteSettings(Settings(Devices));
  const std::string NoFolder = Program.Folder() + "/missing/run.json";
  R = Program.Run({"/AUTORUN", "--json", NoFolder}, {{"XDG_DATA_HOME", Json}});
  EXPECT_EQ(R.Status, ExitStatusDevicesFailed | ExitStatusReportFailed) << StatusText(R);
  EXPECT_NE(R.Err.find("dervik: results not written to " + NoFolder + ": "), std::string::npos)
      << R.Err;
  EXPECT_NE(R.Err.find("dervik: history not written to " + Json + "/dervik/"), std::string::npos)
      << R.Err;
}

// A tmpfs on Path in the test's own mount namespace, as big as Options say.
bool MountScratch(const std::string &Path, const std::string &Options) {
  mkdir(Path.c_str(), 0755);
  return mount("tmpfs", Path.c_str(), "tmpfs", 0, ("mode=0755," + Options).c_str()) == 0;
}

std::vector<std::string> NamesIn(const std::string &Folder) {
  std::vector<std::string> Names;
  if (DIR *D = opendir(Folder.c_str())) {
    while (const dirent *E = readdir(D))
      if (std::strcmp(E->d_name, ".") != 0 && std::strcmp(E->d_name, "..") != 0)
        Names.push_back(E->d_name);
    closedir(D);
  }
  std::sort(Names.begin(), Names.end());
  return Names;
}

// A results file whose place holds something else than a file, or whose disk
// is full: the run says so in one line, ends with the report bit, and what
// was there stays as it was (a link's target too). The device is a null
// device made in a tmpfs of the test's own, never the machine's /dev.
TEST_F(DervikUnattended, AResultsFileThatCannotBeWrittenWhollyLeavesTheOldOne) {
  REQUIRE_ISOLATION();
  Program.WriteSettings(Settings("A=127.0.0.1\n"));
  const std::map<std::string, std::string> Env{{"XDG_DATA_HOME", Program.Folder() + "/data"},
                                               {"XDG_STATE_HOME", Program.Folder() + "/state"}};
  const std::string Old = "{\"old\": true}\n";
  const struct {
    const char *Name;
    std::string Option;
    // Makes the folder Scratch ready and says what is at Target.
    std::function<void(const std::string &Scratch, const std::string &Target)> Plant;
    std::string Why;
  } Rows[] = {
      {"a link planted at the name", "--json",
       [&](const std::string &Scratch, const std::string &Target) {
         ASSERT_TRUE(MountScratch(Scratch, "size=1m"));
         std::ofstream(Scratch + "/victim") << Old;
         ASSERT_EQ(symlink((Scratch + "/victim").c_str(), Target.c_str()), 0);
       },
       "it is a symbolic link, which is never written through"},
      {"a full disk", "--json",
       [&](const std::string &Scratch, const std::string &Target) {
         ASSERT_TRUE(MountScratch(Scratch, "size=64k"));
         std::ofstream(Target) << Old;
         // Every block taken, so the new file cannot get one.
         std::ofstream Filler(Scratch + "/filler", std::ios::binary);
         const std::string Block(4096, 'f');
         for (int I = 0; I < 64 && Filler.write(Block.data(), Block.size()).flush(); ++I) {
         }
       },
       "writing failed: " + std::string(std::strerror(ENOSPC)) + "; the file there before is kept"},
      {"a null device", "--prometheus",
       [&](const std::string &Scratch, const std::string &Target) {
         ASSERT_TRUE(MountScratch(Scratch, "size=1m"));
         ASSERT_EQ(mknod(Target.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << std::strerror(errno);
       },
       "it is a device, not a file"},
  };
  int Index = 0;
  for (const auto &Row : Rows) {
    SCOPED_TRACE(Row.Name);
    const std::string Scratch = Program.Folder() + "/scratch" + std::to_string(Index++);
    const std::string Target = Scratch + "/results";
    Row.Plant(Scratch, Target);
    if (HasFatalFailure()) return;
    const std::vector<std::string> Before = NamesIn(Scratch);
    struct stat Was {};
    lstat(Target.c_str(), &Was);

    const Result R = Program.Run({"/AUTORUN", Row.Option, Target}, Env);

    EXPECT_EQ(R.Status, ExitStatusReportFailed) << StatusText(R);
    EXPECT_NE(R.Err.find("dervik: results not written to " + Target + ": " + Row.Why + "\n"),
              std::string::npos)
        << R.Err;
    EXPECT_EQ(NamesIn(Scratch), Before) << "nothing left beside it";
    struct stat Is {};
    ASSERT_EQ(lstat(Target.c_str(), &Is), 0);
    EXPECT_EQ(Is.st_mode & S_IFMT, Was.st_mode & S_IFMT);
    EXPECT_EQ(Is.st_ino, Was.st_ino) << "the same file, not a new one";
    if (S_ISLNK(Was.st_mode)) {
      EXPECT_EQ(testsupport::readFileText(Scratch + "/victim"), Old);
    }
    if (S_ISREG(Was.st_mode)) {
      EXPECT_EQ(testsupport::readFileText(Target), Old);
    }
    umount2(Scratch.c_str(), MNT_DETACH);
  }
}

// A run killed while it wrote its state left the file it was writing. The
// next run that gets the same pid, pid 1 of a container here (a pid
// namespace of its own), still keeps its state, and the leftover goes.
TEST_F(DervikUnattended, ALeftoverStateFileOfAKilledRunDoesNotStopTheNextRun) {
  REQUIRE_ISOLATION();
  Program.WriteSettings(Settings("A=127.0.0.1\n"));
  const std::string StateFolder = Program.Folder() + "/state/dervik";
  const std::map<std::string, std::string> Env{{"XDG_DATA_HOME", Program.Folder() + "/data"},
                                               {"XDG_STATE_HOME", Program.Folder() + "/state"}};
  ASSERT_EQ(Program.Run({"/AUTORUN"}, Env).Status, ExitStatusAllAnswered);
  const std::vector<std::string> States = NamesIn(StateFolder);
  ASSERT_EQ(States.size(), 1u);
  const std::string State = StateFolder + "/" + States[0];
  const std::string Leftover = State + ".tmp-1-0";
  std::ofstream(Leftover) << "{\"format\": \"dervik-run-st";
  const std::string Before = testsupport::readFileText(State);

  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    alarm(60);
    if (unshare(CLONE_NEWPID) != 0) _exit(100);
    const Result R = Program.Run({"/AUTORUN"}, Env);
    testsupport::writeFileText(Program.Folder() + "/stderr.txt", R.Err);
    _exit(R.Status);
  }
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(WIFEXITED(Status));
  const std::string Err = testsupport::readFileText(Program.Folder() + "/stderr.txt");
  EXPECT_EQ(WEXITSTATUS(Status), ExitStatusAllAnswered) << Err;
  EXPECT_EQ(Err.find("state file"), std::string::npos) << Err;
  EXPECT_EQ(NamesIn(StateFolder), States) << "the leftover is gone";
  EXPECT_NE(testsupport::readFileText(State), Before) << "this run's time is kept";
}

// A history on a file system mounted read-only (a snapshot, a backup): WAL
// mode cannot make its -shm there, and --history still reads it.
TEST_F(DervikUnattended, TheHistoryIsReadOnAReadOnlyFileSystem) {
  REQUIRE_ISOLATION();
  Program.WriteSettings(Settings("A=127.0.0.1\n"));
  const std::string Data = Program.Folder() + "/data";
  ASSERT_TRUE(MountScratch(Data, "size=4m"));
  const std::map<std::string, std::string> Env{{"XDG_DATA_HOME", Data},
                                               {"XDG_STATE_HOME", Program.Folder() + "/state"}};
  ASSERT_EQ(Program.Run({"/AUTORUN"}, Env).Status, ExitStatusAllAnswered);
  ASSERT_EQ(Program.Run({"/AUTORUN"}, Env).Status, ExitStatusAllAnswered);
  ASSERT_EQ(mount(nullptr, Data.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
      << std::strerror(errno);

  const Result R = Program.Run({"--history"}, Env);

  umount2(Data.c_str(), MNT_DETACH);
  EXPECT_EQ(R.Status, 0) << StatusText(R);
  EXPECT_EQ(R.Err, "");
  EXPECT_EQ(size_t(std::count(R.Out.begin(), R.Out.end(), '\n')), 3u) << R.Out;
  EXPECT_NE(R.Out.find(",A,127.0.0.1,OK,ok,1,1,"), std::string::npos) << R.Out;
}

// Count device lines "D1=127.0.0.1", "D2=127.0.0.1", ...
std::string ManyDevices(int Count) {
  std::string Lines;
  for (int I = 1; I <= Count; ++I) Lines += "D" + std::to_string(I) + "=127.0.0.1\n";
  return Lines;
}

TEST_F(DervikUnattended, NothingCheckedIsNoSuccess) {
  REQUIRE_ISOLATION();
  const std::string File = Program.SettingsFile();
  const std::string Reports =
      "[SMTP]\nHostAddress=0.0.0.0\n[Syslog]\nHostAddress=127.0.0.1\nPort=" +
      std::to_string(Listener.port()) + "\n";
  const struct {
    const char *Name;
    std::vector<std::string> Arguments;
    std::string Settings;
    int Status;
    std::string Err;
  } Rows[] = {
      {"a mistyped switch",
       {"/AUTOO"},
       Reports + "[Devices]\nA=127.0.0.1\n",
       ExitStatusUsage,
       "dervik: unknown switch /AUTOO; see dervik --help\n"},
      {"a mistyped option beside a switch",
       {"/AUTO", "--versoin"},
       Reports + "[Devices]\nA=127.0.0.1\n",
       ExitStatusUsage,
       "dervik: unknown switch --versoin; see dervik --help\n"},
      {"a mistyped switch with a display option",
       {"-display", ":1", "/autosyslg"},
       Reports + "[Devices]\nA=127.0.0.1\n",
       ExitStatusUsage,
       "dervik: unknown switch /autosyslg; see dervik --help\n"},
      {"an empty [Devices]",
       {"/AUTO"},
       Reports + "[Devices]\n; Router=10.0.0.1\n",
       ExitStatusNotStarted,
       "dervik: Nothing checked: the [Devices] section of " + File + " is empty\n"},
      {"a mistyped [Devices]",
       {"/AUTO"},
       Reports + "[Device]\nA=127.0.0.1\n",
       ExitStatusNotStarted,
       "dervik: warning: unknown section [Device] in " + File +
           "; did you mean [Devices]?\n"
           "dervik: Nothing checked: " +
           File + " has no [Devices] section\n"},
      {"Times 0",
       {"/AUTOSYSLOG"},
       "[Ping]\nTimes=0\n" + Reports + "[Devices]\nA=127.0.0.1\n",
       ExitStatusNotStarted,
       "dervik: Nothing checked: Times=0 in [Ping] of " + File +
           " sends no ping; set it to 1 or more\n"},
      {"Timeout 0, no false alarm",
       {"/AUTOSYSLOG"},
       "[Ping]\nTimeout=0\n" + Reports + "[Devices]\nA=127.0.0.1\nB=198.18.0.9\n",
       ExitStatusNotStarted,
       "dervik: Nothing checked: Timeout=0 in [Ping] of " + File +
           " waits for no answer; set it to 1 or more\n"},
      {"more devices than a run checks",
       {"/AUTOSYSLOG"},
       "[Ping]\nTimes=0\n" + Reports + "[Devices]\n" + ManyDevices(10001),
       ExitStatusNotStarted,
       "dervik: only the first 10000 devices of " + File +
           " are checked (1 more left out)\n"
           "dervik: Nothing checked: Times=0 in [Ping] of " +
           File + " sends no ping; set it to 1 or more\n"},
      {"Timeout below 0 with /AUTORUN",
       {"/AUTORUN"},
       "[Ping]\nTimeout=-1\n" + Reports + "[Devices]\nA=127.0.0.1\n",
       ExitStatusNotStarted,
       "dervik: Nothing checked: Timeout=-1 in [Ping] of " + File +
           " waits for no answer; set it to 1 or more\n"},
  };
  for (const auto &R : Rows) {
    for (const bool Verbose : {false, true}) {
      SCOPED_TRACE(std::string(R.Name) + (Verbose ? ", verbose" : ", quiet"));
      Program.WriteSettings(R.Settings);
      std::vector<std::string> Arguments = R.Arguments;
      if (Verbose) Arguments.push_back("--verbose");
      const Result Run = Program.Run(Arguments, {}, 30000);
      ASSERT_TRUE(Run.Started);
      EXPECT_FALSE(Run.TimedOut);
      EXPECT_EQ(Run.Status, R.Status) << StatusText(Run);
      std::string Err = R.Err;
      if (Verbose && R.Status != ExitStatusUsage) {
        // The reports held back are told only when verbose.
        if (std::find(Arguments.begin(), Arguments.end(), "/AUTO") != Arguments.end())
          Err += "dervik: mail report not sent: no server set (HostAddress in [SMTP])\n";
        if (std::find(Arguments.begin(), Arguments.end(), "/AUTORUN") == Arguments.end())
          Err += "dervik: syslog report not sent: nothing was checked\n";
      }
      EXPECT_EQ(Run.Err, Err);
      EXPECT_EQ(Run.Out, "");
      EXPECT_TRUE(PacketTexts().empty()) << "no report of a run that checked nothing";
    }
  }
}

// A date and time as this program writes them in the C locale, written
// independently of it: short date "d MMM yyyy", a blank, long time "HH:mm:ss".
std::string CLocaleDateTime(std::time_t T) {
  static const char *const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm Tm{};
  localtime_r(&T, &Tm);
  char Out[64];
  std::snprintf(Out, sizeof Out, "%d %s %d %02d:%02d:%02d", Tm.tm_mday, Months[Tm.tm_mon],
                Tm.tm_year + 1900, Tm.tm_hour, Tm.tm_min, Tm.tm_sec);
  return Out;
}

// As a scheduler runs it: the copy started with "/AUTO" and no display,
// devices on loopback, a silent host behind the test's tun and a name that
// does not resolve; the mail arrives at aiosmtpd and rsyslogd files the
// syslog report, both exactly as the report texts say, and the program ends
// by itself with the status of devices that did not answer. With the mail
// server gone the syslog report still goes out and the status adds the
// failed report.
TEST_F(DervikUnattended, EndToEndAsASchedulerRunsIt) {
  REQUIRE_ISOLATION();
  std::string Why;
  const int Tun = testsupport::openTun("dervik-tun0", "198.18.0.1/24", &Why);
  if (Tun < 0) GTEST_SKIP() << "no tun device: " << Why;
  reportpeers::SmtpSink Mail;
  ASSERT_TRUE(Mail.Ok()) << Mail.Why();
  reportpeers::Rsyslogd SysLog;
  if (!SysLog.Start()) GTEST_SKIP() << SysLog.Why();

  const std::string Host = syslogtest::machineName();
  const std::string Summary = "Some connections were OK (2 failed - 2 OK)";
  const std::vector<std::string> SysLogLines{
      "16|6|" + Host + "|Dervik: " + Summary,
      "16|3|" + Host + "|Devices with no connection at all:",
      "16|3|" + Host + "|- Silent (198.18.0.7): No connection at all",
      "16|3|" + Host + "|- no-such-host.test (): Unable to lookup host address",
  };
  const std::string BodyAfterTime =
      ":\r\n"
      "\r\n"
      "Devices with no connection at all:\r\n"
      "- Silent (198.18.0.7): No connection at all\r\n"
      "- no-such-host.test (): Unable to lookup host address\r\n"
      "\r\n"
      "Devices with OK connection:\r\n"
      "- A (127.0.0.1): OK\r\n"
      "- localhost (127.0.0.1): OK\r\n"
      "\r\n"
      "\r\n";  // the session's CR LF before the "." line
  const struct {
    const char *Name;
    bool MailServerUp;
    int Status;
  } Rows[] = {
      {"every report sent", true, ExitStatusDevicesFailed},
      {"mail server gone", false, ExitStatusDevicesFailed | ExitStatusReportFailed},
  };
  size_t Mails = 0, Filed = 0;
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    const int MailPort =
        R.MailServerUp ? Mail.Port() : Listener.port();  // nothing accepts TCP there
    Program.WriteSettings(
        "[Ping]\nTimes=1\nTimeout=1\n[SMTP]\nHostAddress=127.0.0.1\nPort=" +
        std::to_string(MailPort) +
        "\nRecipients=ops@dervik.test\nSender=dervik@dervik.test\n[Syslog]\nHostAddress=127.0.0.1\n"
        "Port=" +
        std::to_string(SysLog.Port()) +
        "\nFacility=16\n[Devices]\nA=127.0.0.1\nSilent=198.18.0.7\nno-such-host.test=\nlocalhost="
        "\n");
    const std::time_t From = std::time(nullptr);
    const Result Run = Program.Run({"/AUTO", "--verbose"}, {{"LANG", "C.UTF-8"}});
    const std::time_t To = std::time(nullptr);
    ASSERT_TRUE(Run.Started);
    EXPECT_FALSE(Run.TimedOut) << "ends by itself";
    EXPECT_EQ(Run.Status, R.Status) << StatusText(Run);
    EXPECT_EQ(Run.Out, "");

    const std::string Checked = "dervik: checked 4 devices from " + Program.SettingsFile() + ": " +
                                Summary + "\ndervik: no answer from: Silent, no-such-host.test\n";
    const std::string SysLogSent =
        "dervik: syslog report sent to 127.0.0.1:" + std::to_string(SysLog.Port()) + "\n";
    if (R.MailServerUp) {
      EXPECT_EQ(Run.Err, Checked + "dervik: mail report sent to 127.0.0.1:" +
                             std::to_string(MailPort) + "\n" + SysLogSent);
      const auto Got = Mail.Messages();
      ASSERT_EQ(Got.size(), ++Mails);
      EXPECT_EQ(Got.back().Header("Subject"), "Dervik: " + Summary);
      EXPECT_EQ(Got.back().From, "dervik@dervik.test");
      EXPECT_EQ(Got.back().To, std::vector<std::string>{"ops@dervik.test"});
      const std::string &Body = Got.back().Body;
      const std::string Lead = "Connection check results as of ";
      ASSERT_EQ(Body.rfind(Lead, 0), 0u) << Body;
      const size_t TimeEnd = Body.find(":\r\n");
      ASSERT_NE(TimeEnd, std::string::npos) << Body;
      const std::string Stamp = Body.substr(Lead.size(), TimeEnd - Lead.size());
      bool InRun = false;
      for (std::time_t T = From; T <= To; ++T) InRun = InRun || Stamp == CLocaleDateTime(T);
      EXPECT_TRUE(InRun) << Stamp;
      EXPECT_EQ(Body.substr(TimeEnd), BodyAfterTime);
    } else {
      EXPECT_EQ(Run.Err.rfind(Checked + "dervik: mail report to 127.0.0.1:" +
                                  std::to_string(MailPort) + " failed: 10061: ",
                              0),
                0u)
          << Run.Err;
      EXPECT_EQ(Run.Err.substr(Run.Err.size() - SysLogSent.size()), SysLogSent) << Run.Err;
      EXPECT_EQ(Mail.Messages().size(), Mails);
    }
    Filed += SysLogLines.size();
    const std::vector<std::string> Lines = SysLog.WaitForLines(Filed, 10000);
    ASSERT_EQ(Lines.size(), Filed);
    EXPECT_EQ(
        std::vector<std::string>(Lines.end() - static_cast<long>(SysLogLines.size()), Lines.end()),
        SysLogLines);
  }
  close(Tun);
}

// With QueueDir a report is not lost while the mail server is down: the run
// keeps it in the folder and says so in its line and its status; the next
// run, with the server up, delivers it first and then its own report.
TEST_F(DervikUnattended, AReportQueuedWhileTheServerIsDownArrivesWithTheNextRun) {
  REQUIRE_ISOLATION();
  reportpeers::SmtpSink Mail;
  ASSERT_TRUE(Mail.Ok()) << Mail.Why();
  const std::string QueueDir = Program.Folder() + "/spool/queue";
  const auto SettingsWith = [&](int MailPort, const std::string &Devices) {
    return "[Ping]\nTimes=1\nTimeout=1\n[SMTP]\nHostAddress=127.0.0.1\nPort=" +
           std::to_string(MailPort) +
           "\nRecipients=ops@dervik.test\nSender=dervik@dervik.test\nQueueDir=" + QueueDir +
           "\n[Syslog]\nHostAddress=0.0.0.0\n[Devices]\n" + Devices;
  };
  const auto QueueFiles = [&] {
    std::vector<std::string> Names;
    if (DIR *D = opendir(QueueDir.c_str())) {
      while (const dirent *E = readdir(D))
        if (E->d_name[0] != '.') Names.push_back(E->d_name);
      closedir(D);
    }
    return Names;
  };
  const int Down = Listener.port();  // a UDP port: nothing accepts TCP there
  const std::string SysLogUnset =
      "dervik: syslog report not sent: no server set (HostAddress in [Syslog])\n";

  Program.WriteSettings(SettingsWith(Down, "A=127.0.0.1\n"));
  const Result First = Program.Run({"/AUTO", "--verbose"});
  ASSERT_TRUE(First.Started);
  EXPECT_EQ(First.Status, ExitStatusReportQueued) << StatusText(First);
  const std::string Queued =
      "dervik: checked 1 device from " + Program.SettingsFile() +
      ": All connections OK\ndervik: mail report to 127.0.0.1:" + std::to_string(Down) +
      " queued: Mail report queued as " + QueueDir + "/";
  EXPECT_EQ(First.Err.rfind(Queued, 0), 0u) << First.Err;
  const std::string QueuedEnd =
      ".queued for the next report: 10061: [10061] Connection refused\ndervik: to fix: "
      "nothing listens on 127.0.0.1:" +
      std::to_string(Down) + ": is the server running, is the port right?\n" + SysLogUnset;
  ASSERT_GE(First.Err.size(), QueuedEnd.size());
  EXPECT_EQ(First.Err.substr(First.Err.size() - QueuedEnd.size()), QueuedEnd) << First.Err;
  const std::vector<std::string> Waiting = QueueFiles();
  ASSERT_EQ(Waiting.size(), 1u);
  EXPECT_NE(First.Err.find(QueueDir + "/" + Waiting[0]), std::string::npos) << First.Err;
  EXPECT_TRUE(Mail.Messages().empty());

  Program.WriteSettings(SettingsWith(Mail.Port(), "A=127.0.0.1\nB=127.0.0.2\n"));
  const Result Second = Program.Run({"/AUTO", "--verbose"});
  ASSERT_TRUE(Second.Started);
  EXPECT_EQ(Second.Status, ExitStatusAllAnswered) << StatusText(Second);
  EXPECT_EQ(Second.Err, "dervik: checked 2 devices from " + Program.SettingsFile() +
                            ": All connections OK\ndervik: mail report sent to 127.0.0.1:" +
                            std::to_string(Mail.Port()) + "\n" + SysLogUnset);
  EXPECT_TRUE(QueueFiles().empty());
  const auto Got = Mail.Messages();
  ASSERT_EQ(Got.size(), 2u);
  // The old report (one device) first, then the new one (two devices).
  const std::string LineB = "- B (127.0.0.2): OK\r\n";
  EXPECT_NE(Got[0].Body.find("- A (127.0.0.1): OK\r\n"), std::string::npos) << Got[0].Body;
  EXPECT_EQ(Got[0].Body.find(LineB), std::string::npos) << Got[0].Body;
  EXPECT_NE(Got[1].Body.find(LineB), std::string::npos) << Got[1].Body;
  for (const auto &M : Got) {
    EXPECT_EQ(M.Header("Subject"), "Dervik: All connections OK");
    EXPECT_EQ(M.To, std::vector<std::string>{"ops@dervik.test"});
  }
}

}  // namespace
