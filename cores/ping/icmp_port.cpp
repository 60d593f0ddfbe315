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
constexpr uint8_t kHelperNegativeTtl = 128;
// One notification (or one look after a send) reads at most this many
// datagrams or queued errors; the level-triggered watch fires again while
// more are waiting, so a flood cannot starve the owning thread's loop.
constexpr int kBatchLimit = 256;
// A close delivers what is already waiting, but a sender that never stops
// must not keep it from returning.
constexpr int kDrainLimit = 4096;

// One entry of an IPv4 ping socket's error queue: the request the error
// quotes and the ICMP error the kernel attached to it.
struct QueuedIPv4Error {
  uint8_t quoted[576];
  size_t length = 0;
  bool icmp = false;  // false for an entry that carries no ICMP error
  uint8_t type = 0;
  uint8_t code = 0;
  uint32_t source = 0;  // the sender of the error, network order
};

// Takes one entry off fd's error queue; false when the queue is empty.
bool readQueuedIPv4Error(int fd, QueuedIPv4Error &e) {
  alignas(cmsghdr) char control[512];
  sockaddr_in from{};
  iovec iov{e.quoted, sizeof e.quoted};
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (n < 0) return false;
  e.length = static_cast<size_t>(n);
  e.icmp = false;
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR ||
        c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err) + sizeof(sockaddr_in)))
      continue;
    sock_extended_err ee;
    std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
    if (ee.ee_origin != SO_EE_ORIGIN_ICMP) continue;
    sockaddr_in offender;
    std::memcpy(&offender, CMSG_DATA(c) + sizeof ee, sizeof offender);
    e.icmp = true;
    e.type = ee.ee_type;
    e.code = ee.ee_code;
    e.source = offender.sin_family == AF_INET ? offender.sin_addr.s_addr : from.sin_addr.s_addr;
    return true;
  }
  return true;
}
// Largest IPv4 header (with options) in front of a raw socket's message.
constexpr size_t kMaxIPv4Header = 60;
// Room per queued datagram beyond its bytes (the kernel charges its
// bookkeeping against the receive buffer).
constexpr int32_t kPerDatagramOverhead = 1024;
// Datagrams of the largest message the raw socket must be able to hold at
// once: on loopback it sees our own request beside the answer.
constexpr int32_t kQueuedMessages = 4;
constexpr int32_t kNotWaitingReceiveBuffer = 1 << 20;

using pelnet::PortState;
using pelnet::SocketOption;

int lastWinsock() { return pelnet::winsockFromErrno(errno); }

// The errors of socket() that mean a kind of ICMP socket is not permitted to
// this user or not supported here, as opposed to a lack of resources.
bool notPermitted(int err) {
  return err == EACCES || err == EPERM || err == EPROTONOSUPPORT || err == EAFNOSUPPORT;
}

// Errors that an ICMP error message leaves on a connected raw socket.  The
// ICMP message itself follows as a datagram and is what the port reports, so
// these are read past instead of being reported as read failures.
bool isIcmpSoftError(int err) {
  static constexpr int kSoft[] = {ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, EHOSTDOWN,
                                  ENONET,       EPROTO,       ENOPROTOOPT, EMSGSIZE,
                                  EACCES,       ECONNRESET,   ETIMEDOUT};
  return std::find(std::begin(kSoft), std::end(kSoft), err) != std::end(kSoft);
}

// Send failures that concern the destination or the message, not the
// socket: a kept helper socket stays as it is after them.
bool isDestinationError(int err) {
  return isIcmpSoftError(err) || err == EPERM || err == EINVAL || err == EADDRNOTAVAIL ||
         err == EAFNOSUPPORT;
}

bool sameAddress(const pelnet::HostAddress &a, const pelnet::HostAddress &b) {
  return a.v4 == b.v4 &&
         std::memcmp(&a.v6.sin6_addr, &b.v6.sin6_addr, sizeof a.v6.sin6_addr) == 0 &&
         a.v6.sin6_scope_id == b.v6.sin6_scope_id;
}

}  // namespace

ICMPPort::ICMPPort() {
  setErrorTable(kPingErrors);
  inBufferSize = kDefaultBufferSize;
  outBufferSize = kDefaultBufferSize;
  buffer_.resize(maxMessageSize_ + 4);
}

ICMPPort::~ICMPPort() { closeQuietly(); }

