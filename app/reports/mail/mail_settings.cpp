#include "reports/mail/mail_settings.h"

#include "settings/settings.h"
#include "settings/settings_file.h"

#include "pelnet/smtp_setting_rules.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::int32_t ImplicitTlsPort = 465;

constexpr char ProxyForms[] =
    "write socks4://host:port, socks5://[user:password@]host:port, http://[user:password@]host:port or auto";

// Ports whose servers speak only one of the two TLS forms: the other one
// would wait for a greeting that never comes, or send STARTTLS to a server
// that expects a handshake.
struct TPortSecurity {
  std::int32_t Port;
  TMailSecurity Wrong;
  const char* Fix;
};
constexpr TPortSecurity PortSecurities[] = {
    {465, msStartTls, "port 465 speaks TLS from the start: set Security=tls"},
    {587, msTls, "port 587 starts in plaintext and switches with STARTTLS: set Security=starttls"},
};

QString PortSecurityProblem(std::int32_t Port, TMailSecurity Security, const QString& Written) {
  for (const TPortSecurity& P : PortSecurities)
    if (Port == P.Port && Security == P.Wrong)
      return QStringLiteral("Security=%1 does not fit Port=%2 in [SMTP]: %3")
          .arg(Written.trimmed())
          .arg(P.Port)
          .arg(QLatin1String(P.Fix));
  return QString();
}

// The user's path, from the settings file's folder when relative.
QString FromSettingsFolder(const QString& Path, const QString& SettingsFile) {
  if (Path.isEmpty() || QDir::isAbsolutePath(Path) || SettingsFile.isEmpty())
    return Path;
  return QFileInfo(SettingsFile).dir().filePath(Path);
}

// A password is one line; a larger file is no password file, and is not
// read into memory.
constexpr qint64 MaxPasswordFileBytes = 64 * 1024;

// The first line of a password file, without its line end. Read without
// ever blocking: a FIFO or a device named by mistake is refused, not waited on.
QString ReadPasswordFile(const QString& FileName, QString& Problem) {
  const TSettingsFileRead Read = ReadNamedFile(FileName, MaxPasswordFileBytes);
  if (Read.State != sfReadable) {
    Problem = QStringLiteral("PasswordFile %1 in [SMTP] cannot be read: %2")
                  .arg(FileName, NamedFileProblemReason(Read, MaxPasswordFileBytes));
    return QString();
  }
  const qsizetype LineEnd = Read.Bytes.indexOf('\n');
  QByteArray Line = LineEnd < 0 ? Read.Bytes : Read.Bytes.left(LineEnd);
  while (Line.endsWith('\r'))
    Line.chop(1);
  if (Line.isEmpty())
    Problem = QStringLiteral("PasswordFile %1 in [SMTP] holds no password on its first line").arg(FileName);
  return QString::fromUtf8(Line);
}

void Append(QStringList& List, const QString& Text) {
  if (!Text.isEmpty())
    List.append(Text);
}

}  // namespace

TMailSecurity ResolvedMailSecurity(const TSettings& Settings) {
  const TMailSecurity Written = ParseMailSecurity(Settings.SMTPSecurity()).value_or(msNone);
  if (Written != msAuto)
    return Written;
  if (Settings.SMTPPort() == ImplicitTlsPort)
    return msTls;
  return Settings.SMTPUser().isEmpty() ? msNone : msStartTls;
}

QString SecretFileProblem(const QString& FileName, const QString& What) {
  struct stat Status {};
  if (::stat(QFile::encodeName(FileName).constData(), &Status) != 0)
    return QString();
  if ((Status.st_mode & (S_IRGRP | S_IROTH)) == 0)
    return QString();
  return QStringLiteral("%1 %2 holds a password and can be read by others: run chmod 600 %2")
      .arg(What, FileName);
}

