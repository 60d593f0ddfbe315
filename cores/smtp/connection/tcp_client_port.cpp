#include "connection/tcp_client_port.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/resolve.h"
#include "smtp_errors.h"
#include "connection/tcp_socket_calls.h"

namespace pelnet::smtp {

using tcp::lastSocketError;
using tcp::refuse;
using tcp::setStreamOption;

namespace {

constexpr const char *kTextConnectionComplete = "Remote host connection complete.";
constexpr const char *kTextConnected = "Connected.";
constexpr const char *kTextDisconnected = "Disconnected.";
constexpr const char *kTextRemoteDisconnected = "Remote host disconnected.";
constexpr const char *kTextFirewallDisconnected = "Firewall host disconnected.";
constexpr const char *kTextRecvFailed = "socket error in recv: %d";
constexpr const char *kTextFirewallConnectComplete = "Firewall connection complete.";
constexpr const char *kTextFirewallConnectFailed = "Firewall connection failed.";
// Bytes read at a time while the firewall negotiates: never more than the room
// above can take, so that the server's bytes behind the proxy's last answer fit there.
constexpr size_t kNegotiationReadSize = 512;

// One notification reads at most this many times; the watch fires again while
// more is waiting, so a server that floods cannot starve the owning loop.
constexpr int kReadBudget = 64;
// A close delivers what is already waiting, but a peer that never stops
// sending must not keep the close from returning.
constexpr int kCloseDrainBudget = 256;

// The pending error of a socket (SO_ERROR) as a Winsock number, 0 when none.
int pendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return lastSocketError();
  return err == 0 ? 0 : winsockFromErrno(err);
}

std::string formatted(const char *format, const std::string &arg) {
  std::string out = format;
  const size_t at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, arg);
  return out;
}

}  // namespace

TcpClientPort::TcpClientPort() { outBufferSize = kDefaultOutBufferSize; }

TcpClientPort::~TcpClientPort() {
  // No events while the component is going away.
  above_ = nullptr;
  closeHandle();
}

// ---------------------------------------------------------------- the stages above

void TcpClientPort::setReceiver(ByteReceiver *receiver) {
  above_ = receiver;
  // The room above is as large as MaxLineLength says and cut as SplitCRLF says.
  if (above_) {
    above_->resizeRoom(static_cast<size_t>(settings_.maxLineLength));
    above_->splitLines(settings_.splitCRLF);
  }
}

bool TcpClientPort::connected() const { return socketConnected() && !negotiating(); }
bool TcpClientPort::tlsActive() const { return tls_ != nullptr && tls_->established(); }
std::string TcpClientPort::tlsSummary() const {
  return tlsActive() ? tls_->summary() : std::string();
}

// ---------------------------------------------------------------- connecting