// Destruction closes without reading or reporting anything; also the helper
// socket kept between exchanges.
void ICMPPort::closeQuietly() {
  if (fd_ < 0) return;
  if (path_ == Path::Raw || watchedFd() == fd_) unwatch();
  ::close(fd_);
  fd_ = -1;
  life_.set(PortState::Closed);
}

int ICMPPort::setUseConnection(bool on) {
  if (isOpen()) return fail(kUseConnectionWhileActive);
  useConnection_ = on;
  return 0;
}

// ---------------------------------------------------------------- open / close

bool ICMPPort::isOpen() const { return life_.open() && (path_ == Path::Raw || helperSelected()); }

int ICMPPort::open(bool reuseKept) {
  if (helperSelected()) return openHelper(reuseKept);
  return openRaw();
}

int ICMPPort::close() {
  if (helperOpen()) {
    // The helper's exchange is synchronous: nothing is waiting to be read.
    // The socket is kept for the next exchange; the port is closed.  Answers
    // that come after a request not waited for are left to the next
    // exchange, which discards them: the watch of that mode goes.
    if (watchedFd() == fd_) unwatch();
    life_.set(PortState::Closed);
    return 0;
  }
  return life_.close([this] { readWaiting(); }, [this] { return closeNow(); });
}

int ICMPPort::closeNow() {
  if (fd_ < 0) return 0;
  unwatch();
  int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0 ? 0 : lastWinsock();
}

bool ICMPPort::keptSocketFits() const {
  return fd_ >= 0 && path_ != Path::Raw && keptIPv6_ == useIPv6 &&
         sameAddress(keptLocal_, localAddress);
}

int ICMPPort::openHelper(bool reuseKept) {
  // An open socket is kept; an exchange needs nothing more.
  if (life_.open() && keptSocketFits()) return 0;
  // A socket kept from an earlier exchange serves when it was opened with
  // the settings in force now; otherwise it gives way to a new one.
  if (reuseKept && keptSocketFits()) {
    life_.set(PortState::Open);
    return 0;
  }
  closeQuietly();
  if (useIPv6) return fail(kIPv6WithHelper);
  int rc = createHelperSocket();
  if (rc != 0) return rc;
  life_.set(PortState::Open);
  return 0;
}

int ICMPPort::createHelperSocket() {
  // Unprivileged ICMP datagram socket first; the kernel owns its echo identifier.
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) {
    pelnet::setSocketOption(fd, false, SocketOption::ReceiveErrors, 1);
    if (localAddress.v4 != 0) {
      const pelnet::SocketAddress local = pelnet::socketAddress(localAddress, false);
      ::bind(fd, local.get(), local.length);
    }
    // The kernel chooses the echo identifier and delivers only replies and
    // errors that carry it, so matching here needs no identifier.
    helperIdentifier_ = 0;
    path_ = Path::PingSocket;
  } else {
    // Only a refusal of ping sockets (not allowed for this user's group, or
    // not built into the kernel) is worth a raw socket; a lack of descriptors
    // or memory would fail there too and is reported as it is.  "No ICMP
    // handle" means neither kind is permitted.
    if (!notPermitted(errno)) return lastWinsock();
    fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0 && !notPermitted(errno)) return lastWinsock();
    if (fd < 0) return fail(kNoIcmpHandle);
    // Only echo replies and the two errors that can answer an echo request.
    icmp_filter filter{};
    filter.data = ~((1u << kIcmpEchoReply) | (1u << kIcmpUnreachable) | (1u << kIcmpTimeExceeded));
    ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    helperIdentifier_ =
        static_cast<uint16_t>((static_cast<uint32_t>(::getpid()) ^
                               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this) >> 4)) &
                              0xFFFF);
    path_ = Path::HelperRaw;
  }
  fd_ = fd;
  keptLocal_ = localAddress;
  keptIPv6_ = useIPv6;
  helperFresh_ = true;
  return 0;
}

