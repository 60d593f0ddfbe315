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

// ---------------------------------------------------------------- open / close

int UDPPort::open() {
  clearError();
  if (life_.state() != PortState::Closed) return fail(kAlreadyActive);
  destinationAddress_.clear();
  try {
    buffer_.assign(static_cast<size_t>(maxPacketSize_) + 1, '\0');
  } catch (const std::bad_alloc &) {
    return kOutOfMemory;
  }
  if (useConnection_ && remotePort_ == 0) return fail(kRemotePortZero, kTextRemotePortZeroConnect);
  if (!isPortNumber(localPort_)) return fail(kPortOutOfRange, kTextLocalPortOutOfRange);
  if (useConnection_ && !isPortNumber(remotePort_))
    return fail(kPortOutOfRange, kTextRemotePortOutOfRange);

  const int fd = ::socket(addressFamily(useIPv6), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return lastSocketError();
  fd_ = fd;
  life_.set(PortState::Opening);

  if (shareLocalPort_) {
    applyOption(SocketOption::ReuseAddress, 1);
    applyOption(SocketOption::ReusePort, 1);
  }
  if (captureIPPacketInfo_) applyOption(SocketOption::PacketInfo, 1);

  int rc = 0;
  const SocketAddress local =
      socketAddress(localAddress, useIPv6, static_cast<uint16_t>(localPort_));
  if (::bind(fd, local.get(), local.length) != 0) rc = lastSocketError();

  if (rc == 0) {
    applyOptions();  // failures of the tuning options are ignored on purpose
    if (!useIPv6) applyOption(SocketOption::Broadcast, 1);
  }
  if (rc == 0 && useConnection_) {
    const SocketAddress to = socketAddress(remote_, useIPv6, static_cast<uint16_t>(remotePort_));
    if (::connect(fd, to.get(), to.length) != 0 && errno != EINPROGRESS && errno != EWOULDBLOCK)
      rc = lastSocketError();
    if (rc == 0) rc = applyQos(fd);
  }
  if (rc != 0) {
    closeSocket();
    return rc;
  }
  // Only readability is watched: a datagram socket is nearly always writable
  // and the port has no ready-to-send event, so a write watch would only spin.
  watch(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_ERR));
  life_.set(PortState::Open);
  return 0;
}

void UDPPort::applyOptions() {
  if (inBufferSize != 0) applyOption(SocketOption::ReceiveBuffer, inBufferSize);
  if (outBufferSize != 0) applyOption(SocketOption::SendBuffer, outBufferSize);
  if (qosFlags_ != 0) applyOption(SocketOption::TypeOfService, qosFlags_ & 0xFF);
  if (timeToLive_ != 0) applyOption(SocketOption::TimeToLive, timeToLive_);
}

int UDPPort::applyOption(SocketOption option, int value) {
  return setSocketOption(fd_, useIPv6, option, value);
}

int UDPPort::close() {
  clearError();
  return life_.close([this] { readWaiting(); }, [this] { return closeNow(); });
}

int UDPPort::closeNow() {
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
  life_.set(PortState::Closed);
}

// ---------------------------------------------------------------- sending

int UDPPort::send(std::string_view bytes) {
  clearError();
  if (!isOpen()) return fail(kNotActive);
  if (remotePort_ == 0) return fail(kRemotePortZero, kTextRemotePortZeroSend);
  if (!isPortNumber(remotePort_)) return fail(kPortOutOfRange, kTextRemotePortOutOfRange);
  ssize_t r;
  if (useConnection_) {
    r = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  } else {
    // Address 0 would reach this very machine on Linux; no destination is an error instead.
    if (remote_.none(useIPv6)) return kWsaAddrNotAvail;
    const SocketAddress to = socketAddress(remote_, useIPv6, static_cast<uint16_t>(remotePort_));
    r = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, to.get(), to.length);
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
  readNow();
}

int UDPPort::pumpEvents() {
  if (!windowAlive() || pumpDataInDoEvents_) readNow();
  return doEvents();
}

void UDPPort::readNow() {
  life_.read([this] { readWaiting(); }, [this] { return closeNow(); });
}

ssize_t UDPPort::readOne(Datagram &d, int &err) {
  const size_t capacity = static_cast<size_t>(maxPacketSize_);
  iovec iov{buffer_.data(), capacity};
  SocketAddress from;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr msg{};
  msg.msg_name = from.get();
  msg.msg_namelen = from.length;
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
    d.sourcePort = static_cast<int>(remotePort_);
    d.sourceAddress = remoteHostText();
  } else {
    d.sourceAddress = from.text();
    d.sourcePort = from.port();
  }
  return static_cast<ssize_t>(len);
}

