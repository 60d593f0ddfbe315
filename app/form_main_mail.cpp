// The mail report of the main window: one message listing every device,
// grouped by status, sent through pelSMTP1.
#include "form_main.h"

#include "locale_texts.h"
#include "mail_charset.h"
#include "mail_queue.h"
#include "pelsmtp.h"

#include <QDir>

#include <memory>
#include <optional>

namespace {

// The groups of the body, in order, with their headings.
struct TMailGroup {
  TDeviceStatusCategory Category;
  const char* Heading;
};
constexpr TMailGroup MailGroups[] = {
    {dscNoConnection, "Devices with no connection at all:"},
    {dscUnknown, "Devices with unknown results:"},
    {dscOK, "Devices with OK connection:"},
};

}  // namespace

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
  QStringList Lines;
  const TSettings& S = Settings();
  FSMTPQueued = false;
  try {
    pelSMTP1->setMailServer(S.SMTPHostAddress());
    pelSMTP1->setMailPort(S.SMTPPort());
    pelSMTP1->setSendTo(S.SMTPRecipients());
    pelSMTP1->setFrom(S.SMTPSender());
    pelSMTP1->setSubject(QStringLiteral("Dervik: ") + S.LastCheckResult());
    // Read back: the text shows what the component will talk to.
    SetStatusPanelText(0, QStringLiteral("Sending to SMTP %1:%2...")
                              .arg(pelSMTP1->MailServer(), QString::number(pelSMTP1->MailPort())));
    Lines.append(
        QStringLiteral("Connection check results as of %1:").arg(FormatDateTimeForDisplay(S.LastCheckDT())));
    Lines.append(QString());
    for (const TMailGroup& Group : MailGroups) {
      bool HeadingAdded = false;
      for (const auto& Device : S.Devices()) {
        if (Device->DeviceStatusCategory() != Group.Category)
          continue;
        if (!HeadingAdded) {
          Lines.append(QString::fromLatin1(Group.Heading));
          HeadingAdded = true;
        }
        Lines.append(
            QStringLiteral("- %1 (%2): %3")
                .arg(Device->DeviceName(), Device->DeviceHostAddress(), Device->DeviceStatusToString()));
      }
      if (HeadingAdded)
        Lines.append(QString());
    }
    QString Body;
    for (const QString& Line : Lines)
      Body += Line + QStringLiteral("\r\n");
    SetMailCharset(*pelSMTP1, QStringLiteral("Dervik: ") + S.LastCheckResult(), Body);
    pelSMTP1->setMessageText(Body);
    if (S.SMTPQueueDir().isEmpty())
      pelSMTP1->Send();
    else
      Result = SendOrQueueSMTP(S.SMTPQueueDir());
  } catch (const EPelnet& E) {
    SetStatusPanelText(0, E.Message());
    Result = false;
  }
  // The "Sending" text would stay forever: say that it went, and when.
  if (Result && !FSMTPQueued)
    SetStatusPanelText(0, QStringLiteral("Mail report sent to %1:%2. (%3)")
                              .arg(pelSMTP1->MailServer(), QString::number(pelSMTP1->MailPort()),
                                   FormatTimeForDisplay(QTime::currentTime())));
  return Result;
}

// What waits in the queue folder goes first, oldest first, then this report.
// When the server cannot be reached, or refuses for now (4xx), the report
// joins the queue for the next report instead of being lost; panel 0 says
// so. Any other failure is raised as without a queue.
bool TFormMain::SendOrQueueSMTP(const QString& QueueDir) {
  // A folder that is not there yet is made; one that cannot be made fails at Queue.
  QDir().mkpath(QueueDir);
  std::optional<EPelnet> Failure;
  // The file being delivered, from ProcessQueue's note: one the server could
  // not take for now is put back in the queue instead of staying failed.
  QString Delivering;
  // The window assigns no handler of its own to OnPITrail: none again at the end, however it ends.
  const std::unique_ptr<TpelSMTP, void (*)(TpelSMTP*)> Watching(
      pelSMTP1, [](TpelSMTP* Smtp) { Smtp->setOnPITrail(nullptr); });
  pelSMTP1->setOnPITrail([&Delivering](QObject*, int /*Direction*/, const QString& Message) {
    const QString Name = QueuedFileOfNote(Message);
    if (!Name.isEmpty())
      Delivering = Name;
  });
  try {
    pelSMTP1->ProcessQueue(QueueDir);
  } catch (const EPelnet& E) {
    if (MailFailureIsTemporary(E.Code(), E.Message()) && !Delivering.isEmpty()) {
      const QString Stem = Delivering.left(Delivering.lastIndexOf(QLatin1Char('.')) + 1);
      QDir(QueueDir).rename(Stem + QStringLiteral("failed"), Delivering);
    }
    // A server that did not answer the queue will not take this report
    // either: no second wait for it. A queued message it refused for good is
    // left marked failed in the folder, and this report still goes.
    if (MailServerUnreachable(E.Code()))
      Failure = E;
  }
  if (!Failure) {
    try {
      pelSMTP1->Send();
      return true;
    } catch (const EPelnet& E) {
      if (!MailFailureIsTemporary(E.Code(), E.Message()))
        throw;
      Failure = E;
    }
  }
  // No connection is left to the next report: a server that closed a stale
  // one meanwhile would make it look unreachable. A refusing server gets its
  // QUIT; a lost or silent one is not waited for again.
  try {
    if (Failure->Code() == CodeSMTPRefused)
      pelSMTP1->Disconnect();
    else
      pelSMTP1->setConnected(false);
  } catch (const EPelnet&) {
    // The connection is closed either way.
  }
  QString FileName;
  try {
    FileName = pelSMTP1->Queue(QueueDir);
  } catch (const EPelnet& E) {
    // Both failures: why it was not sent, and why it could not be kept.
    SetStatusPanelText(0, QStringLiteral("%1 (not queued: %2)").arg(Failure->Message(), E.Message()));
    return false;
  }
  FSMTPQueued = true;
  SetStatusPanelText(
      0,
      QStringLiteral("Mail report queued as %1 for the next report: %2").arg(FileName, Failure->Message()));
  return true;
}

void TFormMain::pelSMTP1Error(QObject* /*Sender*/, int ErrorCode, const QString& Description) {
  SetStatusPanelText(0, QStringLiteral("SMTP error %1: %2").arg(QString::number(ErrorCode), Description));
}