int ICMPPort::openRaw() {
  if (life_.open() && (path_ == Path::Raw || helperSelected())) return fail(kAlreadyActive);
  // A helper socket left open or kept after its setting was switched off gives way.
  closeQuietly();
  std::fill(buffer_.begin(), buffer_.end(), 0);
  rawOnPingSocket_ = false;
  int fd = ::socket(pelnet::addressFamily(useIPv6), SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    useIPv6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP));
  if (fd < 0 && useIPv6 && notPermitted(errno)) {
    // IPv6 has no helper path, so without CAP_NET_RAW an ICMPv6 ping socket
    // (allowed by ping_group_range) does the raw socket's work.  When that is
    // refused too, the raw socket's refusal is what the caller hears.
    const int rawErrno = errno;
    fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (fd >= 0) {
      rawOnPingSocket_ = true;
      sentCount_ = 0;
      // ICMPv6 errors that answer a request wait in the error queue, with the request quoted.
      const int on = 1;
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    } else {
      errno = rawErrno;
    }
  }
  if (fd < 0) return lastWinsock();
  fd_ = fd;
  path_ = Path::Raw;
  life_.set(PortState::Opening);

  // Bind and options: failures are ignored, as the port works without them.
  const pelnet::SocketAddress local = pelnet::socketAddress(localAddress, useIPv6);
  ::bind(fd, local.get(), local.length);
  // The receive buffer must hold the largest message the port takes; an
  // unset InBufferSize leaves the system's size where that suffices.
  int systemSize = 0;
  const int32_t receiveSize = rawReceiveBuffer();
  if (inBufferSize > 0 ||
      pelnet::getSocketOption(fd, useIPv6, SocketOption::ReceiveBuffer, systemSize) != 0 ||
      systemSize < receiveSize)
    applyOption(SocketOption::ReceiveBuffer, receiveSize);
  if (outBufferSize > 0) applyOption(SocketOption::SendBuffer, outBufferSize);
  if (timeToLive_) applyOption(SocketOption::TimeToLive, timeToLive_);
  if (multicastTtl_) applyOption(SocketOption::MulticastTtl, multicastTtl_);
  if (!useIPv6) {
    if (qosFlags_) applyOption(SocketOption::TypeOfService, qosFlags_);
    applyOption(SocketOption::Broadcast, 1);
    if (dontFragment_) applyOption(SocketOption::DontFragment, 1);
  }

  if (useConnection_) {
    const pelnet::SocketAddress peer = pelnet::socketAddress(remote_, useIPv6);
    if (::connect(fd, peer.get(), peer.length) != 0 && errno != EINPROGRESS && errno != EAGAIN) {
      int code = lastWinsock();
      closeQuietly();
      return code;
    }
  }
  watch(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP));
  if (!windowAlive()) {
    closeQuietly();
    return pelnet::kWsaNotInitialised;
  }
  life_.set(PortState::Open);
  // Linux has no receive-all mode on raw sockets; the socket stays open, as
  // it does when the mode is refused elsewhere.
  if (receiveAllMode_ >= 0) return pelnet::kWsaOpNotSupported;
  return 0;
}

int32_t ICMPPort::rawReceiveBuffer() const {
  const int64_t perMessage = int64_t{maxMessageSize_} + 4 + kMaxIPv4Header + kPerDatagramOverhead;
  const int64_t need = std::min<int64_t>(perMessage * kQueuedMessages, INT32_MAX);
  return static_cast<int32_t>(std::max<int64_t>(inBufferSize, need));
}

// ---------------------------------------------------------------- sending

int ICMPPort::send(std::string_view body) {
  clearError();
  if (remoteNone()) return fail(kNoRemoteAddress);
  if (!isOpen()) return fail(kMustBeActive);
  if (body.size() > maxMessageSize_) return fail(kMessageTooLong);
  if (path_ != Path::Raw) return sendHelper(body);
  return sendRaw(body);
}

int ICMPPort::sendRaw(std::string_view body) {
  // IPv6: the kernel computes the ICMPv6 checksum with its pseudo-header on raw sockets.
  // The message code is always 0: echo requests and wake-up packets have no other.
  std::string msg = buildMessage(messageType_, 0, body);
  if (rawOnPingSocket_) rememberPingSocketRequest(msg);
  ssize_t n;
  if (useConnection_) {
    n = ::send(fd_, msg.data(), msg.size(), MSG_NOSIGNAL);
    if (n >= 0) rearmOnTraffic();
  } else {
    const pelnet::SocketAddress peer = pelnet::socketAddress(remote_, useIPv6);
    n = ::sendto(fd_, msg.data(), msg.size(), MSG_NOSIGNAL, peer.get(), peer.length);
  }
  return n < 0 ? lastWinsock() : 0;
}