void UDPPort::readWaiting() {
  int budget = life_.draining() ? kDrainLimit : kBatchLimit;
  while (fd_ >= 0 && budget-- > 0) {
    if (life_.closeRequested()) return;  // the read ends here; the close drains what is left
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
  SocketAddress bound;
  if (fd_ >= 0 && boundAddress(fd_, bound) == 0) return bound.text();
  std::string text = addressText(localAddress, useIPv6);
  if (text.empty()) hostName(text);
  return text;
}

int UDPPort::setLocalHost(const std::string &text) {
  clearError();
  if (isOpen()) return fail(kLocalHostWhileActive);
  return resolveLocal(text, useIPv6, localAddress, this);
}

intptr_t UDPPort::localPort() const {
  SocketAddress bound;
  if (fd_ >= 0 && boundAddress(fd_, bound) == 0) return bound.port();
  return localPort_;
}

int UDPPort::setLocalPort(intptr_t port) {
  clearError();
  if (isOpen()) return fail(kLocalPortWhileActive);
  localPort_ = port;
  return 0;
}

std::string UDPPort::remoteHostText() const { return addressText(remote_, useIPv6); }

int UDPPort::setRemoteHost(const std::string &text) {
  clearError();
  if (isOpen() && useConnection_) return fail(kRemoteHostWhileConnected);
  return resolveRemote(text, useIPv6, true, remote_, this);
}

int UDPPort::setRemotePort(intptr_t port) {
  clearError();
  if (isOpen() && useConnection_) return fail(kRemotePortWhileConnected);
  remotePort_ = port;
  return 0;
}

// ---------------------------------------------------------------- settings

struct UDPPort::Settings {
  using Entry = KindSetting<UDPPort>;
  template <bool UDPPort::*Field>
  static constexpr Entry plainBool(const char *name) {
    return {name, storeBool<UDPPort, Field>, answerBool<UDPPort, Field>};
  }
  // The buffer sizes apply at once to an open socket (0: the system's).
  template <SocketOption Option>
  static int storeBuffer(UDPPort &p, const std::string &v) {
    int &field = Option == SocketOption::ReceiveBuffer ? p.inBufferSize : p.outBufferSize;
    field = readInt(v);
    return p.isOpen() && field != 0 ? p.applyOption(Option, field) : 0;
  }
  static int storeTimeToLive(UDPPort &p, const std::string &v) {
    p.timeToLive_ = readInt(v);
    return p.isOpen() && p.timeToLive_ != 0 ? p.applyOption(SocketOption::TimeToLive, p.timeToLive_)
                                            : 0;
  }

  static const Entry kTable[];
};

const UDPPort::Settings::Entry UDPPort::Settings::kTable[] = {
    {"UseConnection",
     [](UDPPort &p, const std::string &v) {
       if (p.isOpen()) return p.fail(kUseConnectionWhileActive);
       p.useConnection_ = readBool(v);
       return 0;
     },
     answerBool<UDPPort, &UDPPort::useConnection_>},
    plainBool<&UDPPort::shareLocalPort_>("ShareLocalPort"),
    plainBool<&UDPPort::pumpDataInDoEvents_>("PumpDataInDoEvents"),
    {"CaptureIPPacketInfo",
     [](UDPPort &p, const std::string &v) {
       p.captureIPPacketInfo_ = readBool(v);
       // Applied at once; a refusal leaves the setting as given.
       if (p.isOpen()) p.applyOption(SocketOption::PacketInfo, p.captureIPPacketInfo_ ? 1 : 0);
       return 0;
     },
     [](UDPPort &p) { return std::string(p.captureIPPacketInfo_ ? "1" : "0"); }},
    {"MaxPacketSize",
     [](UDPPort &p, const std::string &v) {
       if (p.isOpen()) return p.fail(kMaxPacketSizeWhileActive);
       p.maxPacketSize_ = std::clamp(readInt(v), 0, kLargestMaxPacketSize);
       return 0;
     },
     answerInt<UDPPort, &UDPPort::maxPacketSize_>},
    {"QOSFlags",
     [](UDPPort &p, const std::string &v) {
       p.qosFlags_ = readInt(v);
       return p.isOpen() ? p.applyOption(SocketOption::TypeOfService, p.qosFlags_ & 0xFF) : 0;
     },
     [](UDPPort &p) {
       // An open socket answers what it holds.
       int tos = p.qosFlags_;
       if (p.isOpen() && getSocketOption(p.fd_, p.useIPv6, SocketOption::TypeOfService, tos) != 0)
         tos = p.qosFlags_;
       return std::to_string(tos);
     }},
    {"SocketHandle", nullptr, answerInt<UDPPort, &UDPPort::fd_>},
    {"InBufferSize", storeBuffer<SocketOption::ReceiveBuffer>,
     [](UDPPort &p) { return std::to_string(p.inBufferSize); }},
    {"OutBufferSize", storeBuffer<SocketOption::SendBuffer>,
     [](UDPPort &p) { return std::to_string(p.outBufferSize); }},
    {"TimeToLive", storeTimeToLive, answerInt<UDPPort, &UDPPort::timeToLive_>},
    {"TTL", storeTimeToLive, answerInt<UDPPort, &UDPPort::timeToLive_>},
    {"DestinationAddress", nullptr, [](UDPPort &p) { return p.destinationAddress_; }},
    {"LocalHost", [](UDPPort &p, const std::string &v) { return p.setLocalHost(v); },
     [](UDPPort &p) { return p.localHostText(); }},
    {"LocalPort", [](UDPPort &p, const std::string &v) { return p.setLocalPort(readInt(v)); },
     [](UDPPort &p) { return std::to_string(p.localPort()); }},
};

ConfigResult UDPPort::configKind(const ParsedSetting &s, std::string &answer) {
  return lookupSetting(Settings::kTable, *this, s, answer);
}

}  // namespace pelnet::syslog
