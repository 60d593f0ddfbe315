// The record layer's stage of the mail connection: the TLS handshake over
// the connection's own socket and wait steps, and the reading of records
// into plaintext for the stage above.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "connection/tcp_client_port.h"
#include "connection/tcp_socket_calls.h"
#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"
#include "smtp_errors.h"

namespace pelnet::smtp {

using tcp::lastSocketError;

namespace {

// Bytes read from the socket at a time under TLS (a record's largest size and its overhead).
constexpr size_t kRecordReadSize = 16384 + 2048;

}  // namespace

bool TcpClientPort::readRecords() {
  if (tls_->established() && above_) {
    size_t got = 0;
    std::string text;
    switch (tls_->read(above_->room(), above_->roomSize(), got, text)) {
      case RecordLayer::Read::Data:
        if (record_.isOpen()) record_.write(false, std::string_view(above_->room(), got));
        above_->commit(got);
        return true;
      case RecordLayer::Read::Closed:
        peerClosed_ = true;
        return true;
      case RecordLayer::Read::Failed:
        if (above_) above_->onError(kSmtpTlsHandshake, text);
        peerClosed_ = true;
        if (peerCloseError_ == 0) peerCloseError_ = kWsaConnAborted;
        return true;
      case RecordLayer::Read::More:
        break;
    }
  }
  if (tls_->inputEnded() || tls_->unread() >= kRecordInputCap) return false;
  char bytes[kRecordReadSize];
  const ssize_t n = ::recv(fd_, bytes, sizeof bytes, MSG_DONTWAIT);
  if (n > 0) {
    tls_->feed(std::string_view(bytes, static_cast<size_t>(n)));
    tlsArrived_ = true;
    // A handshake keeps the deadline of its start: a peer that sends a byte
    // now and then would otherwise hold it for as long as it likes.
    if (tls_->established()) rearmOnTraffic();
    return true;
  }
  if (n < 0 && errno == EINTR) return true;
  const int err = n < 0 ? lastSocketError() : 0;
  if (err == kWsaWouldBlock) return false;
  if (err != 0) reportReceiveFailure(err);
  // The session reads what it holds, then sees the end (during a handshake, as its failure).
  peerCloseError_ = err;
  tls_->endOfInput();
  tlsArrived_ = true;
  return tls_->established();
}

bool TcpClientPort::recordsWaiting() const {
  return tls_ != nullptr && tls_->established() &&
         (tls_->plainWaiting() || tls_->unread() > 0 || tls_->inputEnded());
}

int TcpClientPort::startTls(const RecordLayerMaker &makeRecordLayer) {
  // The stage above has dropped the plaintext it held (it came before TLS)
  // and the interrupt of an earlier operation.
  if (!connected() || fd_ < 0) return fail(kWsaNotConnected, winsockText(kWsaNotConnected));
  tlsInfo_.clear();
  std::unique_ptr<RecordLayer> layer;
  std::string text;
  if (int rc = makeRecordLayer(layer, text)) return fail(rc, text);
  tls_ = std::move(layer);
  // One deadline for the whole handshake, as a reply has one from its
  // command: neither the records it sends nor the bytes it reads re-arm it.
  rearmOnTraffic();
  const uint32_t handshakeDeadline = waits_.armedDeadline();
  for (;;) {
    int code = 0;
    const RecordLayer::Step step = tls_->handshake(code, text);
    if (int rc = flushRecords(false)) return rc;
    waits_.restoreDeadline(handshakeDeadline);
    if (step == RecordLayer::Step::Done) break;
    if (step == RecordLayer::Step::Failed) return fail(code, text);
    tlsArrived_ = false;
    updateWatch();
    while (!tlsArrived_) {
      if (fd_ < 0 || !socketConnected() || !tls_) return waits_.ended();  // closed by a handler
      if (waitStep(waitMillis) == Step::Stop) {
        if (tlsArrived_) break;
        return waits_.ended();
      }
    }
  }
  tlsInfo_ = tls_->info();
  // Records that came with the handshake's last ones (an implicit TLS greeting) are read now.
  if (recordsWaiting()) post();
  updateWatch();
  return 0;
}

}  // namespace pelnet::smtp
