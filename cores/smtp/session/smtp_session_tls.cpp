// The dialogue's TLS steps: STARTTLS after EHLO (or the handshake right after
// the connection for implicit TLS), then EHLO again over TLS.  When TLS is
// required and cannot be had, nothing but QUIT follows: never the password,
// never the message.
#include <cctype>

#include "pelnet/runtime/kept_error_text.h"
#include "session/session_steps.h"
#include "session/smtp_session.h"
#include "smtp_errors.h"
#include "tls/tls_session.h"

namespace pelnet::smtp {

using steps::awaitOr;
using steps::kInformation;

namespace {

constexpr const char *kTextTlsStarted = "TLS started: ";
constexpr const char *kTextNotChecked =
    "The server's certificate was not checked (TlsVerify is False).";

bool sameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

bool SmtpSession::offers(std::string_view keyword) const {
  // The first line names the server; the extensions follow, each its keyword first.
  for (size_t i = 1; i < ehloLines_.size(); ++i) {
    const std::string_view line = ehloLines_[i];
    if (sameWord(line.substr(0, line.find(' ')), keyword)) return true;
  }
  return false;
}

int SmtpSession::afterEhlo() {
  if (!tls.startTlsWanted() || tlsStarted_) return performAuth();
  if (offers("STARTTLS")) return performStartTls();
  if (tls.mode == PELNET_SMTP_tlsStartTlsRequired)
    return refuseWithQuit(kSmtpStartTlsNotOffered, kTextStartTlsNotOffered);
  // STARTTLS when offered: the server did not, so the dialogue goes on in plaintext.
  return performAuth();
}

int SmtpSession::performStartTls() {
  setState(SmtpState::StartTls);
  return awaitOr(sendCommand("STARTTLS"));
}

int SmtpSession::onStartTlsReply(int rc) {
  if (rc == kWaitEnded) return rc;
  if (rc != 0) {
    if (tls.mode == PELNET_SMTP_tlsStartTlsRequired)
      return refuseWithQuit(kSmtpStartTlsRefused, kTextStartTlsRefusedPrefix + lastReply_ + ".");
    return performAuth();
  }
  if (int failed = handshake()) return failed;
  // What the server said before TLS may have been changed on the way: ask again.
  return performEhlo();
}

int SmtpSession::handshake() {
  if (int rc = pendingInterrupt()) return rc;
  lines_.reset();
  if (int rc = lines_.startRecordLayer(tlsRecordLayer(tls, tlsPeerName()))) {
    // A half-made TLS session carries nothing more: the connection closes, its text kept.
    const KeptErrorText kept = wait_.keepError();
    lines_.close();
    return rc;
  }
  tlsStarted_ = true;
  events_.onPITrail(kInformation, kTextTlsStarted + lines_.recordLayerSummary());
  if (!tls.verify && !tls.pinned) events_.onPITrail(kInformation, kTextNotChecked);
  return 0;
}

int SmtpSession::refuseWithQuit(int code, const std::string &text) {
  wait_.fail(code, text);
  {
    const KeptErrorText kept = wait_.keepError();
    run(performQuit());
    lines_.close();
  }
  return code;
}

bool SmtpSession::refusedForNow(int rc) const {
  return rc == kSmtpProtocol && !lastReply_.empty() && lastReply_[0] == '4';
}

int SmtpSession::endWithQuit(int code) {
  // The refusal is the failure: its reply stays LastReply, not the QUIT's.
  const std::string refusal = lastReply_;
  refuseWithQuit(code, wait_.lastError());
  lastReply_ = refusal;
  return code;
}

std::string SmtpSession::tlsPeerName() const {
  const std::string &name = tls.serverName;
  return name.empty() ? port_.remoteText() : name;
}

}  // namespace pelnet::smtp
