#include "icmp_port.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <new>

#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"
#include "ping_errors.h"

namespace pelping {
namespace {

constexpr uint32_t kMaxMessageSizeLimit = 65536;
constexpr int32_t kDefaultBufferSize = 2048;
constexpr uint8_t kHelperDefaultTtl = 255;

int lastWinsock() { return pelnet::winsockFromErrno(errno); }

// Errors that an ICMP error message leaves on a connected raw socket.  The
// ICMP message itself follows as a datagram and is what the port reports, so
// these are read past instead of being reported as read failures.
bool isIcmpSoftError(int err) {
  static constexpr int kSoft[] = {ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, EHOSTDOWN,
                                  ENONET,       EPROTO,       ENOPROTOOPT, EMSGSIZE,
                                  EACCES,       ECONNRESET,   ETIMEDOUT};
  return std::find(std::begin(kSoft), std::end(kSoft), err) != std::end(kSoft);
}

sockaddr_in ipv4Address(uint32_t addr) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  return sa;
}

}  // namespace

ICMPPort::ICMPPort() {
  setErrorTable(kPingErrors);
  inBufferSize = kDefaultBufferSize;
  outBufferSize = kDefaultBufferSize;
  buffer_.resize(maxMessageSize_ + 4);
}

ICMPPort::~ICMPPort() { closeQuietly(); }

// Destruction closes everything without reading or reporting anything.
void ICMPPort::closeQuietly() {
  if (rawFd_ >= 0) {
    unwatch();
    ::close(rawFd_);
    rawFd_ = -1;
  }
  if (helperFd_ >= 0) {
    ::close(helperFd_);
    helperFd_ = -1;
  }
}

// ---------------------------------------------------------------- open / close

int ICMPPort::open() {
  if (helperSelected()) return openHelper();
  return openRaw();
}

int ICMPPort::close() {
  closeHelper();
  if (rawFd_ >= 0) return closeRaw();
  return 0;
}

int ICMPPort::openHelper() {
  if (useIPv6) return fail(kIPv6WithHelper);
  if (helperFd_ >= 0) return 0;
  // Unprivileged ICMP datagram socket first; the kernel owns its echo identifier.
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) {
    int on = 1;
    ::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    if (localAddress.v4 != 0) {
      sockaddr_in local = ipv4Address(localAddress.v4);
      ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    }
    // The kernel chooses the echo identifier and delivers only replies and
    // errors that carry it, so matching here needs no identifier.
    helperIdentifier_ = 0;
    helperIsRaw_ = false;
  } else {
    // Ping sockets are not allowed for this user's group: a raw socket does
    // the same exchange when the process may open one.
    fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) return fail(kNoIcmpHandle);
    // Only echo replies and the two errors that can answer an echo request.
    icmp_filter filter{};
    filter.data = ~((1u << kIcmpEchoReply) | (1u << kIcmpUnreachable) | (1u << kIcmpTimeExceeded));
    ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    helperIdentifier_ =
        static_cast<uint16_t>((static_cast<uint32_t>(::getpid()) ^
                               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this) >> 4)) &
                              0xFFFF);
    helperIsRaw_ = true;
  }
  helperFd_ = fd;
  return 0;
}

void ICMPPort::closeHelper() {
  if (helperFd_ < 0) return;
  ::close(helperFd_);
  helperFd_ = -1;
}

int ICMPPort::openRaw() {
  if (rawFd_ >= 0) return fail(kAlreadyActive);
  closePending_ = false;
  std::fill(buffer_.begin(), buffer_.end(), 0);
  const int family = useIPv6 ? AF_INET6 : AF_INET;
  int fd = ::socket(family, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    useIPv6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP));
  if (fd < 0) return lastWinsock();

  // Bind and options: failures are ignored, as the port works without them.
  if (useIPv6) {
    sockaddr_in6 local = localAddress.v6;
    local.sin6_family = AF_INET6;
    local.sin6_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
  } else {
    sockaddr_in local = ipv4Address(localAddress.v4);
    ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
  }
  if (inBufferSize > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &inBufferSize, sizeof inBufferSize);
  if (outBufferSize > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &outBufferSize, sizeof outBufferSize);
  if (useIPv6) {
    if (timeToLive) ::setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &timeToLive, sizeof(int));
    if (multicastTtl)
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &multicastTtl, sizeof(int));
  } else {
    if (timeToLive) ::setsockopt(fd, IPPROTO_IP, IP_TTL, &timeToLive, sizeof(int));
    if (multicastTtl) ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &multicastTtl, sizeof(int));
    if (qosFlags) ::setsockopt(fd, IPPROTO_IP, IP_TOS, &qosFlags, sizeof(int));
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (dontFragment) {
      int pmtu = IP_PMTUDISC_DO;
      ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &pmtu, sizeof pmtu);
    }
  }

  if (useConnection) {
    int rc;
    if (useIPv6) {
      sockaddr_in6 peer = remote_.v6;
      peer.sin6_port = 0;
      rc = ::connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
    } else {
      sockaddr_in peer = ipv4Address(remote_.v4);
      rc = ::connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
    }
    if (rc != 0 && errno != EINPROGRESS && errno != EAGAIN) {
      int code = lastWinsock();
      ::close(fd);
      return code;
    }
  }
  rawFd_ = fd;
  watch(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP));
  if (!windowAlive()) {
    unwatch();
    ::close(fd);
    rawFd_ = -1;
    return pelnet::kWsaNotInitialised;
  }
  // Linux has no receive-all mode on raw sockets; the socket stays open, as
  // it does when the mode is refused elsewhere.
  if (receiveAllMode >= 0) return pelnet::kWsaOpNotSupported;
  return 0;
}

