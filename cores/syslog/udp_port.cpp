#include "udp_port.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "pelnet/runtime/errors.h"
#include "syslog_errors.h"

namespace pelnet::syslog {

namespace {

// One notification reads at most this many datagrams; the watch fires again
// while more are waiting, so a flood cannot starve the owning thread's loop.
constexpr int kBatchLimit = 256;
// Deactivation delivers what is already waiting, but a sender that never
// stops must not keep Active := False from returning.
constexpr int kDrainLimit = 4096;

constexpr const char *kTextUnreachable = "Destination unreachable (service unavailable?).";

int lastSocketError() { return winsockFromErrno(errno); }

}  // namespace

UDPPort::UDPPort() {
  setErrorTable(kSysLogErrors);
  remote_.v4 = 0xFFFFFFFFu;  // "255.255.255.255": a new port broadcasts until told otherwise
}

UDPPort::~UDPPort() {
  // No events while the component is going away: close without draining.
  closeSocket();
}

// ---------------------------------------------------------------- activation

int UDPPort::activate() {
  clearError();
  if (fd_ >= 0) return fail(kAlreadyActive);
  closePending_ = false;
  destinationAddress_.clear();
  try {
    buffer_.assign(static_cast<size_t>(maxPacketSize_) + 1, '\0');
  } catch (const std::bad_alloc &) {
    return kOutOfMemory;
  }
  if (useConnection_ && remotePort_ == 0) return fail(kRemotePortZero, kTextRemotePortZeroConnect);

  const int family = useIPv6 ? AF_INET6 : AF_INET;
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return lastSocketError();
  fd_ = fd;

  const int on = 1;
  if (shareLocalPort_) {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  }
  if (captureIPPacketInfo_) applyPacketInfo();

  int rc = 0;
  if (useIPv6) {
    sockaddr_in6 local = localAddress.v6;
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(static_cast<uint16_t>(localPort_));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) rc = lastSocketError();
  } else {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = localAddress.v4;
    local.sin_port = htons(static_cast<uint16_t>(localPort_));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) rc = lastSocketError();
  }

  if (rc == 0) {
    applyOptions();  // failures of the tuning options are ignored on purpose
    if (!useIPv6) setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  }
  if (rc == 0 && useConnection_) {
    int r;
    if (useIPv6) {
      sockaddr_in6 to = remote_.v6;
      to.sin6_port = htons(static_cast<uint16_t>(remotePort_));
      r = ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    } else {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_addr.s_addr = remote_.v4;
      to.sin_port = htons(static_cast<uint16_t>(remotePort_));
      r = ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    if (r != 0 && errno != EINPROGRESS && errno != EWOULDBLOCK) rc = lastSocketError();
    if (rc == 0) rc = applyQos(fd);
  }
  if (rc != 0) {
    closeSocket();
    return rc;
  }
  // Only readability is watched: a datagram socket is nearly always writable
  // and the port has no ready-to-send event, so a write watch would only spin.
  watch(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_ERR));
  return 0;
}

void UDPPort::applyOptions() {
  if (inBufferSize != 0) applyBuffer(true);
  if (outBufferSize != 0) applyBuffer(false);
  if (qosFlags_ != 0) applyTos();
  if (timeToLive_ != 0) applyTtl();
}

int UDPPort::applyBuffer(bool receive) {
  const int size = receive ? inBufferSize : outBufferSize;
  if (setsockopt(fd_, SOL_SOCKET, receive ? SO_RCVBUF : SO_SNDBUF, &size, sizeof size) != 0)
    return lastSocketError();
  return 0;
}

int UDPPort::applyTos() {
  const int tos = qosFlags_ & 0xFF;
  const int r = useIPv6 ? setsockopt(fd_, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos)
                        : setsockopt(fd_, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
  return r != 0 ? lastSocketError() : 0;
}

int UDPPort::applyTtl() {
  const int ttl = timeToLive_;
  const int r = useIPv6 ? setsockopt(fd_, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl)
                        : setsockopt(fd_, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
  return r != 0 ? lastSocketError() : 0;
}

int UDPPort::applyPacketInfo() {
  const int on = captureIPPacketInfo_ ? 1 : 0;
  const int r = useIPv6 ? setsockopt(fd_, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on)
                        : setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  return r != 0 ? lastSocketError() : 0;
}

// ---------------------------------------------------------------- deactivation

int UDPPort::deactivate() {
  clearError();
  if (fd_ < 0) {
    delivering_ = draining_ = closePending_ = false;
    return 0;
  }
  if (delivering_ || draining_) {
    // Called from a PacketIn handler: the running read still uses the socket.
    closePending_ = true;
    return 0;
  }
  return drainAndClose();
}

int UDPPort::drainAndClose() {
  draining_ = true;
  receiveLoop(true);
  draining_ = false;
  closePending_ = false;
  if (fd_ < 0) return 0;
  unwatch();
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) != 0 ? lastSocketError() : 0;
}

void UDPPort::closeSocket() {
  if (fd_ < 0) return;
  unwatch();
  ::close(fd_);
  fd_ = -1;
  closePending_ = false;
}

// ---------------------------------------------------------------- sending

int UDPPort::send(std::string_view bytes) {
  clearError();
  if (fd_ < 0) return fail(kNotActive);
  if (remotePort_ == 0) return fail(kRemotePortZero, kTextRemotePortZeroSend);
  ssize_t r;
  if (useConnection_) {
    r = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  } else if (useIPv6) {
    if (remote_.noneV6()) return kWsaAddrNotAvail;
    sockaddr_in6 to = remote_.v6;
    to.sin6_port = htons(static_cast<uint16_t>(remotePort_));
    r = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to),
                 sizeof to);
  } else {
    // Address 0 would reach this very machine on Linux; no destination is an error instead.
    if (remote_.v4 == 0) return kWsaAddrNotAvail;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = remote_.v4;
    to.sin_port = htons(static_cast<uint16_t>(remotePort_));
    r = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to),
                 sizeof to);
  }
  if (r < 0) return lastSocketError();
  return 0;
}

