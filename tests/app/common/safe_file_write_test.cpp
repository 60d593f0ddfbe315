// Replacing a file whole, against what may stand at its name: a file, no
// file, a link planted by someone else, a FIFO, a folder, a device (a null
// device made in a tmpfs of the test's own mount namespace, never the
// machine's /dev), and a disk that fills up on the way. Runs in namespaces
// of its own, as root; every folder is a tmpfs mounted by the test.
#include "common/safe_file_write.h"

#include "file_text.h"
#include "isolation.h"

#include <gtest/gtest.h>

#include <QString>

#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using testsupport::readFileText;
using testsupport::writeFileText;

std::vector<std::string> Names(const std::string &Folder) {
  std::vector<std::string> All;
  for (const auto &E : fs::directory_iterator(Folder)) All.push_back(E.path().filename());
  std::sort(All.begin(), All.end());
  return All;
}

mode_t TypeOf(const std::string &Path) {
  struct stat S {};
  return lstat(Path.c_str(), &S) == 0 ? (S.st_mode & S_IFMT) : 0;
}

// A tmpfs of the given size on a fresh folder, in the test's own mount
// namespace; unmounted with the object.
class ScratchMount {
 public:
  explicit ScratchMount(const std::string &Options = "size=4m") {
    char Template[] = "/tmp/dervik-write-XXXXXX";
    if (mkdtemp(Template) == nullptr) return;
    FPath = Template;
    FMounted = mount("tmpfs", FPath.c_str(), "tmpfs", 0, ("mode=0755," + Options).c_str()) == 0;
  }
  ~ScratchMount() {
    if (FMounted) umount2(FPath.c_str(), MNT_DETACH);
    if (!FPath.empty()) rmdir(FPath.c_str());
  }
  ScratchMount(const ScratchMount &) = delete;
  ScratchMount &operator=(const ScratchMount &) = delete;
  bool Ok() const { return FMounted; }
  const std::string &Path() const { return FPath; }
  std::string operator/(const std::string &Name) const { return FPath + "/" + Name; }

 private:
  std::string FPath;
  bool FMounted = false;
};

QString Q(const std::string &Text) { return QString::fromStdString(Text); }