int ICMPPort::closeRaw() {
  if (reading_) {
    closePending_ = true;
    return 0;
  }
  // Deliver what is still waiting; a close asked for by an answer meanwhile is this one.
  reading_ = true;
  readRaw(false);
  reading_ = false;
  closePending_ = false;
  if (rawFd_ < 0) return 0;
  unwatch();
  int rc = ::close(rawFd_);
  rawFd_ = -1;
  return rc == 0 ? 0 : lastWinsock();
}

// ---------------------------------------------------------------- sending

int ICMPPort::sendBody(std::string_view body) {
  clearError();
  if (remoteNone()) return fail(kNoRemoteAddress);
  if (!isOpen()) return fail(kMustBeActive);
  if (body.size() > maxMessageSize_) return fail(kMessageTooLong);
  if (helperSelected()) return sendHelper(body);
  return sendRaw(body);
}

int ICMPPort::sendRaw(std::string_view body) {
  // IPv6: the kernel computes the ICMPv6 checksum with its pseudo-header on raw sockets.
  std::string msg = buildMessage(messageType, messageCode, body);
  ssize_t n;
  if (useConnection) {
    n = ::send(rawFd_, msg.data(), msg.size(), MSG_NOSIGNAL);
    if (n >= 0) rearmOnTraffic();
  } else if (useIPv6) {
    sockaddr_in6 peer = remote_.v6;
    peer.sin6_port = 0;
    n = ::sendto(rawFd_, msg.data(), msg.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&peer),
                 sizeof peer);
  } else {
    sockaddr_in peer = ipv4Address(remote_.v4);
    n = ::sendto(rawFd_, msg.data(), msg.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&peer),
                 sizeof peer);
  }
  return n < 0 ? lastWinsock() : 0;
}

int ICMPPort::sendHelper(std::string_view body) {
  rearmOnTraffic();
  EchoKey key;
  key.identifier = helperIdentifier_;
  key.checkIdentifier = helperIsRaw_;
  key.sequence = ++helperSequence_;
  ByteReader bodyReader(body);
  key.tag = bodyReader.host32(0).value_or(0);

  // Echo header + the body as echo data.  On a ping socket the kernel writes
  // the identifier and checksum itself.
  const char echoHeader[4] = {
      static_cast<char>(key.identifier >> 8), static_cast<char>(key.identifier & 0xFF),
      static_cast<char>(key.sequence >> 8), static_cast<char>(key.sequence & 0xFF)};
  std::string &msg = request_;
  buildMessageInto(msg, kIcmpEchoRequest, 0, std::string_view(echoHeader, sizeof echoHeader), body);

  // The call's options travel with the request: time-to-live (255 when not
  // set) and the message type byte as type-of-service, as the helper library
  // takes them.
  const int ttl = timeToLive ? timeToLive : kHelperDefaultTtl;
  const int tos = messageType;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int)) * 2] = {};
  sockaddr_in peer = ipv4Address(remote_.v4);
  iovec iov{msg.data(), msg.size()};
  msghdr mh{};
  mh.msg_name = &peer;
  mh.msg_namelen = sizeof peer;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  cmsghdr *c = CMSG_FIRSTHDR(&mh);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_TTL;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &ttl, sizeof ttl);
  c = CMSG_NXTHDR(&mh, c);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_TOS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &tos, sizeof tos);
  if (remoteBroadcast()) {
    int on = 1;
    ::setsockopt(helperFd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  }
  if (::sendmsg(helperFd_, &mh, MSG_NOSIGNAL) < 0) return lastWinsock();

  EchoAnswer answer;
  std::string source;
  int rc = awaitHelperAnswer(key, answer, source);
  if (rc != 0) return rc;
  if (source.empty()) return 0;  // no reply within the time-out: the waiting caller times out

  rearmOnTraffic();
  if (handler_) handler_->onAnswer(answer.type, answer.code, ByteReader(answer.data), source);
  return 0;
}