// ---------------------------------------------------------------- receiving

void UDPPort::onNotification(int fd, GIOCondition cond) {
  if (fd != fd_ || fd_ < 0) {
    SocketObject::onNotification(fd, cond);
    return;
  }
  if (delivering_ || draining_) return;  // a handler pumped the loop: the running read goes on
  delivering_ = true;
  receiveLoop(false);
  delivering_ = false;
  if (closePending_ && fd_ >= 0) drainAndClose();
}

int UDPPort::pumpEvents() {
  if ((!windowAlive() || pumpDataInDoEvents_) && fd_ >= 0 && !delivering_ && !draining_) {
    delivering_ = true;
    receiveLoop(false);
    delivering_ = false;
    if (closePending_ && fd_ >= 0) drainAndClose();
  }
  return doEvents();
}

ssize_t UDPPort::readOne(Datagram &d, int &err) {
  const size_t capacity = static_cast<size_t>(maxPacketSize_);
  iovec iov{buffer_.data(), capacity};
  sockaddr_storage from{};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (captureIPPacketInfo_) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
  }
  ssize_t n;
  do {
    n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    err = lastSocketError();
    return -1;
  }
  // The kernel never writes past `capacity`; a longer datagram arrives cut
  // to MaxPacketSize bytes (MSG_TRUNC set) and is delivered that way.
  const size_t len = std::min(static_cast<size_t>(n), capacity);
  buffer_[len] = '\0';
  d.bytes = std::string_view(buffer_.data(), len);

  if (captureIPPacketInfo_) {
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        destinationAddress_ = dottedText(info.ipi_addr.s_addr);
      } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
        in6_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = info.ipi6_addr;
        destinationAddress_ = numericText(a);
      }
    }
  }
  if (useConnection_) {
    // A connected socket hears only its peer.
    d.sourcePort = remotePort_;
    d.sourceAddress = remoteHostText();
  } else if (from.ss_family == AF_INET6) {
    sockaddr_in6 a;
    std::memcpy(&a, &from, sizeof a);
    d.sourceAddress = numericText(a);
    d.sourcePort = ntohs(a.sin6_port);
  } else {
    sockaddr_in a;
    std::memcpy(&a, &from, sizeof a);
    d.sourceAddress = dottedText(a.sin_addr.s_addr);
    d.sourcePort = ntohs(a.sin_port);
  }
  return static_cast<ssize_t>(len);
}

void UDPPort::receiveLoop(bool drain) {
  int budget = drain ? kDrainLimit : kBatchLimit;
  while (fd_ >= 0 && budget-- > 0) {
    if (closePending_ && !drain) {
      delivering_ = false;
      drainAndClose();
      return;
    }
    Datagram d;
    int err = 0;
    const ssize_t n = readOne(d, err);
    if (n < 0) {
      if (err == kWsaWouldBlock || err == kWsaNotSocket || err == kWsaBadFile) return;
      // A refused earlier datagram (ICMP port unreachable) shows up as a read error.
      if (err == kWsaConnReset || err == kWsaConnRefused) {
        if (sink()) sink()->fireError(kWsaConnReset, kTextUnreachable);
      } else if (sink()) {
        sink()->fireError(err, kTextRecvFailed);
      }
      return;
    }
    // An empty datagram gives no event; the ones behind it are still read.
    if (n == 0) continue;
    if (!onDatagram) continue;
    if (onDatagram(d) != 0) return;
  }
}

// ---------------------------------------------------------------- properties

std::string UDPPort::localHostText() {
  if (fd_ >= 0) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
      if (a.ss_family == AF_INET6) {
        sockaddr_in6 a6;
        std::memcpy(&a6, &a, sizeof a6);
        return numericText(a6);
      }
      sockaddr_in a4;
      std::memcpy(&a4, &a, sizeof a4);
      return dottedText(a4.sin_addr.s_addr);
    }
  }
  if (useIPv6 && !localAddress.noneV6()) return numericText(localAddress.v6);
  if (!useIPv6 && localAddress.v4 != 0) return dottedText(localAddress.v4);
  std::string name;
  hostName(name);
  return name;
}