TEST(ReplaceFileSafely, WhatStandsAtTheName) {
  REQUIRE_ISOLATION();
  const struct {
    const char *Name;
    // Puts something at Target in Folder.
    std::function<void(const ScratchMount &Folder, const std::string &Target)> Plant;
    std::string Problem;  // empty: written
    mode_t TypeAfter;     // what stands at the name afterwards
  } Rows[] = {
      {"a regular file is replaced",
       [](const ScratchMount &, const std::string &T) { writeFileText(T, "old\n"); }, "", S_IFREG},
      {"a missing file is created", [](const ScratchMount &, const std::string &) {}, "", S_IFREG},
      {"a link to another file is refused",
       [](const ScratchMount &F, const std::string &T) {
         writeFileText(F / "victim", "victim\n");
         ASSERT_EQ(symlink((F / "victim").c_str(), T.c_str()), 0);
       },
       "it is a symbolic link, which is never written through", S_IFLNK},
      {"a link to nothing is refused",
       [](const ScratchMount &F, const std::string &T) {
         ASSERT_EQ(symlink((F / "nowhere").c_str(), T.c_str()), 0);
       },
       "it is a symbolic link, which is never written through", S_IFLNK},
      {"a FIFO is refused",
       [](const ScratchMount &, const std::string &T) { ASSERT_EQ(mkfifo(T.c_str(), 0644), 0); },
       "it is a FIFO, not a file", S_IFIFO},
      {"a directory is refused",
       [](const ScratchMount &, const std::string &T) { ASSERT_EQ(mkdir(T.c_str(), 0755), 0); },
       "it is a directory", S_IFDIR},
      {"a null device is refused",
       [](const ScratchMount &, const std::string &T) {
         ASSERT_EQ(mknod(T.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << std::strerror(errno);
       },
       "it is a device, not a file", S_IFCHR},
      {"the machine's null device bound onto the name is refused",
       [](const ScratchMount &, const std::string &T) {
         writeFileText(T, "");
         ASSERT_EQ(mount("/dev/null", T.c_str(), nullptr, MS_BIND, nullptr), 0)
             << std::strerror(errno);
       },
       "it is a device, not a file", S_IFCHR},
  };
  for (const auto &Row : Rows) {
    SCOPED_TRACE(Row.Name);
    ScratchMount Folder;
    ASSERT_TRUE(Folder.Ok()) << std::strerror(errno);
    const std::string Target = Folder / "run.json";
    Row.Plant(Folder, Target);
    const std::vector<std::string> Before = Names(Folder.Path());
    const bool HadVictim = fs::exists(Folder / "victim");

    const QString Problem = ReplaceFileSafely(Q(Target), "new\n");

    EXPECT_EQ(Problem.toStdString(), Row.Problem);
    EXPECT_EQ(TypeOf(Target), Row.TypeAfter);
    if (Row.Problem.empty()) {
      EXPECT_EQ(readFileText(Target), "new\n");
      EXPECT_EQ(Names(Folder.Path()), std::vector<std::string>{"run.json"}) << "no fresh file left";
    } else {
      EXPECT_EQ(Names(Folder.Path()), Before) << "nothing made, nothing removed";
    }
    if (HadVictim) {
      EXPECT_EQ(readFileText(Folder / "victim"), "victim\n") << "the link's target untouched";
    }
    EXPECT_FALSE(fs::exists(Folder / "nowhere")) << "no file made where a link points";
    if (Row.TypeAfter == S_IFCHR) umount2(Target.c_str(), MNT_DETACH);
  }
}

// The permissions of the file replaced stay, so that a reader of another
// user can still read the new one.
TEST(ReplaceFileSafely, KeepsThePermissionsOfTheFileReplaced) {
  REQUIRE_ISOLATION();
  ScratchMount Folder;
  ASSERT_TRUE(Folder.Ok());
  const std::string Target = Folder / "dervik.prom";
  for (const mode_t Mode : {mode_t(0644), mode_t(0600), mode_t(0640)}) {
    writeFileText(Target, "old\n");
    ASSERT_EQ(chmod(Target.c_str(), Mode), 0);
    ASSERT_EQ(ReplaceFileSafely(Q(Target), "new\n"), QString());
    struct stat S {};
    ASSERT_EQ(stat(Target.c_str(), &S), 0);
    EXPECT_EQ(S.st_mode & 07777, Mode);
  }
}

// A disk that fills up while the new file is written: the old file stays
// whole, the fresh one is gone, and the text says what failed.
TEST(ReplaceFileSafely, AFullDiskKeepsTheOldFile) {
  REQUIRE_ISOLATION();
  ScratchMount Folder("size=64k");
  ASSERT_TRUE(Folder.Ok());
  const std::string Target = Folder / "run.json";
  const std::string Old(20 * 1024, 'o');
  writeFileText(Target, Old);
  ASSERT_EQ(readFileText(Target), Old);

  const QString Problem = ReplaceFileSafely(Q(Target), QByteArray(256 * 1024, 'n'));

  EXPECT_EQ(Problem.toStdString(), "writing failed: " + std::string(std::strerror(ENOSPC)) +
                                       "; the file there before is kept");
  EXPECT_EQ(readFileText(Target), Old);
  EXPECT_EQ(Names(Folder.Path()), std::vector<std::string>{"run.json"});
  // Room again: the next write goes through.
  EXPECT_EQ(ReplaceFileSafely(Q(Target), "small\n"), QString());
  EXPECT_EQ(readFileText(Target), "small\n");
}

// A writer killed before its rename leaves its fresh file. The next write
// removes it once no living writer holds it, and never one a living writer
// (here a child that holds its lock) is still filling.
TEST(ReplaceFileSafely, RemovesTheFreshFilesOfWritersThatAreGone) {
  REQUIRE_ISOLATION();
  ScratchMount Folder;
  ASSERT_TRUE(Folder.Ok());
  const std::string Target = Folder / "x.state";
  const std::string Abandoned = Target + ".tmp-1-0";  // as an older writer named them
  const std::string AbandonedToo = Target + ".tmp-Zq81Lx0aB2c9";
  const std::string Living = Target + ".tmp-living";
  const std::string Foreign = Folder / "other.state.tmp-1-0";  // another file's
  for (const std::string &Name : {Abandoned, AbandonedToo, Foreign}) writeFileText(Name, "half");

  int Ready[2];
  ASSERT_EQ(pipe(Ready), 0);
  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    alarm(30);
    const int Fd = open(Living.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (Fd < 0 || flock(Fd, LOCK_EX) != 0) _exit(1);
    if (write(Ready[1], "r", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(Ready[1]);
  char Byte = 0;
  ASSERT_EQ(read(Ready[0], &Byte, 1), 1);
  close(Ready[0]);

  const QString Problem = ReplaceFileSafely(Q(Target), "whole\n");
  kill(Child, SIGKILL);
  waitpid(Child, nullptr, 0);

  EXPECT_EQ(Problem, QString());
  EXPECT_EQ(readFileText(Target), "whole\n");
  EXPECT_EQ(Names(Folder.Path()),
            (std::vector<std::string>{"other.state.tmp-1-0", "x.state", "x.state.tmp-living"}));
}

}  // namespace
