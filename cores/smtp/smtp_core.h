// The mail core: one instance per TpelSMTP component.  It maps the numbered
// properties, methods and events of the component onto the message model
// (composition), the SMTP dialogue and the TCP connection under it, and
// holds the mail component's own configuration settings.
#pragma once

#include <cstdint>
#include <string>

#include "compose/message.h"
#include "proxy/proxy_tokens.h"
#include "proxy/proxy_tunnel.h"
#include "queue/message_queue.h"
#include "pelnet/runtime/core_base.h"
#include "session/smtp_session.h"
#include "connection/tcp_client_port.h"

namespace pelnet::smtp {

class SmtpCore : public CoreBase, private SessionEvents {
 public:
  SmtpCore(pelnet_event_fn callback, void *user);
  ~SmtpCore() override;

  SocketObject &socket() override { return port_; }

  SmtpSession &session() { return session_; }
  pelsmtp::Message &message() { return message_; }
  MessageQueue &queue() { return queue_; }
  TcpClientPort &port() { return port_; }

 protected:
  std::optional<ValueKind> propertyKind(int id) const override;
  int setProperty(int id, int index, const Value &v) override;
  Value getProperty(int id, int index) override;
  int checkIndex(int id, int index) override;
  std::optional<MethodSignature> methodSignature(int id) const override;
  int callMethod(int id, std::vector<Value> &args, Value &result) override;
  int errorEventId() const override;
  ConfigResult configComponent(const ParsedSetting &s, std::string &answer) override;

 private:
  // SessionEvents: the dialogue's reports, fired as the component's events.
  void onPITrail(int direction, const std::string &message) override;
  void onExpand(const std::string &address) override;
  void onStartTransfer(int direction) override;
  void onTransfer(int direction, int64_t bytesTransferred, int percentDone) override;
  void onEndTransfer(int direction) override;
  void onError(int code, const std::string &description) override;
  void onConnectionStatus(const std::string &connectionEvent, int statusCode,
                          const std::string &description) override;

  // 0 when `index` addresses an entry of the indexed property `id`, else 280.
  bool indexValid(int id, int index) const;
  int setIndexed(int id, int index, const Value &v);
  Value getIndexed(int id, int index);
  int setConnected(bool on);
  // A failure of the queue's own files becomes the method's error.
  int queueResult(int rc);
  int setTlsProperty(int id, const Value &v);
  // The properties of one part; nullopt for an id of another part.
  std::optional<int> setMessageProperty(int id, int index, const Value &v);
  std::optional<int> setFirewallProperty(int id, const Value &v);
  std::optional<Value> getMessageProperty(int id, int index);
  std::optional<Value> getFirewallProperty(int id);
  // Stores `text` in `field` unless it holds a control byte (182).
  int refuseControlBytes(const std::string &text, std::string &field);
  int setFirewallAutoDetect(bool on);
  ConfigResult configFirewall(const ParsedSetting &s, std::string &answer);
  ConfigResult boolSetting(const ParsedSetting &s, bool &field, std::string &answer,
                           bool numericAnswer = false);

  // The tunnel stage outlives the socket that drives it.
  ProxyTunnel tunnel_;
  TcpClientPort port_;
  pelsmtp::Message message_;
  SmtpSession session_;
  // The NTLM and Negotiate tunnels take their tokens from the session's security context.
  SecurityContextTokens proxyTokens_{session_.security, port_};
  MessageQueue queue_;

  // The other firewall settings live in the port's firewall target, where the negotiation reads
  // them.
  bool firewallAutoDetect_ = false;
  bool keepQueue_ = false;
  bool useExtendedDST_ = true;
};

}  // namespace pelnet::smtp
