// The [SMTP] values that go on to the mail component: ServerName,
// Fingerprint and Proxy, one a line. Whatever the settings check passes must
// be a value the component takes by its own rules (a fingerprint it parses,
// a name without control bytes, a proxy port in range and a login that fits
// the proxy's length bytes), and a proxy text that holds a password is never
// shown as it was written.
#include "reports/mail/mail_setting_values.h"

#include "pelnet/smtp_setting_rules.h"

#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace {

void Require(bool Condition) {
  if (!Condition)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  namespace rules = pelnet::smtp::rules;
  const QString Text = QString::fromUtf8(reinterpret_cast<const char*>(Data), qsizetype(Size));
  const QStringList Fields = Text.split(u'\n');
  // Trimmed as the settings reader hands them on.
  const QString ServerName = Fields.value(0).trimmed();
  const QString Fingerprint = Fields.value(1).trimmed();
  const QString Proxy = Fields.value(2);

  if (IsAcceptableServerName(ServerName))
    Require(rules::serverNameAcceptable(ServerName.toUtf8().toStdString()));
  if (IsSha256Fingerprint(Fingerprint))
    Require(rules::parseFingerprint(Fingerprint.toUtf8().toStdString()).has_value());

  const QString Masked = MaskedProxyText(Proxy);
  const TMailProxyParse Parsed = ParseMailProxy(Proxy);
  Require(Parsed.Proxy.has_value() == Parsed.Problem.isEmpty());
  if (Parsed.Proxy && !Parsed.Proxy->AutoDetect && Parsed.Proxy->Type != fwNone) {
    const TMailProxy& P = *Parsed.Proxy;
    Require(P.Port >= 1 && P.Port <= 65535);
    Require(!P.Host.isEmpty());
    Require(rules::serverNameAcceptable(P.Host.toUtf8().toStdString()));
    Require(std::size_t(P.User.toUtf8().size()) <= rules::kProxyFieldMax);
    Require(std::size_t(P.Password.toUtf8().size()) <= rules::kProxyFieldMax);
    if (!P.Password.isEmpty())
      Require(Masked != Proxy && Masked.contains(QLatin1String("****")));
  }
  return 0;
}