int ICMPPort::sendHelper(std::string_view body) {
  rearmOnTraffic();
  const bool helperIsRaw = path_ == Path::HelperRaw;
  EchoKey key;
  key.identifier = helperIdentifier_;
  key.checkIdentifier = helperIsRaw;
  // The sequence tells this request from every earlier one on a kept socket,
  // also when the echo data is too short to carry the whole request id.
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

  int err = sendHelperRequest(msg);
  if (err != 0 && timeoutMs == 0 && isDestinationError(err) && helperOpen()) {
    // Not waiting, an ICMP error for an earlier request may still be pending
    // on the socket, and it fails the next send: what is queued is reported,
    // and the request sent once more (a failure of its own comes back).
    readHelperAnswers();
    err = sendHelperRequest(msg);
  }
  if (err != 0 && !isDestinationError(err)) {
    // The socket itself failed.  A kept one is replaced and the request sent
    // once more on the new one; a fresh one is not tried again.
    const bool retry = !helperFresh_;
    ::close(fd_);
    fd_ = -1;
    if (!retry) {
      life_.set(PortState::Closed);
      return pelnet::winsockFromErrno(err);
    }
    int rc = createHelperSocket();
    if (rc != 0) {
      life_.set(PortState::Closed);
      return rc;
    }
    if (helperIsRaw != (path_ == Path::HelperRaw)) {
      // The new socket is of the other kind: its identifier rules differ.
      key.identifier = helperIdentifier_;
      key.checkIdentifier = path_ == Path::HelperRaw;
      const char header[4] = {
          static_cast<char>(key.identifier >> 8), static_cast<char>(key.identifier & 0xFF),
          static_cast<char>(key.sequence >> 8), static_cast<char>(key.sequence & 0xFF)};
      buildMessageInto(msg, kIcmpEchoRequest, 0, std::string_view(header, sizeof header), body);
    }
    err = sendHelperRequest(msg);
  }
  if (err != 0) return pelnet::winsockFromErrno(err);
  // Not waiting: many requests may be out at once on this socket, and every
  // answer is reported as the thread dispatches, matched by its request id
  // by whoever sent it.  Reading here would drop the answers to the others.
  if (timeoutMs == 0) {
    helperFresh_ = false;
    if (watchedFd() != fd_) {
      // Room for the answers of a few hundred requests that come at once;
      // the kernel keeps it within its own limit.
      pelnet::setSocketOption(fd_, false, SocketOption::ReceiveBuffer, kNotWaitingReceiveBuffer);
      watch(fd_, static_cast<GIOCondition>(G_IO_IN | G_IO_ERR));
    }
    return 0;
  }

  helperKey_ = key;
  helperAnswered_ = false;
  helperError_ = 0;
  int rc = awaitHelperAnswer();
  helperFresh_ = false;
  if (rc == 0 && helperError_ != 0) {
    // A failed read: the kept socket gives way to a new one at the next open.
    rc = helperError_;
    closeQuietly();
    return rc;
  }
  if (rc != 0 || !helperAnswered_) return rc;  // no reply within the time-out: nothing to report

  rearmOnTraffic();
  EchoAnswer answer = std::move(helperAnswer_);
  std::string source = std::move(helperSource_);
  if (handler_) handler_->onAnswer(answer.type, answer.code, ByteReader(answer.data), source);
  return 0;
}

