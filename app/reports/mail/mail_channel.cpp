#include "reports/mail/mail_channel.h"

#include "common/locale_texts.h"
#include "pelsmtp.h"
#include "reports/mail/mail_charset.h"
#include "reports/mail/mail_delivery.h"
#include "reports/mail/mail_hints.h"
#include "reports/mail/mail_queue.h"
#include "reports/mail/mail_settings.h"
#include "reports/mail/mail_trail.h"
#include "reports/report_texts.h"
#include "settings/settings.h"

#include <QTime>

#include <optional>

TChannelTraits MailChannelTraits(const TSettings& Settings) {
  // The note of a report that went encrypted to a server whose certificate
  // nobody checked.
  TMailConnection Connection;
  Connection.Security = ResolvedMailSecurity(Settings);
  Connection.Verify = ParseMailVerify(Settings.SMTPVerify()).value_or(true);
  return {QStringLiteral("mail"), QStringLiteral("SMTP"),   Settings.SMTPHostAddress(),
          Settings.SMTPPort(),    MailReportRule(Settings), CertificateNotCheckedNote(Connection)};
}

TChannelOutcome TMailChannel::Send(const TReportInput& Input, const TShowProgress& ShowProgress) {
  const TSettings& S = Input.Settings;
  TChannelOutcome Out;
  Out.Channel = Traits(S);
  const auto Show = [&](const QString& Text, const QString& ToolTip = QString()) {
    Out.Text = Text;
    Out.ToolTip = ToolTip;
  };
  // A login or certificate setting that cannot be used sends nothing: a
  // report in plaintext or without its login is not what was asked for.
  const TMailConnectionSetup Connection = ReadMailConnection(S);
  if (!Connection.Problems.isEmpty()) {
    Show(MailSetupProblemText(Connection.Problems));
    Out.Result = rrFailed;
    return Out;
  }
  // A server's reply may repeat what it was sent, the login too: nothing it
  // said reaches the status bar, the run's lines or the queue's notes unmasked.
  const TMailTrailMasker Masker(MailSecrets(Connection.Connection));
  const auto ShowFailure = [&](const QString& Text, int Code) {
    Out.Hint = Masker.Masked(
        MailFailureHint(Code, FSmtp.RefusedReplyCode(), MailHintContext(S, Connection.Connection)));
    const QString Shown = Masker.Masked(Text);
    Show(Shown, Out.Hint.isEmpty() ? QString() : Shown + u'\n' + Out.Hint);
  };
  bool Delivered = true;
  bool Queued = false;
  try {
    std::optional<EPelnet> LookupFailure;
    try {
      FSmtp.setMailServer(S.SMTPHostAddress());
    } catch (const EPelnet& E) {
      // A name the name server cannot give now may resolve at the next
      // report: with a queue folder the report waits there.
      if (S.SMTPQueueDir().isEmpty() || !MailServerLookupFailed(E.Code()))
        throw;
      LookupFailure = E;
    }
    FSmtp.setMailPort(S.SMTPPort());
    FSmtp.setSendTo(S.SMTPRecipients());
    FSmtp.setFrom(S.SMTPSender());
    FSmtp.setTimeout(S.SMTPTimeoutSeconds());
    ApplyMailConnection(FSmtp, Connection.Connection);
    const bool NotRun = !Input.NotRunCause.isEmpty();
    const QString Subject = NotRun ? NotRunSubject() : MailReportSubject(S);
    FSmtp.setSubject(Subject);
    // Read back: the text shows what the component will talk to.
    Show(QStringLiteral("Sending to SMTP %1:%2...")
             .arg(FSmtp.MailServer(), QString::number(FSmtp.MailPort())));
    if (ShowProgress)
      ShowProgress(Out.Text);
    QString Body = NotRun ? NotRunMailBody(Input.NotRunCause) : MailReportBody(S);
    if (!NotRun && Input.Changes != nullptr && Out.Channel.Rule.ShowChanges)
      Body += MailChangesSection(*Input.Changes);
    SetMailCharset(FSmtp, Subject, Body);
    FSmtp.setMessageText(Body);
    if (S.SMTPQueueDir().isEmpty()) {
      try {
        FSmtp.Send();
      } catch (const EPelnet& E) {
        ShowFailure(MailFailureText(E, FSmtp), E.Code());
        Out.Result = rrFailed;
        return Out;
      }
    } else {
      const TMailDelivery Delivery = DeliverThroughQueue(FSmtp, S.SMTPQueueDir(), LookupFailure);
      Queued = Delivery.Result == rrQueued;
      for (const QString& Lost : Delivery.LostQueuedReports)
        Out.LostQueued.append(Masker.Masked(Lost));
      Delivered = Delivery.Result != rrFailed;
      if (!Delivery.Text.isEmpty())
        ShowFailure(Delivery.Text, Delivery.Code);
    }
  } catch (const EPelnet& E) {
    ShowFailure(E.Message(), E.Code());
    Delivered = false;
  }
  // The "Sending" text would stay forever: say that it went, and when.
  if (Delivered && !Queued)
    Show(QStringLiteral("Mail report sent to %1:%2. (%3)")
             .arg(FSmtp.MailServer(), QString::number(FSmtp.MailPort()),
                  FormatTimeForDisplay(QTime::currentTime())) +
         CertificateNotCheckedNote(Connection.Connection));
  // Reports of earlier runs the queue lost are named whatever became of this one.
  if (!Out.LostQueued.isEmpty())
    Show(Out.Text + QStringLiteral("; not delivered from the queue: ") +
         Out.LostQueued.join(QStringLiteral("; ")));
  Out.Result = !Delivered ? rrFailed : (Queued ? rrQueued : rrSent);
  return Out;
}
