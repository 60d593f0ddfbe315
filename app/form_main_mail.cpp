// The mail report of the main window: one message listing every device,
// grouped by status, sent through pelSMTP1.
#include "form_main.h"

#include "locale_texts.h"
#include "mail_charset.h"
#include "mail_delivery.h"
#include "mail_hints.h"
#include "mail_queue.h"
#include "mail_settings.h"
#include "mail_trail.h"
#include "pelsmtp.h"
#include "report_texts.h"

#include <optional>

// The component with no stored values; only OnError is assigned.
void TFormMain::CreateSMTPComponent() {
  pelSMTP1 = new TpelSMTP(this);
  pelSMTP1->setObjectName(QStringLiteral("pelSMTP1"));
  pelSMTP1->setOnError([this](QObject* Sender, int ErrorCode, const QString& Description) {
    pelSMTP1Error(Sender, ErrorCode, Description);
  });
}

void TFormMain::MenuItemSendToSMTPClick() {
  FLastSMTPReport = rrNotSent;
  // Only after a run, and never to an unset host.
  const QString& Host = Settings().SMTPHostAddress();
  if (!Settings().HasLastCheck() || Host.isEmpty() || Host == QLatin1String("0.0.0.0"))
    return;
  FLastSMTPReport = SendResultsToSMTP() ? (FSMTPQueued ? rrQueued : rrSent) : rrFailed;
}

bool TFormMain::SendResultsToSMTP() {
  bool Result = true;
  const TSettings& S = Settings();
  FSMTPQueued = false;
  FLostQueuedMail.clear();
  FMailReportHint.clear();
  // A login or certificate setting that cannot be used sends nothing: a
  // report in plaintext or without its login is not what was asked for.
  const TMailConnectionSetup Connection = ReadMailConnection(S);
  if (!Connection.Problems.isEmpty()) {
    SetStatusPanelText(0, MailSetupProblemText(Connection.Problems));
    return false;
  }
  // A server's reply may repeat what it was sent, the login too: nothing it
  // said reaches the status bar, the run's lines or the queue's notes unmasked.
  const TMailTrailMasker Masker(MailSecrets(Connection.Connection));
  const auto ShowFailure = [&](const QString& Text, int Code) {
    FMailReportHint = Masker.Masked(
        MailFailureHint(Code, pelSMTP1->LastReply(), MailHintContext(S, Connection.Connection)));
    const QString Shown = Masker.Masked(Text);
    SetStatusPanelText(0, Shown, FMailReportHint.isEmpty() ? QString() : Shown + u'\n' + FMailReportHint);
  };
  try {
    std::optional<EPelnet> LookupFailure;
    try {
      pelSMTP1->setMailServer(S.SMTPHostAddress());
    } catch (const EPelnet& E) {
      // A name the name server cannot give now may resolve at the next
      // report: with a queue folder the report waits there.
      if (S.SMTPQueueDir().isEmpty() || !MailServerLookupFailed(E.Code()))
        throw;
      LookupFailure = E;
    }
    pelSMTP1->setMailPort(S.SMTPPort());
    pelSMTP1->setSendTo(S.SMTPRecipients());
    pelSMTP1->setFrom(S.SMTPSender());
    pelSMTP1->setTimeout(S.SMTPTimeoutSeconds());
    ApplyMailConnection(*pelSMTP1, Connection.Connection);
    const QString Subject = FNotRunCause.isEmpty() ? MailReportSubject(S) : NotRunSubject();
    pelSMTP1->setSubject(Subject);
    // Read back: the text shows what the component will talk to.
    SetStatusPanelText(0, QStringLiteral("Sending to SMTP %1:%2...")
                              .arg(pelSMTP1->MailServer(), QString::number(pelSMTP1->MailPort())));
    QString Body = FNotRunCause.isEmpty() ? MailReportBody(S) : NotRunMailBody(FNotRunCause);
    if (FNotRunCause.isEmpty() && FRunChanges && MailReportRule(S).ShowChanges)
      Body += MailChangesSection(*FRunChanges);
    SetMailCharset(*pelSMTP1, Subject, Body);
    pelSMTP1->setMessageText(Body);
    if (S.SMTPQueueDir().isEmpty()) {
      try {
        pelSMTP1->Send();
      } catch (const EPelnet& E) {
        ShowFailure(MailFailureText(E, *pelSMTP1), E.Code());
        return false;
      }
    } else {
      const TMailDelivery Delivery = DeliverThroughQueue(*pelSMTP1, S.SMTPQueueDir(), LookupFailure);
      FSMTPQueued = Delivery.Result == rrQueued;
      for (const QString& Lost : Delivery.LostQueuedReports)
        FLostQueuedMail.append(Masker.Masked(Lost));
      Result = Delivery.Result != rrFailed;
      if (!Delivery.Text.isEmpty())
        ShowFailure(Delivery.Text, Delivery.Code);
    }
  } catch (const EPelnet& E) {
    ShowFailure(E.Message(), E.Code());
    Result = false;
  }
  // The "Sending" text would stay forever: say that it went, and when.
  if (Result && !FSMTPQueued)
    SetStatusPanelText(0, QStringLiteral("Mail report sent to %1:%2. (%3)")
                                  .arg(pelSMTP1->MailServer(), QString::number(pelSMTP1->MailPort()),
                                       FormatTimeForDisplay(QTime::currentTime())) +
                              CertificateNotCheckedNote(Connection.Connection));
  // Reports of earlier runs the queue lost are named whatever became of this one.
  if (!FLostQueuedMail.isEmpty())
    SetStatusPanelText(0, StatusPanelText(0) + QStringLiteral("; not delivered from the queue: ") +
                              FLostQueuedMail.join(QStringLiteral("; ")));
  return Result;
}

void TFormMain::pelSMTP1Error(QObject* /*Sender*/, int ErrorCode, const QString& Description) {
  SetStatusPanelText(0, QStringLiteral("SMTP error %1: %2").arg(QString::number(ErrorCode), Description));
}