int ICMPPort::sendHelperRequest(const std::string &msg) {
  // The call's options travel with the request: time-to-live (255 when not
  // set) and the message type byte as type-of-service, as the helper library
  // takes them.  The library takes the time-to-live as one byte, so no
  // setting may make the socket refuse every request: above 255 is 255, and
  // a negative value is the usual default.
  const int ttl = timeToLive_ == 0  ? kHelperDefaultTtl
                  : timeToLive_ < 0 ? kHelperNegativeTtl
                                    : std::min<int32_t>(timeToLive_, kHelperDefaultTtl);
  const int tos = messageType_;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int)) * 2] = {};
  pelnet::SocketAddress peer = pelnet::socketAddress(remote_, false);
  iovec iov{const_cast<char *>(msg.data()), msg.size()};
  msghdr mh{};
  mh.msg_name = peer.get();
  mh.msg_namelen = peer.length;
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
  if (remoteBroadcast()) pelnet::setSocketOption(fd_, false, SocketOption::Broadcast, 1);
  ssize_t n;
  do {
    n = ::sendmsg(fd_, &mh, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? errno : 0;
}

int ICMPPort::awaitHelperAnswer() {
  // On loopback the answer is often queued before sendmsg returns: look once
  // before waiting.  This read also discards what an earlier exchange left
  // on a kept socket (late answers, errors for earlier requests).
  readHelper(false);
  if (helperAnswered_ || helperError_ != 0 || timeoutMs == 0) return 0;

  // The helper's own time-out, measured from the send.  The wait steps keep
  // the thread's events going and end the wait early on an interrupt; the
  // caller's deadline, when one passes first, ends the wait without an
  // answer and the caller's next wait step reports it.
  const uint64_t start = pelnet::hiresCounter();
  const uint64_t limit = static_cast<uint64_t>(timeoutMs) * pelnet::kHiresTicksPerMs;
  const std::string before = lastErrorText;
  helperWaiting_ = true;
  watch(fd_, static_cast<GIOCondition>(G_IO_IN | G_IO_ERR));
  int rc = 0;
  while (!helperAnswered_ && helperError_ == 0) {
    const uint64_t elapsed = pelnet::hiresCounter() - start;
    if (elapsed >= limit) break;
    const uint64_t leftMs =
        (limit - elapsed + pelnet::kHiresTicksPerMs - 1) / pelnet::kHiresTicksPerMs;
    if (waitStep(static_cast<uint32_t>(std::min<uint64_t>(leftMs, waitMillis))) == Step::Stop) {
      // An answer read in the very step that stopped stands.
      if (!helperAnswered_ && helperError_ == 0 && lastErrorText != pelnet::kTextTimeout)
        rc = pelnet::kWaitEnded;
      break;
    }
  }
  helperWaiting_ = false;
  // fd_ is gone when a handler of a step destroyed the socket (Active := False
  // on another path); the watch went with it.
  if (fd_ >= 0 && watchedFd() == fd_) unwatch();
  if (rc == 0) lastErrorText = before;
  return rc;
}

void ICMPPort::readHelper(bool errorQueue) {
  if (fd_ < 0 || path_ == Path::Raw || helperAnswered_ || helperError_ != 0) return;
  if (errorQueue && readHelperErrorQueue(helperKey_, helperAnswer_, helperSource_)) {
    helperAnswered_ = true;
    return;
  }
  int err = 0;
  if (readHelperDatagrams(helperKey_, helperAnswer_, helperSource_, err))
    helperAnswered_ = true;
  else
    helperError_ = err;
}

bool ICMPPort::readHelperErrorQueue(const EchoKey &key, EchoAnswer &answer, std::string &source) {
  QueuedIPv4Error e;
  for (int budget = kBatchLimit; budget > 0 && readQueuedIPv4Error(fd_, e); --budget) {
    if (!e.icmp) continue;
    auto a = answerFromQueuedError(e.type, e.code, ByteReader(e.quoted, e.length), key);
    if (!a) continue;
    answer = std::move(*a);
    source = sourceText(e.source);
    return true;
  }
  return false;
}

bool ICMPPort::readHelperDatagrams(const EchoKey &key, EchoAnswer &answer, std::string &source,
                                   int &err) {
  // Room for the echo of the largest body plus IP and ICMP headers.
  const size_t need = maxMessageSize_ + 4 + 60 + kIcmpHeaderSize;
  if (buffer_.size() < need) buffer_.resize(need);
  for (int budget = kBatchLimit; budget > 0; --budget) {
    pelnet::SocketAddress from;
    ssize_t n =
        ::recvfrom(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT, from.get(), &from.length);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
      // An ICMP error pending on the socket; its details are in the error queue.
      if (isIcmpSoftError(errno)) {
        if (path_ == Path::PingSocket && readHelperErrorQueue(key, answer, source)) return true;
        continue;
      }
      err = lastWinsock();
      return false;
    }
    ByteReader datagram(buffer_.data(), static_cast<size_t>(n));
    auto a =
        path_ == Path::HelperRaw ? matchRawDatagram(datagram, key) : matchEchoReply(datagram, key);
    if (!a) continue;
    answer = std::move(*a);
    source = sourceText(from.ipv4());
    return true;
  }
  return false;
}

// ---------------------------------------------------------------- reading (helper path, not
// waiting)

