// How the mail report reaches its server: TLS, login and proxy as the
// [SMTP] section words them, checked and turned into the mail component's
// properties. Every report path (the window, the unattended run, the queue,
// --test-mail) goes through ReadMailConnection and ApplyMailConnection, so a
// setting means the same everywhere.
#pragma once

#include "pelsmtp.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

class TSettings;

// msAuto: Security left empty, decided by the port and the login
// (ResolvedMailSecurity); every other value is one the user wrote.
enum TMailSecurity : std::uint8_t { msNone, msStartTls, msTls, msAuto };

// Security as written: "none", "starttls", "tls", any letter case; empty is
// msAuto.
std::optional<TMailSecurity> ParseMailSecurity(QStringView Text);
// The port when the file gives none: 25, 587 for starttls, 465 for tls
// (25 when Security is empty or does not parse, which the check names).
std::int32_t DefaultMailPort(QStringView Security);
// What an empty Security means, so that a login never goes out in clear
// unless Security=none asks for it: TLS from the first byte on port 465;
// else STARTTLS demanded when there is a login; else plaintext. A written
// value stays as written (msNone for one that does not parse).
TMailSecurity ResolvedMailSecurity(const TSettings& Settings);
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

struct TMailConnection {
  TMailSecurity Security = msNone;  // as resolved: never msAuto
  bool SecurityUnset = false;       // Security was left empty
  QString User, Password;
  TpelsmtpAuthSchemes AuthScheme = asLogin;
  QString CAFile, ServerName, Fingerprint;
  bool Verify = true;
  TMailProxy Proxy;
};

struct TMailConnectionSetup {
  TMailConnection Connection;
  // What stops the report: each a sentence naming the key or file and the
  // fix. Nothing is sent while there is one.
  QStringList Problems;
};

// The connection the settings describe. Reads PasswordFile, and applies the
// rule that a password may not be readable by group or others: a settings
// file holding Password (or a proxy password) and a PasswordFile must be
// mode 600 or stricter. Relative PasswordFile and CAFile paths are taken
// from the settings file's folder.
TMailConnectionSetup ReadMailConnection(const TSettings& Settings);

// Why a file that holds a secret cannot be used as it is: readable by group
// or others ("... can be read by others: run chmod 600 <file>"); empty when
// it is private. What names the file's role ("PasswordFile", "the settings
// file").
QString SecretFileProblem(const QString& FileName, const QString& What);

// Sets every connection property of Smtp from Connection, also the unset
// ones back to the component's defaults, so that a report after a settings
// change never keeps an earlier login or proxy.
void ApplyMailConnection(TpelSMTP& Smtp, const TMailConnection& Connection);

// The texts that must never be shown: the passwords, and their forms in an
// AUTH exchange.
QStringList MailSecrets(const TMailConnection& Connection);

// Panel 0 and the run's line when the settings stop the report.
QString MailSetupProblemText(const QStringList& Problems);
// Appended to the line of a report sent encrypted without a certificate
// check (Verify=no): " - the server's certificate was not checked (Verify=no
// in [SMTP])"; empty otherwise.
QString CertificateNotCheckedNote(const TMailConnection& Connection);
