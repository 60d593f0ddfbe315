#include "common/safe_file_write.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr char TemporaryMark[] = ".tmp-";
// Random names collide only by a fault; a few tries tell that apart from a
// folder that refuses every new name.
constexpr int NameAttempts = 16;
constexpr int RandomLength = 12;

struct TRefusedKind {
  mode_t Type;
  const char* Text;
};
// The texts of the settings file's own checks, and the link's refusal.
constexpr std::array<TRefusedKind, 6> RefusedKinds{{
    {S_IFLNK, "it is a symbolic link, which is never written through"},
    {S_IFDIR, "it is a directory"},
    {S_IFIFO, "it is a FIFO, not a file"},
    {S_IFSOCK, "it is a socket, not a file"},
    {S_IFCHR, "it is a device, not a file"},
    {S_IFBLK, "it is a device, not a file"},
}};

QString RefusalOf(mode_t Mode) {
  for (const TRefusedKind& Kind : RefusedKinds)
    if ((Mode & S_IFMT) == Kind.Type)
      return QString::fromLatin1(Kind.Text);
  return QStringLiteral("it is not a regular file");
}

QString SystemText(int Error) { return QString::fromLocal8Bit(std::strerror(Error)); }

class TDescriptor {
public:
  explicit TDescriptor(int Fd = -1) : FFd(Fd) {}
  ~TDescriptor() { Reset(); }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return FFd; }
  void Reset(int Fd = -1) {
    if (FFd >= 0)
      ::close(FFd);
    FFd = Fd;
  }

private:
  int FFd;
};

QByteArray RandomPart() {
  static constexpr char Letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  QByteArray Part(RandomLength, '\0');
  // The system's source, not a generator of this process: a forked copy
  // would draw the same names as its parent.
  for (char& C : Part)
    C = Letters[QRandomGenerator::system()->bounded(int(sizeof Letters - 1))];
  return Part;
}

