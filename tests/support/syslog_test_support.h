// Helpers of the syslog tests: a UDP listener on loopback, the host names of
// the private /etc/hosts, and formatting of the expected timestamp.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace syslogtest {

// The machine's own name resolves to this address inside the test namespace.
inline constexpr const char *kOwnAddress = "127.0.9.9";
// A test host name and its address (loopback, so a packet sent there stays here).
inline constexpr const char *kNamedHost = "sysloghost.test";
inline constexpr const char *kNamedAddress = "127.0.7.7";

inline std::string machineName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

// A datagram socket bound to `addr`:0 (or a given port) that collects what arrives.
class UdpListener {
 public:
  explicit UdpListener(const char *addr = "127.0.0.1", int port = 0) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr, &a.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~UdpListener() {
    if (fd_ >= 0) close(fd_);
  }
  UdpListener(const UdpListener &) = delete;
  UdpListener &operator=(const UdpListener &) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  int fd() const { return fd_; }

  // The next datagram, or nullopt after `timeoutMs` without one.
  std::optional<std::string> receive(int timeoutMs = 2000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    std::vector<char> buf(70000);
    const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    return std::string(buf.data(), static_cast<size_t>(n));
  }
  // Every datagram that arrives within `quietMs` of the previous one.
  std::vector<std::string> receiveAll(int firstMs = 2000, int quietMs = 200) {
    std::vector<std::string> out;
    auto d = receive(firstMs);
    while (d) {
      out.push_back(*d);
      d = receive(quietMs);
    }
    return out;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Sends `bytes` from a fresh socket to 127.0.0.1:`port` (or `to`).
inline bool sendDatagram(int port, const std::string &bytes, const char *to = "127.0.0.1") {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, to, &a.sin_addr);
  const ssize_t n =
      sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
  close(fd);
  return n == static_cast<ssize_t>(bytes.size());
}

// The RFC 3164 timestamp of time `t` in UTC or local time, written
// independently of the core ("%b" would follow the locale).
inline std::string stampOf(std::time_t t, bool local) {
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  if (local)
    localtime_r(&t, &tm);
  else
    gmtime_r(&t, &tm);
  char out[32];
  std::snprintf(out, sizeof out, "%s %2d %02d:%02d:%02d", kMonths[tm.tm_mon], tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return out;
}

// True when `packet` equals prefix + stamp + suffix for a stamp of any second in [from, to].
inline bool matchesWithin(const std::string &packet, const std::string &prefix,
                          const std::string &suffix, std::time_t from, std::time_t to, bool local) {
  for (std::time_t t = from; t <= to; ++t)
    if (packet == prefix + stampOf(t, local) + suffix) return true;
  return false;
}

}  // namespace syslogtest
