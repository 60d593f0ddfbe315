#include "reports/mail/mail_setting_values.h"

#include "pelnet/smtp_setting_rules.h"

#include <QUrl>

#include <cstring>

namespace {

struct TSecurityName {
  const char* Name;
  TMailSecurity Security;
  std::int32_t Port;
};
constexpr TSecurityName SecurityNames[] = {
    {"none", msNone, 25},
    {"starttls", msStartTls, 587},
    {"tls", msTls, 465},
};

struct TAuthSchemeName {
  const char* Name;
  TpelsmtpAuthSchemes Scheme;
};
constexpr TAuthSchemeName AuthSchemeNames[] = {
    {"auto", asAutomatic},   {"plain", asPlain}, {"login", asLogin},
    {"cram-md5", asCramMD5}, {"ntlm", asNTLM},   {"kerberos", asKerberos},
};

struct TProxyScheme {
  const char* Prefix;
  TpelsmtpFirewallTypes Type;
  bool TakesLogin;
};
constexpr TProxyScheme ProxySchemes[] = {
    {"socks4://", fwSOCKS4, false},
    {"socks5://", fwSOCKS5, true},
    {"http://", fwTunnel, true},
};

bool Same(QStringView Text, const char* Name) {
  return Text.compare(QLatin1String(Name), Qt::CaseInsensitive) == 0;
}

}  // namespace

std::optional<TMailSecurity> ParseMailSecurity(QStringView Text) {
  const QStringView Value = Text.trimmed();
  if (Value.isEmpty())
    return msAuto;
  for (const TSecurityName& Name : SecurityNames)
    if (Same(Value, Name.Name))
      return Name.Security;
  return std::nullopt;
}

std::int32_t DefaultMailPort(QStringView Security) {
  const std::optional<TMailSecurity> Parsed = ParseMailSecurity(Security);
  for (const TSecurityName& Name : SecurityNames)
    if (Parsed && Name.Security == *Parsed)
      return Name.Port;
  return SecurityNames[0].Port;
}

std::optional<TpelsmtpAuthSchemes> ParseMailAuthScheme(QStringView Text) {
  const QStringView Value = Text.trimmed();
  if (Value.isEmpty())
    return asAutomatic;
  for (const TAuthSchemeName& Name : AuthSchemeNames)
    if (Same(Value, Name.Name))
      return Name.Scheme;
  return std::nullopt;
}

std::optional<bool> ParseMailVerify(QStringView Text) {
  const QStringView Value = Text.trimmed();
  if (Value.isEmpty() || Same(Value, "yes"))
    return true;
  if (Same(Value, "no"))
    return false;
  return std::nullopt;
}

bool IsSha256Fingerprint(QStringView Text) {
  return pelnet::smtp::rules::parseFingerprint(Text.toUtf8().toStdString()).has_value();
}

bool IsAcceptableServerName(QStringView Text) {
  return pelnet::smtp::rules::serverNameAcceptable(Text.toUtf8().toStdString());
}

TMailProxyParse ParseMailProxy(QStringView Text) {
  TMailProxyParse Out;
  const QStringView Value = Text.trimmed();
  const auto Fail = [&](const QString& Why) {
    Out.Problem = Why;
    return Out;
  };
  if (Value.isEmpty()) {
    Out.Proxy = TMailProxy{};
    return Out;
  }
  if (Same(Value, "auto")) {
    Out.Proxy = TMailProxy{};
    Out.Proxy->AutoDetect = true;
    return Out;
  }
  const TProxyScheme* Scheme = nullptr;
  for (const TProxyScheme& S : ProxySchemes)
    if (Value.startsWith(QLatin1String(S.Prefix), Qt::CaseInsensitive))
      Scheme = &S;
  if (Scheme == nullptr)
    return Fail(QStringLiteral("it names no known kind of proxy"));
  TMailProxy Proxy;
  Proxy.Type = Scheme->Type;
  QStringView Rest = Value.mid(qsizetype(std::strlen(Scheme->Prefix)));
  if (Rest.endsWith(u'/'))
    Rest.chop(1);
  const qsizetype At = Rest.lastIndexOf(u'@');
  if (At >= 0) {
    if (!Scheme->TakesLogin)
      return Fail(QStringLiteral("a socks4 proxy takes no user and password"));
    const QStringView Login = Rest.left(At);
    const qsizetype Colon = Login.indexOf(u':');
    Proxy.User = QUrl::fromPercentEncoding(Login.left(Colon < 0 ? Login.size() : Colon).toUtf8());
    if (Colon >= 0)
      Proxy.Password = QUrl::fromPercentEncoding(Login.mid(Colon + 1).toUtf8());
    if (Proxy.User.isEmpty())
      return Fail(QStringLiteral("the user before \"@\" is empty"));
    constexpr auto FieldMax = qsizetype(pelnet::smtp::rules::kProxyFieldMax);
    if (Proxy.User.toUtf8().size() > FieldMax || Proxy.Password.toUtf8().size() > FieldMax)
      return Fail(QStringLiteral("its user or password is longer than %1 bytes").arg(FieldMax));
    Rest = Rest.mid(At + 1);
  }
  QStringView PortText;
  if (Rest.startsWith(u'[')) {
    const qsizetype Close = Rest.indexOf(u']');
    if (Close < 0)
      return Fail(QStringLiteral("the \"[\" of its IPv6 address is not closed"));
    Proxy.Host = Rest.mid(1, Close - 1).toString();
    if (!Rest.mid(Close + 1).startsWith(u':'))
      return Fail(QStringLiteral("it has no port"));
    PortText = Rest.mid(Close + 2);
  } else {
    const qsizetype Colon = Rest.lastIndexOf(u':');
    if (Colon < 0)
      return Fail(QStringLiteral("it has no port"));
    Proxy.Host = Rest.left(Colon).toString();
    PortText = Rest.mid(Colon + 1);
  }
  if (Proxy.Host.isEmpty())
    return Fail(QStringLiteral("it has no host"));
  for (const QChar C : Proxy.Host)
    if (C.isSpace() || C == u'/' || C == u'@' ||
        !pelnet::smtp::rules::serverNameAcceptable(QString(C).toStdString()))
      return Fail(QStringLiteral("its host holds \"%1\"").arg(C));
  bool Valid = false;
  const int Port = PortText.toInt(&Valid);
  if (!Valid || Port < 1 || Port > 65535 || PortText.startsWith(u'+'))
    return Fail(QStringLiteral("its port is not a number from 1 to 65535"));
  Proxy.Port = Port;
  Out.Proxy = Proxy;
  return Out;
}

QString MaskedProxyText(const QString& Text) {
  // Whatever the form, the password is what follows the login's first colon
  // up to the last "@": a text that does not parse must not show it either
  // ("socks5:/user:SECRET@host:1080", "user:SECRET@host:1080").
  const qsizetype At = Text.lastIndexOf(u'@');
  if (At < 0)
    return Text;
  qsizetype Start = 0;
  if (const qsizetype Scheme = Text.left(At).indexOf(QLatin1String("://")); Scheme >= 0) {
    Start = Scheme + 3;
  } else if (const qsizetype First = Text.left(At).indexOf(u':');
             First >= 0 && Text.left(At).indexOf(u':', First + 1) >= 0) {
    // A scheme with its slashes mistyped: the login begins after it.
    Start = First + 1;
  }
  const qsizetype Colon = Text.left(At).indexOf(u':', Start);
  if (Colon < 0)
    return Text;
  return Text.left(Colon + 1) + QStringLiteral("****") + Text.mid(At);
}
