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
      session_(port_, message_, *this),
      queue_(session_, reinterpret_cast<uintptr_t>(this)) {
  port_.setSink(this);
  port_.tunnel().setProxyTokens(&proxyTokens_);
  port_.setErrorTable(kSmtpErrors);
  port_.setTimeout(kDefaultTimeoutSeconds);
  message_.setInstanceNumber(reinterpret_cast<uintptr_t>(this));
  message_.setCharsetMode(port_.charsetMode);
}

SmtpCore::~SmtpCore() = default;

<<<<<<< HEAD
=======
// ---------------------------------------------------------------- properties

std::optional<ValueKind> SmtpCore::propertyKind(int id) const {
  static constexpr PropertyEntry kProperties[] = {PELNET_SMTP_PROPERTIES(PELNET_PROPERTY_ENTRY)};
  return kindOfProperty(kProperties, id);
}

int SmtpCore::setProperty(int id, int index, const Value &v) {
  SessionSettings &s = session_.settings;
  switch (id) {
    case PELNET_SMTP_PROP_AllowExtensions:
      s.allowExtensions = v.i != 0;
      return 0;
    case PELNET_SMTP_PROP_AuthScheme:
      s.authScheme = static_cast<int>(v.i);
      return 0;
    case PELNET_SMTP_PROP_BCc:
    case PELNET_SMTP_PROP_Cc:
    case PELNET_SMTP_PROP_SendTo:
      return message_.setRecipients(recipientTypeOf(id), v.s);
    case PELNET_SMTP_PROP_Command:
      return session_.command(v.s);
    case PELNET_SMTP_PROP_Connected:
      return setConnected(v.i != 0);
    case PELNET_SMTP_PROP_DeliveryNotificationTo:
      return message_.setDeliveryNotificationTo(v.s);
    case PELNET_SMTP_PROP_FirewallAutoDetect:
      return setFirewallAutoDetect(v.i != 0);
    case PELNET_SMTP_PROP_FirewallType:
      port_.tunnel().setType(static_cast<int>(v.i));
      return 0;
    case PELNET_SMTP_PROP_FirewallHost:
      return port_.tunnel().setHost(v.s, port_.ipv6(), &port_);
    case PELNET_SMTP_PROP_FirewallPassword:
      ProxyTunnel::setField(port_.firewall().password, v.s);
      return 0;
    case PELNET_SMTP_PROP_FirewallPort:
      port_.firewall().port = static_cast<int>(v.i);
      return 0;
    case PELNET_SMTP_PROP_FirewallUser:
      ProxyTunnel::setField(port_.firewall().user, v.s);
      return 0;
    case PELNET_SMTP_PROP_From:
      return message_.setFrom(v.s);
    case PELNET_SMTP_PROP_Importance:
      message_.setImportance(static_cast<int>(v.i));
      return 0;
    case PELNET_SMTP_PROP_LocalHost:
      // Taken at any time; used at the next connect.
      return port_.setLocalHost(v.s);
    case PELNET_SMTP_PROP_MailPort:
      return port_.setRemotePort(static_cast<int>(v.i));
    case PELNET_SMTP_PROP_MailServer:
      return port_.setRemoteHost(v.s);
    case PELNET_SMTP_PROP_Message:
      return message_.setMessage(v.s);
    case PELNET_SMTP_PROP_MessageDate:
      return message_.setMessageDate(v.s);
    case PELNET_SMTP_PROP_MessageId:
      return message_.setMessageId(v.s);
    case PELNET_SMTP_PROP_MessageRecipientCount:
      return message_.setRecipientCount(static_cast<size_t>(std::max<intptr_t>(v.i, 0)));
    case PELNET_SMTP_PROP_MessageRecipientAddress:
    case PELNET_SMTP_PROP_MessageRecipientName:
    case PELNET_SMTP_PROP_MessageRecipientOptions:
    case PELNET_SMTP_PROP_MessageRecipientType:
      return setIndexed(id, index, v);
    case PELNET_SMTP_PROP_MessageText:
      return message_.setMessageText(v.s);
    case PELNET_SMTP_PROP_OtherHeaders:
      return message_.setOtherHeaders(v.s);
    case PELNET_SMTP_PROP_Password:
      s.password = v.s;
      return 0;
    case PELNET_SMTP_PROP_Priority:
      message_.setPriority(static_cast<int>(v.i));
      return 0;
    case PELNET_SMTP_PROP_ReadReceiptTo:
      return message_.setReadReceiptTo(v.s);
    case PELNET_SMTP_PROP_ReplyTo:
      return message_.setReplyTo(v.s);
    case PELNET_SMTP_PROP_ReturnPath:
      return message_.setReturnPath(v.s);
    case PELNET_SMTP_PROP_Sensitivity:
      message_.setSensitivity(static_cast<int>(v.i));
      return 0;
    case PELNET_SMTP_PROP_Subject:
      return message_.setSubject(v.s);
    case PELNET_SMTP_PROP_Timeout:
      port_.setTimeout(static_cast<int32_t>(v.i));
      return 0;
    case PELNET_SMTP_PROP_User:
      s.user = v.s;
      return 0;
    case PELNET_SMTP_PROP_TlsMode:
    case PELNET_SMTP_PROP_TlsCAFile:
    case PELNET_SMTP_PROP_TlsServerName:
    case PELNET_SMTP_PROP_TlsPinnedFingerprint:
    case PELNET_SMTP_PROP_TlsVerify:
      return setTlsProperty(id, v);
    default:  // read-only and unknown ids
      return kUnknownSetting;
  }
}