namespace {

// The key of whichever of our requests an answer belongs to, read from the
// answer itself: the echo header of a reply, or the request an error quotes.
// `message` is the ICMP message, header first.
std::optional<EchoKey> keyOfAnswer(ByteReader message, uint16_t identifier, bool checkIdentifier) {
  auto type = message.u8(0);
  if (!type) return std::nullopt;
  ByteReader request = message;
  if (*type != kIcmpEchoReply) {
    if (*type != kIcmpUnreachable && *type != kIcmpTimeExceeded) return std::nullopt;
    ByteReader quotedIp = message.from(kIcmpHeaderSize);
    auto b0 = quotedIp.u8(0);
    if (!b0 || (*b0 >> 4) != 4) return std::nullopt;
    request = quotedIp.from(static_cast<size_t>(*b0 & 0x0F) * 4);
  }
  auto sequence = request.be16(6);
  auto tag = request.host32(8);
  if (!sequence || !tag) return std::nullopt;
  return EchoKey{identifier, checkIdentifier, *sequence, *tag};
}

// Answers read per notification: the socket stays readable when more wait,
// so the rest follows at the next dispatch and the window keeps its turn.
constexpr int kHelperReadsPerNotification = 64;

}  // namespace

void ICMPPort::readHelperAnswers() {
  const size_t need = maxMessageSize_ + 4 + 60 + kIcmpHeaderSize;
  if (buffer_.size() < need) buffer_.resize(need);
  const bool raw = path_ == Path::HelperRaw;
  for (int i = 0; i < kHelperReadsPerNotification && helperOpen(); ++i) {
    EchoAnswer answer;
    std::string source;
    if (!raw && readHelperQueuedError(answer, source)) {
      if (handler_) handler_->onAnswer(answer.type, answer.code, ByteReader(answer.data), source);
      continue;
    }
    pelnet::SocketAddress from;
    ssize_t n =
        ::recvfrom(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT, from.get(), &from.length);
    if (n < 0) {
      if (errno == EINTR || isIcmpSoftError(errno)) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK && sink())
        sink()->fireError(lastWinsock(), pelnet::kTextRecvFailed);
      return;
    }
    ByteReader datagram(buffer_.data(), static_cast<size_t>(n));
    ByteReader message = raw ? stripIPv4Header(datagram) : datagram;
    auto key = keyOfAnswer(message, helperIdentifier_, raw);
    if (!key) continue;
    auto a = raw ? matchRawDatagram(datagram, *key) : matchEchoReply(datagram, *key);
    if (!a) continue;
    source = sourceText(from.ipv4());
    if (handler_) handler_->onAnswer(a->type, a->code, ByteReader(a->data), source);
  }
}

// One ICMP error from a ping socket's error queue, whichever request it quotes.
bool ICMPPort::readHelperQueuedError(EchoAnswer &answer, std::string &source) {
  QueuedIPv4Error e;
  for (int i = 0; i < kHelperReadsPerNotification && readQueuedIPv4Error(fd_, e); ++i) {
    if (!e.icmp) continue;
    ByteReader request(e.quoted, e.length);
    auto sequence = request.be16(6);
    auto tag = request.host32(8);
    if (!sequence || !tag) continue;
    const EchoKey key{0, false, *sequence, *tag};
    auto a = answerFromQueuedError(e.type, e.code, request, key);
    if (!a) continue;
    answer = std::move(*a);
    source = sourceText(e.source);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------- reading (raw path)

void ICMPPort::onNotification(int fd, GIOCondition cond) {
  if (helperWaiting_ && fd == fd_ && path_ != Path::Raw) {
    readHelper(path_ == Path::PingSocket && (cond & G_IO_ERR) != 0);
    return;
  }
  // Not waiting: answers come whenever they come, for any request of the
  // port, and are reported as the thread dispatches.
  if (helperOpen() && fd == fd_) {
    readHelperAnswers();
    return;
  }
  if (fd != rawFd()) {
    SocketObject::onNotification(fd, cond);
    return;
  }
  life_.read([this] { readWaiting(); }, [this] { return closeNow(); });
}

void ICMPPort::readWaiting() {
  int budget = life_.draining() ? kDrainLimit : kBatchLimit;
  while (fd_ >= 0 && budget-- > 0) {
    if (life_.closeRequested()) return;  // the close drains what is left
    // A ping socket signals a queued error until it is read.
    if (rawOnPingSocket_ && deliverQueuedIPv6Error()) continue;
    pelnet::SocketAddress from;
    ssize_t n = useConnection_ ? ::recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT)
                               : ::recvfrom(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                                            from.get(), &from.length);
    if (n == 0) return;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTSOCK || errno == EBADF) return;
      if (errno == EINTR || isIcmpSoftError(errno)) continue;
      if (sink()) sink()->fireError(lastWinsock(), pelnet::kTextRecvFailed);
      return;
    }
    if (rawOnPingSocket_) restorePingSocketIdentifier(buffer_.data(), static_cast<size_t>(n));
    std::string source;
    if (useConnection_) {
      source = remoteHostText();
    } else if (useIPv6) {
      source = from.text();
    } else {
      source = sourceText(from.ipv4());
    }
    if (!deliverDatagram(ByteReader(buffer_.data(), static_cast<size_t>(n)), source)) return;
  }
}

