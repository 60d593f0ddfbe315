#include "message_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
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
constexpr const char *kTextNoFolder = "Can't open queue folder";
constexpr const char *kTextCantOpenFile = "Can't open queue file [";
constexpr const char *kTextProcessing = "Processing queued message file: ";
constexpr const char *kTextSent = "Queued message succesfully sent.";
constexpr const char *kTextKept = "Queue file extension changed to .sent";
constexpr const char *kTextDeleted = "Queue file deleted.";
constexpr const char *kTextSendFailed = "Error while sending queued file.";
constexpr const char *kTextTaken = "Queue file taken by another process, skipped.";
constexpr const char *kTextLineTooLong = "Queue file line too long.";

// The codes of a queue file that cannot be read or written.
constexpr int kFileNotReadable = 3;
constexpr int kFileNotOpen = 5;
constexpr int kFileWriteFailed = 7;

// An errno value as the text of a failure that carries it as its code.
std::string errnoText(int err) {
  char buf[128];
  return "[" + std::to_string(err) + "] " + strerror_r(err, buf, sizeof buf);
}

// The descriptor closed, retried when a signal interrupts it; false when the close reports a
// failure.
bool closeFile(int &fd) {
  if (fd < 0) return true;
  const int rc = ::close(fd);
  fd = -1;
  return rc == 0 || errno == EINTR;
}

bool isRegularFile(int dirFd, const dirent &e, timespec &modified) {
  struct stat st {};
  if (::fstatat(dirFd, e.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  modified = st.st_mtim;
  return S_ISREG(st.st_mode);
}

}  // namespace

MessageQueue::MessageQueue(SmtpSession &session, uintptr_t instance)
    : tick(tickCount), session_(session), instance_(instance) {}

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
  TcpClientPort &port = session_.port_;
  port.clearError();
  const std::string dir = directoryOf(queueDir);
  const std::string stem = dir + std::to_string(instance_) + "l_" + std::to_string(tick()) + "l";
  std::string path;
  int fd = -1;
  int err = 0;
  for (char c : kNameSuffixes) {
    path = stem + c + std::string(kQueued);
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) break;
    err = errno;
  }
  if (fd < 0)
    return port.fail(kSmtpQueueFile,
                     kTextCantOpenFile + path + ": errno " + std::to_string(err) + "].");

  // Every write goes out whole; a failed one closes the file, and a write
  // after that finds it closed.
  const std::function<int(std::string_view)> out = [&fd, &port](std::string_view bytes) {
    if (fd < 0) return port.fail(kFileNotOpen);
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        closeFile(fd);
        return port.fail(kFileWriteFailed);
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
  };
  int rc = session_.queueTransaction(out);
  // A file system that reports a lost write only at close (NFS) fails here.
  const bool wasOpen = fd >= 0;
  if (!closeFile(fd) && wasOpen && rc == 0) rc = port.fail(kFileWriteFailed);
  if (rc != 0) {
    ::unlink(path.c_str());
    return rc;
  }
  fileName = path;
  return 0;
}

// ---------------------------------------------------------------- ProcessQueue

int MessageQueue::listQueued(const std::string &dir, std::vector<std::string> &names) {
  TcpClientPort &port = session_.port_;
  DIR *d = ::opendir(dir.c_str());
  if (d == nullptr) {
    const int err = errno;
    if (err == ENOENT) return port.fail(kSmtpQueueFile, kTextNoFolder);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(err));
    return port.fail(kSmtpQueueFile, kTextCantOpenFile + std::string(hex) + "].");
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
    if (name.size() < kQueued.size() || name.substr(name.size() - kQueued.size()) != kQueued)
      continue;
    timespec modified{};
    // Gone already (another process claimed it), a folder or a link: not a queued message.
    if (!isRegularFile(::dirfd(d), *e, modified)) continue;
    found.push_back({modified, std::string(name)});
  }
  ::closedir(d);
  if (err != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(err));
    return port.fail(kSmtpQueueFile, kTextCantOpenFile + std::string(hex) + "].");
  }
  // Oldest first, so that messages go out in the order they were queued; the
  // name decides within one time stamp ("0" before "a" ... "y").
  std::sort(found.begin(), found.end(), [](const Entry &a, const Entry &b) {
    if (a.modified.tv_sec != b.modified.tv_sec) return a.modified.tv_sec < b.modified.tv_sec;
    if (a.modified.tv_nsec != b.modified.tv_nsec) return a.modified.tv_nsec < b.modified.tv_nsec;
    return a.name < b.name;
  });
  names.reserve(found.size());
  for (Entry &e : found) names.push_back(std::move(e.name));
  return 0;
}

