// The mail report of the main window: one message listing every device,
// grouped by status, sent through pelSMTP1.
#include "form_main.h"

#include "locale_texts.h"
#include "pelsmtp.h"

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
  FLastSMTPReport = SendResultsToSMTP() ? rrSent : rrFailed;
}

bool TFormMain::SendResultsToSMTP() {
  bool Result = true;
  QStringList Lines;
  const TSettings& S = Settings();
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
    pelSMTP1->setMessageText(Body);
    pelSMTP1->Send();
  } catch (const EPelnet& E) {
    SetStatusPanelText(0, E.Message());
    Result = false;
  }
  return Result;
}

void TFormMain::pelSMTP1Error(QObject* /*Sender*/, int ErrorCode, const QString& Description) {
  SetStatusPanelText(0, QStringLiteral("SMTP error %1: %2").arg(QString::number(ErrorCode), Description));
}
