// The TCP connection's settings: the server address, the socket options
// and their table, and the common settings the dialogue above reads through
// the port.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/resolve.h"
#include "smtp_errors.h"
#include "connection/tcp_client_port.h"
#include "connection/tcp_socket_calls.h"

namespace pelnet::smtp {

using tcp::lastSocketError;
using tcp::refuse;
using tcp::setStreamOption;

namespace {

// Keep-alive values when only one of time and interval is given.
constexpr int32_t kDefaultKeepAliveTimeMs = 7200000;
constexpr int32_t kDefaultKeepAliveIntervalMs = 1000;
// The kernel's limit for the keep-alive idle time and interval, in seconds.
constexpr int kLargestKeepAliveSeconds = 32767;

// Milliseconds to whole seconds, rounded up, within the kernel's range.
int keepAliveSeconds(int32_t ms) {
  const int64_t s = (static_cast<int64_t>(ms) + 999) / 1000;
  return static_cast<int>(std::clamp<int64_t>(s, 1, kLargestKeepAliveSeconds));
}

// Optional sign, then decimal digits up to the first other character; saturates.
int64_t readInt64(const std::string &value) {
  size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
  int64_t n = 0;
  constexpr int64_t kMax = INT64_MAX;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    const int digit = value[i] - '0';
    if (n > (kMax - digit) / 10) {
      n = kMax;
      break;
    }
    n = n * 10 + digit;
  }
  return negative ? -n : n;
}

}  // namespace

// ---------------------------------------------------------------- server address

int TcpClientPort::setRemoteHost(const std::string &text) {
  clearError();
  remoteText_ = text;
  // The firewall resolves the server's name itself.
  if (firewallConfigured()) return 0;
  if (fd_ >= 0) return refuse(*this, kSmtpHostInUse);
  remote_ = HostAddress();
  if (text.empty()) return 0;
  return resolveRemote(text, useIPv6, false, remote_, this);
}

std::string TcpClientPort::remoteHost() const {
  if (firewallConfigured()) return remoteText_;
  if (useIPv6) return remote_.noneV6() ? std::string() : numericText(remote_.v6);
  return remote_.v4 == 0 ? std::string() : dottedText(remote_.v4);
}

int TcpClientPort::setRemotePort(int port) {
  clearError();
  if (fd_ >= 0) return refuse(*this, kSmtpPortInUse);
  remotePort_ = port;
  return 0;
}

// ---------------------------------------------------------------- local settings

int TcpClientPort::setLocalHost(const std::string &text) {
  return resolveLocal(text, useIPv6, localAddress, this);
}

std::string TcpClientPort::localHostText() {
  if (useIPv6 && !localAddress.noneV6()) return numericText(localAddress.v6);
  if (!useIPv6 && localAddress.v4 != 0) return dottedText(localAddress.v4);
  std::string name;
  if (int rc = hostName(name)) {
    const char *t = winsockText(rc);
    lastErrorText = t ? t : "";
  }
  return name;
}

std::string TcpClientPort::servicePrincipal(std::string_view prefix) const {
  if (!kerberosSpn.empty()) return kerberosSpn;
  return std::string(prefix) + remoteText_;
}

// ---------------------------------------------------------------- socket options

int TcpClientPort::applyOptions() {
  int rc = applyKeepAlive();
  if (int r = applyLinger(); rc == 0) rc = r;
  if (inBufferSize != 0)
    if (int r = applyBuffer(true); rc == 0) rc = r;
  if (outBufferSize != 0)
    if (int r = applyBuffer(false); rc == 0) rc = r;
  if (int r = setStreamOption(fd_, SOL_SOCKET, SO_OOBINLINE, 1); rc == 0) rc = r;
  if (settings_.tcpNoDelay)
    if (int r = applyNoDelay(); rc == 0) rc = r;
  return rc;
}

int TcpClientPort::applyKeepAlive() {
  const TcpSettings &s = settings_;
  int rc = setSocketOption(fd_, useIPv6, SocketOption::KeepAlive, s.keepAlive ? 1 : 0);
  if (rc == 0 && s.keepAlive && (s.keepAliveTime > 0 || s.keepAliveInterval > 0)) {
    const int32_t time = s.keepAliveTime > 0 ? s.keepAliveTime : kDefaultKeepAliveTimeMs;
    const int32_t interval =
        s.keepAliveInterval > 0 ? s.keepAliveInterval : kDefaultKeepAliveIntervalMs;
    rc = setStreamOption(fd_, IPPROTO_TCP, TCP_KEEPIDLE, keepAliveSeconds(time));
    if (rc == 0) rc = setStreamOption(fd_, IPPROTO_TCP, TCP_KEEPINTVL, keepAliveSeconds(interval));
  }
  return rc;
}

int TcpClientPort::applyLinger() {
  linger l{};
  if (!settings_.linger) {
    l = {1, 0};  // reset at close
  } else if (settings_.lingerTime > 0) {
    l = {1, settings_.lingerTime};  // wait for unsent data at close
  }
  return setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : lastSocketError();
}

int TcpClientPort::applyBuffer(bool receive) {
  return setSocketOption(fd_, useIPv6,
                         receive ? SocketOption::ReceiveBuffer : SocketOption::SendBuffer,
                         receive ? inBufferSize : outBufferSize);
}