int UDPPort::setLocalHost(const std::string &text) {
  clearError();
  if (fd_ >= 0) return fail(kLocalHostWhileActive);
  return resolveLocal(text, useIPv6, localAddress);
}

int UDPPort::localPort() const {
  if (fd_ >= 0) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
      if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port);
      return ntohs(reinterpret_cast<sockaddr_in *>(&a)->sin_port);
    }
  }
  return localPort_;
}

int UDPPort::setLocalPort(int port) {
  clearError();
  if (fd_ >= 0) return fail(kLocalPortWhileActive);
  localPort_ = port;
  return 0;
}

std::string UDPPort::remoteHostText() const {
  if (useIPv6) return remote_.noneV6() ? std::string() : numericText(remote_.v6);
  return remote_.v4 == 0 ? std::string() : dottedText(remote_.v4);
}

int UDPPort::setRemoteHost(const std::string &text) {
  clearError();
  if (fd_ >= 0 && useConnection_) return fail(kRemoteHostWhileConnected);
  return resolveRemote(text, useIPv6, true, remote_);
}

int UDPPort::setRemotePort(int port) {
  clearError();
  if (fd_ >= 0 && useConnection_) return fail(kRemotePortWhileConnected);
  remotePort_ = port;
  return 0;
}

// ---------------------------------------------------------------- settings

ConfigResult UDPPort::boolSetting(const ParsedSetting &s, bool &field, std::string &answer,
                                  bool numericAnswer) {
  if (s.query) {
    answer = numericAnswer ? (field ? "1" : "0") : boolText(field);
    return 0;
  }
  field = readBool(s.value);
  return 0;
}

ConfigResult UDPPort::configKind(const ParsedSetting &s, std::string &answer) {
  const auto intAnswer = [&answer](int v) {
    answer = std::to_string(v);
    return ConfigResult(0);
  };

  if (sameName(s.name, "UseConnection")) {
    if (!s.query && fd_ >= 0) return fail(kUseConnectionWhileActive);
    return boolSetting(s, useConnection_, answer);
  }
  if (sameName(s.name, "ShareLocalPort")) return boolSetting(s, shareLocalPort_, answer);
  if (sameName(s.name, "PumpDataInDoEvents")) return boolSetting(s, pumpDataInDoEvents_, answer);
  if (sameName(s.name, "CaptureIPPacketInfo")) {
    ConfigResult r = boolSetting(s, captureIPPacketInfo_, answer, true);
    if (!s.query && fd_ >= 0) applyPacketInfo();
    return r;
  }
  if (sameName(s.name, "MaxPacketSize")) {
    if (s.query) return intAnswer(maxPacketSize_);
    if (fd_ >= 0) return fail(kMaxPacketSizeWhileActive);
    maxPacketSize_ = std::clamp(readInt(s.value), 0, kLargestMaxPacketSize);
    return 0;
  }
  if (sameName(s.name, "QOSFlags")) {
    if (s.query) {
      if (fd_ >= 0) {
        int tos = 0;
        socklen_t len = sizeof tos;
        const int r = useIPv6 ? getsockopt(fd_, IPPROTO_IPV6, IPV6_TCLASS, &tos, &len)
                              : getsockopt(fd_, IPPROTO_IP, IP_TOS, &tos, &len);
        if (r == 0) return intAnswer(tos);
      }
      return intAnswer(qosFlags_);
    }
    qosFlags_ = readInt(s.value);
    if (fd_ >= 0) return applyTos();
    return 0;
  }
  if (sameName(s.name, "SocketHandle")) {
    if (!s.query) return std::nullopt;  // query only: an assignment falls through
    return intAnswer(fd_);
  }
  if (sameName(s.name, "InBufferSize") || sameName(s.name, "OutBufferSize")) {
    const bool in = sameName(s.name, "InBufferSize");
    int &field = in ? inBufferSize : outBufferSize;
    if (s.query) return intAnswer(field);
    field = readInt(s.value);
    if (fd_ >= 0 && field != 0) return applyBuffer(in);
    return 0;
  }
  if (sameName(s.name, "TimeToLive") || sameName(s.name, "TTL")) {
    if (s.query) return intAnswer(timeToLive_);
    timeToLive_ = readInt(s.value);
    if (fd_ >= 0 && timeToLive_ != 0) return applyTtl();
    return 0;
  }
  if (sameName(s.name, "DestinationAddress")) {
    if (!s.query) return std::nullopt;
    answer = destinationAddress_;
    return 0;
  }
  if (sameName(s.name, "LocalHost")) {
    if (s.query) {
      answer = localHostText();
      return 0;
    }
    return setLocalHost(s.value);
  }
  if (sameName(s.name, "LocalPort")) {
    if (s.query) return intAnswer(localPort());
    return setLocalPort(readInt(s.value));
  }
  return std::nullopt;
}

}  // namespace pelnet::syslog