int MessageQueue::processQueue(const std::string &queueDir, bool keepQueue) {
  TcpClientPort &port = session_.port_;
  SessionEvents &events = session_.events_;
  return session_.frame([&]() -> int {
    const std::string dir = directoryOf(queueDir);
    std::vector<std::string> names;
    if (int rc = listQueued(dir, names)) return rc;
    if (names.empty()) return 0;

    // Disconnect runs an operation of its own, which clears the last error:
    // the failure that ended the delivery is kept across it.
    const auto disconnectKeeping = [&](int rc) {
      const std::string text = port.lastErrorText;
      session_.disconnect();
      port.lastErrorText = text;
      return rc;
    };
    if (int rc = session_.connect()) return disconnectKeeping(rc);
    session_.running_ = SmtpOperation::Send;
    int rc = 0;
    for (const std::string &name : names) {
      events.onPITrail(kInformation, kTextProcessing + name);
      bool skipped = false;
      rc = deliver(dir, name, keepQueue, skipped);
      if (skipped) events.onPITrail(kInformation, kTextTaken);
      if (rc != 0) break;
    }
    session_.running_ = SmtpOperation::None;
    if (rc == kWaitEnded) port.lastErrorText = kTextInterrupted;
    return disconnectKeeping(rc);
  });
}

int MessageQueue::exchangeLine(std::string_view line) {
  if (int rc = session_.sendCommand(line)) return rc;
  return session_.awaitReply();
}

int MessageQueue::deliver(const std::string &dir, const std::string &name, bool keepQueue,
                          bool &skipped) {
  TcpClientPort &port = session_.port_;
  SessionEvents &events = session_.events_;
  const std::string path = dir + name;
  const std::string stem = path.substr(0, path.size() - kQueued.size() + 1);
  const std::string sending = stem + "sending";
  bool renamed = false;
  int fd = -1;

  const auto failed = [&](int rc) {
    closeFile(fd);
    if (renamed) ::rename(sending.c_str(), (stem + "failed").c_str());
    events.onPITrail(kInformation, kTextSendFailed);
    return rc;
  };

  session_.setState(SmtpState::Rset);
  if (int rc = exchangeLine("RSET")) return failed(rc);
  // The claim: only one process can move the file away from its queued name.
  if (::rename(path.c_str(), sending.c_str()) != 0) {
    const int err = errno;
    if (err == ENOENT) {
      skipped = true;
      return 0;
    }
    return failed(port.fail(err, errnoText(err)));
  }
  renamed = true;
  fd = ::open(sending.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failed(port.fail(kFileNotReadable));
  if (int rc = replay(fd)) return failed(rc);

  events.onPITrail(kInformation, kTextSent);
  closeFile(fd);
  if (keepQueue) {
    ::rename(sending.c_str(), (stem + "sent").c_str());  // a failure leaves it ".sending"
    events.onPITrail(kInformation, kTextKept);
  } else {
    ::unlink(sending.c_str());
    events.onPITrail(kInformation, kTextDeleted);
  }
  return 0;
}

int MessageQueue::replay(int fd) {
  TcpClientPort &port = session_.port_;
  std::string buf;
  size_t off = 0;
  bool atEnd = false;
  // Reads one more block onto `buf`; 0, or 3 when the file cannot be read.
  const auto readMore = [&]() -> int {
    char block[kReadBlock];
    for (;;) {
      const ssize_t n = ::read(fd, block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return port.fail(kFileNotReadable);
      if (n == 0) atEnd = true;
      buf.append(block, static_cast<size_t>(n));
      return 0;
    }
  };

  // The command lines, each answered, up to and including DATA.
  bool data = false;
  while (!data) {
    const size_t end = buf.find("\r\n", off);
    if (end == std::string::npos) {
      if (buf.size() - off > kMaxReplayLine) return port.fail(kFileNotReadable, kTextLineTooLong);
      if (atEnd) {
        // A last line without its CR LF still counts as a line.
        if (off < buf.size()) {
          session_.setState(SmtpState::Command);
          if (int rc = exchangeLine(std::string_view(buf).substr(off))) return rc;
        }
        off = buf.size();
        break;
      }
      buf.erase(0, off);
      off = 0;
      if (int rc = readMore()) return rc;
      continue;
    }
    const std::string_view line = std::string_view(buf).substr(off, end - off);
    off = end + 2;
    data = line == "DATA";
    session_.setState(data ? SmtpState::Data : SmtpState::Command);
    if (int rc = exchangeLine(line)) return rc;
  }

  // The message as the file holds it (dots already doubled, "." line at its end).
  if (data) {
    session_.setState(SmtpState::Body);
    for (;;) {
      if (off < buf.size())
        if (int rc = port.sendAll(std::string_view(buf).substr(off))) return rc;
      buf.clear();
      off = 0;
      if (atEnd) break;
      if (int rc = readMore()) return rc;
    }
  }
  // The answer to the end of data, with no command of its own.
  session_.setState(SmtpState::Dot);
  return session_.awaitReply();
}

}  // namespace pelnet::smtp
