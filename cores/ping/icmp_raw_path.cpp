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

// The raw path of the ICMP port: a raw ICMP socket (or an IPv6 ping socket
// standing in for one) that the port reads whenever the loop notifies it.
namespace pelping {
namespace {

// Six bytes (sequence and the start of the echo data) as one key.
uint64_t headKey(const uint8_t *bytes) {
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = (key << 8) | bytes[i];
  return key;
}

}  // namespace

int ICMPPort::openRaw() {
  if (life_.open() && (path_ == Path::Raw || helperSelected())) return fail(kAlreadyActive);
  // A helper socket left open or kept after its setting was switched off gives way.
  closeQuietly();
  std::fill(buffer_.begin(), buffer_.end(), 0);
  rawOnPingSocket_ = false;
  const IcmpFamily &f = family();
  int fd = ::socket(f.domain, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, f.protocol);
  if (fd < 0 && f.pingSocketForRaw && notPermitted(errno)) {
    // IPv6 has no helper path, so without CAP_NET_RAW an ICMPv6 ping socket
    // (allowed by ping_group_range) does the raw socket's work.  When that is
    // refused too, the raw socket's refusal is what the caller hears.
    const int rawErrno = errno;
    fd = ::socket(f.domain, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, f.protocol);
    if (fd >= 0) {
      rawOnPingSocket_ = true;
      sentCount_ = 0;
      sentIdentifiers_.clear();
      sentKeys_.clear();
      // ICMPv6 errors that answer a request wait in the error queue, with the request quoted.
      f.setOption(fd, SocketOption::ReceiveErrors, 1);
    } else {
      errno = rawErrno;
    }
  }
  if (fd < 0) return lastWinsock();
  fd_ = fd;
  path_ = Path::Raw;
  life_.set(PortState::Opening);

  // Bind and options: failures are ignored, as the port works without them.
  const pelnet::SocketAddress local = f.address(localAddress);
  ::bind(fd, local.get(), local.length);
  // The receive buffer must hold the largest message the port takes; an
  // unset InBufferSize leaves the system's size where that suffices.
  int systemSize = 0;
  const int32_t receiveSize = rawReceiveBuffer();
  if (inBufferSize > 0 || f.getOption(fd, SocketOption::ReceiveBuffer, systemSize) != 0 ||
      systemSize < receiveSize)
    applyOption(SocketOption::ReceiveBuffer, receiveSize);
  if (outBufferSize > 0) applyOption(SocketOption::SendBuffer, outBufferSize);
  if (timeToLive_) applyOption(SocketOption::TimeToLive, timeToLive_);
  if (multicastTtl_) applyOption(SocketOption::MulticastTtl, multicastTtl_);
  if (f.typeOfService && qosFlags_) applyOption(SocketOption::TypeOfService, qosFlags_);
  if (f.broadcast) applyOption(SocketOption::Broadcast, 1);
  if (f.typeOfService && dontFragment_) applyOption(SocketOption::DontFragment, 1);

  if (useConnection_) {
    const pelnet::SocketAddress peer = f.address(remote_);
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

int ICMPPort::sendRaw(std::string_view body) {
  // IPv6: the kernel computes the ICMPv6 checksum with its pseudo-header on raw sockets.
  // The message code is always 0: echo requests and wake-up packets have no other.
  std::string msg = buildMessage(messageType_, 0, body);
  if (rawOnPingSocket_) rememberPingSocketRequest(msg);
  const pelnet::SocketAddress peer = family().address(remote_);
  const auto once = [&] {
    return sendWithRoom(fd_, [&] {
      return useConnection_
                 ? ::send(fd_, msg.data(), msg.size(), MSG_NOSIGNAL)
                 : ::sendto(fd_, msg.data(), msg.size(), MSG_NOSIGNAL, peer.get(), peer.length);
    });
  };
  ssize_t n = once();
  if (n < 0 && rawOnPingSocket_ && timeoutMs == 0 && isDestinationError(errno)) {
    // Not waiting, an ICMPv6 error for an earlier request may be pending on
    // the ping socket and fail this send: what is queued is reported, and
    // the request sent once more.
    readWaiting();
    if (fd_ >= 0) n = once();
  }
  if (n >= 0 && useConnection_) rearmOnTraffic();
  return n < 0 ? lastWinsock() : 0;
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
    } else if (family().dotted) {
      source = sourceText(from.ipv4());
    } else {
      source = from.text();
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
  if (message.size() < 12) return;  // too short to be told apart beyond the ring
  if (sentKeys_.size() >= kSentKeyed) {
    const auto [oldKey, oldNumber] = sentKeys_.front();
    const auto oldest = sentIdentifiers_.find(oldKey);
    // A key sent again since keeps the newer request's entry.
    if (oldest != sentIdentifiers_.end() && oldest->second.second == oldNumber)
      sentIdentifiers_.erase(oldest);
    sentKeys_.pop_front();
  }
  const uint64_t key = headKey(head + 2);
  uint16_t identifier = 0;
  std::memcpy(&identifier, head, 2);
  sentIdentifiers_[key] = {identifier, sentCount_};
  sentKeys_.emplace_back(key, sentCount_);
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
  // Many requests out at once: an answer to one sent before the last few.
  if (compared < 6) return;
  const auto it = sentIdentifiers_.find(headKey(message + 6));
  if (it != sentIdentifiers_.end()) std::memcpy(message + 4, &it->second.first, 2);
}

bool ICMPPort::deliverQueuedIPv6Error() {
  QueuedError e;
  if (!kIcmpV6.readQueuedError(fd_, e)) return false;
  if (!e.icmp) return true;  // an entry that is no ICMPv6 error is read past
  // The quoted request, header first, as a raw socket would see it inside
  // the error: 4 unused bytes and the invoking packet's IPv6 header before it.
  std::string data(4 + 40, '\0');
  data[4] = '\x60';
  restorePingSocketIdentifier(e.quoted, e.length);
  data.append(reinterpret_cast<const char *>(e.quoted), e.length);
  rearmOnTraffic();
  if (handler_) handler_->onAnswer(e.type, e.code, ByteReader(data), e.source.text());
  return true;
}

bool ICMPPort::deliverDatagram(ByteReader datagram, const std::string &source) {
  const IcmpFamily &f = family();
  ByteReader icmp = f.rawHasIpHeader ? stripIPv4Header(datagram) : datagram;
  if (icmp.size() < 4) {
    if (sink()) sink()->fireError(kMessageTooShort, errorText(kMessageTooShort));
    return false;
  }
  // The checksum is checked as the protocol asks, but a wrong one does not
  // discard the answer (loopback and offloading NICs deliver unchecked sums).
  [[maybe_unused]] bool checksumOk =
      f.kernelChecksum || internetChecksum(icmp.view().data(), icmp.size()) == 0;
  rearmOnTraffic();
  // Copy: the handler may close the socket or start another read into the buffer.
  std::string data(icmp.from(4).view());
  const uint8_t type = *icmp.u8(0), code = *icmp.u8(1);
  if (handler_) handler_->onAnswer(type, code, ByteReader(data), source);
  return true;
}

}  // namespace pelping
