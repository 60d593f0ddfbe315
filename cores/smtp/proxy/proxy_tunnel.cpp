#include "proxy/proxy_tunnel.h"

#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/socket_helpers.h"
#include "smtp_errors.h"

namespace pelnet::smtp {

namespace {

constexpr const char *kTextFirewallSendCut = "the request to the firewall could not be sent whole";
constexpr const char *kTextNoProxyTokens =
    "NTLM and Negotiate proxy authentication are not available in this build.";

}  // namespace

void ProxyTunnel::setType(int type) {
  target_.type = type;
  target_.port = firewallDefaultPort(type);
}

int ProxyTunnel::setHost(const std::string &text, bool ipv6, SocketObject *waiter) {
  return resolveRemote(text, ipv6, false, target_.host, waiter);
}

std::string ProxyTunnel::hostText(bool ipv6) const {
  const HostAddress &a = target_.host;
  if (ipv6) return a.noneV6() ? std::string() : numericText(a.v6);
  return a.v4 ? dottedText(a.v4) : std::string();
}

void ProxyTunnel::setField(std::string &field, const std::string &value) {
  field = value.substr(0, kFirewallFieldMax);
}

TunnelStep ProxyTunnel::failed(const char *text) {
  TunnelStep step;
  step.kind = TunnelStep::Failed;
  step.event = text ? text : "";
  step.text = step.event;
  return step;
}

int ProxyTunnel::lookUpServer(const std::string &server, SocketObject *waiter) {
  serverLookup_ = ServerLookup();
  NegotiationSettings s;
  s.type = target_.type;
  s.server = server;
  if (!configured() || !FirewallNegotiation::needsServerAddress(s)) return 0;
  HostAddress address;
  const int rc = resolveRemote(server, false, false, address, waiter);
  if (rc == kWaitEnded) return rc;
  serverLookup_ = ServerLookup{true, rc, address.v4};
  return 0;
}

TunnelStep ProxyTunnel::open(StageBelow &below, const std::string &server, int serverPort) {
  below_ = &below;
  NegotiationSettings s;
  s.type = target_.type;
  s.user = target_.user;
  s.password = target_.password;
  s.server = server;
  s.serverPort = serverPort;
  // Two bytes in every request: a larger number would ask for another port.
  if (!isPortNumber(serverPort)) return failed(kTextRemotePortOutOfRange);
  if (FirewallNegotiation::needsServerAddress(s)) {
    ServerLookup found = serverLookup_;
    serverLookup_ = ServerLookup();
    if (!found.done) {
      HostAddress address;
      found = ServerLookup{true, resolveRemote(server, false, false, address), address.v4};
    }
    if (found.code != 0 || found.v4 == 0)
      return failed(found.code != 0 ? winsockText(found.code) : kTextRemoteHostInvalid);
    s.serverAddress = found.v4;
  }
  const bool needsTokens = s.type == kFirewallTunnelNtlm || s.type == kFirewallTunnelNegotiate;
  if (needsTokens && proxyTokens_ == nullptr) return failed(kTextNoProxyTokens);
  return apply(negotiation_.start(s, proxyTokens_));
}

TunnelStep ProxyTunnel::receive(std::string_view bytes) { return apply(negotiation_.feed(bytes)); }

TunnelStep ProxyTunnel::peerClosed() { return apply(negotiation_.peerClosed()); }

void ProxyTunnel::close() {
  negotiating_ = false;
  below_ = nullptr;
}

TunnelStep ProxyTunnel::apply(NegotiationStep &&step) {
  if (!step.send.empty()) {
    size_t sent = 0;
    const int rc = below_ != nullptr ? below_->sendOnce(step.send, sent) : kWsaNotConnected;
    if (rc != 0 || sent != step.send.size())
      return failed(rc != 0 ? winsockText(rc) : kTextFirewallSendCut);
  }
  TunnelStep out;
  switch (step.outcome) {
    case NegotiationStep::Continue:
      return out;
    case NegotiationStep::Complete:
      negotiating_ = false;
      out.kind = TunnelStep::Open;
      out.rest = std::move(step.rest);
      return out;
    case NegotiationStep::Refused:
      // The proxy's answer ends the connect, but its socket stays open until
      // closed; negotiating stays set so that no dialogue runs on it.
      out.kind = TunnelStep::Refused;
      break;
    case NegotiationStep::Failed:
      out.kind = TunnelStep::Failed;
      break;
  }
  out.event = std::move(step.event);
  out.text = std::move(step.text);
  return out;
}

}  // namespace pelnet::smtp
