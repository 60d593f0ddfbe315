// A history kept on a file system that is mounted read-only afterwards (a
// snapshot, a backup): WAL mode would need to make its -shm beside the
// database, which cannot be done there, and the runs must still be read.
// The file system is a tmpfs of the test's own mount namespace.
#include "history/history_store.h"

#include "isolation.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

THistoryRun SampleRun(const QDateTime &Time, int Answered) {
  THistoryDevice Device;
  Device.Name = QStringLiteral("Gateway");
  Device.Address = QStringLiteral("192.0.2.1");
  Device.Status = QStringLiteral("OK");
  Device.Category = 2;
  Device.Sent = 4;
  Device.Answered = Answered;
  Device.RoundTripMin = 310;
  Device.RoundTripMean = 420.5;
  Device.RoundTripMax = 600;
  return THistoryRun{
      Time, QStringLiteral("/etc/dervik.ini"), QStringLiteral("All connections OK"), {Device}};
}

TEST(HistoryReadOnly, RunsAreReadFromAFileSystemMountedReadOnly) {
  REQUIRE_ISOLATION();
  char Template[] = "/tmp/dervik-history-XXXXXX";
  ASSERT_NE(mkdtemp(Template), nullptr);
  const std::string Folder = Template;
  ASSERT_EQ(mount("tmpfs", Folder.c_str(), "tmpfs", 0, "size=4m,mode=0755"), 0)
      << std::strerror(errno);
  const QString File = QString::fromStdString(Folder) + QStringLiteral("/dervik/h.sqlite");
  const QDateTime Now = QDateTime::currentDateTimeUtc();
  const std::vector<THistoryRun> Written{SampleRun(Now.addSecs(-60), 4), SampleRun(Now, 3)};
  for (const THistoryRun &Each : Written)
    ASSERT_TRUE(THistoryStore(File).Write(Each, 90, Now).Written);
  ASSERT_EQ(mount(nullptr, Folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
      << std::strerror(errno);

  QString Problem;
  const std::vector<THistoryRun> Read =
      THistoryStore(File).Read(QDateTime(), std::nullopt, &Problem);
  QString DeviceProblem;
  const std::vector<THistoryRun> OneDevice =
      THistoryStore(File).Read(Now.addSecs(-1), QStringLiteral("Gateway"), &DeviceProblem);

  umount2(Folder.c_str(), MNT_DETACH);
  rmdir(Folder.c_str());
  EXPECT_EQ(Problem.toStdString(), "");
  EXPECT_EQ(Read, Written);
  EXPECT_EQ(DeviceProblem.toStdString(), "");
  EXPECT_EQ(OneDevice, std::vector<THistoryRun>{Written.back()});
}

}  // namespace
