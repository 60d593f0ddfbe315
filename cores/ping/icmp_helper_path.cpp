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
#include "icmp_port_shared.h"
#include "ping_errors.h"

// The helper path of the ICMP port: an ICMP "ping" socket of the kernel
// (or a raw socket in its place), one request and its answer at a time or
// many in flight, with ICMP errors read from the socket's error queue.
namespace pelping {

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
  if (!family().helperPath) return fail(kIPv6WithHelper);
  int rc = createHelperSocket();
  if (rc != 0) return rc;
  life_.set(PortState::Open);
  return 0;
}

int ICMPPort::createHelperSocket() {
  // Unprivileged ICMP datagram socket first; the kernel owns its echo identifier.
  const IcmpFamily &f = kIcmpV4;
  int fd = ::socket(f.domain, SOCK_DGRAM | SOCK_CLOEXEC, f.protocol);
  if (fd >= 0) {
    f.setOption(fd, SocketOption::ReceiveErrors, 1);
    if (localAddress.v4 != 0) {
      const pelnet::SocketAddress local = f.address(localAddress);
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
    fd = ::socket(f.domain, SOCK_RAW | SOCK_CLOEXEC, f.protocol);
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
  keptFamily_ = &f;
  helperFresh_ = true;
  return 0;
}

EchoKey ICMPPort::buildHelperRequest(uint16_t sequence, uint32_t tag, std::string_view body) {
  const EchoKey key{helperIdentifier_, path_ == Path::HelperRaw, sequence, tag};
  // Echo header + the body as echo data.  On a ping socket the kernel writes
  // the identifier and checksum itself.
  const char echoHeader[4] = {
      static_cast<char>(key.identifier >> 8), static_cast<char>(key.identifier & 0xFF),
      static_cast<char>(key.sequence >> 8), static_cast<char>(key.sequence & 0xFF)};
  buildMessageInto(request_, kIcmpV4.echoRequest, 0,
                   std::string_view(echoHeader, sizeof echoHeader), body);
  return key;
}

int ICMPPort::replaceFailedHelperSocket(int err) {
  const bool retry = !helperFresh_;
  ::close(fd_);
  fd_ = -1;
  const int rc = retry ? createHelperSocket() : pelnet::winsockFromErrno(err);
  if (rc != 0) life_.set(PortState::Closed);
  return rc;
}

int ICMPPort::sendHelper(std::string_view body) {
  rearmOnTraffic();
  // The sequence tells this request from every earlier one on a kept socket,
  // also when the echo data is too short to carry the whole request id.
  const uint16_t sequence = ++helperSequence_;
  const uint32_t tag = ByteReader(body).host32(0).value_or(0);
  EchoKey key = buildHelperRequest(sequence, tag, body);

  int err = sendHelperRequest(request_);
  if (err != 0 && timeoutMs == 0 && isDestinationError(err) && helperOpen()) {
    // Not waiting, an ICMP error for an earlier request may still be pending
    // on the socket, and it fails the next send: what is queued is reported,
    // and the request sent once more (a failure of its own comes back).
    readHelperAnswers();
    err = sendHelperRequest(request_);
  }
  if (err != 0 && !isDestinationError(err) && !isCongestion(err)) {
    // The socket itself failed.  A kept one is replaced and the request sent
    // once more on the new one, built anew: a socket of the other kind has
    // other identifier rules.
    const int rc = replaceFailedHelperSocket(err);
    if (rc != 0) return rc;
    key = buildHelperRequest(sequence, tag, body);
    err = sendHelperRequest(request_);
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
      kIcmpV4.setOption(fd_, SocketOption::ReceiveBuffer, kNotWaitingReceiveBuffer);
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
  const IcmpFamily &f = kIcmpV4;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int)) * 2] = {};
  pelnet::SocketAddress peer = f.address(remote_);
  iovec iov{const_cast<char *>(msg.data()), msg.size()};
  msghdr mh{};
  mh.msg_name = peer.get();
  mh.msg_namelen = peer.length;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  cmsghdr *c = CMSG_FIRSTHDR(&mh);
  c->cmsg_level = f.controlLevel;
  c->cmsg_type = f.timeToLiveControl;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &ttl, sizeof ttl);
  c = CMSG_NXTHDR(&mh, c);
  c->cmsg_level = f.controlLevel;
  c->cmsg_type = f.typeOfServiceControl;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &tos, sizeof tos);
  if (remoteBroadcast()) f.setOption(fd_, SocketOption::Broadcast, 1);
  const ssize_t n =
      sendWithRoom(fd_, [&] { return ::sendmsg(fd_, &mh, MSG_NOSIGNAL | MSG_DONTWAIT); });
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
  QueuedError e;
  for (int budget = kBatchLimit; budget > 0 && kIcmpV4.readQueuedError(fd_, e); --budget) {
    if (!e.icmp) continue;
    auto a = answerFromQueuedError(e.type, e.code, ByteReader(e.quoted, e.length), key);
    if (!a) continue;
    answer = std::move(*a);
    source = sourceText(e.source.ipv4());
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
  QueuedError e;
  for (int i = 0; i < kHelperReadsPerNotification && kIcmpV4.readQueuedError(fd_, e); ++i) {
    if (!e.icmp) continue;
    ByteReader request(e.quoted, e.length);
    auto sequence = request.be16(6);
    auto tag = request.host32(8);
    if (!sequence || !tag) continue;
    const EchoKey key{0, false, *sequence, *tag};
    auto a = answerFromQueuedError(e.type, e.code, request, key);
    if (!a) continue;
    answer = std::move(*a);
    source = sourceText(e.source.ipv4());
    return true;
  }
  return false;
}

}  // namespace pelping
