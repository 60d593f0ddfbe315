// The SMTP dialogue of the mail core: Connect, Disconnect, Send (and its
// SAML/SOML/SEND forms), Expand, Verify and the raw Command, over the TCP
// connection below it.
//
// The dialogue reads in the order it happens: each step that talks to the
// server has a function that sends its command (`performMail`) and one that
// judges the reply (`onMailReply`); `run()` waits for each reply and hands it
// to the judge of the current state through one dispatch.  A judge either
// sends the next command (and answers kAwaitReply) or ends the operation
// with its code.  The state changes only through setState(), which can trace.
//
// Everything is synchronous on the owning thread: a wait is a run of the
// runtime's wait steps, and the events fire from inside them, so a handler
// may call back into the core.  The operation frame turns such a call into
// 166 (busy), except Interrupt and closing the connection.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "compose/message.h"
#include "connection/line_channel.h"
#include "auth/smtp_auth.h"
#include "connection/byte_stage.h"
#include "connection/connection_stage.h"
#include "connection/wait_handle.h"
#include "tls/tls_settings.h"

namespace pelnet::smtp {

// The operation that marks the component busy (Idle reads True exactly at None).
enum class SmtpOperation { None, Connect, Disconnect, Send, ResetHeaders, Expand, Verify };

// Where the dialogue stands.  The states that await a reply have a judge.
enum class SmtpState {
  Idle,
  Connecting,
  Greeting,
  Ehlo,
  Helo,
  StartTls,
  Auth,
  Rset,
  Mail,
  Rcpt,
  Data,
  Body,
  Dot,
  Quit,
  Expn,
  Vrfy,
  Command,
};
const char *stateName(SmtpState s);

// The settings the dialogue reads (properties and Config of the mail component).
struct SessionSettings {
  bool allowExtensions = true;
  bool allowEmptyTo = false;
  bool stopOnToErrors = true;
  bool stopOnCcErrors = true;
  bool stopOnBCCErrors = false;
  std::string hello;  // taken from the host name at connect time when empty
  std::string user;
  std::string password;
  int authScheme = 0;
};

// What the dialogue reports upward; the core fires these as events.
class SessionEvents {
 public:
  virtual ~SessionEvents() = default;
  virtual void onPITrail(int direction, const std::string &message) = 0;
  virtual void onExpand(const std::string &address) = 0;
  virtual void onStartTransfer(int direction) = 0;
  virtual void onTransfer(int direction, int64_t bytesTransferred, int percentDone) = 0;
  virtual void onEndTransfer(int direction) = 0;
  virtual void onError(int code, const std::string &description) = 0;
  virtual void onConnectionStatus(const std::string &connectionEvent, int statusCode,
                                  const std::string &description) = 0;
};

class MessageQueue;

class SmtpSession : private ConnectionNotes, private AuthChannel {
 public:
  // The body goes out in pieces of this size so that OnTransfer reports progress.
  static constexpr size_t kBodyPiece = 8192;
  // Host names longer than this are cut (the platform query had a 99-byte buffer).
  static constexpr size_t kHelloNameMax = 98;
  // Wait steps after a close so that its notifications are handled before Disconnect returns.
  static constexpr int kDisconnectSteps = 100;

  // `waits` is the object the operation's errors and waits live in; `below`
  // the stack under the line stage; `facts` the connection's settings.
  SmtpSession(SocketObject &waits, ByteStage &below, const ConnectionFacts &facts,
              pelsmtp::Message &message, SessionEvents &events);
  ~SmtpSession() override;
  SmtpSession(const SmtpSession &) = delete;
  SmtpSession &operator=(const SmtpSession &) = delete;

  SessionSettings settings;
  // TLS on the connection: when and how the record layer goes in, and what it checks.
  TlsSettings tls;
  // The component's one security context: SMTP AUTH NTLM and GSSAPI (and a
  // proxy that asks for NTLM or Negotiate) take their tokens from it.
  SecurityContext security;

