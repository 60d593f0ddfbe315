// Where the desktop keeps its proxy settings on Linux, read for the mail
// connection's automatic firewall settings: the all_proxy (or ALL_PROXY)
// environment variable with a SOCKS scheme, else GNOME's proxy settings
// (org.gnome.system.proxy in "manual" mode with a SOCKS host) through GIO,
// when that schema is installed.  Only a SOCKS proxy is taken: the mail
// connection cannot use an HTTP proxy's settings for a plain TCP tunnel.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelnet::smtp {

struct DetectedProxy {
  std::string host;
  int port = 0;  // 0 when the setting names none
};

// "socks://host:port", "socks4://", "socks5://" or "socks5h://" (scheme in any
// case, optional "user:password@", optional "/" after the port, "[v6]" hosts
// without their brackets); nullopt for another scheme, no host or no port text.
std::optional<DetectedProxy> socksFromProxyUrl(std::string_view url);

// The environment variable first, then the desktop's settings; nullopt when neither names one.
std::optional<DetectedProxy> detectSocksProxy();

}  // namespace pelnet::smtp