void ICMPPort::rememberPingSocketRequest(const std::string &message) {
  uint8_t *head = sentHeads_[sentCount_ % kSentRemembered];
  std::fill(head, head + 8, 0);
  if (message.size() > 4)
    std::memcpy(head, message.data() + 4, std::min<size_t>(message.size() - 4, 8));
  ++sentCount_;
}

// The kernel delivers only answers that carry the socket's identifier and
// keeps the rest of the message: the sequence and the body that follow it
// tell which request an answer belongs to, newest first.
void ICMPPort::restorePingSocketIdentifier(uint8_t *message, size_t length) const {
  if (length < 8) return;
  const size_t compared = std::min<size_t>(length - 6, 6);
  const size_t remembered = std::min(sentCount_, kSentRemembered);
  for (size_t back = 1; back <= remembered; ++back) {
    const uint8_t *head = sentHeads_[(sentCount_ - back) % kSentRemembered];
    if (std::memcmp(head + 2, message + 6, compared) == 0) {
      std::memcpy(message + 4, head, 2);
      return;
    }
  }
}

bool ICMPPort::deliverQueuedIPv6Error() {
  uint8_t quoted[1280];
  alignas(cmsghdr) char control[512];
  sockaddr_in6 from{};
  iovec iov{quoted, sizeof quoted};
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd_, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (n < 0) return false;
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_IPV6 || c->cmsg_type != IPV6_RECVERR ||
        c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err) + sizeof(sockaddr_in6)))
      continue;
    sock_extended_err ee;
    std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
    if (ee.ee_origin != SO_EE_ORIGIN_ICMP6) continue;
    sockaddr_in6 offender;
    std::memcpy(&offender, CMSG_DATA(c) + sizeof ee, sizeof offender);
    if (offender.sin6_family != AF_INET6) offender = from;
    // The quoted request, header first, as a raw socket would see it inside
    // the error: 4 unused bytes and the invoking packet's IPv6 header before it.
    std::string data(4 + 40, '\0');
    data[4] = '\x60';
    const size_t length = std::min(static_cast<size_t>(n), sizeof quoted);
    restorePingSocketIdentifier(quoted, length);
    data.append(reinterpret_cast<const char *>(quoted), length);
    pelnet::SocketAddress source;
    std::memcpy(&source.storage, &offender, sizeof offender);
    source.length = sizeof offender;
    rearmOnTraffic();
    if (handler_) handler_->onAnswer(ee.ee_type, ee.ee_code, ByteReader(data), source.text());
    return true;
  }
  return true;  // an entry that is no ICMPv6 error is read past
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