int ICMPPort::awaitHelperAnswer(const EchoKey &key, EchoAnswer &answer, std::string &source) {
  const uint64_t start = pelnet::hiresCounter();
  const uint64_t limit = static_cast<uint64_t>(timeoutMs) * pelnet::kHiresTicksPerMs;
  // On loopback the answer is often queued before sendmsg returns: look once
  // before paying for a poll.
  int err = 0;
  if (readHelperDatagrams(key, answer, source, err)) return 0;
  if (err) return err;
  for (;;) {
    uint64_t elapsed = pelnet::hiresCounter() - start;
    uint64_t leftMs = elapsed >= limit ? 0
                                       : (limit - elapsed + pelnet::kHiresTicksPerMs - 1) /
                                             pelnet::kHiresTicksPerMs;
    pollfd pfd{helperFd_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(std::min<uint64_t>(leftMs, INT_MAX)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return lastWinsock();
    }
    if (ready > 0) {
      if ((pfd.revents & POLLERR) && !helperIsRaw_ && readHelperErrorQueue(key, answer, source))
        return 0;
      if ((pfd.revents & POLLIN) && readHelperDatagrams(key, answer, source, err)) return 0;
      if (err) return err;
    }
    if (leftMs == 0) return 0;  // timed out: nothing to report
  }
}

bool ICMPPort::readHelperErrorQueue(const EchoKey &key, EchoAnswer &answer, std::string &source) {
  for (;;) {
    uint8_t quoted[576];
    alignas(cmsghdr) char control[512];
    sockaddr_in from{};
    iovec iov{quoted, sizeof quoted};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(helperFd_, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0) return false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR ||
          c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err) + sizeof(sockaddr_in)))
        continue;
      sock_extended_err ee;
      std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
      if (ee.ee_origin != SO_EE_ORIGIN_ICMP) continue;
      sockaddr_in offender;
      std::memcpy(&offender, CMSG_DATA(c) + sizeof ee, sizeof offender);
      auto a = answerFromQueuedError(ee.ee_type, ee.ee_code,
                                     ByteReader(quoted, static_cast<size_t>(n)), key);
      if (!a) continue;
      answer = std::move(*a);
      source = sourceText(offender.sin_family == AF_INET ? offender.sin_addr.s_addr
                                                         : from.sin_addr.s_addr);
      return true;
    }
  }
}

bool ICMPPort::readHelperDatagrams(const EchoKey &key, EchoAnswer &answer, std::string &source,
                                   int &err) {
  // Room for the echo of the largest body plus IP and ICMP headers.
  const size_t need = maxMessageSize_ + 4 + 60 + kIcmpHeaderSize;
  if (buffer_.size() < need) buffer_.resize(need);
  for (;;) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(helperFd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr *>(&from), &fromLen);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
      // An ICMP error pending on the socket; its details are in the error queue.
      if (isIcmpSoftError(errno)) {
        if (!helperIsRaw_ && readHelperErrorQueue(key, answer, source)) return true;
        continue;
      }
      err = lastWinsock();
      return false;
    }
    ByteReader datagram(buffer_.data(), static_cast<size_t>(n));
    auto a = helperIsRaw_ ? matchRawDatagram(datagram, key) : matchEchoReply(datagram, key);
    if (!a) continue;
    answer = std::move(*a);
    source = sourceText(from.sin_addr.s_addr);
    return true;
  }
}

// ---------------------------------------------------------------- reading (raw path)

void ICMPPort::onNotification(int fd, GIOCondition cond) {
  if (fd != rawFd_) {
    SocketObject::onNotification(fd, cond);
    return;
  }
  if (reading_) return;
  reading_ = true;
  readRaw(true);
  reading_ = false;
  if (closePending_) closeRaw();
}

