// The mail queue under load, as scheduled runs meet it: 200 reports queued
// while the mail server was down, then three unattended runs of the program
// at once on the folder once it is up, one of them killed by pid while it
// delivers. Every report arrives at least once, the runs that live end as
// usual, and the next run leaves nothing behind.
#include "isolation.h"
#include "loopback_ports.h"
#include "pelsmtp.h"
#include "support/program_run.h"
#include "report_peers.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using programrun::ProgramCopy;
using programrun::Result;
using programrun::Running;

std::vector<std::string> FilesOf(const std::string &Folder) {
  std::vector<std::string> Names;
  if (DIR *D = opendir(Folder.c_str())) {
    while (const dirent *E = readdir(D))
      if (E->d_name[0] != '.') Names.emplace_back(E->d_name);
    closedir(D);
  }
  return Names;
}

// True when the process holds a file of Folder open under a ".sending"
// name: it is delivering that report.
bool Delivering(int Pid, const std::string &Folder) {
  const std::string Fds = "/proc/" + std::to_string(Pid) + "/fd";
  DIR *D = opendir(Fds.c_str());
  if (D == nullptr) return false;
  bool Found = false;
  while (const dirent *E = readdir(D)) {
    char Target[4096];
    const ssize_t N = readlink((Fds + "/" + E->d_name).c_str(), Target, sizeof Target - 1);
    if (N <= 0) continue;
    const std::string Path(Target, static_cast<size_t>(N));
    if (Path.rfind(Folder + "/", 0) == 0 && Path.size() > 8 &&
        Path.substr(Path.size() - 8) == ".sending")
      Found = true;
  }
  closedir(D);
  return Found;
}

TEST(MailQueueSoak, ThreeUnattendedRunsOneKilledDeliverEveryReport) {
  REQUIRE_ISOLATION();
  ProgramCopy Program{DERVIK_EXECUTABLE};
  ASSERT_TRUE(Program.Ok());
  const std::string QueueDir = Program.Folder() + "/queue";
  ASSERT_EQ(mkdir(QueueDir.c_str(), 0700), 0);

  // While the server is down: 200 reports wait in the folder. Several
  // components, since one names at most 26 files per millisecond.
  constexpr int Reports = 200;
  const int Down = testsupport::FreeLoopbackPort();
  std::vector<std::unique_ptr<TpelSMTP>> Writers;
  for (int I = 0; I < 10; ++I) {
    auto Smtp = std::make_unique<TpelSMTP>();
    Smtp->setMailServer(QStringLiteral("127.0.0.1"));
    Smtp->setMailPort(Down);
    Smtp->setFrom(QStringLiteral("dervik@dervik.test"));
    Smtp->setSendTo(QStringLiteral("ops@dervik.test"));
    Writers.push_back(std::move(Smtp));
  }
  for (int I = 0; I < Reports; ++I) {
    TpelSMTP &Smtp = *Writers[static_cast<size_t>(I) % Writers.size()];
    Smtp.setSubject(QStringLiteral("queued %1").arg(I));
    // Some lines to each, so that a delivery takes a moment to catch.
    Smtp.setMessageText(QStringLiteral("report %1\r\n").arg(I) +
                        (QString(70, u'x') + QStringLiteral("\r\n")).repeated(30));
    Smtp.Queue(QString::fromStdString(QueueDir));
  }
  ASSERT_EQ(FilesOf(QueueDir).size(), static_cast<size_t>(Reports));

  reportpeers::SmtpSink Sink;
  ASSERT_TRUE(Sink.Ok()) << Sink.Why();
  Program.WriteSettings(
      "[Ping]\nTimes=1\nTimeout=1\n[SMTP]\nHostAddress=127.0.0.1\nPort=" +
      std::to_string(Sink.Port()) +
      "\nRecipients=ops@dervik.test\nSender=dervik@dervik.test\nTimeout=10\nQueueDir=" + QueueDir +
      "\n[Devices]\nA=127.0.0.1\n");

  // Three runs at once; the first is killed while it holds a report.
  std::vector<Running> Runs;
  for (int I = 0; I < 3; ++I) Runs.push_back(Program.Start({"/AUTOSMTP"}));
  for (const Running &R : Runs) ASSERT_TRUE(R.Started());
  const QDeadlineTimer Deadline(60000);
  while (!Delivering(Runs[0].Pid(), QueueDir) && !Deadline.hasExpired()) usleep(200);
  ASSERT_FALSE(Deadline.hasExpired()) << "the first run never delivered";
  ASSERT_EQ(kill(Runs[0].Pid(), SIGKILL), 0);
  EXPECT_EQ(Runs[0].Wait(60000).Status, -1);
  for (size_t I = 1; I < Runs.size(); ++I) {
    const Result R = Runs[I].Wait(120000);
    EXPECT_FALSE(R.TimedOut);
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(R.Err, "") << "quiet: nothing went wrong";
  }

  // The next scheduled run takes what the killed one held.
  const Result Next = Program.Run({"/AUTOSMTP"}, {}, 120000);
  EXPECT_EQ(Next.Status, 0) << Next.Err;
  EXPECT_TRUE(FilesOf(QueueDir).empty())
      << FilesOf(QueueDir).size() << " left, e.g. " << FilesOf(QueueDir)[0];

  std::map<std::string, int> Seen;
  for (const reportpeers::Mail &M : Sink.Messages()) ++Seen[M.Header("Subject")];
  int Twice = 0;
  for (int I = 0; I < Reports; ++I) {
    const int Count = Seen["queued " + std::to_string(I)];
    EXPECT_GE(Count, 1) << "queued " << I << " lost";
    Twice += Count > 1 ? Count - 1 : 0;
  }
  // At least once: only the report the killed run held may come twice.
  EXPECT_LE(Twice, 1);
  // The own reports of the three runs that lived.
  EXPECT_EQ(Seen["Dervik: All connections OK"], 3);
}

}  // namespace