  // ---- operations (each returns 0 or a code, the text in the port's last error) ----
  int connect();
  int disconnect();
  // verb: "MAIL", "SAML", "SOML" or "SEND".
  int send(std::string_view verb);
  int expand(const std::string &address);
  int verify(const std::string &address);
  int resetHeaders();
  // Writing Command: the text as one whole command line.
  int command(const std::string &line);
  int interrupt();
  // The transaction with the verb MAIL written to `out` instead of the
  // connection, for the queue writer: the sender and recipient checks as for
  // Send, no RSET, every command line reported by OnPITrail and written with
  // its CR LF, no reply awaited (so no recipient is refused), no transfer
  // events.  Needs no connection; runs as an operation (busy check, deadline).
  int queueTransaction(const std::function<int(std::string_view)> &out);

  // ---- the steps a replay is made of (the queue's delivery of its files) ----
  // Runs `body` as one operation: the busy check, the deadline, the interrupt
  // request; the failure's text is the operation's last error.
  int operation(const std::function<int()> &body) { return frame(body); }
  // Marks the operation in progress (Idle reads False) or none.
  void markRunning(SmtpOperation op) { running_ = op; }
  // One command line in the state `state` and its whole reply: 0, 161 or 301.
  int exchange(SmtpState state, std::string_view line);
  // Bytes already in the form of the wire (dots doubled, the end of data
  // included) in the state Body, then the reply to the end of data.
  int sendWritten(std::string_view bytes);
  // An information line of OnPITrail.
  void note(const std::string &text);
  // Sets the operation's last error.
  int fail(int code, const std::string &text);
  // Disconnect as the last step of a larger operation: the failure `rc` that
  // ended it keeps its text across the QUIT and the close.
  int disconnectKeeping(int rc);

  // ---- what the last operation ended with, as values ----
  // The code of the 4xx or 5xx reply that ended it with 161 (a QUIT sent
  // after the refusal does not replace it); 0 when it ended otherwise.
  int refusedReplyCode() const { return refusedReplyCode_; }
  // The code LastReply starts with: its three digits (a shorter run of digits
  // counts by the class of its first), 0 when it starts with none.
  int lastReplyCode() const;
  // It ended with 301 because its deadline passed, not by an interrupt or a close.
  bool timedOut() const { return timedOut_; }

  // ---- state ----
  bool idle() const { return running_ == SmtpOperation::None; }
  SmtpOperation running() const { return running_; }
  SmtpState state() const { return state_; }
  const std::string &lastReply() const { return lastReply_; }
  const std::string &commandLine() const { return commandLine_; }
  const std::string &storedCommand() const { return storedCommand_; }
  bool inMessageData() const { return inMessageData_; }

  // Called on every state change (tests and diagnostics).
  std::function<void(SmtpState from, SmtpState to)> traceState;

 private:
  // ---- the frame and the exchange ----
  // The operation frame: busy check, deadline, interrupt request; `body`
  // marks its operation as running itself (after a nested Connect).
  int frame(const std::function<int()> &body);
  void setState(SmtpState s);
  // Exchange steps 1 to 3: the interrupt check, OnPITrail and the command
  // line on the wire.  `arg` null: the verb alone; else verb, a space and arg.
  int sendCommand(std::string_view verb, const std::string *arg = nullptr);
  // Exchange steps 4 to 7: the reply lines up to the final one.  0, 161 or 301.
  int awaitReply();
  // One reply line: OnPITrail (and OnExpand), then continuation, final or refused.
  int onReplyLine(const std::string &line);
  // Runs the dialogue from a perform step until a judge ends it.
  int run(int first);
  int dispatch(int replyCode);
  int pendingInterrupt();

  // ---- Connect ----
  int performConnect();
  int performGreeting();
  int onGreetingReply(int rc);
  int performEhlo();
  int onEhloReply(int rc);
  int performHelo();
  int onHeloReply(int rc);
  int performAuth();

