// The syslog report of the main window: the syslog channel
// (syslog_channel.h) sends through pelSysLog1.
#include "window/form_main.h"

#include "pelsyslog.h"

// The component with the values stored for it in the window: LocalPort 0
// (any free port, so a syslog server on this machine is never in the way)
// and RemoteHost "255.255.255.255"; only OnError is assigned.
void TFormMain::CreateSysLogComponent() {
  pelSysLog1 = new TpelSysLog(this);
  pelSysLog1->setObjectName(QStringLiteral("pelSysLog1"));
  pelSysLog1->setLocalPort(0);
  pelSysLog1->setRemoteHost(QStringLiteral("255.255.255.255"));
  pelSysLog1->setOnError([this](QObject* Sender, int ErrorCode, const QString& Description) {
    pelSysLog1Error(Sender, ErrorCode, Description);
  });
}

void TFormMain::MenuItemSendToSysLogClick() { SendReport(QStringLiteral("syslog")); }

void TFormMain::pelSysLog1Error(QObject* /*Sender*/, int ErrorCode, const QString& Description) {
  SetStatusPanelText(0, QStringLiteral("SysLog error %1: %2").arg(QString::number(ErrorCode), Description));
}
