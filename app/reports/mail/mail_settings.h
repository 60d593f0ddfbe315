// How the mail report reaches its server: TLS, login and proxy as the
// [SMTP] section words them, checked and turned into the mail component's
// properties. Every report path (the window, the unattended run, the queue,
// --test-mail) goes through ReadMailConnection and ApplyMailConnection, so a
// setting means the same everywhere.
#pragma once

#include "reports/mail/mail_setting_values.h"
#include "pelsmtp.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

class TSettings;

// What an empty Security means, so that a login never goes out in clear
// unless Security=none asks for it: TLS from the first byte on port 465;
// else STARTTLS demanded when there is a login; else plaintext. A written
// value stays as written (msNone for one that does not parse).
TMailSecurity ResolvedMailSecurity(const TSettings& Settings);

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

// What Proxy=auto found, read back from Smtp after ApplyMailConnection (or
// setFirewallAutoDetect): "socks5://127.0.0.1:1080" or "http://127.0.0.1:3128",
// empty when nothing names a proxy.
QString AutoDetectedProxyText(const TpelSMTP& Smtp);
// The line that says it: "Proxy=auto: through socks5://..." or that none was found.
QString AutoDetectedProxyLine(const QString& Found);

// The texts that must never be shown: the passwords, and their forms in an
// AUTH exchange.
QStringList MailSecrets(const TMailConnection& Connection);

// Panel 0 and the run's line when the settings stop the report.
QString MailSetupProblemText(const QStringList& Problems);
// Appended to the line of a report sent encrypted without a certificate
// check (Verify=no): " - the server's certificate was not checked (Verify=no
// in [SMTP])"; empty otherwise.
QString CertificateNotCheckedNote(const TMailConnection& Connection);
