// Runs of the program one after the other as a timer starts them, in the
// test's namespaces: a camera going down, staying down, coming back, a
// device removed and others added between runs. For each SendWhen rule,
// which runs send, the lines the reports add (checked at a real mail server
// and rsyslogd), since when a device has been down, the exit statuses; the
// short report of a run that could not check; and the state file when it is
// damaged, cannot be written or is written by two runs at once.
#include "start/auto_mode.h"
#include "isolation.h"
#include "support/program_run.h"
#include "report_peers.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QLocale>

#include <dirent.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using programrun::ProgramCopy;
using programrun::Result;

std::string StatusText(const Result &R) {
  return "status " + std::to_string(R.Status) + (R.TimedOut ? " (timed out)" : "") + "\nstderr:\n" +
         R.Err;
}

// The seconds of a run's time span as the reports write them in the C
// locale the program runs in ("9 Dec 2026 06:35:32").
std::set<std::string> RunTimes(std::time_t From, std::time_t To) {
  std::set<std::string> Texts;
  for (std::time_t T = From; T <= To; ++T)
    Texts.insert(
        QLocale::c()
            .toString(QDateTime::fromSecsSinceEpoch(T), QStringLiteral("d MMM yyyy HH:mm:ss"))
            .toStdString());
  return Texts;
}

std::vector<std::string> FilesIn(const std::string &Folder) {
  std::vector<std::string> Names;
  if (DIR *D = opendir(Folder.c_str())) {
    while (const dirent *E = readdir(D))
      if (E->d_name[0] != '.') Names.push_back(E->d_name);
    closedir(D);
  }
  return Names;
}

const std::string Camera = "198.18.0.7";  // answers while it is on loopback

class DervikChanges : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    ASSERT_TRUE(Program.Ok());
    std::string Why;
    Tun = testsupport::openTun("dervik-tun1", "198.18.0.1/24", &Why);
    if (Tun < 0) GTEST_SKIP() << "no tun device: " << Why;
    ASSERT_TRUE(Mail.Ok()) << Mail.Why();
    if (!SysLog.Start()) GTEST_SKIP() << SysLog.Why();
    Host = syslogtest_host();
  }
  void TearDown() override {
    if (Tun >= 0) close(Tun);
    CameraUp(false);
  }
  static std::string syslogtest_host() {
    char Name[256] = {};
    gethostname(Name, sizeof Name - 1);
    return Name;
  }
  // The camera answers from loopback, or its pings go to the tun device,
  // where nothing answers.
  static void CameraUp(bool Up) {
    testsupport::ip(std::string(Up ? "addr add " : "addr del ") + Camera + "/32 dev lo");
  }
  void WriteSettings(const std::string &Rules, const std::string &Devices) const {
    Program.WriteSettings("[Ping]\nTimes=1\nTimeout=1\n[SMTP]\nHostAddress=127.0.0.1\nPort=" +
                          std::to_string(Mail.Port()) +
                          "\nRecipients=ops@dervik.test\nSender=dervik@dervik.test\n" + Rules +
                          "[Syslog]\nHostAddress=127.0.0.1\nPort=" + std::to_string(SysLog.Port()) +
                          "\nFacility=16\n" + Rules + "[Devices]\n" + Devices);
  }
  Result Run(const std::string &StateHome) const {
    return Program.Run({"/AUTO", "--verbose"},
                       {{"LANG", "C.UTF-8"}, {"XDG_STATE_HOME", StateHome}});
  }
  std::string Line(int Severity, const std::string &Text) const {
    return "16|" + std::to_string(Severity) + "|" + Host + "|" + Text;
  }

  ProgramCopy Program{DERVIK_EXECUTABLE};
  reportpeers::SmtpSink Mail;
  reportpeers::Rsyslogd SysLog;
  std::string Host;
  int Tun = -1;
};