void ICMPPort::readRaw(bool fromNotification) {
  while (rawFd_ >= 0) {
    if (closePending_ && fromNotification) return;  // the caller closes once the read ends
    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = useConnection ? ::recv(rawFd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT)
                              : ::recvfrom(rawFd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr *>(&from), &fromLen);
    if (n == 0) return;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTSOCK || errno == EBADF) return;
      if (errno == EINTR || isIcmpSoftError(errno)) continue;
      if (sink()) sink()->fireError(lastWinsock(), pelnet::kTextRecvFailed);
      return;
    }
    std::string source;
    if (useConnection) {
      source = remoteText();
    } else if (useIPv6) {
      source = pelnet::numericText(*reinterpret_cast<sockaddr_in6 *>(&from));
    } else {
      source = sourceText(reinterpret_cast<sockaddr_in *>(&from)->sin_addr.s_addr);
    }
    if (!deliverDatagram(ByteReader(buffer_.data(), static_cast<size_t>(n)), source)) return;
  }
}

bool ICMPPort::deliverDatagram(ByteReader datagram, const std::string &source) {
  ByteReader icmp = useIPv6 ? datagram : stripIPv4Header(datagram);
  if (icmp.size() < 4) {
    if (sink()) sink()->fireError(kMessageTooShort, errorText(kMessageTooShort));
    return false;
  }
  // The checksum is checked as the protocol asks, but a wrong one does not
  // discard the answer (loopback and offloading NICs deliver unchecked sums).
  [[maybe_unused]] bool checksumOk =
      useIPv6 || internetChecksum(icmp.view().data(), icmp.size()) == 0;
  rearmOnTraffic();
  // Copy: the handler may close the socket or start another read into the buffer.
  std::string data(icmp.from(4).view());
  const uint8_t type = *icmp.u8(0), code = *icmp.u8(1);
  if (handler_) handler_->onAnswer(type, code, ByteReader(data), source);
  return true;
}

// ---------------------------------------------------------------- addresses

int ICMPPort::setRemote(const std::string &text) {
  // A check run pings the same address text over and over; an IPv4 address
  // in text form resolves to the same address every time, and resolving it
  // touches nothing but remote_.v4, which still holds that address.
  if (!useIPv6 && numericRemoteValid_ && text == numericRemote_) return 0;
  numericRemoteValid_ = false;
  int rc = pelnet::resolveRemote(text, useIPv6, true, remote_);
  // Only what parses as an address text without a lookup: names may resolve
  // differently next time.
  in_addr parsed{};
  if (rc == 0 && !useIPv6 && !text.empty() && ::inet_aton(text.c_str(), &parsed) != 0 &&
      parsed.s_addr == remote_.v4) {
    numericRemote_ = text;
    numericRemoteValid_ = true;
  }
  return rc;
}

const std::string &ICMPPort::sourceText(uint32_t addr) {
  if (!sourceValid_ || addr != sourceAddr_) {
    sourceText_ = pelnet::dottedText(addr);
    sourceAddr_ = addr;
    sourceValid_ = true;
  }
  return sourceText_;
}

std::string ICMPPort::remoteText() const {
  if (useIPv6) return remote_.noneV6() ? std::string() : pelnet::numericText(remote_.v6);
  return remote_.v4 == 0 ? std::string() : pelnet::dottedText(remote_.v4);
}

bool ICMPPort::remoteNone() const { return useIPv6 ? remote_.noneV6() : remote_.v4 == 0; }

bool ICMPPort::remoteBroadcast() const { return !useIPv6 && remote_.v4 == 0xFFFFFFFFu; }

int ICMPPort::setLocal(const std::string &text) {
  if (rawOpen()) return fail(kLocalHostWhileActive);
  return pelnet::resolveLocal(text, useIPv6, localAddress);
}

std::string ICMPPort::localText() {
  if (useIPv6 && !localAddress.noneV6()) return pelnet::numericText(localAddress.v6);
  if (!useIPv6 && localAddress.v4 != 0) return pelnet::dottedText(localAddress.v4);
  std::string name;
  int rc = pelnet::hostName(name);
  if (rc != 0) {
    const char *t = pelnet::winsockText(rc);
    lastErrorText = t ? t : "";
  }
  return name;
}

// ---------------------------------------------------------------- options

int ICMPPort::applyIntOption(int level, int name, int32_t value) {
  if (rawFd_ < 0) return 0;
  return ::setsockopt(rawFd_, level, name, &value, sizeof value) == 0 ? 0 : lastWinsock();
}

int ICMPPort::setTimeToLive(int32_t v) {
  timeToLive = v;
  if (v == 0) return 0;  // the system's value
  return useIPv6 ? applyIntOption(IPPROTO_IPV6, IPV6_UNICAST_HOPS, v)
                 : applyIntOption(IPPROTO_IP, IP_TTL, v);
}