TMailConnectionSetup ReadMailConnection(const TSettings& Settings) {
  TMailConnectionSetup Out;
  TMailConnection& C = Out.Connection;
  QStringList& Problems = Out.Problems;
  const QString& SettingsFile = Settings.FileName();

  const std::optional<TMailSecurity> Written = ParseMailSecurity(Settings.SMTPSecurity());
  if (!Written)
    Problems.append(
        QStringLiteral("Security=%1 in [SMTP] is none of none, starttls, tls").arg(Settings.SMTPSecurity()));
  C.Security = ResolvedMailSecurity(Settings);
  C.SecurityUnset = Written == msAuto;
  Append(Problems,
         PortSecurityProblem(Settings.SMTPPort(), Written.value_or(msNone), Settings.SMTPSecurity()));

  C.User = Settings.SMTPUser();
  const bool HasPassword = !Settings.SMTPPassword().isEmpty();
  const bool HasPasswordFile = !Settings.SMTPPasswordFile().isEmpty();
  const std::optional<TpelsmtpAuthSchemes> Scheme = ParseMailAuthScheme(Settings.SMTPAuthScheme());
  if (!Scheme)
    Problems.append(
        QStringLiteral("AuthScheme=%1 in [SMTP] is none of auto, plain, login, cram-md5, ntlm, kerberos")
            .arg(Settings.SMTPAuthScheme()));
  // Without a user the component's own default stays: no login at all.
  if (!C.User.isEmpty() && Scheme)
    C.AuthScheme = *Scheme;
  const bool SystemLogin = Scheme && (*Scheme == asNTLM || *Scheme == asKerberos);
  if (HasPassword && HasPasswordFile)
    Problems.append(QStringLiteral("Password and PasswordFile are both set in [SMTP]; keep one"));
  if (C.User.isEmpty() && (HasPassword || HasPasswordFile))
    Problems.append(QStringLiteral("a password is set in [SMTP] but no User"));
  if (!C.User.isEmpty() && !HasPassword && !HasPasswordFile && !SystemLogin)
    Problems.append(QStringLiteral("User=%1 in [SMTP] has neither Password nor PasswordFile").arg(C.User));

  const TMailProxyParse Proxy = ParseMailProxy(Settings.SMTPProxy());
  if (Proxy.Proxy)
    C.Proxy = *Proxy.Proxy;
  else
    Problems.append(
        QStringLiteral("Proxy=%1 in [SMTP] does not parse: %2; %3")
            .arg(MaskedProxyText(Settings.SMTPProxy()), Proxy.Problem, QLatin1String(ProxyForms)));

  if (HasPassword || !C.Proxy.Password.isEmpty()) {
    Append(Problems, SecretFileProblem(SettingsFile, QStringLiteral("the settings file")));
    C.Password = Settings.SMTPPassword();
  }
  if (HasPasswordFile) {
    const QString File = FromSettingsFolder(Settings.SMTPPasswordFile(), SettingsFile);
    QString Problem;
    const QString Password = ReadPasswordFile(File, Problem);
    if (Problem.isEmpty())
      Problem = SecretFileProblem(File, QStringLiteral("PasswordFile"));
    Append(Problems, Problem);
    if (!HasPassword)
      C.Password = Password;
  }

  C.CAFile = FromSettingsFolder(Settings.SMTPCAFile(), SettingsFile);
  if (!C.CAFile.isEmpty()) {
    // The component reads it by the same rules when it starts TLS.
    const TSettingsFileRead Read = CheckNamedFile(C.CAFile, qint64(pelnet::smtp::rules::kMaxCaFileBytes));
    if (Read.State != sfReadable)
      Problems.append(
          QStringLiteral("CAFile %1 in [SMTP] cannot be read: %2")
              .arg(C.CAFile, NamedFileProblemReason(Read, qint64(pelnet::smtp::rules::kMaxCaFileBytes))));
  }
  C.ServerName = Settings.SMTPServerName().trimmed();
  if (!IsAcceptableServerName(C.ServerName))
    Problems.append(
        QStringLiteral("ServerName in [SMTP] holds a control character: write the name the server's "
                       "certificate is made out to"));
  C.Fingerprint = Settings.SMTPFingerprint().trimmed();
  if (!C.Fingerprint.isEmpty() && !IsSha256Fingerprint(C.Fingerprint))
    Problems.append(
        QStringLiteral("Fingerprint in [SMTP] is no SHA-256 fingerprint (64 hexadecimal digits, "
                       "a colon allowed between two; dervik --test-mail shows the server's)"));
  if (const auto Verify = ParseMailVerify(Settings.SMTPVerify()))
    C.Verify = *Verify;
  else
    Problems.append(QStringLiteral("Verify=%1 in [SMTP] is neither yes nor no").arg(Settings.SMTPVerify()));
  return Out;
}