// Compares Text with Want, where each "@N" of Want stands for a minute of
// run N's time span.
void ExpectWithTimes(const std::string &Text, const std::string &Want,
                     const std::vector<std::set<std::string>> &RunMinutes) {
  static const std::regex Time(R"(\d{1,2} [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d)");
  static const std::regex Token(R"(@(\d))");
  EXPECT_EQ(std::regex_replace(Text, Time, "@"), std::regex_replace(Want, Token, "@")) << Text;
  std::vector<std::string> Times;
  for (auto It = std::sregex_iterator(Text.begin(), Text.end(), Time); It != std::sregex_iterator();
       ++It)
    Times.push_back(It->str());
  std::vector<size_t> Runs;
  for (auto It = std::sregex_iterator(Want.begin(), Want.end(), Token);
       It != std::sregex_iterator(); ++It)
    Runs.push_back(std::stoul((*It)[1]));
  ASSERT_EQ(Times.size(), Runs.size());
  for (size_t I = 0; I < Times.size(); ++I)
    EXPECT_TRUE(RunMinutes.at(Runs[I]).count(Times[I]))
        << Times[I] << " is no time of run " << Runs[I];
}

TEST_F(DervikChanges, EachRuleSendsTheRunsItShouldWithTheLinesOfWhatChanged) {
  const std::string Section = "Changes since the last run (";
  const struct {
    const char *Name;
    bool CameraUp;
    std::string Devices;
    int Status;
    bool Failures, Changes;  // whether these rules send
    std::string Added;       // the mail's section ("" when nothing is added)
    std::vector<std::string> ChangePackets;
  } Runs[] = {
      {"first run, all answer",
       true,
       "A=127.0.0.1\nCam=" + Camera + "\n",
       ExitStatusAllAnswered,
       false,
       false,
       "Changes since the last run (no earlier run):\r\nNo device changed.\r\n\r\n",
       {}},
      {"the camera goes down",
       false,
       "A=127.0.0.1\nCam=" + Camera + "\n",
       ExitStatusDevicesFailed,
       true,
       true,
       "Changes since the last run (@0):\r\n"
       "- Cam (" +
           Camera +
           "): OK -> No connection at all\r\n"
           "Devices not OK, and since when:\r\n"
           "- Cam (" +
           Camera + "): No connection at all since @1\r\n\r\n",
       {"Dervik: Cam (" + Camera + ") changed from OK to No connection at all"}},
      {"the camera stays down",
       false,
       "A=127.0.0.1\nCam=" + Camera + "\n",
       ExitStatusDevicesFailed,
       true,
       false,
       "Changes since the last run (@1):\r\n"
       "No device changed.\r\n"
       "Devices not OK, and since when:\r\n"
       "- Cam (" +
           Camera + "): No connection at all since @1\r\n\r\n",
       {}},
      {"the camera is back, A removed, D added",
       true,
       "Cam=" + Camera + "\nD=127.0.0.4\n",
       ExitStatusAllAnswered,
       false,
       true,
       "Changes since the last run (@2):\r\n"
       "- Cam (" +
           Camera + "): No connection at all -> OK\r\n\r\n",
       {"Dervik: Cam (" + Camera + ") changed from No connection at all to OK"}},
      {"E added, and silent",
       true,
       "Cam=" + Camera + "\nD=127.0.0.4\nE=198.18.0.8\n",
       ExitStatusDevicesFailed,
       true,
       true,
       "Changes since the last run (@3):\r\n"
       "- E (198.18.0.8): not checked before -> No connection at all\r\n"
       "Devices not OK, and since when:\r\n"
       "- E (198.18.0.8): No connection at all since @4\r\n\r\n",
       {"Dervik: E (198.18.0.8) changed from not checked before to No connection at all"}},
  };
  const struct {
    const char *Rule;
    std::string Keys;
    bool ShowsChanges;
  } Rules[] = {
      {"always, changes shown", "SendWhen=always\nShowChanges=yes\n", true},
      {"failures", "SendWhen=failures\n", false},
      {"changes", "SendWhen=changes\n", true},
  };
  size_t Mails = 0, Filed = 0;
  for (const auto &Rule : Rules) {
    SCOPED_TRACE(Rule.Rule);
    testsupport::TempFolder State;
    std::vector<std::set<std::string>> RunMinutes;
    for (const auto &R : Runs) {
      SCOPED_TRACE(R.Name);
      CameraUp(R.CameraUp);
      WriteSettings(Rule.Keys, R.Devices);
      const std::time_t From = std::time(nullptr);
      const Result Got = Run(State.path());
      RunMinutes.push_back(RunTimes(From, std::time(nullptr)));
      ASSERT_TRUE(Got.Started);
      EXPECT_EQ(Got.Status, R.Status) << StatusText(Got);
      const bool Sends = Rule.Keys.find("failures") != std::string::npos  ? R.Failures
                         : Rule.Keys.find("changes") != std::string::npos ? R.Changes
                                                                          : true;
      const std::string Why =
          Rule.Keys.find("failures") != std::string::npos ? "all devices OK" : "nothing changed";
      for (const char *Report : {"mail report", "syslog report"}) {
        const std::string NotSent = std::string("dervik: ") + Report + " not sent: " + Why + "\n";
        EXPECT_EQ(Got.Err.find(NotSent) != std::string::npos, !Sends) << Got.Err;
        EXPECT_EQ(Got.Err.find(std::string("dervik: ") + Report + " sent to ") != std::string::npos,
                  Sends)
            << Got.Err;
      }
      const auto Messages = Mail.Messages();
      ASSERT_EQ(Messages.size(), Mails + (Sends ? 1 : 0));
      if (Sends) {
        ++Mails;
        const std::string &Body = Messages.back().Body;
        const size_t At = Body.find(Section);
        if (Rule.ShowsChanges) {
          ASSERT_NE(At, std::string::npos) << Body;
          ExpectWithTimes(Body.substr(At), R.Added + "\r\n",
                          RunMinutes);  // the session's CR LF before "."
        } else {
          EXPECT_EQ(At, std::string::npos) << "no section without ShowChanges:\n" << Body;
        }
      }
      std::vector<std::string> Packets;
      if (Sends && Rule.ShowsChanges)
        for (const std::string &Text : R.ChangePackets) Packets.push_back(Line(5, Text));
      if (Sends) {
        // The report's own packets come first; the change packets end it.
        const size_t Own = 1 + (R.Status == ExitStatusDevicesFailed ? 2 : 0);
        Filed += Own + Packets.size();
      }
      const std::vector<std::string> Lines = SysLog.WaitForLines(Filed, 10000);
      ASSERT_EQ(Lines.size(), Filed);
      if (Sends) {
        EXPECT_EQ(
            std::vector<std::string>(Lines.end() - static_cast<long>(Packets.size()), Lines.end()),
            Packets);
      }
    }
  }
}

