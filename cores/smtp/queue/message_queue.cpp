#include "queue/message_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"
#include "pelnet/smtp_ids.h"
#include "smtp_errors.h"

namespace pelnet::smtp {
namespace {

constexpr int kInformation = PELNET_SMTP_dirInformation;

constexpr std::string_view kQueued = ".queued";
constexpr std::string_view kSending = ".sending";
// Queue's temporary files: hidden, and never matching "*.queued".
constexpr std::string_view kTemporaryLead = ".";
constexpr std::string_view kTemporaryEnd = ".tmp";

constexpr const char *kTextNoFolder = "Can't open queue folder";
constexpr const char *kTextCantOpenFile = "Can't open queue file [";
constexpr const char *kTextCantWriteFile = "Can't write queue file ";
constexpr const char *kTextProcessing = "Processing queued message file: ";
constexpr const char *kTextSent = "Queued message succesfully sent.";
constexpr const char *kTextKept = "Queue file extension changed to .sent";
constexpr const char *kTextDeleted = "Queue file deleted.";
constexpr const char *kTextSendFailed = "Error while sending queued file.";
constexpr const char *kTextTaken = "Queue file taken by another process, skipped.";
// "Queue file " <path> " is damaged, moved to " <path of the .bad file>
constexpr const char *kTextDamagedLead = "Queue file ";
constexpr const char *kTextDamagedMoved = " is damaged, moved to ";
// "Queue file " <path> " was left by a delivery that ended, queued again."
constexpr const char *kTextResumedLead = "Queue file ";
constexpr const char *kTextResumedEnd = " was left by a delivery that ended, queued again.";

// An errno value as the text of a failure that carries it as its code.
// The system's reason for an errno value ("Read-only file system", "No space
// left on device"), so that whoever reads a failure knows what to mend.
std::string systemReason(int err) {
  char buf[128];
  return strerror_r(err, buf, sizeof buf);
}

std::string errnoText(int err) { return "[" + std::to_string(err) + "] " + systemReason(err); }

// The descriptor closed, retried when a signal interrupts it; false when the close reports a
// failure.
bool closeFile(int &fd) {
  if (fd < 0) return true;
  const int rc = ::close(fd);
  fd = -1;
  return rc == 0 || errno == EINTR;
}

bool endsWith(std::string_view s, std::string_view end) {
  return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

bool isRegularFile(int dirFd, const dirent &e, timespec &modified) {
  struct stat st {};
  if (::fstatat(dirFd, e.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  modified = st.st_mtim;
  return S_ISREG(st.st_mode);
}

// Whether the open file `fd` is still the file at `path`: a file renamed away
// between its opening and its lock is no longer the one that name stands for.
bool stillAt(int fd, int dirFd, const char *path) {
  struct stat open {
  }, named{};
  if (::fstat(fd, &open) != 0 || ::fstatat(dirFd, path, &named, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// Renames `from` to `to` unless `to` exists; errno tells why not.  File
// systems without the no-replace rename take a hard link and an unlink.
int renameNoReplace(int dirFd, const char *from, const char *to) {
  if (::renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  if (::linkat(dirFd, from, dirFd, to, 0) != 0) return -1;
  ::unlinkat(dirFd, from, 0);
  return 0;
}

// Gives the whole file at `temporary` the first of the 26 queued names after
// `stem` that no file holds; the no-replace rename makes taking the name and
// appearing under it one step.  0, or the errno of the last name tried, which
// `path` then holds.
int takeFreeName(const std::string &temporary, const std::string &stem, std::string &path) {
  int err = 0;
  for (char c : MessageQueue::kNameSuffixes) {
    path = stem + c + std::string(kQueued);
    if (renameNoReplace(AT_FDCWD, temporary.c_str(), path.c_str()) == 0) return 0;
    err = errno;
    if (err != EEXIST) break;
  }
  return err;
}

// Makes the folder's entries (a new name) reach the disk.  Folders that
// cannot be flushed on their own (EINVAL) are flushed with their files.
bool syncFolder(const std::string &dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  const int err = errno;
  ::close(fd);
  errno = err;
  return ok;
}

// The whole file, at most one byte more than a queue file may hold (so that a
// larger one shows as too large); false with errno when it cannot be read.
bool readWhole(int fd, std::string &bytes) {
  bytes.clear();
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0)
    bytes.reserve(std::min(static_cast<size_t>(st.st_size), kMaxQueueFileSize + 1));
  char block[65536];
  while (bytes.size() <= kMaxQueueFileSize) {
    const size_t want = std::min(sizeof block, kMaxQueueFileSize + 1 - bytes.size());
    const ssize_t n = ::read(fd, block, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    bytes.append(block, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

MessageQueue::MessageQueue(SmtpSession &session, uintptr_t instance)
    : tick(tickCount), session_(session), instance_(instance) {}

int MessageQueue::fileFailure(int code, std::string text) {
  failure_ = {code, std::move(text)};
  return code;
}

std::string MessageQueue::directoryOf(std::string_view queueDir) {
  const bool absolute = !queueDir.empty() && queueDir.front() == '/';
  while (!queueDir.empty() && queueDir.front() == '/') queueDir.remove_prefix(1);
  while (!queueDir.empty() && queueDir.back() == '/') queueDir.remove_suffix(1);
  std::string dir = absolute ? "/" : "";
  if (queueDir.empty()) return "/";
  dir += queueDir;
  dir += '/';
  return dir;
}

// ---------------------------------------------------------------- Queue

int MessageQueue::queue(const std::string &queueDir, std::string &fileName) {
  failure_ = {};
  const std::string dir = directoryOf(queueDir);
  const std::string base = std::to_string(instance_) + "l_" + std::to_string(tick()) + "l";
  const std::string stem = dir + base;
  const auto cantCreate = [&](const std::string &path, int err) {
    return fileFailure(kFolderOrName, kTextCantOpenFile + path + ": " + systemReason(err) + "].");
  };

  // The message is written under a hidden name of its own and gets its
  // queued name only once it is whole and on the disk.  The lock tells
  // ProcessQueue's tidying that its writer lives.
  std::string temporary =
      dir + std::string(kTemporaryLead) + base + ".XXXXXX" + std::string(kTemporaryEnd);
  int fd = ::mkostemps(temporary.data(), static_cast<int>(kTemporaryEnd.size()), O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    return cantCreate(stem + kNameSuffixes[0] + std::string(kQueued), err);
  }
  ::flock(fd, LOCK_EX);
  const auto discard = [&](int rc) {
    ::unlink(temporary.c_str());
    closeFile(fd);
    return rc;
  };

  // Every write goes out whole; a failed one closes the file, and a write
  // after that finds it closed.
  const auto writeFailed = [&](int err) {
    return fileFailure(kFileWriteFailed, kTextCantWriteFile + temporary + ": " + systemReason(err));
  };
  const std::function<int(std::string_view)> out = [&](std::string_view bytes) {
    if (fd < 0) return fileFailure(kFileNotOpen);
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int err = n < 0 ? errno : ENOSPC;
        closeFile(fd);
        return writeFailed(err);
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
  };
  if (int rc = session_.queueTransaction(out)) return discard(rc);
  // A file system that reports a lost write only when flushed (NFS) fails here.
  if (fd < 0) return discard(fileFailure(kFileWriteFailed));
  if (::fsync(fd) != 0) return discard(writeFailed(errno));

  std::string path;
  if (int err = takeFreeName(temporary, stem, path)) return discard(cantCreate(path, err));
  if (!syncFolder(dir)) {
    // Not known to survive a power loss: not queued.  A process that claimed
    // the file meanwhile delivers it anyway, which the unlink cannot undo.
    const int err = errno;
    ::unlink(path.c_str());
    closeFile(fd);
    return fileFailure(kFileWriteFailed, kTextCantWriteFile + dir + ": " + systemReason(err));
  }
  closeFile(fd);
  fileName = path;
  return 0;
}

// ---------------------------------------------------------------- ProcessQueue

int MessageQueue::listQueued(const std::string &dir, std::vector<std::string> &names) {
  DIR *d = ::opendir(dir.c_str());
  if (d == nullptr) {
    const int err = errno;
    if (err == ENOENT) return fileFailure(kFolderOrName, kTextNoFolder);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(err));
    return fileFailure(kFolderOrName, kTextCantOpenFile + std::string(hex) + "].");
  }
  struct Entry {
    timespec modified;
    std::string name;
  };
  std::vector<Entry> found;
  int err = 0;
  for (;;) {
    errno = 0;
    const dirent *e = ::readdir(d);
    if (e == nullptr) {
      err = errno;
      break;
    }
    const std::string_view name(e->d_name);
    if (!endsWith(name, kQueued)) continue;
    timespec modified{};
    // Gone already (another process claimed it), a folder or a link: not a queued message.
    if (!isRegularFile(::dirfd(d), *e, modified)) continue;
    found.push_back({modified, std::string(name)});
  }
  ::closedir(d);
  if (err != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(err));
    return fileFailure(kFolderOrName, kTextCantOpenFile + std::string(hex) + "].");
  }
  // Oldest first, so that messages go out in the order they were queued; the
  // name decides within one time stamp ("0" before "a" ... "y").  A file put
  // back from ".sending" kept its time and so its place.
  std::sort(found.begin(), found.end(), [](const Entry &a, const Entry &b) {
    if (a.modified.tv_sec != b.modified.tv_sec) return a.modified.tv_sec < b.modified.tv_sec;
    if (a.modified.tv_nsec != b.modified.tv_nsec) return a.modified.tv_nsec < b.modified.tv_nsec;
    return a.name < b.name;
  });
  names.reserve(found.size());
  for (Entry &e : found) names.push_back(std::move(e.name));
  return 0;
}

void MessageQueue::tidyFolder(const std::string &dir) {
  DIR *d = ::opendir(dir.c_str());
  if (d == nullptr) return;  // the search that follows reports it
  const int dirFd = ::dirfd(d);
  std::vector<std::string> sending, temporary;
  while (const dirent *e = ::readdir(d)) {
    const std::string_view name(e->d_name);
    if (endsWith(name, kSending))
      sending.emplace_back(name);
    else if (name.starts_with(kTemporaryLead) && endsWith(name, kTemporaryEnd))
      temporary.emplace_back(name);
  }
  std::sort(sending.begin(), sending.end());

  // Each file is locked and then checked to be still the one at its name:
  // a lock that can be taken means that no process works on the file, and
  // whatever is done to it is done while the lock is held, so a second
  // process tidying at once finds it renamed.
  const auto lockedAt = [dirFd](const std::string &name) {
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        !stillAt(fd, dirFd, name.c_str())) {
      ::close(fd);
      return -1;
    }
    return fd;
  };

  for (const std::string &name : sending) {
    const int fd = lockedAt(name);
    if (fd < 0) continue;
    const std::string queued = name.substr(0, name.size() - kSending.size()) + std::string(kQueued);
    if (renameNoReplace(dirFd, name.c_str(), queued.c_str()) == 0)
      session_.note(kTextResumedLead + dir + name + kTextResumedEnd);
    ::close(fd);
  }

  // A writer that ended before its rename leaves its temporary file; one
  // still writing holds its lock, and a fresh file may not be locked yet.
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  for (const std::string &name : temporary) {
    const int fd = lockedAt(name);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && now.tv_sec - st.st_mtim.tv_sec > kStaleTemporarySeconds)
      ::unlinkat(dirFd, name.c_str(), 0);
    ::close(fd);
  }
  ::closedir(d);
}

int MessageQueue::processQueue(const std::string &queueDir, bool keepQueue) {
  failure_ = {};
  outcomes_.clear();
  return session_.operation([&]() -> int {
    const std::string dir = directoryOf(queueDir);
    tidyFolder(dir);
    std::vector<std::string> names;
    if (int rc = listQueued(dir, names)) return rc;
    if (names.empty()) return 0;

    if (int rc = session_.connect()) return session_.disconnectKeeping(rc);
    session_.markRunning(SmtpOperation::Send);
    int rc = 0;
    for (const std::string &name : names) {
      session_.note(kTextProcessing + name);
      outcomes_.push_back({name, PELNET_SMTP_qoDelivered, {}});
      rc = deliver(dir, name, keepQueue, outcomes_.back());
      if (outcomes_.back().outcome == PELNET_SMTP_qoSkipped) session_.note(kTextTaken);
      if (rc != 0) break;
    }
    session_.markRunning(SmtpOperation::None);
    if (rc == kWaitEnded) session_.fail(rc, kTextInterrupted);
    return session_.disconnectKeeping(rc);
  });
}

int MessageQueue::deliver(const std::string &dir, const std::string &name, bool keepQueue,
                          FileOutcome &outcome) {
  const std::string path = dir + name;
  const std::string stem = path.substr(0, path.size() - kQueued.size() + 1);
  const std::string sending = stem + "sending";
  bool renamed = false;
  int fd = -1;

  // Every change of name happens while the lock is held, before the close
  // that releases it.
  const auto failed = [&](int rc) {
    outcome.outcome = PELNET_SMTP_qoFailed;
    const std::string failedPath = stem + "failed";
    if (renamed && ::rename(sending.c_str(), failedPath.c_str()) == 0) outcome.path = failedPath;
    closeFile(fd);
    session_.note(kTextSendFailed);
    return rc;
  };
  const auto skip = [&] {
    closeFile(fd);
    outcome.outcome = PELNET_SMTP_qoSkipped;
    return 0;
  };

  if (int rc = session_.exchange(SmtpState::Rset, "RSET")) return failed(rc);
  // The claim: only one process can move the file away from its queued name.
  // It never replaces a ".sending" file of the same name, which another
  // process may be delivering.
  if (renameNoReplace(AT_FDCWD, path.c_str(), sending.c_str()) != 0) {
    const int err = errno;
    if (err == ENOENT || err == EEXIST) return skip();
    return failed(fileFailure(err, errnoText(err)));
  }
  renamed = true;
  fd = ::open(sending.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  // Between the claim and the lock, another process's tidying may have
  // taken the unlocked file for one whose owner ended and put it back: it
  // delivers it now.
  if (fd < 0 && errno == ENOENT) return skip();
  if (fd < 0) return failed(fileFailure(kFileNotReadable));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !stillAt(fd, AT_FDCWD, sending.c_str())) return skip();

  std::string bytes;
  if (!readWhole(fd, bytes)) return failed(fileFailure(kFileNotReadable));
  QueueFileParts parts;
  if (checkQueueFileForm(bytes, parts) != nullptr) {
    // Nothing of it goes out, and it never holds up the files behind it.
    const std::string bad = stem + "bad";
    outcome.outcome = PELNET_SMTP_qoDamaged;
    if (::rename(sending.c_str(), bad.c_str()) == 0) {
      outcome.path = bad;
      session_.note(kTextDamagedLead + path + kTextDamagedMoved + bad);
    }
    closeFile(fd);
    return 0;
  }
  if (int rc = replay(parts)) return failed(rc);

  session_.note(kTextSent);
  if (keepQueue) {
    outcome.outcome = PELNET_SMTP_qoKept;
    const std::string sent = stem + "sent";
    // A failure leaves it ".sending".
    outcome.path = ::rename(sending.c_str(), sent.c_str()) == 0 ? sent : sending;
    closeFile(fd);
    session_.note(kTextKept);
  } else {
    ::unlink(sending.c_str());
    closeFile(fd);
    session_.note(kTextDeleted);
  }
  return 0;
}

int MessageQueue::replay(const QueueFileParts &parts) {
  for (const std::string_view line : parts.commands)
    if (int rc = session_.exchange(line == "DATA" ? SmtpState::Data : SmtpState::Command, line))
      return rc;
  // The message as the file holds it (dots already doubled, "." line at its end).
  return session_.sendWritten(parts.message);
}

}  // namespace pelnet::smtp