void ApplyMailConnection(TpelSMTP& Smtp, const TMailConnection& Connection) {
  // Indexed by the resolved security; msAuto never comes here resolved.
  static constexpr TpelsmtpTlsModes Modes[] = {tlsNone, tlsStartTlsRequired, tlsImplicit,
                                               tlsStartTlsRequired};
  Smtp.setTlsMode(Modes[Connection.Security]);
  Smtp.setTlsCAFile(Connection.CAFile);
  Smtp.setTlsServerName(Connection.ServerName);
  Smtp.setTlsPinnedFingerprint(Connection.Fingerprint);
  Smtp.setTlsVerify(Connection.Verify);
  Smtp.setUser(Connection.User);
  Smtp.setPassword(Connection.Password);
  Smtp.setAuthScheme(Connection.AuthScheme);
  const TMailProxy& Proxy = Connection.Proxy;
  // Detection first: switching it clears the firewall host.
  Smtp.setFirewallAutoDetect(Proxy.AutoDetect);
  if (Proxy.AutoDetect)
    return;
  Smtp.setFirewallType(Proxy.Type);
  if (Proxy.Type == fwNone)
    return;
  Smtp.setFirewallHost(Proxy.Host);
  Smtp.setFirewallPort(Proxy.Port);
  Smtp.setFirewallUser(Proxy.User);
  Smtp.setFirewallPassword(Proxy.Password);
}

QString AutoDetectedProxyText(const TpelSMTP& Smtp) {
  const QString Host = Smtp.FirewallHost();
  if (Host.isEmpty())
    return QString();
  const QString Scheme = Smtp.FirewallType() == fwSOCKS5 ? QStringLiteral("socks5") : QStringLiteral("http");
  const QString Shown = Host.contains(u':') ? u'[' + Host + u']' : Host;
  return QStringLiteral("%1://%2:%3").arg(Scheme, Shown).arg(Smtp.FirewallPort());
}

QString AutoDetectedProxyLine(const QString& Found) {
  return Found.isEmpty() ? QStringLiteral(
                               "Proxy=auto: no proxy in all_proxy, https_proxy, http_proxy or the "
                               "desktop's settings; the connection goes direct")
                         : QStringLiteral("Proxy=auto: through %1").arg(Found);
}

QStringList MailSecrets(const TMailConnection& Connection) {
  QStringList Secrets;
  for (const QString& Password : {Connection.Password, Connection.Proxy.Password}) {
    if (Password.isEmpty())
      continue;
    const QByteArray Bytes = Password.toUtf8();
    Secrets.append(Password);
    Secrets.append(QString::fromLatin1(Bytes.toBase64()));
  }
  if (!Connection.Password.isEmpty()) {
    const QByteArray User = Connection.User.toUtf8(), Password = Connection.Password.toUtf8();
    Secrets.append(QString::fromLatin1((QByteArray(1, '\0') + User + '\0' + Password).toBase64()));
    Secrets.append(QString::fromLatin1((User + '\0' + User + '\0' + Password).toBase64()));
  }
  Secrets.removeDuplicates();
  return Secrets;
}

QString MailSetupProblemText(const QStringList& Problems) {
  return QStringLiteral("Mail report not sent: ") + Problems.join(QStringLiteral("; "));
}

QString CertificateNotCheckedNote(const TMailConnection& Connection) {
  if (Connection.Security == msNone || Connection.Verify)
    return QString();
  return QStringLiteral(" - the server's certificate was not checked (Verify=no in [SMTP])");
}