Value SmtpCore::getProperty(int id, int index) {
  const SessionSettings &s = session_.settings;
  switch (id) {
    case PELNET_SMTP_PROP_AllowExtensions:
      return Value::integer(s.allowExtensions);
    case PELNET_SMTP_PROP_AuthScheme:
      return Value::integer(s.authScheme);
    case PELNET_SMTP_PROP_BCc:
    case PELNET_SMTP_PROP_Cc:
    case PELNET_SMTP_PROP_SendTo: {
      std::string text;
      message_.recipients(recipientTypeOf(id), text);
      return Value::text(std::move(text));
    }
    case PELNET_SMTP_PROP_Command:
      return Value::text(session_.storedCommand());
    case PELNET_SMTP_PROP_Connected:
      return Value::integer(port_.connected());
    case PELNET_SMTP_PROP_DeliveryNotificationTo:
      return Value::text(message_.deliveryNotificationTo());
    case PELNET_SMTP_PROP_FirewallAutoDetect:
      return Value::integer(firewallAutoDetect_);
    case PELNET_SMTP_PROP_FirewallType:
      return Value::integer(port_.firewall().type);
    case PELNET_SMTP_PROP_FirewallHost:
      return Value::text(port_.tunnel().hostText(port_.ipv6()));
    case PELNET_SMTP_PROP_FirewallPassword:
      return Value::text(port_.firewall().password);
    case PELNET_SMTP_PROP_FirewallPort:
      return Value::integer(port_.firewall().port);
    case PELNET_SMTP_PROP_FirewallUser:
      return Value::text(port_.firewall().user);
    case PELNET_SMTP_PROP_From:
      return Value::text(message_.from());
    case PELNET_SMTP_PROP_Idle:
      return Value::integer(session_.idle());
    case PELNET_SMTP_PROP_Importance:
      return Value::integer(message_.importance());
    case PELNET_SMTP_PROP_LastReply:
      return Value::text(session_.lastReply());
    case PELNET_SMTP_PROP_LocalHost:
      return Value::text(port_.localHostText());
    case PELNET_SMTP_PROP_MailPort:
      return Value::integer(port_.remotePort());
    case PELNET_SMTP_PROP_MailServer:
      return Value::text(port_.remoteHost());
    case PELNET_SMTP_PROP_Message:
    case PELNET_SMTP_PROP_MessageText:
      return Value::text(message_.body());
    case PELNET_SMTP_PROP_MessageDate:
      return Value::text(message_.messageDate());
    case PELNET_SMTP_PROP_MessageHeaderCount:
      return Value::integer(static_cast<intptr_t>(message_.headerCount()));
    case PELNET_SMTP_PROP_MessageHeadersString:
      // Reading composes; a composition cut short by memory still shows what it built.
      message_.compose();
      return Value::text(message_.headerBlock());
    case PELNET_SMTP_PROP_MessageId:
      return Value::text(message_.messageId());
    case PELNET_SMTP_PROP_MessageRecipientCount:
      return Value::integer(static_cast<intptr_t>(message_.recipientCount()));
    case PELNET_SMTP_PROP_MessageHeaderField:
    case PELNET_SMTP_PROP_MessageHeaderValue:
    case PELNET_SMTP_PROP_MessageRecipientAddress:
    case PELNET_SMTP_PROP_MessageRecipientName:
    case PELNET_SMTP_PROP_MessageRecipientOptions:
    case PELNET_SMTP_PROP_MessageRecipientType:
      return getIndexed(id, index);
    case PELNET_SMTP_PROP_OtherHeaders:
      return Value::text(message_.otherHeaders());
    case PELNET_SMTP_PROP_Password:
      return Value::text(s.password);
    case PELNET_SMTP_PROP_Priority:
      return Value::integer(message_.priority());
    case PELNET_SMTP_PROP_ReadReceiptTo:
      return Value::text(message_.readReceiptTo());
    case PELNET_SMTP_PROP_ReplyTo:
      return Value::text(message_.replyTo());
    case PELNET_SMTP_PROP_ReturnPath:
      return Value::text(message_.returnPath());
    case PELNET_SMTP_PROP_Sensitivity:
      return Value::integer(message_.sensitivity());
    case PELNET_SMTP_PROP_Subject:
      return Value::text(message_.subject());
    case PELNET_SMTP_PROP_Timeout:
      return Value::integer(port_.timeout());
    case PELNET_SMTP_PROP_User:
      return Value::text(s.user);
    case PELNET_SMTP_PROP_TlsMode:
      return Value::integer(port_.tls().mode);
    case PELNET_SMTP_PROP_TlsCAFile:
      return Value::text(port_.tls().caFile);
    case PELNET_SMTP_PROP_TlsServerName:
      return Value::text(port_.tls().serverName);
    case PELNET_SMTP_PROP_TlsPinnedFingerprint:
      return Value::text(port_.tls().pinnedText);
    case PELNET_SMTP_PROP_TlsVerify:
      return Value::integer(port_.tls().verify);
    case PELNET_SMTP_PROP_TlsInfo:
      return Value::text(port_.tlsInfo());
    default:
      return Value::integer(0);
  }
}