int ICMPPort::setRemoteHost(const std::string &text) {
  if (isOpen() && useConnection_) return fail(kRemoteHostWhileConnected);
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

std::string ICMPPort::remoteHostText() const { return pelnet::addressText(remote_, useIPv6); }

int ICMPPort::setLocalHost(const std::string &text) {
  if (rawFd() >= 0) return fail(kLocalHostWhileActive);
  return pelnet::resolveLocal(text, useIPv6, localAddress);
}

std::string ICMPPort::localHostText() {
  std::string text = pelnet::addressText(localAddress, useIPv6);
  if (!text.empty()) return text;
  int rc = pelnet::hostName(text);
  if (rc != 0) {
    const char *t = pelnet::winsockText(rc);
    lastErrorText = t ? t : "";
  }
  return text;
}

// ---------------------------------------------------------------- options

int ICMPPort::applyOption(SocketOption option, int32_t value) {
  // Also while the raw socket is being opened; a helper socket takes its options per call.
  if (fd_ < 0 || path_ != Path::Raw) return 0;
  return pelnet::setSocketOption(fd_, useIPv6, option, value);
}

int32_t ICMPPort::currentOption(SocketOption option, int32_t unset) const {
  if (rawFd() < 0) return unset;
  int v = 0;
  return pelnet::getSocketOption(rawFd(), useIPv6, option, v) == 0 ? v : 0;
}

int ICMPPort::setTimeToLive(int32_t v) {
  timeToLive_ = v;
  if (v == 0) return 0;  // the system's value
  return applyOption(SocketOption::TimeToLive, v);
}

int32_t ICMPPort::currentTimeToLive() const {
  return currentOption(SocketOption::TimeToLive, timeToLive_);
}

int ICMPPort::setMulticastTtl(int32_t v) {
  multicastTtl_ = v;
  if (v == 0) return 0;
  return applyOption(SocketOption::MulticastTtl, v);
}

int32_t ICMPPort::currentMulticastTtl() const {
  return currentOption(SocketOption::MulticastTtl, multicastTtl_);
}

int ICMPPort::setMaxMessageSize(int32_t v) {
  if (rawFd() >= 0) return fail(kMaxSizeWhileActive);
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

// ---------------------------------------------------------------- settings

struct ICMPPort::Settings {
  using Entry = pelnet::KindSetting<ICMPPort>;
  // The buffer sizes apply at once to an open raw socket (0 or less: the system's).
  template <SocketOption Option>
  static int storeBuffer(ICMPPort &p, const std::string &v) {
    int &field = Option == SocketOption::ReceiveBuffer ? p.inBufferSize : p.outBufferSize;
    field = pelnet::readInt(v);
    if (field <= 0) return 0;
    return p.applyOption(Option,
                         Option == SocketOption::ReceiveBuffer ? p.rawReceiveBuffer() : field);
  }
  static const Entry kTable[];
};

const ICMPPort::Settings::Entry ICMPPort::Settings::kTable[] = {
    {"UseConnection",
     [](ICMPPort &p, const std::string &v) { return p.setUseConnection(pelnet::readBool(v)); },
     pelnet::answerBool<ICMPPort, &ICMPPort::useConnection_>},
    {"MaxMessageSize",
     [](ICMPPort &p, const std::string &v) { return p.setMaxMessageSize(pelnet::readInt(v)); },
     [](ICMPPort &p) { return std::to_string(p.maxMessageSize_); }},
    {"InBufferSize", storeBuffer<SocketOption::ReceiveBuffer>,
     [](ICMPPort &p) { return std::to_string(p.inBufferSize); }},
    {"OutBufferSize", storeBuffer<SocketOption::SendBuffer>,
     [](ICMPPort &p) { return std::to_string(p.outBufferSize); }},
    {"QOSFlags",
     [](ICMPPort &p, const std::string &v) {
       p.qosFlags_ = pelnet::readInt(v);
       // The type-of-service of IPv6 raw sockets stays the system's.
       return p.useIPv6 ? 0 : p.applyOption(SocketOption::TypeOfService, p.qosFlags_);
     },
     [](ICMPPort &p) {
       // An open IPv4 socket answers what it holds.
       if (p.useIPv6) return std::to_string(p.qosFlags_);
       return std::to_string(p.currentOption(SocketOption::TypeOfService, p.qosFlags_));
     }},
    {"DontFragment", pelnet::storeBool<ICMPPort, &ICMPPort::dontFragment_>,
     pelnet::answerBool<ICMPPort, &ICMPPort::dontFragment_>},
    {"MulticastTTL",
     [](ICMPPort &p, const std::string &v) { return p.setMulticastTtl(pelnet::readInt(v)); },
     [](ICMPPort &p) { return std::to_string(p.currentMulticastTtl()); }},
    {"ReceiveAllMode", pelnet::storeInt<ICMPPort, &ICMPPort::receiveAllMode_>,
     pelnet::answerInt<ICMPPort, &ICMPPort::receiveAllMode_>},
    {"SocketHandle", nullptr, [](ICMPPort &p) { return std::to_string(p.rawFd()); }},
};

pelnet::ConfigResult ICMPPort::configKind(const pelnet::ParsedSetting &s, std::string &answer) {
  return pelnet::lookupSetting(Settings::kTable, *this, s, answer);
}

}  // namespace pelping
