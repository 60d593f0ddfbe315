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

namespace pelping {
namespace {

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
  return fd_ >= 0 && path_ != Path::Raw && keptFamily_ == &family() &&
         sameAddress(keptLocal_, localAddress);
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

// ---------------------------------------------------------------- addresses

int ICMPPort::setRemoteHost(const std::string &text) {
  if (isOpen() && useConnection_) return fail(kRemoteHostWhileConnected);
  // A check run pings the same address text over and over; an IPv4 address
  // in text form resolves to the same address every time, and resolving it
  // touches nothing but remote_.v4, which still holds that address.
  const IcmpFamily &f = family();
  if (f.dotted && numericRemoteValid_ && text == numericRemote_) return 0;
  numericRemoteValid_ = false;
  int rc = f.resolveRemote(text, remote_, this);
  // Only what parses as an address text without a lookup: names may resolve
  // differently next time.
  in_addr parsed{};
  if (rc == 0 && f.dotted && !text.empty() && ::inet_aton(text.c_str(), &parsed) != 0 &&
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

std::string ICMPPort::remoteHostText() const { return family().text(remote_); }

int ICMPPort::setLocalHost(const std::string &text) {
  if (rawFd() >= 0) return fail(kLocalHostWhileActive);
  return family().resolveLocal(text, localAddress, this);
}

std::string ICMPPort::localHostText() {
  std::string text = family().text(localAddress);
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
  return family().setOption(fd_, option, value);
}

int32_t ICMPPort::currentOption(SocketOption option, int32_t unset) const {
  if (rawFd() < 0) return unset;
  int v = 0;
  return family().getOption(rawFd(), option, v) == 0 ? v : 0;
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
       if (!p.family().typeOfService) return 0;
       return p.applyOption(SocketOption::TypeOfService, p.qosFlags_);
     },
     [](ICMPPort &p) {
       // An open IPv4 socket answers what it holds.
       if (!p.family().typeOfService) return std::to_string(p.qosFlags_);
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