int SmtpCore::setTlsProperty(int id, const Value &v) {
  TlsSettings &tls = port_.tls();
  switch (id) {
    case PELNET_SMTP_PROP_TlsMode:
      // Unknown modes are refused rather than read as plaintext.
      if (v.i < PELNET_SMTP_tlsNone || v.i > PELNET_SMTP_tlsStartTlsOptional)
        return port_.fail(kSmtpBadTlsMode);
      tls.mode = static_cast<int>(v.i);
      return 0;
    case PELNET_SMTP_PROP_TlsCAFile:
      tls.caFile = v.s;
      return 0;
    case PELNET_SMTP_PROP_TlsServerName:
      return refuseControlBytes(v.s, tls.serverName);
    case PELNET_SMTP_PROP_TlsPinnedFingerprint: {
      if (v.s.empty()) {
        tls.pinned.reset();
        tls.pinnedText.clear();
        return 0;
      }
      const std::optional<Sha256> digest = parseFingerprint(v.s);
      if (!digest) return port_.fail(kSmtpBadFingerprint);
      tls.pinned = digest;
      tls.pinnedText = v.s;
      return 0;
    }
    case PELNET_SMTP_PROP_TlsVerify:
      tls.verify = v.i != 0;
      return 0;
    default:
      return kUnknownSetting;
  }
}

int SmtpCore::refuseControlBytes(const std::string &text, std::string &field) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return port_.fail(kSmtpBadServerName);
  field = text;
  return 0;
}

bool SmtpCore::indexValid(int id, int index) const {
  if (index < 0) return false;
  const size_t i = static_cast<size_t>(index);
  if (isHeaderIndexed(id)) return i < message_.headerCount();
  if (isRecipientIndexed(id)) return i < message_.recipientCount();
  return true;
}