// Whether the open file Fd is still the file at Name: one renamed away or
// removed between its opening and its lock is no longer the one meant.
bool StillAt(int Fd, int FolderFd, const char* Name) {
  struct stat Open {
  }, Named{};
  if (::fstat(Fd, &Open) != 0 || ::fstatat(FolderFd, Name, &Named, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  return Open.st_dev == Named.st_dev && Open.st_ino == Named.st_ino;
}

// A writer holds the lock of its fresh file from its creation to its
// rename, so a fresh file whose lock can be taken belongs to a writer that
// ended before its rename (a kill, a crash). Only our own files: in a shared
// folder, another user's are not ours to judge.
void RemoveAbandonedTemporaries(int FolderFd, const QByteArray& Prefix) {
  const int ListFd = ::openat(FolderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (ListFd < 0)
    return;
  DIR* Folder = ::fdopendir(ListFd);
  if (Folder == nullptr) {
    ::close(ListFd);
    return;
  }
  std::vector<QByteArray> Names;
  while (const dirent* Entry = ::readdir(Folder))
    if (std::strncmp(Entry->d_name, Prefix.constData(), std::size_t(Prefix.size())) == 0)
      Names.emplace_back(Entry->d_name);
  ::closedir(Folder);
  for (const QByteArray& Name : Names) {
    const TDescriptor Fd(
        ::openat(FolderFd, Name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat Status {};
    if (Fd.Get() < 0 || ::fstat(Fd.Get(), &Status) != 0 || !S_ISREG(Status.st_mode) ||
        Status.st_uid != ::geteuid() || ::flock(Fd.Get(), LOCK_EX | LOCK_NB) != 0 ||
        !StillAt(Fd.Get(), FolderFd, Name.constData()))
      continue;
    ::unlinkat(FolderFd, Name.constData(), 0);
  }
}

// Writes all of Bytes; 0 or the errno of the failure.
int WriteAll(int Fd, const QByteArray& Bytes) {
  const char* Next = Bytes.constData();
  qsizetype Left = Bytes.size();
  while (Left > 0) {
    const ssize_t Written = ::write(Fd, Next, std::size_t(Left));
    if (Written < 0 && errno == EINTR)
      continue;
    if (Written < 0)
      return errno;
    // A write that takes nothing and names no error would loop for ever.
    if (Written == 0)
      return EIO;
    Next += Written;
    Left -= Written;
  }
  return 0;
}

// What the fresh names beside FileName start with: "<name>.tmp-".
QString TemporaryNamePrefix(const QString& FileName) {
  return QFileInfo(FileName).fileName() + QLatin1String(TemporaryMark);
}

}  // namespace

QString ReplaceFileSafely(const QString& FileName, const QByteArray& Bytes) {
  const QFileInfo Info(FileName);
  const QByteArray Name = QFile::encodeName(Info.fileName());
  if (Name.isEmpty())
    return QStringLiteral("no file name");
  const QString FolderName = Info.absolutePath();
  const TDescriptor FolderFd(
      ::open(QFile::encodeName(FolderName).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (FolderFd.Get() < 0)
    return QStringLiteral("the folder %1 cannot be opened: %2").arg(FolderName, SystemText(errno));

  struct stat Old {};
  bool Existed = false;
  if (::fstatat(FolderFd.Get(), Name.constData(), &Old, AT_SYMLINK_NOFOLLOW) == 0) {
    // A rename over a device or a link would replace it, and opening it
    // would write through it: neither is ours to do.
    if (!S_ISREG(Old.st_mode))
      return RefusalOf(Old.st_mode);
    Existed = true;
  } else if (errno != ENOENT) {
    return QStringLiteral("it cannot be looked at: %1").arg(SystemText(errno));
  }

  const QByteArray Prefix = QFile::encodeName(TemporaryNamePrefix(FileName));
  RemoveAbandonedTemporaries(FolderFd.Get(), Prefix);

  TDescriptor Fd;
  QByteArray Temporary;
  int Error = EEXIST;
  for (int Attempt = 0; Attempt < NameAttempts && Fd.Get() < 0; ++Attempt) {
    Temporary = Prefix + RandomPart();
    const int Opened = ::openat(FolderFd.Get(), Temporary.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (Opened < 0) {
      Error = errno;
      if (Error == EEXIST)
        continue;
      break;
    }
    Fd.Reset(Opened);
    // Between the creation and the lock another writer's tidying may have
    // taken the file for an abandoned one and removed it: then a new name.
    if (::flock(Fd.Get(), LOCK_EX) != 0 || !StillAt(Fd.Get(), FolderFd.Get(), Temporary.constData())) {
      Fd.Reset();
      Error = EEXIST;
    }
  }
  if (Fd.Get() < 0)
    return QStringLiteral("no file can be made in %1: %2").arg(FolderName, SystemText(Error));

  const QString Kept = Existed ? QStringLiteral("; the file there before is kept") : QString();
  const auto Discard = [&](const char* Step, int Failure) {
    ::unlinkat(FolderFd.Get(), Temporary.constData(), 0);
    Fd.Reset();
    return QStringLiteral("%1 failed: %2%3").arg(QLatin1String(Step), SystemText(Failure), Kept);
  };
  // Readers of the old file (a collector running as another user) must
  // still be able to read the new one.
  if (Existed && ::fchmod(Fd.Get(), Old.st_mode & 07777) != 0)
    return Discard("keeping the permissions", errno);
  if (const int Failure = WriteAll(Fd.Get(), Bytes))
    return Discard("writing", Failure);
  // Renamed before it is on the disk, a crash could leave an empty file in
  // place of the old one.
  if (::fsync(Fd.Get()) != 0)
    return Discard("flushing to the disk", errno);
  if (::renameat(FolderFd.Get(), Temporary.constData(), FolderFd.Get(), Name.constData()) != 0)
    return Discard("renaming into place", errno);
  // Closed only now: the lock goes with the close, and a writer's tidying
  // must not take the whole file for an abandoned one before its rename.
  // After a good fsync the close has nothing left to report.
  Fd.Reset();
  // Some file systems cannot flush a folder; the file is whole in place
  // either way, only a crash just now could bring the old name back.
  ::fsync(FolderFd.Get());
  return QString();
}
