#include "tls/ca_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "smtp_errors.h"

namespace pelnet::smtp {

namespace {

// What a name that is not a regular file is, as the reason says it.
struct FileKind {
  mode_t type;
  const char *reason;
};

constexpr FileKind kNotAFile[] = {
    {S_IFIFO, "it is a FIFO, not a file"},
    {S_IFDIR, "it is a directory, not a file"},
    {S_IFCHR, "it is a character device, not a file"},
    {S_IFBLK, "it is a block device, not a file"},
    {S_IFSOCK, "it is a socket, not a file"},
};

const char *notAFileReason(mode_t mode) {
  for (const FileKind &k : kNotAFile)
    if ((mode & S_IFMT) == k.type) return k.reason;
  return "it is not a regular file";
}

std::string tooLargeReason() {
  return "it is larger than " + std::to_string(kCaFileMaxBytes >> 20) + " MiB";
}

// Reads until the end or one byte past the cap (a file that grew after fstat
// is caught so); errno on a failed read.
bool readCapped(int fd, std::string &bytes, int &error) {
  bytes.clear();
  char buffer[65536];
  while (bytes.size() <= kCaFileMaxBytes) {
    const size_t room = std::min(sizeof buffer, kCaFileMaxBytes + 1 - bytes.size());
    const ssize_t n = ::read(fd, buffer, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      return false;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

std::string caFileProblem(const std::string &path, std::string_view reason) {
  std::string text = "The TLS CA file " + path + " cannot be used: ";
  text += reason;
  text += '.';
  return text;
}

int readCaFile(const std::string &path, std::string &bytes, std::string &text) {
  const auto refuse = [&](const std::string &reason) {
    bytes.clear();
    text = caFileProblem(path, reason);
    return kSmtpTlsCAFile;
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return refuse(std::strerror(errno));
  struct stat st {};
  int error = 0;
  std::string reason;
  if (::fstat(fd, &st) != 0)
    reason = std::strerror(errno);
  else if (!S_ISREG(st.st_mode))
    reason = notAFileReason(st.st_mode);
  else if (static_cast<unsigned long long>(st.st_size) > kCaFileMaxBytes)
    reason = tooLargeReason();
  else if (!readCapped(fd, bytes, error))
    reason = std::strerror(error);
  else if (bytes.size() > kCaFileMaxBytes)
    reason = tooLargeReason();
  ::close(fd);
  if (!reason.empty()) return refuse(reason);
  return 0;
}

}  // namespace pelnet::smtp