  // ---- TLS (smtp_session_tls.cpp) ----
  // Whether the EHLO reply names `keyword` (case aside) as an extension.
  bool offers(std::string_view keyword) const;
  // After EHLO: STARTTLS when the mode asks for it, else authentication.
  int afterEhlo();
  int performStartTls();
  int onStartTlsReply(int rc);
  // The handshake on the open connection; a failure closes it (no plaintext follows).
  int handshake();
  // TLS was required and cannot be had: QUIT, close, and fail with `code`.
  int refuseWithQuit(int code, const std::string &text);
  // Whether `rc` is the server's refusal for now: a 4xx reply (161).
  bool refusedForNow(int rc) const;
  // The same for a failure that has its text already: QUIT and close, the
  // failed step's reply kept as LastReply.
  int endWithQuit(int code);
  // The name the certificate is checked against: TlsServerName, else the server as written.
  std::string tlsPeerName() const;
  // The AUTH exchanges' view of the dialogue (smtp_auth.h).
  int authExchange(const std::string &line) override;
  std::string &authLastReply() override { return lastReply_; }
  int authFail(int code, const std::string &text) override { return wait_.fail(code, text); }

  // ---- the transaction ----
  int transaction();
  int performRset();
  int onRsetReply(int rc);
  int performMail();
  int onMailReply(int rc);
  int performRcpt();
  int onRcptReply(int rc);
  int performData();
  int onDataReply(int rc);
  int performMessage();
  int performDot();
  int onDotReply(int rc);

  // ---- Disconnect, Expand, Verify, Command ----
  int performQuit();
  int onQuitReply(int rc);
  int queryAddress(SmtpOperation op, const std::string &address);
  int performExpn(const std::string &arg);
  int onExpnReply(int rc);
  int performVrfy(const std::string &arg);
  int onVrfyReply(int rc);
  int performCommand(const std::string &line);
  int onCommandReply(int rc);

  // ---- helpers ----
  // The address part of MAIL FROM (with its brackets), from From and ReturnPath.
  std::string mailFromArgument() const;
  // 167 when a text that goes into a command line holds CR, LF or NUL.
  int refuseLineBreaks(std::string_view text);
  int checkTransactionArguments();
  bool stopsOnRefusal(pelsmtp::RecipientType type) const;
  // What the connection reports besides lines.
  void onConnectionStatus(const std::string &connectionEvent, int statusCode,
                          const std::string &description) override;
  void onNote(const std::string &text) override;
  void onError(int code, const std::string &text) override;

  // What the dialogue names from the connection's settings only (the
  // server's name, the local settings); the dialogue itself goes through the
  // line stage and waits through the wait handle.
  const ConnectionFacts &port_;
  WaitHandle wait_;
  LineChannel lines_;
  pelsmtp::Message &message_;
  SessionEvents &events_;

  SmtpOperation running_ = SmtpOperation::None;
  // Operations run inside operations (Send's Connect); the values above are
  // the outermost one's.
  int frameDepth_ = 0;
  // The refusal of the running operation, QUIT's aside.
  int refusal_ = 0;
  int refusedReplyCode_ = 0;
  bool timedOut_ = false;
  SmtpState state_ = SmtpState::Idle;
  std::string lastReply_;
  // The lines of the last EHLO reply, each after its code.
  std::vector<std::string> ehloLines_;
  // The handshake went through on this connection (it may have closed since).
  bool tlsStarted_ = false;
  std::string commandLine_;
  std::string storedCommand_;
  bool inMessageData_ = false;
  int64_t transferTotal_ = 0;

  // The transaction in progress.
  std::string verb_ = "MAIL";
  size_t nextRecipient_ = 0;
  pelsmtp::RecipientType currentRecipientType_ = pelsmtp::RecipientType::To;
};

}  // namespace pelnet::smtp
