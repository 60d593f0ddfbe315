// The mail connection's sending: whole blocks with the wait steps, the
// transfer rate limit, the segment hold, and under TLS the records that
// carry the plaintext.
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
using tcp::setStreamOption;

namespace {

// The rate window starts again after this long without a send.
constexpr uint32_t kRateWindowIdleMs = 60000;
// Plaintext handed to the session at a time, one record's worth.
constexpr size_t kRecordPlainSize = 16384;

}  // namespace

int TcpClientPort::beginHold() {
  if (fd_ >= 0) setStreamOption(fd_, IPPROTO_TCP, TCP_CORK, 1);
  return fd_;
}

void TcpClientPort::endHold(int token) {
  // A handler may have closed the connection meanwhile; the number is not ours then.
  if (token >= 0 && fd_ == token) setStreamOption(token, IPPROTO_TCP, TCP_CORK, 0);
}

int TcpClientPort::sendAll(std::string_view bytes) {
  const std::string_view one[] = {bytes};
  return sendBlock(one);
}

int TcpClientPort::sendBlock(std::span<const std::string_view> pieces) {
  interruptPending = false;
  if (!connected() || fd_ < 0) return fail(kWsaNotConnected, winsockText(kWsaNotConnected));
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string_view piece = pieces[i];
    bool laterBytes = false;
    for (size_t j = i + 1; j < pieces.size() && !laterBytes; ++j) laterBytes = !pieces[j].empty();
    if (!tls_) {
      if (int rc = sendRaw(piece, laterBytes, true)) return rc;
      continue;
    }
    if (!tls_->established()) return fail(kWsaNotConnected, winsockText(kWsaNotConnected));
    recordPlainSend(piece);
    // A record at a time, so the rate limit and the wait steps see the records as they go.
    for (size_t off = 0; off < piece.size();) {
      const size_t chunk = std::min(piece.size() - off, kRecordPlainSize);
      std::string text;
      if (int rc = tls_->write(piece.substr(off, chunk), text)) return fail(rc, text);
      off += chunk;
      if (int rc = flushRecords(laterBytes || off < piece.size())) return rc;
    }
  }
  return 0;
}

int TcpClientPort::sendRaw(std::string_view bytes, bool moreAfter, bool recordIt) {
  size_t off = 0;
  while (off < bytes.size()) {
    if (int rc = waitForTransferRate(); rc != 0) return rc;
    if (!socketConnected() || fd_ < 0) return fail(kWsaNotConnected, winsockText(kWsaNotConnected));
    size_t chunk = bytes.size() - off;
    // With a rate limit one send carries at most a second's worth.
    if (settings_.maxTransferRate > 0)
      chunk = static_cast<size_t>(
          std::min<int64_t>(static_cast<int64_t>(chunk), settings_.maxTransferRate));
    const bool more = moreAfter || off + chunk < bytes.size();
    const ssize_t n =
        ::send(fd_, bytes.data() + off, chunk, MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
    if (n > 0) {
      sendCounter_ += static_cast<uint64_t>(n);
      lastSendTime_ = tickCount();
      rearmOnTraffic();
      if (recordIt && record_.isOpen())
        record_.write(true, bytes.substr(off, static_cast<size_t>(n)));
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int err = n < 0 ? lastSocketError() : kWsaWouldBlock;
    if (err != kWsaWouldBlock) return err;
    // The socket's buffer is full: let the loop run until it takes more.
    sendBlocked_ = true;
    updateWatch();
    const Step step = waitStep(waitMillis);
    sendBlocked_ = false;
    updateWatch();
    if (step == Step::Stop) {
      return waits_.ended();
    }
  }
  return 0;
}

int TcpClientPort::flushRecords(bool moreAfter) {
  std::string records;
  records.swap(tls_->outgoing());
  return sendRaw(records, moreAfter, false);
}

void TcpClientPort::recordPlainSend(std::string_view plain) {
  if (!record_.isOpen()) return;
  if (!maskRecordedSends_) {
    record_.write(true, plain);
    return;
  }
  // "AUTH PLAIN <secret>" keeps its first two words; a line that is all secret keeps none.
  std::string shown;
  if (plain.substr(0, 5) == "AUTH ") {
    const size_t mechanismEnd = plain.find_first_of(" \r\n", 5);
    shown.assign(
        plain.substr(0, mechanismEnd == std::string_view::npos ? plain.size() : mechanismEnd));
    if (mechanismEnd != std::string_view::npos && plain[mechanismEnd] == ' ') shown += " ****";
  } else {
    shown = "****";
  }
  if (plain.size() >= 2 && plain.substr(plain.size() - 2) == "\r\n") shown += "\r\n";
  record_.write(true, shown);
}

int TcpClientPort::rawSend(std::string_view bytes, size_t *sent) {
  if (sent) *sent = 0;
  if (!socketConnected() || fd_ < 0) return fail(kWsaNotConnected, winsockText(kWsaNotConnected));
  ssize_t n;
  do {
    n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return lastSocketError();
  if (record_.isOpen()) record_.write(true, bytes.substr(0, static_cast<size_t>(n)));
  if (sent) *sent = static_cast<size_t>(n);
  return 0;
}

int TcpClientPort::waitForTransferRate() {
  const int64_t limit = settings_.maxTransferRate;
  if (limit <= 0) return 0;
  for (;;) {
    const uint32_t now = tickCount();
    if (!sentBefore_ || now - lastSendTime_ > kRateWindowIdleMs) {
      rateWindowStart_ = now;
      sendCounter_ = 0;
      sentBefore_ = true;
      lastSendTime_ = now;
    }
    const uint64_t elapsed = now - rateWindowStart_;
    if (sendCounter_ == 0) return 0;
    // Bytes per second, rounded; nothing can have gone at a finite rate in no time.
    if (elapsed > 0 &&
        (sendCounter_ * 1000 + elapsed / 2) / elapsed <= static_cast<uint64_t>(limit))
      return 0;
    if (waitStep(waitMillis) == Step::Stop) {
      return waits_.ended();
    }
  }
}

}  // namespace pelnet::smtp
