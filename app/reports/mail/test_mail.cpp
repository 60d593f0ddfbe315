#include "reports/mail/test_mail.h"

#include "start/auto_mode.h"
#include "reports/mail/mail_charset.h"
#include "reports/mail/mail_delivery.h"
#include "reports/mail/mail_hints.h"
#include "reports/mail/mail_settings.h"
#include "reports/mail/mail_trail.h"
#include "pelsmtp.h"
#include "settings/settings.h"
#include "settings/settings_check.h"

#include <QDateTime>
#include <QSysInfo>

namespace {

bool HostSet(const QString& Host) { return !Host.isEmpty() && Host != QLatin1String("0.0.0.0"); }

QString Line(const QString& Text) { return QStringLiteral("dervik: ") + Text; }

}  // namespace

int SendTestMail(const TSettingsLookup& Lookup, const TTestMailSink& Sink) {
  if (!Lookup.Found) {
    Sink(Line(QStringLiteral("no settings file: looked for %1")
                  .arg(Lookup.Searched.join(QStringLiteral(" and ")))));
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
  const TMailSettingsFindings Findings = CheckMailSettings(S);
  if (!Findings.Problems.isEmpty()) {
    for (const QString& Problem : Findings.Problems)
      Sink(Line(Problem));
    Sink(Line(QStringLiteral("test message not sent")));
    return ExitStatusNotStarted;
  }
  const TMailConnection& Connection = Findings.Connection;

  TpelSMTP Smtp;
  TMailTrailMasker Masker(MailSecrets(Connection));
  // The TLS lines go where the handshake happened, or with the failure
  // when the handshake itself failed.
  bool TlsShown = false;
  const auto ShowTls = [&] {
    const QString Info = Smtp.TlsInfo();
    if (Info.isEmpty() || TlsShown)
      return;
    TlsShown = true;
    for (const QString& Part : Info.split(u'\n', Qt::SkipEmptyParts))
      Sink(QStringLiteral("TLS: ") + Masker.Masked(Part));
  };
  // The server's AUTH line of its EHLO answer, for the hint of a refused login.
  QString Offered;
  Smtp.setOnPITrail([&](QObject*, int Direction, const QString& Message) {
    if (const QString Mechanisms = OfferedAuthMechanisms(Direction, Message); !Mechanisms.isEmpty())
      Offered = Mechanisms;
    Sink(MailTrailPrefix(Direction) + Masker.Line(Direction, Message));
    if (IsTlsStartedNote(Direction, Message))
      ShowTls();
  });
  const QString Destination = QStringLiteral("%1:%2").arg(S.SMTPHostAddress()).arg(S.SMTPPort());
  try {
    Smtp.setMailServer(S.SMTPHostAddress());
    Smtp.setMailPort(S.SMTPPort());
    Smtp.setSendTo(S.SMTPRecipients());
    Smtp.setFrom(S.SMTPSender());
    Smtp.setTimeout(S.SMTPTimeoutSeconds());
    ApplyMailConnection(Smtp, Connection);
    if (Connection.Proxy.AutoDetect)
      Sink(Line(AutoDetectedProxyLine(AutoDetectedProxyText(Smtp))));
    const QString Subject = QStringLiteral("Dervik: test message");
    const QString Body =
        QStringLiteral("Test message of Dervik from %1 at %2, sent with dervik --test-mail.\r\n")
            .arg(QSysInfo::machineHostName(), QDateTime::currentDateTime().toString(Qt::ISODate));
    Smtp.setSubject(Subject);
    SetMailCharset(Smtp, Subject, Body);
    Smtp.setMessageText(Body);
    Smtp.Send();
  } catch (const EPelnet& E) {
    ShowTls();
    // The server's words may repeat what it was sent, the login too.
    Sink(Line(Masker.Masked(
        QStringLiteral("test message to %1 not sent: %2").arg(Destination, MailFailureText(E, Smtp)))));
    TMailHintContext Context = MailHintContext(S, Connection);
    Context.OfferedMechanisms = Offered;
    if (const QString Fix = MailFailureHint(E.Code(), Smtp.RefusedReplyCode(), Context); !Fix.isEmpty())
      Sink(Line(QStringLiteral("to fix: ") + Masker.Masked(Fix)));
    try {
      Smtp.setConnected(false);
    } catch (const EPelnet&) {
      // Closed either way.
    }
    return ExitStatusReportFailed;
  }
  ShowTls();
  Sink(Line(QStringLiteral("test message sent to %1").arg(Destination) +
            CertificateNotCheckedNote(Connection)));
  return ExitStatusAllAnswered;
}
