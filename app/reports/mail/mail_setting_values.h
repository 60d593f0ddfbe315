// The values of the [SMTP] section's mail connection keys as written, each
// read by itself: Security, AuthScheme, Verify, Fingerprint, ServerName and
// the proxy URL. No file is read here; the rules that a value must meet for
// the mail component to take it are the component's own.
#pragma once

#include "pelsmtp.h"

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

// msAuto: Security left empty, decided by the port and the login
// (ResolvedMailSecurity); every other value is one the user wrote.
enum TMailSecurity : std::uint8_t { msNone, msStartTls, msTls, msAuto };

// Security as written: "none", "starttls", "tls", any letter case; empty is
// msAuto.
std::optional<TMailSecurity> ParseMailSecurity(QStringView Text);
// The port when the file gives none: 25, 587 for starttls, 465 for tls
// (25 when Security is empty or does not parse, which the check names).
std::int32_t DefaultMailPort(QStringView Security);
// AuthScheme as written: "auto" (or empty), "plain", "login", "cram-md5",
// "ntlm", "kerberos".
std::optional<TpelsmtpAuthSchemes> ParseMailAuthScheme(QStringView Text);
// Verify: "yes" (or empty) or "no".
std::optional<bool> ParseMailVerify(QStringView Text);
// A SHA-256 fingerprint: 64 hexadecimal digits, a colon allowed between two
// bytes; by the mail component's own rule, so what passes here it takes.
bool IsSha256Fingerprint(QStringView Text);
// A ServerName the mail component takes: no control character.
bool IsAcceptableServerName(QStringView Text);

struct TMailProxy {
  bool AutoDetect = false;  // "auto": the environment's and the desktop's proxy
  TpelsmtpFirewallTypes Type = fwNone;
  QString Host;
  int Port = 0;
  QString User, Password;
};

struct TMailProxyParse {
  std::optional<TMailProxy> Proxy;
  QString Problem;  // why it does not parse, when Proxy is empty
};

// Proxy as written: empty (none), "auto", "socks4://host:port",
// "socks5://[user:password@]host:port" or "http://[user:password@]host:port";
// an IPv6 host in brackets, user and password percent-encoded.
TMailProxyParse ParseMailProxy(QStringView Text);
// The proxy URL with its password replaced by "****", for any text shown.
QString MaskedProxyText(const QString& Text);