int SmtpCore::checkIndex(int id, int index) {
  if (id >= PELNET_WIDE_OFFSET) id -= PELNET_WIDE_OFFSET;
  return indexValid(id, index) ? 0 : kInvalidIndex;
}

int SmtpCore::setIndexed(int id, int index, const Value &v) {
  if (!indexValid(id, index)) return kSmtpIndexOutOfRange;
  pelsmtp::Recipient &r = message_.recipient(static_cast<size_t>(index));
  switch (id) {
    case PELNET_SMTP_PROP_MessageRecipientAddress:
      r.address = v.s;
      break;
    case PELNET_SMTP_PROP_MessageRecipientName:
      r.name = v.s;
      break;
    case PELNET_SMTP_PROP_MessageRecipientOptions:
      r.options = v.s;
      break;
    case PELNET_SMTP_PROP_MessageRecipientType:
      r.type = static_cast<RecipientType>(v.i);
      break;
    default:
      return kUnknownSetting;
  }
  return 0;
}

// A read cannot return a code: an index out of range leaves 432 as the last
// error and reads as 0 or "".
Value SmtpCore::getIndexed(int id, int index) {
  if (!indexValid(id, index)) {
    port_.lastErrorCode = port_.fail(kSmtpIndexOutOfRange);
    return Value::text("");
  }
  const size_t i = static_cast<size_t>(index);
  switch (id) {
    case PELNET_SMTP_PROP_MessageHeaderField:
      return Value::text(message_.headerField(i));
    case PELNET_SMTP_PROP_MessageHeaderValue:
      return Value::text(message_.headerValue(i));
    case PELNET_SMTP_PROP_MessageRecipientAddress:
      return Value::text(message_.recipient(i).address);
    case PELNET_SMTP_PROP_MessageRecipientName:
      return Value::text(message_.recipient(i).name);
    case PELNET_SMTP_PROP_MessageRecipientOptions:
      return Value::text(message_.recipient(i).options);
    case PELNET_SMTP_PROP_MessageRecipientType:
      return Value::integer(static_cast<intptr_t>(message_.recipient(i).type));
    default:
      return Value::integer(0);
  }
}

// True runs Connect; False closes at once, without QUIT, whatever is running.
int SmtpCore::setConnected(bool on) {
  if (on) return session_.connect();
  return port_.close();
}

// True takes a SOCKS proxy from the desktop's settings (proxy_autodetect.h):
// SOCKS5, its host and, when it names one, its port; everything else stays.
// Either way the firewall host is cleared first.
int SmtpCore::setFirewallAutoDetect(bool on) {
  firewallAutoDetect_ = on;
  port_.firewall().host = HostAddress();
  if (!on) return 0;
  const std::optional<DetectedProxy> proxy = detectSocksProxy();
  if (!proxy) return 0;
  port_.firewall().type = kFirewallSocks5;
  if (int rc = port_.tunnel().setHost(proxy->host, port_.ipv6(), &port_)) return rc;
  if (proxy->port != 0) port_.firewall().port = proxy->port;
  return 0;
}

>>>>>>> lookups
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
    if (!s.query) return port_.tunnel().setHost(s.value, port_.ipv6(), &port_);
    answer = port_.tunnel().hostText(port_.ipv6());
    return 0;
  }
  if (sameName(n, "FirewallPort")) {
    if (s.query)
      answer = std::to_string(port_.firewall().port);
    else
      port_.firewall().port = readInt(s.value);
    return 0;
  }
  if (sameName(n, "FirewallType")) {
    if (s.query)
      answer = std::to_string(port_.firewall().type);
    else
      port_.tunnel().setType(readInt(s.value));
    return 0;
  }
  if (sameName(n, "FirewallUser") || sameName(n, "FirewallPassword")) {
    std::string &field =
        sameName(n, "FirewallUser") ? port_.firewall().user : port_.firewall().password;
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
      return queue_.processQueue(args.at(0).s, keepQueue_);
    case PELNET_SMTP_METHOD_Queue:
      return queue_.queue(args.at(0).s, result.s);
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
