#include "session/smtp_session.h"

#include <netinet/in.h>

#include <algorithm>
#include <limits>

#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/kept_error_text.h"
#include "pelnet/runtime/resolve.h"
#include "pelnet/smtp_ids.h"
#include "session/session_steps.h"
#include "smtp_errors.h"

namespace pelnet::smtp {

using steps::awaitOr;
using steps::kAwaitReply;
using steps::kFromServer;
using steps::kInformation;
using steps::kToServer;

namespace {

constexpr const char *kTextConnecting = "Connecting to mail server.";
constexpr const char *kTextForcingDisconnection = "Forcing disconnection from mail server.";

std::string afterCode(const std::string &line) { return line.size() > 4 ? line.substr(4) : ""; }

// The reply's code: its three leading digits; a reply with fewer counts by the
// class of its first digit (a "4" alone is a temporary refusal all the same);
// 0 for one without a leading digit.
int replyCode(const std::string &line) {
  const auto digit = [&](size_t i) { return i < line.size() && line[i] >= '0' && line[i] <= '9'; };
  if (!digit(0)) return 0;
  if (!digit(1) || !digit(2)) return (line[0] - '0') * 100;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

}  // namespace

const char *stateName(SmtpState s) {
  switch (s) {
    case SmtpState::Idle:
      return "Idle";
    case SmtpState::Connecting:
      return "Connecting";
    case SmtpState::Greeting:
      return "Greeting";
    case SmtpState::Ehlo:
      return "Ehlo";
    case SmtpState::Helo:
      return "Helo";
    case SmtpState::StartTls:
      return "StartTls";
    case SmtpState::Auth:
      return "Auth";
    case SmtpState::Rset:
      return "Rset";
    case SmtpState::Mail:
      return "Mail";
    case SmtpState::Rcpt:
      return "Rcpt";
    case SmtpState::Data:
      return "Data";
    case SmtpState::Body:
      return "Body";
    case SmtpState::Dot:
      return "Dot";
    case SmtpState::Quit:
      return "Quit";
    case SmtpState::Expn:
      return "Expn";
    case SmtpState::Vrfy:
      return "Vrfy";
    case SmtpState::Command:
      return "Command";
  }
  return "?";
}

SmtpSession::SmtpSession(SocketObject &waits, ByteStage &below, const ConnectionFacts &facts,
                         pelsmtp::Message &message, SessionEvents &events)
    : port_(facts), wait_(waits), lines_(below, wait_, *this), message_(message), events_(events) {}

SmtpSession::~SmtpSession() = default;

void SmtpSession::setState(SmtpState s) {
  if (traceState) traceState(state_, s);
  state_ = s;
}

// ---------------------------------------------------------------- frame and exchange

int SmtpSession::frame(const std::function<int()> &body) {
  wait_.clearError();
  if (running_ != SmtpOperation::None) return wait_.fail(kSmtpBusy);
  const bool outermost = frameDepth_ == 0;
  if (outermost) {
    refusal_ = 0;
    refusedReplyCode_ = 0;
    timedOut_ = false;
  }
  wait_.armDeadline();
  wait_.dropInterrupt();
  ++frameDepth_;
  int rc = body();
  --frameDepth_;
  running_ = SmtpOperation::None;
  setState(SmtpState::Idle);
  if (rc == kWaitEnded) rc = wait_.ended();
  if (outermost) {
    refusedReplyCode_ = rc == kSmtpProtocol ? refusal_ : 0;
    timedOut_ = rc == kWaitEnded && wait_.lastError() == kTextTimeout;
  }
  return rc;
}

int SmtpSession::exchange(SmtpState state, std::string_view line) {
  setState(state);
  if (int rc = sendCommand(line)) return rc;
  return awaitReply();
}

int SmtpSession::sendWritten(std::string_view bytes) {
  setState(SmtpState::Body);
  if (int rc = lines_.send(bytes)) return rc;
  // The answer to the end of data, with no command of its own.
  setState(SmtpState::Dot);
  return awaitReply();
}

int SmtpSession::lastReplyCode() const { return replyCode(lastReply_); }

void SmtpSession::note(const std::string &text) { events_.onPITrail(kInformation, text); }

int SmtpSession::fail(int code, const std::string &text) { return wait_.fail(code, text); }

int SmtpSession::disconnectKeeping(int rc) {
  // Disconnect runs an operation of its own, which clears the last error.
  const KeptErrorText kept = wait_.keepError();
  disconnect();
  return rc;
}

int SmtpSession::pendingInterrupt() { return wait_.takeInterrupt(); }

int SmtpSession::sendCommand(std::string_view verb, const std::string *arg) {
  if (int rc = pendingInterrupt()) return rc;
  commandLine_.assign(verb);
  if (arg != nullptr) {
    commandLine_ += ' ';
    commandLine_ += *arg;
  }
  // The last guard against a line break reaching the wire: a handler may have
  // changed a setting after the operation checked its arguments.
  if (int rc = refuseLineBreaks(commandLine_)) return rc;
  events_.onPITrail(kToServer, commandLine_);
  std::string line(verb);
  if (arg != nullptr && !arg->empty()) {
    line += ' ';
    line += *arg;
  }
  return lines_.sendLine(line);
}

int SmtpSession::awaitReply() {
  return lines_.awaitReply([this](const std::string &line) { return onReplyLine(line); });
}

int SmtpSession::onReplyLine(const std::string &line) {
  lastReply_ = line;
  events_.onPITrail(kFromServer, lastReply_);
  if (state_ == SmtpState::Ehlo) ehloLines_.push_back(afterCode(lastReply_));
  if (lastReply_.size() >= 4 && lastReply_[3] == '-') {
    if (state_ == SmtpState::Expn) events_.onExpand(afterCode(lastReply_));
    return LineChannel::kMoreLines;
  }
  const char first = lastReply_.empty() ? '\0' : lastReply_[0];
  if (first == '1') return LineChannel::kMoreLines;
  if (first == '2' || first == '3') {
    if (state_ == SmtpState::Expn) events_.onExpand(afterCode(lastReply_));
    return 0;
  }
  // The reply that ended the operation, unless it is QUIT's, which only
  // follows the failure it would hide.
  if (state_ != SmtpState::Quit) refusal_ = replyCode(lastReply_);
  return wait_.fail(kSmtpProtocol, kTextProtocolErrorPrefix + lastReply_ + ".");
}

int SmtpSession::run(int first) {
  int rc = first;
  // Written for the queue, every command counts as answered.
  while (rc == kAwaitReply) rc = dispatch(lines_.diverted() ? 0 : awaitReply());
  return rc;
}

int SmtpSession::dispatch(int rc) {
  switch (state_) {
    case SmtpState::Greeting:
      return onGreetingReply(rc);
    case SmtpState::Ehlo:
      return onEhloReply(rc);
    case SmtpState::Helo:
      return onHeloReply(rc);
    case SmtpState::StartTls:
      return onStartTlsReply(rc);
    case SmtpState::Rset:
      return onRsetReply(rc);
    case SmtpState::Mail:
      return onMailReply(rc);
    case SmtpState::Rcpt:
      return onRcptReply(rc);
    case SmtpState::Data:
      return onDataReply(rc);
    case SmtpState::Dot:
      return onDotReply(rc);
    case SmtpState::Quit:
      return onQuitReply(rc);
    case SmtpState::Expn:
      return onExpnReply(rc);
    case SmtpState::Vrfy:
      return onVrfyReply(rc);
    case SmtpState::Command:
      return onCommandReply(rc);
    case SmtpState::Idle:
    case SmtpState::Connecting:
    case SmtpState::Auth:
    case SmtpState::Body:
      break;
  }
  // No reply is awaited in these states; a judge never leaves the dialogue here.
  return rc;
}

int SmtpSession::refuseLineBreaks(std::string_view text) {
  if (text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos) return 0;
  return wait_.fail(kSmtpLineBreakInArgument);
}

// ---------------------------------------------------------------- Connect

int SmtpSession::connect() {
  return frame([this] {
    running_ = SmtpOperation::Connect;
    if (lines_.connected()) return performAuth();
    return performConnect();
  });
}

int SmtpSession::performConnect() {
  setState(SmtpState::Connecting);
  if (int rc = refuseLineBreaks(settings.hello)) return rc;
  events_.onPITrail(kInformation, kTextConnecting);
  if (settings.hello.empty()) {
    std::string name;
    hostName(name);  // on failure the greeting name stays empty
    if (name.size() > kHelloNameMax) name.resize(kHelloNameMax);
    settings.hello = name;
  }
  lines_.reset();
  tlsStarted_ = false;
  if (int rc = lines_.connect()) return rc;
  // Implicit TLS: the greeting already comes over TLS.
  if (tls.implicit())
    if (int rc = handshake()) return rc;
  return run(performGreeting());
}

int SmtpSession::performGreeting() {
  setState(SmtpState::Greeting);
  if (int rc = pendingInterrupt()) return rc;
  return kAwaitReply;  // the greeting comes without a command
}

int SmtpSession::onGreetingReply(int rc) {
  if (rc != 0) return rc;
  // STARTTLS is an extension: without EHLO it cannot be asked for.
  if (tls.mode == PELNET_SMTP_tlsStartTlsRequired && !settings.allowExtensions &&
      !lines_.recordLayerActive())
    return refuseWithQuit(kSmtpStartTlsNotOffered, kTextStartTlsNeedsEhlo);
  return settings.allowExtensions ? performEhlo() : performHelo();
}

int SmtpSession::performEhlo() {
  setState(SmtpState::Ehlo);
  ehloLines_.clear();
  return awaitOr(sendCommand("EHLO", &settings.hello));
}

// Any failure of EHLO, a time-out included, falls back to HELO, unless TLS
// is required: before TLS, HELO offers no STARTTLS; and a refusal for now
// (4xx) ends the dialogue with that reply at either EHLO, so that the mail
// is tried again later as it would be without TLS, not reported as a server
// without STARTTLS.  A server that closes after its 421 has taken TLS down
// with it, so whether TLS came up is the dialogue's own record.
int SmtpSession::onEhloReply(int rc) {
  if (rc == 0) return afterEhlo();
  if (tls.mode != PELNET_SMTP_tlsStartTlsRequired) return performHelo();
  if (rc == kWaitEnded) return tlsStarted_ ? performHelo() : rc;
  if (refusedForNow(rc)) return endWithQuit(rc);
  if (!tlsStarted_) return refuseWithQuit(kSmtpStartTlsNotOffered, kTextStartTlsNotOffered);
  return performHelo();
}

int SmtpSession::performHelo() {
  setState(SmtpState::Helo);
  return awaitOr(sendCommand("HELO", &settings.hello));
}

int SmtpSession::onHeloReply(int rc) { return rc != 0 ? rc : performAuth(); }

int SmtpSession::performAuth() {
  setState(SmtpState::Auth);
  AuthSettings auth;
  auth.scheme = settings.authScheme;
  auth.user = settings.user;
  auth.password = settings.password;
  if (!authWanted(auth)) return 0;
  auth.target = port_.remoteHost();
  auth.service = port_.servicePrincipal("SMTP/");
  auth.offered = offeredMechanisms(ehloLines_);
  auth.tlsUp = lines_.recordLayerActive();
  security.setUseSystemSecurity(port_.systemSecurity());
  security.setCodePage(port_.textCodePage());
  lines_.maskRecordedSends(true);
  const int rc = authenticate(auth, security, *this);
  lines_.maskRecordedSends(false);
  return rc;
}

int SmtpSession::authExchange(const std::string &line) {
  if (int rc = sendCommand(line)) return rc;
  return awaitReply();
}

// ---------------------------------------------------------------- Disconnect

int SmtpSession::disconnect() {
  return frame([this] {
    running_ = SmtpOperation::Disconnect;
    int rc = 0;
    const bool wasConnected = lines_.transportUp();
    // No QUIT while a stage below the lines (the tunnel) is still setting itself up.
    if (wasConnected && lines_.connected()) {
      rc = run(performQuit());
      if (rc == kWaitEnded) {
        rc = 0;
        wait_.clearErrorText();
      } else if (rc != 0) {
        events_.onPITrail(kInformation, kTextForcingDisconnection);
      }
    }
    // The close and the steps after it set texts of their own; the QUIT's failure is the one kept.
    const KeptErrorText kept = wait_.keepError();
    if (wasConnected) lines_.close();
    for (int i = 0; i < kDisconnectSteps; ++i) wait_.step(0);
    return rc;
  });
}

int SmtpSession::performQuit() {
  setState(SmtpState::Quit);
  return awaitOr(sendCommand("QUIT"));
}

int SmtpSession::onQuitReply(int rc) { return rc; }

// ---------------------------------------------------------------- Send and the transaction

int SmtpSession::send(std::string_view verb) {
  return frame([this, verb] {
    verb_.assign(verb);
    if (int rc = checkTransactionArguments()) return rc;
    bool madeConnection = false;
    if (!lines_.connected()) {
      if (int rc = connect()) return rc;
      madeConnection = true;
    }
    running_ = SmtpOperation::Send;
    int rc = transaction();
    if (rc == 0 && madeConnection) {
      running_ = SmtpOperation::None;
      rc = disconnect();
    }
    return rc;
  });
}

// Every text that a transaction puts into a command line, checked before the
// first byte goes out: a CR or LF in one would end the line early and the rest
// would reach the server as a command of its own.
int SmtpSession::checkTransactionArguments() {
  if (!message_.from().empty())
    if (int rc = refuseLineBreaks(mailFromArgument())) return rc;
  for (const pelsmtp::Recipient &r : message_.recipientList()) {
    if (r.address.empty()) continue;
    if (int rc = refuseLineBreaks(r.address)) return rc;
    if (int rc = refuseLineBreaks(r.options)) return rc;
  }
  return 0;
}

std::string SmtpSession::mailFromArgument() const {
  const std::string &stored = message_.from();
  std::string_view f(stored);
  if (!f.empty() && f.front() == '<') f.remove_prefix(1);
  const bool leadingBracket = f.size() != stored.size();
  if (!f.empty() && f.back() == '>') f.remove_suffix(1);
  // A BEL byte asks for the rest of the stored text as it stands, brackets and all.
  if (!f.empty() && f.front() == '\a') return stored.substr(leadingBracket ? 2 : 1);
  const size_t open = f.find('<');
  if (open != std::string_view::npos) {
    f.remove_prefix(open + 1);
    const size_t close = f.find('>');
    if (close != std::string_view::npos) f = f.substr(0, close);
  }
  const std::string &returnPath = message_.returnPath();
  std::string arg = "<";
  if (!returnPath.empty())
    arg += returnPath;
  else
    arg += f;
  arg += '>';
  return arg;
}

int SmtpSession::transaction() {
  inMessageData_ = false;
  wait_.clearError();
  if (message_.from().empty()) return wait_.fail(kSmtpNoSender);
  const auto &list = message_.recipientList();
  const bool hasTo = std::any_of(list.begin(), list.end(), [](const pelsmtp::Recipient &r) {
    return r.type == pelsmtp::RecipientType::To;
  });
  if (!hasTo && !settings.allowEmptyTo) return wait_.fail(kSmtpNoRecipient);
  nextRecipient_ = 0;
  return run(lines_.diverted() ? performMail() : performRset());
}

int SmtpSession::queueTransaction(const std::function<int(std::string_view)> &out) {
  return frame([this, &out] {
    verb_ = "MAIL";
    if (int rc = checkTransactionArguments()) return rc;
    running_ = SmtpOperation::Send;
    lines_.divert(&out);
    const int rc = transaction();
    lines_.divert(nullptr);
    return rc;
  });
}

int SmtpSession::performRset() {
  setState(SmtpState::Rset);
  return awaitOr(sendCommand("RSET"));
}

// A refused RSET does not end the transaction (the MAIL reply decides); a
// wait that ended does, or the late RSET reply would be read as MAIL's.
int SmtpSession::onRsetReply(int rc) { return rc == kWaitEnded ? rc : performMail(); }

int SmtpSession::performMail() {
  setState(SmtpState::Mail);
  const std::string arg = "FROM: " + mailFromArgument();
  return awaitOr(sendCommand(verb_, &arg));
}

int SmtpSession::onMailReply(int rc) { return rc != 0 ? rc : performRcpt(); }

int SmtpSession::performRcpt() {
  // By index: a handler of an earlier reply may have changed the list.
  const auto &list = message_.recipientList();
  while (nextRecipient_ < list.size() && list[nextRecipient_].address.empty()) ++nextRecipient_;
  if (nextRecipient_ >= list.size()) return performData();
  const pelsmtp::Recipient r = list[nextRecipient_++];
  currentRecipientType_ = r.type;
  setState(SmtpState::Rcpt);
  std::string line = "RCPT TO:<" + r.address + ">";
  if (!r.options.empty()) {
    line += ' ';
    line += r.options;
  }
  return awaitOr(sendCommand(line));
}

bool SmtpSession::stopsOnRefusal(pelsmtp::RecipientType type) const {
  switch (type) {
    case pelsmtp::RecipientType::To:
      return settings.stopOnToErrors;
    case pelsmtp::RecipientType::Cc:
      return settings.stopOnCcErrors;
    case pelsmtp::RecipientType::BCc:
      return settings.stopOnBCCErrors;
  }
  return true;
}

int SmtpSession::onRcptReply(int rc) {
  if (rc == kSmtpProtocol && !stopsOnRefusal(currentRecipientType_)) {
    events_.onError(rc, wait_.lastError());
    return performRcpt();
  }
  return rc != 0 ? rc : performRcpt();
}

int SmtpSession::performData() {
  setState(SmtpState::Data);
  return awaitOr(sendCommand("DATA"));
}

int SmtpSession::onDataReply(int rc) { return rc != 0 ? rc : performMessage(); }

int SmtpSession::performMessage() {
  setState(SmtpState::Body);
  if (int rc = message_.compose()) return rc;
  message_.renewGeneratedDate();
  // Copies: a handler of the transfer events may write the message properties.
  const std::string header = message_.headerBlock();
  const std::string body = message_.body();

  if (lines_.diverted()) {
    // The queue file takes the message in one write and reports no transfer.
    if (int rc = lines_.send(header)) return rc;
    if (int rc = lines_.send(body)) return rc;
    if (int rc = lines_.send("\r\n")) return rc;
    return performDot();
  }
  // The header block, the body pieces and the end of data leave as one block.
  const auto hold = lines_.holdSegments();
  if (int rc = lines_.send(header)) return rc;
  transferTotal_ = body.empty() ? 1 : static_cast<int64_t>(body.size());
  inMessageData_ = true;
  if (!body.empty()) {
    events_.onStartTransfer(kToServer);
    for (size_t off = 0; off < body.size();) {
      const size_t n = std::min(kBodyPiece, body.size() - off);
      if (int rc = lines_.send(std::string_view(body).substr(off, n))) {
        inMessageData_ = false;
        return rc;
      }
      off += n;
      const int64_t sent = static_cast<int64_t>(off);
      events_.onTransfer(kToServer, sent, static_cast<int>(sent * 100 / transferTotal_));
    }
    events_.onEndTransfer(kToServer);
  }
  inMessageData_ = false;
  // Always: a body that ends in CR LF is then followed by an empty line.
  if (int rc = lines_.send("\r\n")) return rc;
  return performDot();
}

int SmtpSession::performDot() {
  setState(SmtpState::Dot);
  return awaitOr(sendCommand("."));
}

int SmtpSession::onDotReply(int rc) { return rc; }

// ---------------------------------------------------------------- Expand, Verify, Command

int SmtpSession::expand(const std::string &address) {
  return queryAddress(SmtpOperation::Expand, address);
}

int SmtpSession::verify(const std::string &address) {
  return queryAddress(SmtpOperation::Verify, address);
}

// Expand and Verify: the address becomes the rtTo list, whose formatted text
// is the argument of one EXPN or VRFY.
int SmtpSession::queryAddress(SmtpOperation op, const std::string &address) {
  if (int rc = message_.setRecipients(pelsmtp::RecipientType::To, address)) return rc;
  return frame([this, op] {
    std::string arg;
    if (int rc = message_.recipients(pelsmtp::RecipientType::To, arg)) return rc;
    if (int rc = refuseLineBreaks(arg)) return rc;
    if (!lines_.connected())
      if (int rc = connect()) return rc;
    running_ = op;
    return run(op == SmtpOperation::Expand ? performExpn(arg) : performVrfy(arg));
  });
}

int SmtpSession::performExpn(const std::string &arg) {
  setState(SmtpState::Expn);
  return awaitOr(sendCommand("EXPN", &arg));
}

int SmtpSession::onExpnReply(int rc) { return rc; }

int SmtpSession::performVrfy(const std::string &arg) {
  setState(SmtpState::Vrfy);
  return awaitOr(sendCommand("VRFY", &arg));
}

// The server's answer after the code becomes one more rtTo entry.
int SmtpSession::onVrfyReply(int rc) {
  if (rc != 0) return rc;
  pelsmtp::Recipient r;
  r.address = afterCode(lastReply_);
  r.type = pelsmtp::RecipientType::To;
  return message_.addRecipient(std::move(r));
}

int SmtpSession::resetHeaders() {
  return frame([this] {
    running_ = SmtpOperation::ResetHeaders;
    message_.resetHeaders();
    return 0;
  });
}

// The raw command does not mark the component busy, but is refused while another operation runs.
int SmtpSession::command(const std::string &line) {
  storedCommand_ = line;
  return frame([this, &line] {
    if (int rc = refuseLineBreaks(line)) return rc;
    if (!lines_.connected())
      if (int rc = connect()) return rc;
    return run(performCommand(line));
  });
}

int SmtpSession::performCommand(const std::string &line) {
  setState(SmtpState::Command);
  return awaitOr(sendCommand(line));
}

int SmtpSession::onCommandReply(int rc) { return rc; }

int SmtpSession::interrupt() {
  running_ = SmtpOperation::None;
  return wait_.interrupt();
}

// ---------------------------------------------------------------- from the connection

void SmtpSession::onConnectionStatus(const std::string &connectionEvent, int statusCode,
                                     const std::string &description) {
  events_.onConnectionStatus(connectionEvent, statusCode, description);
}

void SmtpSession::onNote(const std::string &text) { events_.onPITrail(kInformation, text); }

void SmtpSession::onError(int code, const std::string &text) { events_.onError(code, text); }

}  // namespace pelnet::smtp
