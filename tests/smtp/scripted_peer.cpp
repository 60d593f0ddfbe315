#include "scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gnutls/gnutls.h>

#include <algorithm>
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

// Waits until the client's first bytes (its TLS hello) arrive and drops them.
bool awaitHello(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, kStepTimeoutMs) <= 0) return false;
  char buf[16384];
  return ::recv(fd, buf, sizeof buf, 0) > 0;
}

}  // namespace

// The connection the steps talk over: the socket, and the TLS session on it
// once a StartTls step went through.
struct ScriptedPeer::Channel {
  int fd = -1;
  gnutls_session_t tls = nullptr;
  gnutls_certificate_credentials_t credentials = nullptr;

  ~Channel() {
    endTls();
    if (fd >= 0) ::close(fd);
  }
  void endTls() {
    if (tls) gnutls_deinit(tls);
    if (credentials) gnutls_certificate_free_credentials(credentials);
    tls = nullptr;
    credentials = nullptr;
  }
  void close() {
    endTls();
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  bool send(const char *p, size_t n) {
    if (!tls) return sendAll(fd, p, n);
    while (n > 0) {
      const ssize_t r = gnutls_record_send(tls, p, n);
      if (r == GNUTLS_E_INTERRUPTED || r == GNUTLS_E_AGAIN) continue;
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

  // The handshake as a server with `cert` and `key`; "" when it went through, else why not.
  std::string handshake(const std::string &cert, const std::string &key) {
    int r = gnutls_certificate_allocate_credentials(&credentials);
    if (r == 0)
      r = gnutls_certificate_set_x509_key_file(credentials, cert.c_str(), key.c_str(),
                                               GNUTLS_X509_FMT_PEM);
    if (r < 0) return "cannot load " + cert + ": " + gnutls_strerror(r);
    r = gnutls_init(&tls, GNUTLS_SERVER | GNUTLS_NO_SIGNAL);
    if (r == 0) r = gnutls_set_default_priority(tls);
    if (r == 0) r = gnutls_credentials_set(tls, GNUTLS_CRD_CERTIFICATE, credentials);
    if (r < 0) return std::string("cannot set up the session: ") + gnutls_strerror(r);
    gnutls_transport_set_int(tls, fd);
    // Every record read and the whole handshake stay within the step's bound.
    gnutls_handshake_set_timeout(tls, kStepTimeoutMs);
    gnutls_record_set_timeout(tls, kStepTimeoutMs);
    const timeval sendLimit{kStepTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    do {
      r = gnutls_handshake(tls);
    } while (r < 0 && gnutls_error_is_fatal(r) == 0);
    if (r < 0) {
      const std::string why = gnutls_strerror(r);
      endTls();
      return why.empty() ? "handshake failed" : why;
    }
    return "";
  }
};

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

bool ScriptedPeer::readSome(Channel &ch, int timeoutMs) {
  char buf[65536];
  if (ch.tls == nullptr || gnutls_record_check_pending(ch.tls) == 0) {
    pollfd p{ch.fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
  }
  ssize_t n;
  if (ch.tls == nullptr) {
    n = ::recv(ch.fd, buf, sizeof buf, 0);
  } else {
    do {
      n = gnutls_record_recv(ch.tls, buf, sizeof buf);
    } while (n == GNUTLS_E_INTERRUPTED || n == GNUTLS_E_AGAIN);
    if (n == 0) closeAlert_ = true;
  }
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
  Channel ch;
  ch.fd = ::accept4(listenFd_, reinterpret_cast<sockaddr *>(&from), &fromLen, SOCK_CLOEXEC);
  const int &fd = ch.fd;
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
        if (!ch.send(s.bytes.data(), s.bytes.size())) failure_ = where + "send failed";
        break;
      case PeerStep::SendBytewise: {
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        for (char c : s.bytes) {
          if (!ch.send(&c, 1)) {
            failure_ = where + "send failed";
            break;
          }
          if (s.count > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.count));
        }
        break;
      }
      case PeerStep::Expect: {
        // A client that already sent something else fails the step now, not at the step's bound.
        auto differs = [&] {
          const size_t n = std::min(received_.size() - expected, s.bytes.size());
          return received_.compare(expected, n, s.bytes, 0, n) != 0;
        };
        while (received_.size() < expected + s.bytes.size() && !differs())
          if (!readSome(ch, kStepTimeoutMs)) break;
        if (received_.compare(expected, s.bytes.size(), s.bytes) != 0)
          failure_ =
              where + "expected \"" + s.bytes + "\", got \"" + received_.substr(expected) + "\"";
        expected += s.bytes.size();
        break;
      }
      case PeerStep::ExpectThrough: {
        auto through = [&] {
          return received_.size() >= expected + s.bytes.size() &&
                 received_.compare(received_.size() - s.bytes.size(), s.bytes.size(), s.bytes) == 0;
        };
        while (!through())
          if (!readSome(ch, kStepTimeoutMs)) break;
        if (!through()) failure_ = where + "no \"" + s.bytes + "\" came";
        expected = received_.size();
        break;
      }
      case PeerStep::ExpectClose:
        while (readSome(ch, kStepTimeoutMs)) {
        }
        break;
      case PeerStep::Close:
        if (ch.tls) gnutls_bye(ch.tls, GNUTLS_SHUT_WR);
        ch.close();
        break;
      case PeerStep::Reset: {
        const linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ch.close();
        break;
      }
      case PeerStep::Flood:
        while (flooded_ < s.count) {
          const size_t n = std::min(s.bytes.size(), s.count - flooded_);
          if (!ch.send(s.bytes.data(), n)) break;  // the client has gone: the flood ends
          flooded_ += n;
        }
        break;
      case PeerStep::StartTls: {
        const std::string why = ch.handshake(s.cert, s.key);
        if (why.empty()) {
          tlsAt_ = received_.size();
          char *description = gnutls_session_get_desc(ch.tls);
          tlsDescription_ = description ? description : "";
          gnutls_free(description);
        } else if (s.count != kClientMayRefuse) {
          failure_ = where + "TLS handshake failed: " + why;
        }
        break;
      }
      case PeerStep::Garbage:
        if (!awaitHello(fd))
          failure_ = where + "no TLS hello came";
        else if (!sendAll(fd, s.bytes.data(), s.bytes.size()))
          failure_ = where + "send failed";
        break;
      case PeerStep::Stall: {
        // POLLRDHUP alone: the hello waiting unread does not end the stall, the client's close
        // does.
        pollfd p{fd, POLLRDHUP, 0};
        poll(&p, 1, static_cast<int>(s.count));
        break;
      }
      case PeerStep::CloseInHandshake:
        if (!awaitHello(fd)) failure_ = where + "no TLS hello came";
        ch.close();
        break;
      case PeerStep::Drip: {
        if (!awaitHello(fd)) {
          failure_ = where + "no TLS hello came";
          break;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        for (char c : s.bytes) {
          // The client's close ends the drip at once, not only at the next failed send.
          pollfd gone{fd, POLLRDHUP, 0};
          if (poll(&gone, 1, static_cast<int>(s.count)) != 0) break;
          if (!sendAll(fd, &c, 1)) break;
        }
        break;
      }
    }
  }
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
