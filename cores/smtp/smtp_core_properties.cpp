// The mail core's properties: which part of the core holds each one (the
// message, the firewall target, the session's settings, the connection and
// its TLS), read and written by id.
#include <algorithm>

#include "pelnet/smtp_ids.h"
#include "proxy/proxy_autodetect.h"
#include "smtp_core.h"
#include "smtp_errors.h"

namespace pelnet::smtp {

using pelsmtp::RecipientType;

namespace {

RecipientType recipientTypeOf(int id) {
  switch (id) {
    case PELNET_SMTP_PROP_Cc:
      return RecipientType::Cc;
    case PELNET_SMTP_PROP_BCc:
      return RecipientType::BCc;
    default:
      return RecipientType::To;
  }
}

bool isHeaderIndexed(int id) {
  return id == PELNET_SMTP_PROP_MessageHeaderField || id == PELNET_SMTP_PROP_MessageHeaderValue;
}

bool isQueueFileIndexed(int id) {
  return id >= PELNET_SMTP_PROP_QueueFileName && id <= PELNET_SMTP_PROP_QueueFilePath;
}

bool isRecipientIndexed(int id) {
  return id >= PELNET_SMTP_PROP_MessageRecipientAddress &&
         id <= PELNET_SMTP_PROP_MessageRecipientType;
}

}  // namespace
std::optional<ValueKind> SmtpCore::propertyKind(int id) const {
  static constexpr PropertyEntry kProperties[] = {PELNET_SMTP_PROPERTIES(PELNET_PROPERTY_ENTRY)};
  return kindOfProperty(kProperties, id);
}

int SmtpCore::setProperty(int id, int index, const Value &v) {
  if (const std::optional<int> rc = setMessageProperty(id, index, v)) return *rc;
  if (const std::optional<int> rc = setFirewallProperty(id, v)) return *rc;
  SessionSettings &s = session_.settings;
  switch (id) {
    case PELNET_SMTP_PROP_AllowExtensions:
      s.allowExtensions = v.i != 0;
      return 0;
    case PELNET_SMTP_PROP_AuthScheme:
      s.authScheme = static_cast<int>(v.i);
      return 0;
    case PELNET_SMTP_PROP_Command:
      return session_.command(v.s);
    case PELNET_SMTP_PROP_Connected:
      return setConnected(v.i != 0);
    case PELNET_SMTP_PROP_LocalHost:
      // Taken at any time; used at the next connect.
      return port_.setLocalHost(v.s);
    case PELNET_SMTP_PROP_MailPort:
      return port_.setRemotePort(static_cast<int>(v.i));
    case PELNET_SMTP_PROP_MailServer:
      return port_.setRemoteHost(v.s);
    case PELNET_SMTP_PROP_Password:
      s.password = v.s;
      return 0;
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

// The message's properties: the composition holds them.
std::optional<int> SmtpCore::setMessageProperty(int id, int index, const Value &v) {
  switch (id) {
    case PELNET_SMTP_PROP_BCc:
    case PELNET_SMTP_PROP_Cc:
    case PELNET_SMTP_PROP_SendTo:
      return message_.setRecipients(recipientTypeOf(id), v.s);
    case PELNET_SMTP_PROP_DeliveryNotificationTo:
      return message_.setDeliveryNotificationTo(v.s);
    case PELNET_SMTP_PROP_From:
      return message_.setFrom(v.s);
    case PELNET_SMTP_PROP_Importance:
      message_.setImportance(static_cast<int>(v.i));
      return 0;
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
    default:
      return std::nullopt;
  }
}

// The firewall's properties: the tunnel's target holds them.
std::optional<int> SmtpCore::setFirewallProperty(int id, const Value &v) {
  switch (id) {
    case PELNET_SMTP_PROP_FirewallAutoDetect:
      return setFirewallAutoDetect(v.i != 0);
    case PELNET_SMTP_PROP_FirewallType:
      tunnel_.setType(static_cast<int>(v.i));
      return 0;
    case PELNET_SMTP_PROP_FirewallHost:
      return tunnel_.setHost(v.s, port_.ipv6(), &port_);
    case PELNET_SMTP_PROP_FirewallPassword:
      ProxyTunnel::setField(tunnel_.target().password, v.s);
      return 0;
    case PELNET_SMTP_PROP_FirewallPort:
      tunnel_.target().port = static_cast<int>(v.i);
      return 0;
    case PELNET_SMTP_PROP_FirewallUser:
      ProxyTunnel::setField(tunnel_.target().user, v.s);
      return 0;
    default:
      return std::nullopt;
  }
}

Value SmtpCore::getProperty(int id, int index) {
  if (std::optional<Value> v = getMessageProperty(id, index)) return std::move(*v);
  if (std::optional<Value> v = getFirewallProperty(id)) return std::move(*v);
  const SessionSettings &s = session_.settings;
  switch (id) {
    case PELNET_SMTP_PROP_AllowExtensions:
      return Value::integer(s.allowExtensions);
    case PELNET_SMTP_PROP_AuthScheme:
      return Value::integer(s.authScheme);
    case PELNET_SMTP_PROP_Command:
      return Value::text(session_.storedCommand());
    case PELNET_SMTP_PROP_Connected:
      return Value::integer(port_.connected());
    case PELNET_SMTP_PROP_Idle:
      return Value::integer(session_.idle());
    case PELNET_SMTP_PROP_LastReply:
      return Value::text(session_.lastReply());
    case PELNET_SMTP_PROP_LocalHost:
      return Value::text(port_.localHostText());
    case PELNET_SMTP_PROP_MailPort:
      return Value::integer(port_.remotePort());
    case PELNET_SMTP_PROP_MailServer:
      return Value::text(port_.remoteHost());
    case PELNET_SMTP_PROP_Password:
      return Value::text(s.password);
    case PELNET_SMTP_PROP_Timeout:
      return Value::integer(port_.timeout());
    case PELNET_SMTP_PROP_User:
      return Value::text(s.user);
    case PELNET_SMTP_PROP_TlsMode:
      return Value::integer(session_.tls.mode);
    case PELNET_SMTP_PROP_TlsCAFile:
      return Value::text(session_.tls.caFile);
    case PELNET_SMTP_PROP_TlsServerName:
      return Value::text(session_.tls.serverName);
    case PELNET_SMTP_PROP_TlsPinnedFingerprint:
      return Value::text(session_.tls.pinnedText);
    case PELNET_SMTP_PROP_TlsVerify:
      return Value::integer(session_.tls.verify);
    case PELNET_SMTP_PROP_TlsInfo:
      return Value::text(port_.tlsInfo());
    case PELNET_SMTP_PROP_RefusedReplyCode:
      return Value::integer(session_.refusedReplyCode());
    case PELNET_SMTP_PROP_LastReplyCode:
      return Value::integer(session_.lastReplyCode());
    case PELNET_SMTP_PROP_TimedOut:
      return Value::integer(session_.timedOut());
    case PELNET_SMTP_PROP_QueueFileCount:
      return Value::integer(static_cast<intptr_t>(queue_.outcomes().size()));
    case PELNET_SMTP_PROP_QueueFileName:
    case PELNET_SMTP_PROP_QueueFileOutcome:
    case PELNET_SMTP_PROP_QueueFilePath:
      return getIndexed(id, index);
    default:
      return Value::integer(0);
  }
}

std::optional<Value> SmtpCore::getMessageProperty(int id, int index) {
  switch (id) {
    case PELNET_SMTP_PROP_BCc:
    case PELNET_SMTP_PROP_Cc:
    case PELNET_SMTP_PROP_SendTo: {
      std::string text;
      message_.recipients(recipientTypeOf(id), text);
      return Value::text(std::move(text));
    }
    case PELNET_SMTP_PROP_DeliveryNotificationTo:
      return Value::text(message_.deliveryNotificationTo());
    case PELNET_SMTP_PROP_From:
      return Value::text(message_.from());
    case PELNET_SMTP_PROP_Importance:
      return Value::integer(message_.importance());
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
    default:
      return std::nullopt;
  }
}

std::optional<Value> SmtpCore::getFirewallProperty(int id) {
  switch (id) {
    case PELNET_SMTP_PROP_FirewallAutoDetect:
      return Value::integer(firewallAutoDetect_);
    case PELNET_SMTP_PROP_FirewallType:
      return Value::integer(tunnel_.target().type);
    case PELNET_SMTP_PROP_FirewallHost:
      return Value::text(tunnel_.hostText(port_.ipv6()));
    case PELNET_SMTP_PROP_FirewallPassword:
      return Value::text(tunnel_.target().password);
    case PELNET_SMTP_PROP_FirewallPort:
      return Value::integer(tunnel_.target().port);
    case PELNET_SMTP_PROP_FirewallUser:
      return Value::text(tunnel_.target().user);
    default:
      return std::nullopt;
  }
}

int SmtpCore::setTlsProperty(int id, const Value &v) {
  TlsSettings &tls = session_.tls;
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
  if (!rules::serverNameAcceptable(text)) return port_.fail(kSmtpBadServerName);
  field = text;
  return 0;
}

bool SmtpCore::indexValid(int id, int index) const {
  if (index < 0) return false;
  const size_t i = static_cast<size_t>(index);
  if (isHeaderIndexed(id)) return i < message_.headerCount();
  if (isRecipientIndexed(id)) return i < message_.recipientCount();
  if (isQueueFileIndexed(id)) return i < queue_.outcomes().size();
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
    case PELNET_SMTP_PROP_QueueFileName:
      return Value::text(queue_.outcomes()[i].name);
    case PELNET_SMTP_PROP_QueueFileOutcome:
      return Value::integer(queue_.outcomes()[i].outcome);
    case PELNET_SMTP_PROP_QueueFilePath:
      return Value::text(queue_.outcomes()[i].path);
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
  tunnel_.target().host = HostAddress();
  if (!on) return 0;
  const std::optional<DetectedProxy> proxy = detectProxy();
  if (!proxy) return 0;
  tunnel_.target().type = proxy->type;
  if (int rc = tunnel_.setHost(proxy->host, port_.ipv6(), &port_)) return rc;
  if (proxy->port != 0) tunnel_.target().port = proxy->port;
  return 0;
}

}  // namespace pelnet::smtp