TEST_F(DervikChanges, ARunThatCouldNotCheckIsReportedOncePerCause) {
  testsupport::TempFolder State;
  const std::string Nothing = "A=127.0.0.1\n";
  const struct {
    const char *Name;
    std::string Ping;  // [Ping] keys after Times/Timeout
    bool CameraUp;
    int Status;
    bool Sends;
  } Runs[] = {
      {"nothing pinged", "Times=0\n", true, ExitStatusNotStarted, true},
      {"the same cause again", "Times=0\n", true, ExitStatusNotStarted, false},
      {"a run that works and finds the camera down", "", false, ExitStatusDevicesFailed, true},
      {"nothing pinged once more: told again", "Times=0\n", true, ExitStatusNotStarted, true},
  };
  size_t Mails = 0, Filed = 0;
  for (const auto &R : Runs) {
    SCOPED_TRACE(R.Name);
    CameraUp(R.CameraUp);
    Program.WriteSettings("[Ping]\nTimeout=1\n" +
                          (R.Ping.empty() ? std::string("Times=1\n") : R.Ping) +
                          "[SMTP]\nHostAddress=127.0.0.1\nPort=" + std::to_string(Mail.Port()) +
                          "\nRecipients=ops@dervik.test\nSender=dervik@dervik.test\nSendWhen="
                          "failures\n[Syslog]\nHostAddress=127.0.0.1\nPort=" +
                          std::to_string(SysLog.Port()) +
                          "\nFacility=16\nSendWhen=changes\n[Devices]\nCam=" + Camera + "\n");
    const Result Got = Run(State.path());
    ASSERT_TRUE(Got.Started);
    EXPECT_EQ(Got.Status, R.Status) << StatusText(Got);
    const auto Messages = Mail.Messages();
    ASSERT_EQ(Messages.size(), Mails + (R.Sends ? 1 : 0)) << Got.Err;
    if (R.Status == ExitStatusNotStarted) {
      // The run's own line says why; the reports say it once.
      const size_t Why = Got.Err.find("dervik: ");
      ASSERT_NE(Why, std::string::npos);
      const std::string Cause = Got.Err.substr(Why + 8, Got.Err.find('\n', Why) - Why - 8);
      if (R.Sends) {
        ++Mails;
        EXPECT_EQ(Messages.back().Header("Subject"), "Dervik: the check could not run");
        EXPECT_EQ(Messages.back().Body,
                  "Dervik: the check could not run\r\n\r\n" + Cause + "\r\n\r\n");
        Filed += 1;
        const auto Lines = SysLog.WaitForLines(Filed, 10000);
        ASSERT_EQ(Lines.size(), Filed);
        EXPECT_EQ(Lines.back(), Line(3, "Dervik: the check could not run: " + Cause));
      } else {
        for (const char *Report : {"mail report", "syslog report"})
          EXPECT_NE(Got.Err.find(std::string("dervik: ") + Report +
                                 " not sent: the check could not run, as already reported\n"),
                    std::string::npos)
              << Got.Err;
      }
    } else {
      ++Mails;
      Filed += 3 + 1;  // summary, heading, the camera, its change
      EXPECT_EQ(SysLog.WaitForLines(Filed, 10000).size(), Filed);
    }
  }
  EXPECT_EQ(SysLog.WaitForLines(Filed + 1, 300).size(), Filed) << "nothing more was sent";
}

