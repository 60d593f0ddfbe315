// Where the desktop keeps its proxy settings on Linux, read for the mail
// connection's automatic firewall settings: the environment's proxy
// variables (all_proxy, then https_proxy, then http_proxy, each also in
// upper case) with a SOCKS scheme or "http://" (taken as an HTTP CONNECT
// tunnel), else GNOME's proxy settings (org.gnome.system.proxy in "manual"
// mode with a SOCKS host) through GIO, when that schema is installed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "proxy/firewall_negotiation.h"

namespace pelnet::smtp {

struct DetectedProxy {
  std::string host;
  int port = 0;                // 0 when the setting names none
  int type = kFirewallSocks5;  // or kFirewallTunnel for an "http://" proxy
};

// "socks://host:port", "socks4://", "socks5://" or "socks5h://" (scheme in any
// case, optional "user:password@", optional "/" after the port, "[v6]" hosts
// without their brackets); nullopt for another scheme, no host or no port text.
std::optional<DetectedProxy> socksFromProxyUrl(std::string_view url);
// The same, and "http://host:port" as an HTTP CONNECT tunnel.
std::optional<DetectedProxy> proxyFromUrl(std::string_view url);

// The environment's variables first, then the desktop's settings; nullopt
// when none names one.
std::optional<DetectedProxy> detectProxy();

}  // namespace pelnet::smtp
