// The mail report of the main window: the mail channel (mail_channel.h)
// sends through pelSMTP1; the window shows what the component says while
// it goes.
#include "window/form_main.h"

#include "pelsmtp.h"

// The component with no stored values; only OnError is assigned.
void TFormMain::CreateSMTPComponent() {
  pelSMTP1 = new TpelSMTP(this);
  pelSMTP1->setObjectName(QStringLiteral("pelSMTP1"));
  pelSMTP1->setOnError([this](QObject* Sender, int ErrorCode, const QString& Description) {
    pelSMTP1Error(Sender, ErrorCode, Description);
  });
}

void TFormMain::MenuItemSendToSMTPClick() { SendReport(QStringLiteral("mail")); }

void TFormMain::SendReport(const QString& Channel) {
  // The sequence shows the report's lines through the window as it goes.
  if (TReportChannel* Report = FSequence->Channel(Channel))
    FSequence->Report(*Report);
}

void TFormMain::pelSMTP1Error(QObject* /*Sender*/, int ErrorCode, const QString& Description) {
  SetStatusPanelText(0, QStringLiteral("SMTP error %1: %2").arg(QString::number(ErrorCode), Description));
}
