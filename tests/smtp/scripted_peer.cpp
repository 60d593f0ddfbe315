#include "scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace smtptest {

namespace {

// Generous bounds for a loaded machine; a test that reaches one has failed anyway.
constexpr int kAcceptTimeoutMs = 20000;
constexpr int kStepTimeoutMs = 20000;

// Sends everything; gives up when the client takes nothing for the step's time.
bool sendAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd w{fd, POLLOUT, 0};
      if (poll(&w, 1, kStepTimeoutMs) <= 0) return false;
      continue;
    }
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

ScriptedPeer::ScriptedPeer(std::vector<PeerStep> script, const char *address) {
  const bool v6 = std::strchr(address, ':') != nullptr;
  sockaddr_storage a{};
  socklen_t len;
  if (v6) {
    auto *a6 = reinterpret_cast<sockaddr_in6 *>(&a);
    a6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, address, &a6->sin6_addr);
    len = sizeof *a6;
  } else {
    auto *a4 = reinterpret_cast<sockaddr_in *>(&a);
    a4->sin_family = AF_INET;
    inet_pton(AF_INET, address, &a4->sin_addr);
    len = sizeof *a4;
  }
  listenFd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
      ::listen(listenFd_, 1) != 0) {
    failure_ = "cannot listen: " + std::string(std::strerror(errno));
    finished_ = true;
    return;
  }
  getsockname(listenFd_, reinterpret_cast<sockaddr *>(&a), &len);
  port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port
                   : reinterpret_cast<sockaddr_in *>(&a)->sin_port);
  thread_ = std::thread(&ScriptedPeer::run, this, std::move(script));
}

ScriptedPeer::~ScriptedPeer() {
  finish();
  if (listenFd_ >= 0) ::close(listenFd_);
}

std::string ScriptedPeer::finish() {
  if (thread_.joinable()) thread_.join();
  return failure_;
}

bool ScriptedPeer::readSome(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  char buf[65536];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  if (n <= 0) return false;
  received_.append(buf, static_cast<size_t>(n));
  return true;
}

void ScriptedPeer::run(std::vector<PeerStep> script) {
  pollfd p{listenFd_, POLLIN, 0};
  if (poll(&p, 1, kAcceptTimeoutMs) <= 0) {
    failure_ = "no client connected";
    return;
  }
  sockaddr_storage from{};
  socklen_t fromLen = sizeof from;
  int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr *>(&from), &fromLen, SOCK_CLOEXEC);
  if (fd < 0) {
    failure_ = "accept failed";
    return;
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (from.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(&from)->sin6_addr, text, sizeof text);
  else
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&from)->sin_addr, text, sizeof text);
  clientAddress_ = text;
  size_t expected = 0;  // bytes of received_ already matched by Expect steps
  for (size_t i = 0; i < script.size() && failure_.empty() && fd >= 0; ++i) {
    const PeerStep &s = script[i];
    const std::string where = "step " + std::to_string(i) + ": ";
    switch (s.kind) {
      case PeerStep::Send:
        if (!sendAll(fd, s.bytes.data(), s.bytes.size())) failure_ = where + "send failed";
        break;
      case PeerStep::SendBytewise: {
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        for (char ch : s.bytes) {
          if (!sendAll(fd, &ch, 1)) {
            failure_ = where + "send failed";
            break;
          }
          if (s.count > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.count));
        }
        break;
      }
      case PeerStep::Expect:
        while (received_.size() < expected + s.bytes.size())
          if (!readSome(fd, kStepTimeoutMs)) break;
        if (received_.compare(expected, s.bytes.size(), s.bytes) != 0)
          failure_ =
              where + "expected \"" + s.bytes + "\", got \"" + received_.substr(expected) + "\"";
        expected += s.bytes.size();
        break;
      case PeerStep::ExpectThrough: {
        auto through = [&] {
          return received_.size() >= expected + s.bytes.size() &&
                 received_.compare(received_.size() - s.bytes.size(), s.bytes.size(), s.bytes) == 0;
        };
        while (!through())
          if (!readSome(fd, kStepTimeoutMs)) break;
        if (!through()) failure_ = where + "no \"" + s.bytes + "\" came";
        expected = received_.size();
        break;
      }
      case PeerStep::ExpectClose:
        while (readSome(fd, kStepTimeoutMs)) {
        }
        break;
      case PeerStep::Close:
        ::close(fd);
        fd = -1;
        break;
      case PeerStep::Reset: {
        const linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd);
        fd = -1;
        break;
      }
      case PeerStep::Flood:
        while (flooded_ < s.count) {
          const size_t n = std::min(s.bytes.size(), s.count - flooded_);
          if (!sendAll(fd, s.bytes.data(), n)) break;  // the client has gone: the flood ends
          flooded_ += n;
        }
        break;
    }
  }
  if (fd >= 0) ::close(fd);
}

ClosedPort::ClosedPort() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
}

ClosedPort::~ClosedPort() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace smtptest
