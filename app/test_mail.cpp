#include "test_mail.h"

#include "auto_mode.h"
#include "mail_charset.h"
#include "mail_delivery.h"
#include "mail_settings.h"
#include "mail_trail.h"
#include "pelsmtp.h"
#include "settings.h"

#include <QDateTime>
#include <QSysInfo>

namespace {

struct TCertificateFix {
  int Code;
  const char* Text;
};
constexpr TCertificateFix CertificateFixes[] = {
    {PELNET_SMTP_ERROR_StartTlsNotOffered,
     "the server does not offer STARTTLS: for a server that speaks TLS from the start (port 465) set "
     "Security=tls, or Security=none for a plaintext relay"},
    {PELNET_SMTP_ERROR_TlsHandshake,
     "no TLS handshake: check that Security fits Port (tls for 465, starttls for 587)"},
    {PELNET_SMTP_ERROR_TlsUnknownIssuer,
     "unknown issuer: set CAFile to the certificate of the CA that signed the server's, or pin the "
     "server's own certificate with Fingerprint (the SHA-256 fingerprint above)"},
    {PELNET_SMTP_ERROR_TlsExpired,
     "the certificate has expired or is not valid yet: the server needs a new one (check this machine's "
     "clock too)"},
    {PELNET_SMTP_ERROR_TlsNameMismatch,
     "name mismatch: the certificate is not made out to HostAddress; set ServerName to the name it holds"},
    {PELNET_SMTP_ERROR_TlsPinMismatch,
     "the server's fingerprint is not the pinned one: if the server's certificate was renewed, set "
     "Fingerprint to the fingerprint seen"},
    {PELNET_SMTP_ERROR_TlsCAFile, "CAFile cannot be read or holds no certificate: fix CAFile"},
    {PELNET_SMTP_ERROR_TlsCertificate, "the certificate could not be checked: set CAFile or Fingerprint"},
    {PELNET_SMTP_ERROR_NoAuthMechanism,
     "the server offers none of the login mechanisms AuthScheme allows: set AuthScheme=auto, or use "
     "Security so that the server offers its login"},
};

bool HostSet(const QString& Host) { return !Host.isEmpty() && Host != QLatin1String("0.0.0.0"); }

QString Line(const QString& Text) { return QStringLiteral("dervik: ") + Text; }

}  // namespace

QString CertificateFixText(int ErrorCode) {
  for (const TCertificateFix& Fix : CertificateFixes)
    if (Fix.Code == ErrorCode)
      return QLatin1String(Fix.Text);
  return QString();
}

int SendTestMail(const TSettingsLookup& Lookup, const TTestMailSink& Sink) {
  if (!Lookup.Found) {
    Sink(Line(QStringLiteral("no settings file: looked for %1").arg(Lookup.Searched.join(QStringLiteral(" and ")))));
    return ExitStatusNotStarted;
  }
  const TSettings S(Lookup.FileName);
  if (!S.FileProblem().isEmpty()) {
    Sink(Line(S.FileProblem()));
    return ExitStatusNotStarted;
  }
  if (!HostSet(S.SMTPHostAddress())) {
    Sink(Line(QStringLiteral("no mail server set (HostAddress in [SMTP] of %1)").arg(Lookup.FileName)));
    return ExitStatusNotStarted;
  }
  const TMailConnectionSetup Setup = ReadMailConnection(S);
  if (!Setup.Problems.isEmpty()) {
    for (const QString& Problem : Setup.Problems)
      Sink(Line(Problem));
    Sink(Line(QStringLiteral("test message not sent")));
    return ExitStatusNotStarted;
  }

  TpelSMTP Smtp;
  TMailTrailMasker Masker(MailSecrets(Setup.Connection));
  Smtp.setOnPITrail([&](QObject*, int Direction, const QString& Message) {
    Sink(MailTrailPrefix(Direction) + Masker.Line(Direction, Message));
  });
  const auto ShowTls = [&] {
    const QString Info = Smtp.TlsInfo();
    if (Info.isEmpty())
      return;
    for (const QString& Part : Info.split(u'\n', Qt::SkipEmptyParts))
      Sink(QStringLiteral("TLS: ") + Part);
  };
  const QString Destination = QStringLiteral("%1:%2").arg(S.SMTPHostAddress()).arg(S.SMTPPort());
  try {
    Smtp.setMailServer(S.SMTPHostAddress());
    Smtp.setMailPort(S.SMTPPort());
    Smtp.setSendTo(S.SMTPRecipients());
    Smtp.setFrom(S.SMTPSender());
    Smtp.setTimeout(S.SMTPTimeoutSeconds());
    ApplyMailConnection(Smtp, Setup.Connection);
    const QString Subject = QStringLiteral("Dervik: test message");
    const QString Body = QStringLiteral("Test message of Dervik from %1 at %2, sent with dervik --test-mail.\r\n")
                             .arg(QSysInfo::machineHostName(),
                                  QDateTime::currentDateTime().toString(Qt::ISODate));
    Smtp.setSubject(Subject);
    SetMailCharset(Smtp, Subject, Body);
    Smtp.setMessageText(Body);
    Smtp.Send();
  } catch (const EPelnet& E) {
    ShowTls();
    Sink(Line(QStringLiteral("test message to %1 not sent: %2")
                  .arg(Destination, MailFailureText(E, Smtp.LastReply(), Smtp.Timeout()))));
    if (const QString Fix = CertificateFixText(E.Code()); !Fix.isEmpty())
      Sink(Line(QStringLiteral("to fix: ") + Fix));
    try {
      Smtp.setConnected(false);
    } catch (const EPelnet&) {
      // Closed either way.
    }
    return ExitStatusReportFailed;
  }
  ShowTls();
  Sink(Line(QStringLiteral("test message sent to %1").arg(Destination) + CertificateNotCheckedNote(Setup.Connection)));
  return ExitStatusAllAnswered;
}
