#include "smtp_core.h"

#include "pelnet/runtime/errors.h"
#include "pelnet/smtp_ids.h"
#include "smtp_errors.h"

namespace pelnet::smtp {

namespace {

constexpr int32_t kDefaultTimeoutSeconds = 60;

}  // namespace

SmtpCore::SmtpCore(pelnet_event_fn callback, void *user)
    : CoreBase(callback, user),
      session_(port_, port_, port_, message_, *this),
      queue_(session_, reinterpret_cast<uintptr_t>(this)) {
  port_.setSink(this);
  port_.setTunnel(&tunnel_);
  tunnel_.setProxyTokens(&proxyTokens_);
  port_.setErrorTable(kSmtpErrors);
  port_.setTimeout(kDefaultTimeoutSeconds);
  message_.setInstanceNumber(reinterpret_cast<uintptr_t>(this));
  message_.setCharsetMode(port_.charsetMode);
}

SmtpCore::~SmtpCore() = default;

// ---------------------------------------------------------------- settings

ConfigResult SmtpCore::boolSetting(const ParsedSetting &s, bool &field, std::string &answer,
                                   bool numericAnswer) {
  if (s.query)
    answer = numericAnswer ? (field ? "1" : "0") : boolText(field);
  else
    field = readBool(s.value);
  return 0;
}

ConfigResult SmtpCore::configComponent(const ParsedSetting &s, std::string &answer) {
  SessionSettings &ss = session_.settings;
  const std::string &n = s.name;
  if (sameName(n, "KeepQueue")) return boolSetting(s, keepQueue_, answer);
  if (sameName(n, "AllowEmptyTo")) return boolSetting(s, ss.allowEmptyTo, answer);
  if (sameName(n, "StopOnToErrors")) return boolSetting(s, ss.stopOnToErrors, answer);
  if (sameName(n, "StopOnCcErrors")) return boolSetting(s, ss.stopOnCcErrors, answer);
  if (sameName(n, "StopOnBCCErrors")) return boolSetting(s, ss.stopOnBCCErrors, answer);
  if (sameName(n, "UseExtendedDST")) return boolSetting(s, useExtendedDST_, answer, true);
  if (sameName(n, "MaxHeaderLength")) {
    if (s.query)
      answer = std::to_string(message_.maxHeaderLength());
    else
      message_.setMaxHeaderLength(static_cast<uint16_t>(readInt(s.value)));
    return 0;
  }
  if (sameName(n, "Hello")) {
    if (s.query)
      answer = ss.hello;
    else
      ss.hello = s.value;
    return 0;
  }
  if (sameName(n, "ReturnPath")) {
    if (s.query) {
      answer = message_.returnPath();
      return 0;
    }
    return message_.setReturnPath(s.value);
  }
  if (sameName(n, "OtherHeaders")) {
    if (s.query) {
      answer = message_.otherHeaders();
      return 0;
    }
    return message_.setOtherHeaders(s.value);
  }
  if (sameName(n, "Charset")) {
    if (s.query) {
      answer = message_.charset();
      return 0;
    }
    return message_.setCharset(s.value);
  }
  if (sameName(n, "CharsetMode")) {
    // The composition's own copy first; the common layer then takes the
    // assignment too and answers the query.
    if (!s.query) message_.setCharsetMode(readInt(s.value));
    return std::nullopt;
  }
  return configFirewall(s, answer);
}

// The firewall settings of the connection, the same values as the properties.
ConfigResult SmtpCore::configFirewall(const ParsedSetting &s, std::string &answer) {
  const std::string &n = s.name;
  if (sameName(n, "FirewallAutoDetect")) {
    if (s.query) return boolSetting(s, firewallAutoDetect_, answer);
    return setFirewallAutoDetect(readBool(s.value));
  }
  if (sameName(n, "FirewallHost")) {
    if (!s.query) return tunnel_.setHost(s.value, port_.ipv6(), &port_);
    answer = tunnel_.hostText(port_.ipv6());
    return 0;
  }
  if (sameName(n, "FirewallPort")) {
    if (s.query)
      answer = std::to_string(tunnel_.target().port);
    else
      tunnel_.target().port = readInt(s.value);
    return 0;
  }
  if (sameName(n, "FirewallType")) {
    if (s.query)
      answer = std::to_string(tunnel_.target().type);
    else
      tunnel_.setType(readInt(s.value));
    return 0;
  }
  if (sameName(n, "FirewallUser") || sameName(n, "FirewallPassword")) {
    std::string &field =
        sameName(n, "FirewallUser") ? tunnel_.target().user : tunnel_.target().password;
    if (s.query)
      answer = field;
    else
      ProxyTunnel::setField(field, s.value);
    return 0;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- methods

std::optional<MethodSignature> SmtpCore::methodSignature(int id) const {
  switch (id) {
    case PELNET_SMTP_METHOD_Config:
    case PELNET_SMTP_METHOD_Queue:
      return MethodSignature{{ValueKind::Text}, ValueKind::Text};
    case PELNET_SMTP_METHOD_Expand:
    case PELNET_SMTP_METHOD_ProcessQueue:
    case PELNET_SMTP_METHOD_Verify:
      return MethodSignature{{ValueKind::Text}, std::nullopt};
    default:
      // Every other id, unknown ones included, takes no arguments; an unknown
      // one answers 0 and does nothing.
      return MethodSignature{{}, std::nullopt};
  }
}

int SmtpCore::queueResult(int rc) {
  const MessageQueue::Failure &failure = queue_.failure();
  if (rc == 0 || failure.code != rc) return rc;
  return failure.text.empty() ? port_.fail(rc) : port_.fail(rc, failure.text);
}

int SmtpCore::callMethod(int id, std::vector<Value> &args, Value &result) {
  switch (id) {
    case PELNET_SMTP_METHOD_Config:
      return config(args.at(0).s, result.s);
    case PELNET_SMTP_METHOD_Connect:
      return session_.connect();
    case PELNET_SMTP_METHOD_Disconnect:
      return session_.disconnect();
    case PELNET_SMTP_METHOD_DoEvents:
      return port_.doEvents();
    case PELNET_SMTP_METHOD_Expand:
      return session_.expand(args.at(0).s);
    case PELNET_SMTP_METHOD_Interrupt:
      return session_.interrupt();
    case PELNET_SMTP_METHOD_ProcessQueue:
      return queueResult(queue_.processQueue(args.at(0).s, keepQueue_));
    case PELNET_SMTP_METHOD_Queue:
      return queueResult(queue_.queue(args.at(0).s, result.s));
    case PELNET_SMTP_METHOD_ResetHeaders:
      return session_.resetHeaders();
    case PELNET_SMTP_METHOD_Send:
      return session_.send("MAIL");
    case PELNET_SMTP_METHOD_SendToTerminalAndEmail:
      return session_.send("SAML");
    case PELNET_SMTP_METHOD_SendToTerminalOnly:
      return session_.send("SEND");
    case PELNET_SMTP_METHOD_SendToTerminalOrEmail:
      return session_.send("SOML");
    case PELNET_SMTP_METHOD_Verify:
      return session_.verify(args.at(0).s);
    default:
      return 0;
  }
}

int SmtpCore::errorEventId() const { return PELNET_SMTP_EVENT_Error; }

// ---------------------------------------------------------------- events

void SmtpCore::onPITrail(int direction, const std::string &message) {
  fireEvent(PELNET_SMTP_EVENT_PITrail, {EventParam::integer(direction), EventParam::text(message)});
}

void SmtpCore::onExpand(const std::string &address) {
  fireEvent(PELNET_SMTP_EVENT_Expand, {EventParam::text(address)});
}

void SmtpCore::onStartTransfer(int direction) {
  fireEvent(PELNET_SMTP_EVENT_StartTransfer, {EventParam::integer(direction)});
}

void SmtpCore::onTransfer(int direction, int64_t bytesTransferred, int percentDone) {
  fireEvent(PELNET_SMTP_EVENT_Transfer,
            {EventParam::integer(direction), EventParam::int64(bytesTransferred),
             EventParam::integer(percentDone)});
}

void SmtpCore::onEndTransfer(int direction) {
  fireEvent(PELNET_SMTP_EVENT_EndTransfer, {EventParam::integer(direction)});
}

void SmtpCore::onError(int code, const std::string &description) { fireError(code, description); }

void SmtpCore::onConnectionStatus(const std::string &connectionEvent, int statusCode,
                                  const std::string &description) {
  fireEvent(PELNET_SMTP_EVENT_ConnectionStatus,
            {EventParam::text(connectionEvent), EventParam::integer(statusCode),
             EventParam::text(description)});
}

}  // namespace pelnet::smtp