int TcpClientPort::applyNoDelay() {
  return setStreamOption(fd_, IPPROTO_TCP, TCP_NODELAY, settings_.tcpNoDelay ? 1 : 0);
}

// ---------------------------------------------------------------- settings

int TcpClientPort::setMaxLineLength(int32_t value) {
  if (fd_ >= 0) return refuse(*this, kSmtpMaxLineLengthInUse);
  const int capacity = std::clamp(value, 1, kLargestMaxLineLength);
  if (above_ && above_->resizeRoom(static_cast<size_t>(capacity)) != 0) return kOutOfMemory;
  settings_.maxLineLength = capacity;
  return 0;
}

// The TCP settings: `assign` stores the value (and applies it to an existing
// socket at once) and returns 0 or a code; `query` answers.  SocketHandle has
// no `assign`: an assignment goes on to the next layer as an unknown name.
struct TcpClientPort::Settings {
  using P = TcpClientPort;
  static const KindSetting<P> kTable[];
};

const KindSetting<TcpClientPort> TcpClientPort::Settings::kTable[] = {
    {"MaxLineLength", [](P &p, const std::string &v) { return p.setMaxLineLength(readInt(v)); },
     [](P &p) { return std::to_string(p.settings_.maxLineLength); }},
    {"SplitCRLF",
     [](P &p, const std::string &v) {
       p.settings_.splitCRLF = readBool(v);
       if (p.above_) p.above_->splitLines(p.settings_.splitCRLF);
       return 0;
     },
     [](P &p) { return std::string(boolText(p.settings_.splitCRLF)); }},
    {"InBufferSize",
     [](P &p, const std::string &v) {
       p.inBufferSize = readInt(v);
       return p.fd_ >= 0 && p.inBufferSize != 0 ? p.applyBuffer(true) : 0;
     },
     [](P &p) { return std::to_string(p.inBufferSize); }},
    {"OutBufferSize",
     [](P &p, const std::string &v) {
       p.outBufferSize = readInt(v);
       return p.fd_ >= 0 && p.outBufferSize != 0 ? p.applyBuffer(false) : 0;
     },
     [](P &p) { return std::to_string(p.outBufferSize); }},
    {"TcpNoDelay",
     [](P &p, const std::string &v) {
       p.settings_.tcpNoDelay = readBool(v);
       return p.fd_ >= 0 ? p.applyNoDelay() : 0;
     },
     [](P &p) { return std::string(boolText(p.settings_.tcpNoDelay)); }},
    {"TCPKeepAlive",
     [](P &p, const std::string &v) {
       p.settings_.keepAlive = readBool(v);
       return p.fd_ >= 0 ? p.applyKeepAlive() : 0;
     },
     [](P &p) { return std::string(p.settings_.keepAlive ? "1" : "0"); }},
    {"KeepAliveTime",
     [](P &p, const std::string &v) {
       p.settings_.keepAliveTime = readInt(v);
       if (p.settings_.keepAliveTime > 0) p.settings_.keepAlive = true;
       return p.fd_ >= 0 ? p.applyKeepAlive() : 0;
     },
     [](P &p) { return std::to_string(p.settings_.keepAliveTime); }},
    {"KeepAliveInterval",
     [](P &p, const std::string &v) {
       p.settings_.keepAliveInterval = readInt(v);
       if (p.settings_.keepAliveInterval > 0) p.settings_.keepAlive = true;
       return p.fd_ >= 0 ? p.applyKeepAlive() : 0;
     },
     [](P &p) { return std::to_string(p.settings_.keepAliveInterval); }},
    {"Linger",
     [](P &p, const std::string &v) {
       p.settings_.linger = readBool(v);
       return p.fd_ >= 0 ? p.applyLinger() : 0;
     },
     [](P &p) { return std::string(p.settings_.linger ? "1" : "0"); }},
    {"LingerTime",
     [](P &p, const std::string &v) {
       p.settings_.lingerTime = std::max(readInt(v), 0);
       return p.fd_ >= 0 ? p.applyLinger() : 0;
     },
     [](P &p) { return std::to_string(p.settings_.lingerTime); }},
    {"MaxTransferRate",
     [](P &p, const std::string &v) {
       p.settings_.maxTransferRate = readInt64(v);
       return 0;
     },
     [](P &p) { return std::to_string(p.settings_.maxTransferRate); }},
    {"SocketHandle", nullptr, [](P &p) { return std::to_string(p.fd_); }},
    {"BindIPv6Address",
     [](P &p, const std::string &v) {
       p.settings_.bindIPv6Address = readBool(v);
       return 0;
     },
     [](P &p) { return std::string(boolText(p.settings_.bindIPv6Address)); }},
    // Accepted for compatibility; it carries nothing here.
    {"FirewallData", [](P &, const std::string &) { return 0; }, [](P &) { return std::string(); }},
};

ConfigResult TcpClientPort::configKind(const ParsedSetting &s, std::string &answer) {
  answer.clear();
  return lookupSetting(Settings::kTable, *this, s, answer);
}

}  // namespace pelnet::smtp