int TcpClientPort::open() {
  clearError();
  connectResult_ = 0;
  connectText_.clear();
  if (fd_ >= 0) return refuse(*this, kSmtpAlreadyConnected);

  const bool viaFirewall = firewallConfigured();
  const HostAddress &target = viaFirewall ? tunnel_->viaHost() : remote_;
  const int port = viaFirewall ? tunnel_->viaPort() : remotePort_;
  // No address would reach this very machine on Linux, not the server.
  if (useIPv6 ? target.noneV6() : target.v4 == 0)
    return fail(kSmtpNoAddress, viaFirewall ? kTextFirewallHostInvalid : kTextRemoteHostInvalid);
  if (port == 0)
    return fail(kSmtpPortZero, viaFirewall ? kTextFirewallPortZero : kTextRemotePortZero);
  if (!isPortNumber(port))
    return fail(kSmtpPortOutOfRange,
                viaFirewall ? kTextFirewallPortOutOfRange : kTextRemotePortOutOfRange);

  if (viaFirewall) {
    if (int rc = tunnel_->lookUpServer(remoteText_, this)) return rc;
    // The connect waits its own Timeout, as the lookup did.
    armDeadline();
  }

  closeError_ = 0;
  tlsInfo_.clear();
  peerClosed_ = false;
  peerCloseError_ = 0;
  if (above_) {
    above_->streamStarts();
    above_->splitLines(settings_.splitCRLF);
  }

  const int fd =
      ::socket(useIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return lastSocketError();
  fd_ = fd;
  life_.set(PortState::Opening);

  if (!useIPv6 || settings_.bindIPv6Address) {
    const SocketAddress local = socketAddress(localAddress, useIPv6, 0);
    if (::bind(fd, local.get(), local.length) != 0) {
      const int rc = lastSocketError();
      closeHandle();
      return rc;
    }
  }
  // A tuning option the system refuses does not stop the connection.
  applyOptions();

  updateWatch();
  const SocketAddress to = socketAddress(target, useIPv6, static_cast<uint16_t>(port));
  if (::connect(fd, to.get(), to.length) == 0 || errno == EINPROGRESS) return 0;
  const int rc = lastSocketError();
  switch (rc) {
    case kWsaConnRefused:
    case kWsaNetUnreach:
    case kWsaTimedOut:
    case kWsaHostUnreach:
      // Loopback can refuse within the connect call itself; the answer of the
      // peer or the network is still reported as the completion of the connect.
      postedConnectError_ = rc;
      post();
      return 0;
    default:
      closeHandle();
      return rc;
  }
}

void TcpClientPort::onConnectNotification(int error) {
  setStreamOption(fd_, SOL_SOCKET, SO_OOBINLINE, 1);
  if (error == 0) {
    life_.set(PortState::Open);
    if (!recordToFile.empty()) record_.open(recordToFile);
    openTunnel(0);
  } else {
    // Still no connection while the failure is reported; the handle goes after it.
    openTunnel(error);
    closeHandle();
  }
  updateWatch();
}

void TcpClientPort::openTunnel(int error) {
  if (!firewallConfigured()) {
    if (tunnel_) tunnel_->close();
    connectionComplete(error);
    return;
  }
  if (error != 0) {
    tunnel_->close();
    if (above_) above_->onConnectionStatus(kTextFirewallConnectFailed, error, description(error));
    connectionComplete(error);
    return;
  }
  tunnel_->begin();
  if (above_) above_->onConnectionStatus(kTextFirewallConnectComplete, 0, "OK");
  if (fd_ < 0 || !socketConnected()) return;  // closed by a handler
  applyTunnelStep(tunnel_->open(*this, remoteText_, remotePort_));
}

void TcpClientPort::applyTunnelStep(TunnelStep &&step) {
  switch (step.kind) {
    case TunnelStep::Negotiating:
      return;
    case TunnelStep::Open:
      // The server's first bytes may have come with the proxy's last answer.
      if (!step.rest.empty() && above_) {
        const size_t n = std::min(step.rest.size(), above_->roomSize());
        std::copy_n(step.rest.data(), n, above_->room());
        above_->commit(n);
      }
      connectionComplete(0);
      return;
    case TunnelStep::Refused:
      if (above_) above_->onError(kSmtpFirewallFailed, step.event);
      lastErrorText = step.text;
      connectionComplete(kSmtpFirewallFailed);
      return;
    case TunnelStep::Failed:
      firewallFailure(step.event, step.text);
      return;
  }
}

void TcpClientPort::firewallFailure(const std::string &event, const std::string &text) {
  if (above_) above_->onError(kSmtpFirewallFailed, event);
  if (!text.empty()) lastErrorText = text;
  connectionComplete(kSmtpFirewallFailed);
  // Closing clears the negotiation; Connected reads False in the events until then.
  close(0);
}

void TcpClientPort::connectionComplete(int code) {
  if (code == 0 && above_) above_->onConnectionStatus(kTextConnectionComplete, 0, "OK");
  connectResult_ = code;
  connectText_ = lastErrorText;
  if (code == 0) {
    if (above_) above_->onNote(kTextConnected);
    return;
  }
  if (above_)
    above_->onError(kSmtpConnectionNote, formatted(kTextFailedToConnect, description(code)));
}

std::string TcpClientPort::description(int code) const {
  if (code == 0) return "OK";
  if (!lastErrorText.empty()) return lastErrorText;
  return textFromCode(code);
}

int TcpClientPort::waitForConnection() {
  interruptPending = false;
  const int rc = waitWhile(
      [this] { return fd_ >= 0 && (isConnecting() || negotiating()) && connectResult_ == 0; });
  if (rc != 0) {
    const std::string text = lastErrorText;
    close(0);
    return fail(rc, text);
  }
  if (above_) above_->stagesStand();
  if (connectResult_ != 0)
    return fail(connectResult_, connectText_.empty() ? textFromCode(connectResult_) : connectText_);
  if (!socketConnected()) return fail(kWaitEnded, kTextInterrupted);  // closed by a handler
  if ((above_ && above_->holdsDeliverable()) || recordsWaiting()) post();
  updateWatch();
  return 0;
}

int TcpClientPort::connect() {
  if (int rc = open()) return rc;
  return waitForConnection();
}

// ---------------------------------------------------------------- receiving

void TcpClientPort::onNotification(int fd, GIOCondition cond) {
  if (fd != fd_ || fd_ < 0) {
    SocketObject::onNotification(fd, cond);
    return;
  }
  if (isConnecting()) {
    if (cond & (G_IO_OUT | G_IO_ERR | G_IO_HUP)) {
      int error = pendingSocketError(fd);
      // A hang-up without a pending error is still no connection.
      if (error == 0 && (cond & (G_IO_ERR | G_IO_HUP)) && !(cond & G_IO_OUT))
        error = kWsaConnRefused;
      onConnectNotification(error);
    }
    return;
  }
  if (cond & (G_IO_IN | G_IO_ERR | G_IO_HUP)) readAndDeliver();
  // Writability only ends the wait step of a blocked send, which then sends on.
}

void TcpClientPort::resume() {
  if (socketConnected() &&
      ((above_ && above_->holdsDeliverable()) || recordsWaiting() || peerClosed_))
    readAndDeliver();
  updateWatch();
}

void TcpClientPort::readLoop(int budget) {
  while (fd_ >= 0 && !life_.closeRequested()) {
    // Nothing reads while nothing above takes the bytes.
    if (!above_) return;
    above_->deliver();
    if (fd_ < 0 || life_.closeRequested() || peerClosed_ || !above_ || above_->full() ||
        budget-- <= 0)
      return;
    // During a firewall negotiation the bytes go to the tunnel instead; under
    // TLS the record layer takes them and hands the plaintext up.
    const bool toFirewall = negotiating();
    if (!toFirewall && tls_) {
      if (!readRecords()) return;
      continue;
    }
    char firewallBytes[kNegotiationReadSize];
    char *space = toFirewall ? firewallBytes : above_->room();
    const size_t room =
        toFirewall ? std::min(sizeof firewallBytes, above_->roomSize()) : above_->roomSize();
    const ssize_t n = ::recv(fd_, space, room, MSG_DONTWAIT);
    if (n > 0) {
      const std::string_view got(space, static_cast<size_t>(n));
      if (record_.isOpen()) record_.write(false, got);
      if (toFirewall)
        applyTunnelStep(tunnel_->receive(got));
      else
        above_->commit(static_cast<size_t>(n));
      continue;
    }
    if (n == 0) {
      peerClosed_ = true;
      if (toFirewall && !tunnel_->finished()) applyTunnelStep(tunnel_->peerClosed());
      continue;
    }
    if (errno == EINTR) continue;
    const int err = lastSocketError();
    if (err == kWsaWouldBlock) return;
    reportReceiveFailure(err);
    // A socket that fails to read is lost; it closes with the failure once the bytes held above are
    // out.
    peerClosed_ = true;
    peerCloseError_ = err;
    if (toFirewall && !tunnel_->finished()) applyTunnelStep(tunnel_->peerClosed());
  }
}

void TcpClientPort::reportReceiveFailure(int err) {
  // A reset or a closed handle is a close of the peer, reported by the close itself.
  if (err == kWsaNotSocket || err == kWsaConnAborted || err == kWsaConnReset || !above_) return;
  char text[64];
  std::snprintf(text, sizeof text, kTextRecvFailed, err);
  above_->onError(err, text);
}

void TcpClientPort::readWaiting() {
  if (!life_.draining()) {
    readLoop(kReadBudget);
  } else if (above_ && above_->accepting()) {
    readLoop(kCloseDrainBudget);
  }
}

void TcpClientPort::readAndDeliver() {
  if (fd_ < 0) return;
  life_.read([this] { readWaiting(); }, [this] { return closeNow(); });
  if (fd_ < 0 || life_.state() != PortState::Open) return;
  // The peer has closed: the connection closes once what it sent before is handed on.
  if (peerClosed_ && !(above_ && above_->holdsDeliverable())) {
    close(peerCloseError_);
    return;
  }
  updateWatch();
}

// ---------------------------------------------------------------- closing

int TcpClientPort::close(int error) {
  switch (life_.state()) {
    case PortState::Closed:
      // Inside the disconnect events the running close finishes by itself.
      if (fd_ < 0) closeHandle();
      return 0;
    case PortState::Opening:
      // No connection yet, so nothing to report.
      return closeHandle();
    case PortState::Open:
    case PortState::Reading:
      closeError_ = error;
      break;
    case PortState::Draining:
    case PortState::ClosePending:
      break;  // the first close's error stands
  }
  unwatch();
  cancelPost();
  return life_.close([this] { readWaiting(); }, [this] { return closeNow(); });
}

int TcpClientPort::closeNow() {
  const int error = closeError_;
  // Connected reads False from the first disconnect event on.
  life_.set(PortState::Closed);
  // The description of a disconnect is the one of its own code.
  const std::string desc = error == 0 ? std::string("OK") : textFromCode(error);
  if (error != 0) lastErrorText = desc;
  if (above_) {
    if (firewallConfigured()) above_->onConnectionStatus(kTextFirewallDisconnected, error, desc);
    above_->onConnectionStatus(kTextRemoteDisconnected, error, desc);
    if (error == 0)
      above_->onNote(kTextDisconnected);
    else
      above_->onError(kSmtpConnectionNote, formatted(kTextDisconnectedWith, desc));
  }
  return closeHandle();
}

int TcpClientPort::closeHandle() {
  unwatch();
  cancelPost();
  record_.close();
  if (tls_) {
    // The close alert goes if the socket takes it at once; the server's is not awaited.
    if (fd_ >= 0 && tls_->established()) {
      tls_->bye();
      const std::string &alert = tls_->outgoing();
      if (!alert.empty()) {
        [[maybe_unused]] const ssize_t n =
            ::send(fd_, alert.data(), alert.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      }
    }
    tls_.reset();
  }
  maskRecordedSends_ = false;
  int rc = 0;
  if (fd_ >= 0) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) rc = lastSocketError();
  }
  life_.set(PortState::Closed);
  if (tunnel_) tunnel_->close();
  sendBlocked_ = false;
  closeError_ = 0;
  if (above_) above_->disconnected();
  return rc;
}