TEST_F(DervikChanges, TheStateFileDamagedUnwritableOrWrittenByTwoRunsAtOnce) {
  CameraUp(false);
  WriteSettings("SendWhen=changes\n", "A=127.0.0.1\nCam=" + Camera + "\n");
  testsupport::TempFolder State;
  const std::string Folder = State.path() + "/dervik";

  // Two runs at once: both end well and leave one whole file.
  programrun::Running One = Program.Start({"/AUTO"}, {{"XDG_STATE_HOME", State.path()}});
  programrun::Running Two = Program.Start({"/AUTO"}, {{"XDG_STATE_HOME", State.path()}});
  for (programrun::Running *R : {&One, &Two}) {
    const Result Got = R->Wait();
    EXPECT_EQ(Got.Status, ExitStatusDevicesFailed) << StatusText(Got);
    EXPECT_EQ(Got.Err.find("state "), std::string::npos) << Got.Err;
  }
  std::vector<std::string> Files = FilesIn(Folder);
  ASSERT_EQ(Files.size(), 1u);
  const std::string StateFile = Folder + "/" + Files[0];

  // Damaged: set aside, told, and the run still reports as after a first run.
  std::ofstream(StateFile, std::ios::trunc) << "{\"format\": \"dervik-run-state\", \"vers";
  const size_t MailsBefore = Mail.Messages().size();
  Result Got = Run(State.path());
  EXPECT_EQ(Got.Status, ExitStatusDevicesFailed) << StatusText(Got);
  EXPECT_NE(Got.Err.find("dervik: state file " + StateFile + " is damaged: set aside as " +
                         StateFile + ".bad-"),
            std::string::npos)
      << Got.Err;
  EXPECT_NE(Got.Err.find("; a fresh one is started\n"), std::string::npos) << Got.Err;
  EXPECT_EQ(Mail.Messages().size(), MailsBefore + 1)
      << "the camera down counts as a change on a fresh start";
  EXPECT_EQ(FilesIn(Folder).size(), 2u);

  // A state folder that cannot be made: told, and the report still goes.
  testsupport::TempFolder Blocked;
  std::ofstream(Blocked.path() + "/dervik") << "a file, no folder";
  Got = Run(Blocked.path());
  EXPECT_EQ(Got.Status, ExitStatusDevicesFailed) << StatusText(Got);
  EXPECT_NE(Got.Err.find("dervik: state folder " + Blocked.path() +
                         "/dervik cannot be made: changes of this run are not kept\n"),
            std::string::npos)
      << Got.Err;
  EXPECT_NE(Got.Err.find("dervik: mail report sent to "), std::string::npos) << Got.Err;
  EXPECT_EQ(Mail.Messages().size(), MailsBefore + 2);
}

}  // namespace
