#include "proxy/proxy_autodetect.h"

#include <gio/gio.h>

#include <cstdlib>

namespace pelnet::smtp {

namespace {

constexpr const char *kProxySchema = "org.gnome.system.proxy";
constexpr const char *kSocksSchema = "org.gnome.system.proxy.socks";

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Decimal digits up to the first other byte; -1 without a digit, 0 past 65535.
int readPortText(std::string_view text) {
  int n = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    n = n * 10 + (text[i] - '0');
    if (n > 65535) return 0;
  }
  return i == 0 ? -1 : n;
}

// A schema of the installed ones, or nullptr; the caller unrefs it.
GSettingsSchema *installedSchema(const char *id) {
  GSettingsSchemaSource *source = g_settings_schema_source_get_default();
  return source ? g_settings_schema_source_lookup(source, id, TRUE) : nullptr;
}

// The settings of an installed schema, or nullptr; the caller unrefs them.
GSettings *settingsOf(const char *id) {
  GSettingsSchema *schema = installedSchema(id);
  if (!schema) return nullptr;
  GSettings *settings = g_settings_new_full(schema, nullptr, nullptr);
  g_settings_schema_unref(schema);
  return settings;
}

bool hasKey(GSettings *settings, const char *key) {
  GSettingsSchema *schema = nullptr;
  g_object_get(settings, "settings-schema", &schema, nullptr);
  const bool has = schema && g_settings_schema_has_key(schema, key);
  if (schema) g_settings_schema_unref(schema);
  return has;
}

std::optional<DetectedProxy> fromDesktop() {
  GSettings *proxy = settingsOf(kProxySchema);
  if (!proxy) return std::nullopt;
  std::string mode;
  if (hasKey(proxy, "mode")) {
    gchar *m = g_settings_get_string(proxy, "mode");
    mode = m ? m : "";
    g_free(m);
  }
  g_object_unref(proxy);
  if (mode != "manual") return std::nullopt;
  GSettings *socks = settingsOf(kSocksSchema);
  if (!socks) return std::nullopt;
  std::optional<DetectedProxy> found;
  if (hasKey(socks, "host") && hasKey(socks, "port")) {
    gchar *host = g_settings_get_string(socks, "host");
    const int port = g_settings_get_int(socks, "port");
    if (host && *host && port > 0 && port <= 65535) found = DetectedProxy{host, port};
    g_free(host);
  }
  g_object_unref(socks);
  return found;
}

}  // namespace

std::optional<DetectedProxy> socksFromProxyUrl(std::string_view url) {
  std::optional<DetectedProxy> p = proxyFromUrl(url);
  if (p && p->type != kFirewallSocks5) return std::nullopt;
  return p;
}

std::optional<DetectedProxy> proxyFromUrl(std::string_view url) {
  struct Scheme {
    const char *name;
    int type;
  };
  // Every SOCKS form goes through the SOCKS5 client, as the desktop's SOCKS
  // host does; an https_proxy is itself reached in plaintext ("http://").
  static constexpr Scheme kSchemes[] = {
      {"socks", kFirewallSocks5},  {"socks4", kFirewallSocks5},  {"socks4a", kFirewallSocks5},
      {"socks5", kFirewallSocks5}, {"socks5h", kFirewallSocks5}, {"http", kFirewallTunnel},
  };
  const size_t sep = url.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  const std::string scheme = lowered(url.substr(0, sep));
  const Scheme *found = nullptr;
  for (const Scheme &s : kSchemes)
    if (scheme == s.name) found = &s;
  if (!found) return std::nullopt;
  std::string_view rest = url.substr(sep + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const size_t at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  std::string_view host, portText;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = rest.substr(1, close - 1);
    const std::string_view after = rest.substr(close + 1);
    if (after.empty() || after[0] != ':') return std::nullopt;
    portText = after.substr(1);
  } else {
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = rest.substr(0, colon);
    portText = rest.substr(colon + 1);
  }
  if (host.empty() || portText.empty()) return std::nullopt;
  const int port = readPortText(portText);
  if (port < 0) return std::nullopt;
  return DetectedProxy{std::string(host), port, found->type};
}

std::optional<DetectedProxy> detectProxy() {
  // The order curl and most tools follow: the catch-all first, then the
  // variable for encrypted traffic (which a mail connection is, or becomes).
  for (const char *name :
       {"all_proxy", "ALL_PROXY", "https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY"}) {
    const char *value = std::getenv(name);
    if (value && *value) {
      if (std::optional<DetectedProxy> p = proxyFromUrl(value)) return p;
    }
  }
  return fromDesktop();
}

}  // namespace pelnet::smtp