// ---------------------------------------------------------------- watch and posted reads

void TcpClientPort::updateWatch() {
  if (fd_ < 0) {
    unwatch();
    return;
  }
  int cond = 0;
  if (isConnecting()) {
    cond = G_IO_OUT;
  } else {
    // Reading goes on between hand-ons, into the free room above, so that a
    // peer's close is seen; a full room waits for the stage above.
    const bool recordsHeld = tls_ && (tls_->inputEnded() || tls_->unread() >= kRecordInputCap);
    const bool fullAbove = above_ == nullptr || above_->full();
    if (!peerClosed_ && !fullAbove && !recordsHeld) cond |= G_IO_IN;
    if (sendBlocked_) cond |= G_IO_OUT;
  }
  if (cond == 0)
    unwatch();
  else
    watch(fd_, static_cast<GIOCondition>(cond));
}

void TcpClientPort::post() {
  if (posted_ != nullptr || context() == nullptr) return;
  posted_ = g_idle_source_new();
  g_source_set_priority(posted_, G_PRIORITY_DEFAULT);
  g_source_set_callback(posted_, &TcpClientPort::postedCallback, this, nullptr);
  g_source_attach(posted_, context());
}

void TcpClientPort::cancelPost() {
  if (posted_ == nullptr) return;
  g_source_destroy(posted_);
  g_source_unref(posted_);
  posted_ = nullptr;
}

gboolean TcpClientPort::postedCallback(gpointer self) {
  auto *port = static_cast<TcpClientPort *>(self);
  // GLib keeps the source alive while it dispatches; ours is released now.
  g_source_unref(port->posted_);
  port->posted_ = nullptr;
  if (port->isConnecting() && port->postedConnectError_ != 0) {
    const int error = port->postedConnectError_;
    port->postedConnectError_ = 0;
    port->onConnectNotification(error);
  } else {
    port->readAndDeliver();
  }
  return G_SOURCE_REMOVE;
}

}  // namespace pelnet::smtp
