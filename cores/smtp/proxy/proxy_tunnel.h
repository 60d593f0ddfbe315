// The tunnel stage of the mail connection: the firewall or proxy between
// the client and the server.  Once the socket to the firewall stands, the
// tunnel drives the negotiation (firewall_negotiation.h) through the stage
// below and tells the socket what came of each step; the dialogue above
// sees the connection only when the tunnel stands.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "connection/connection_stage.h"
#include "proxy/firewall_negotiation.h"
#include "pelnet/runtime/resolve.h"

namespace pelnet::smtp {

// The firewall or proxy between the client and the server.
struct FirewallTarget {
  int type = 0;  // 0 = none
  HostAddress host;
  int port = 0;
  std::string user, password;  // at most kFirewallFieldMax bytes each
};

class ProxyTunnel final : public Tunnel {
 public:
  FirewallTarget &target() { return target_; }
  const FirewallTarget &target() const { return target_; }
  bool configured() const override { return target_.type != 0; }
  const HostAddress &viaHost() const override { return target_.host; }
  int viaPort() const override { return target_.port; }
  // A type and that type's usual port.
  void setType(int type);
  // Resolves the text at once, a name in `waiter`'s wait steps: only the
  // address is kept, not the name.
  int setHost(const std::string &text, bool ipv6, SocketObject *waiter);
  // The firewall's address as text ("" for none).
  std::string hostText(bool ipv6) const;
  // User and password are cut to kFirewallFieldMax bytes.
  static void setField(std::string &field, const std::string &value);
  // The tokens of the NTLM and Negotiate tunnels; without them those types fail to connect.
  void setProxyTokens(ProxyTokens *tokens) { proxyTokens_ = tokens; }

  // True from the firewall's connect until the tunnel stands, and after an
  // HTTP proxy refused the tunnel while its socket stays open: no dialogue
  // runs on it.
  bool negotiating() const override { return negotiating_; }
  bool finished() const override { return negotiation_.finished(); }

  // The socket to the firewall stands: the tunnel is being set up from now on.
  void begin() override { negotiating_ = true; }
  // Before the firewall's connect: looks the server's address up when the
  // type sends an address (SOCKS4, SOCKS5 without "*"), in `waiter`'s wait
  // steps, so a slow name server holds nothing up.  301 when the wait ends;
  // else 0, and a failed lookup is told by open() as a failed negotiation.
  int lookUpServer(const std::string &server, SocketObject *waiter) override;
  // Sends the first request towards `server`:`serverPort` through `below`.
  TunnelStep open(StageBelow &below, const std::string &server, int serverPort) override;
  // Bytes the proxy sent.
  TunnelStep receive(std::string_view bytes) override;
  // The proxy closed before the negotiation ended.
  TunnelStep peerClosed() override;
  // The socket is gone (or never stood).
  void close() override;

 private:
  // Sends what the negotiation asks for and says what came of the step.
  TunnelStep apply(NegotiationStep &&step);
  static TunnelStep failed(const char *text);

  FirewallTarget target_;
  ProxyTokens *proxyTokens_ = nullptr;
  StageBelow *below_ = nullptr;
  bool negotiating_ = false;
  FirewallNegotiation negotiation_;
  // The server's address as lookUpServer found it, for the next open().
  struct ServerLookup {
    bool done = false;
    int code = 0;
    uint32_t v4 = 0;
  } serverLookup_;
};

}  // namespace pelnet::smtp
