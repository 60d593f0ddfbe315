#include "connection/traffic_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "pelnet/runtime/errors.h"

namespace pelnet::smtp {

void appendEscaped(std::string &out, std::string_view bytes) {
  for (char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    if (b == '\r' || b == '\n') {
      out.push_back(ch);
    } else if (b >= 32 && b <= 126) {
      switch (b) {
        case '\\':
        case '$':
        case '"':
        case '{':
        case '}':
        case '[':
        case ']':
          out.push_back('\\');
          break;
        default:
          break;
      }
      out.push_back(ch);
    } else {
      // NUL included: "\000".
      out.push_back('\\');
      out.push_back(static_cast<char>('0' + ((b >> 6) & 7)));
      out.push_back(static_cast<char>('0' + ((b >> 3) & 7)));
      out.push_back(static_cast<char>('0' + (b & 7)));
    }
  }
}

void appendRecordBlock(std::string &out, bool sent, std::string_view bytes) {
  out += sent ? "\r\nexpect -exact \"" : "\r\nsend -nonewline \"";
  appendEscaped(out, bytes);
  out += "\"\r\n";
}

std::string recordBlockText(bool sent, std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 24);
  appendRecordBlock(out, sent, bytes);
  return out;
}

int TrafficRecord::open(const std::string &path) {
  close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return winsockFromErrno(errno);
  fd_ = fd;
  return 0;
}

void TrafficRecord::write(bool sent, std::string_view bytes) {
  if (fd_ < 0) return;
  scratch_.clear();
  appendRecordBlock(scratch_, sent, bytes);
  size_t off = 0;
  while (off < scratch_.size()) {
    const ssize_t n = ::write(fd_, scratch_.data() + off, scratch_.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

void TrafficRecord::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace pelnet::smtp