int32_t ICMPPort::currentTimeToLive() const {
  if (rawFd_ < 0) return timeToLive;
  int v = 0;
  socklen_t len = sizeof v;
  int rc = useIPv6 ? ::getsockopt(rawFd_, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &v, &len)
                   : ::getsockopt(rawFd_, IPPROTO_IP, IP_TTL, &v, &len);
  return rc == 0 ? v : 0;
}

int ICMPPort::setMulticastTtl(int32_t v) {
  multicastTtl = v;
  if (v == 0) return 0;
  return useIPv6 ? applyIntOption(IPPROTO_IPV6, IPV6_MULTICAST_HOPS, v)
                 : applyIntOption(IPPROTO_IP, IP_MULTICAST_TTL, v);
}

int32_t ICMPPort::currentMulticastTtl() const {
  if (rawFd_ < 0) return multicastTtl;
  int v = 0;
  socklen_t len = sizeof v;
  int rc = useIPv6 ? ::getsockopt(rawFd_, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &v, &len)
                   : ::getsockopt(rawFd_, IPPROTO_IP, IP_MULTICAST_TTL, &v, &len);
  if (rc != 0) return 0;
  // IP_MULTICAST_TTL may be read back as a single byte.
  return len == 1 ? static_cast<uint8_t>(v) : v;
}

int ICMPPort::setMaxMessageSize(int32_t v) {
  if (rawOpen()) return fail(kMaxSizeWhileActive);
  // Negative sizes would wrap the buffer size; none is meaningful below 0.
  uint32_t size = v < 0 ? 0 : std::min<uint32_t>(static_cast<uint32_t>(v), kMaxMessageSizeLimit);
  try {
    buffer_.assign(size + 4, 0);
  } catch (const std::bad_alloc &) {
    return pelnet::kOutOfMemory;
  }
  maxMessageSize_ = size;
  return 0;
}

int ICMPPort::applyBufferSize(int name, int32_t value) {
  if (rawFd_ < 0 || value <= 0) return 0;
  return applyIntOption(SOL_SOCKET, name, value);
}

// ---------------------------------------------------------------- settings

pelnet::ConfigResult ICMPPort::configKind(const pelnet::ParsedSetting &s, std::string &answer) {
  using pelnet::boolText;
  using pelnet::readBool;
  using pelnet::readInt;
  using pelnet::sameName;
  const std::string &n = s.name;

  if (sameName(n, "UseConnection")) {
    if (s.query) {
      answer = boolText(useConnection);
      return 0;
    }
    if (isOpen()) return fail(kUseConnectionWhileActive);
    useConnection = readBool(s.value);
    return 0;
  }
  if (sameName(n, "MaxMessageSize")) {
    if (s.query) {
      answer = std::to_string(maxMessageSize_);
      return 0;
    }
    return setMaxMessageSize(readInt(s.value));
  }
  if (sameName(n, "InBufferSize") || sameName(n, "OutBufferSize")) {
    const bool in = sameName(n, "InBufferSize");
    int &field = in ? inBufferSize : outBufferSize;
    if (s.query) {
      answer = std::to_string(field);
      return 0;
    }
    field = readInt(s.value);
    return applyBufferSize(in ? SO_RCVBUF : SO_SNDBUF, field);
  }
  if (sameName(n, "QOSFlags")) {
    if (s.query) {
      int v = qosFlags;
      if (rawFd_ >= 0 && !useIPv6) {
        socklen_t len = sizeof v;
        if (::getsockopt(rawFd_, IPPROTO_IP, IP_TOS, &v, &len) != 0) v = 0;
      }
      answer = std::to_string(v);
      return 0;
    }
    qosFlags = readInt(s.value);
    return useIPv6 ? 0 : applyIntOption(IPPROTO_IP, IP_TOS, qosFlags);
  }
  if (sameName(n, "DontFragment")) {
    if (s.query) {
      answer = boolText(dontFragment);
      return 0;
    }
    dontFragment = readBool(s.value);
    return 0;
  }
  if (sameName(n, "MulticastTTL")) {
    if (s.query) {
      answer = std::to_string(currentMulticastTtl());
      return 0;
    }
    return setMulticastTtl(readInt(s.value));
  }
  if (sameName(n, "ReceiveAllMode")) {
    if (s.query) {
      answer = std::to_string(receiveAllMode);
      return 0;
    }
    receiveAllMode = readInt(s.value);
    return 0;
  }
  if (sameName(n, "SocketHandle") && s.query) {
    answer = std::to_string(rawFd_);
    return 0;
  }
  return std::nullopt;
}

}  // namespace pelping
