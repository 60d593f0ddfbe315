// The syslog report of the main window: the summary, then one packet per
// device that is not OK, sent through pelSysLog1.
#include "window/form_main.h"

#include "common/locale_texts.h"
#include "pelsyslog.h"
#include "reports/report_texts.h"

#include <QTime>

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

void TFormMain::MenuItemSendToSysLogClick() {
  // Only after a run, and never to an unset host.
  FLastSysLogReport = rrNotSent;
  const QString& Host = Settings().SyslogHostAddress();
  if (!Settings().HasLastCheck() || Host.isEmpty() || Host == QLatin1String("0.0.0.0"))
    return;
  FLastSysLogReport = SendResultsToSysLog() ? rrSent : rrFailed;
}

bool TFormMain::SendResultsToSysLog() {
  bool Result = true;
  const TSettings& S = Settings();
  try {
    pelSysLog1->setActive(false);
    pelSysLog1->Config(QStringLiteral("UseLocalTime=True"));
    pelSysLog1->setRemoteHost(S.SyslogHostAddress());
    pelSysLog1->setRemotePort(S.SyslogPort());
    pelSysLog1->setActive(true);
    // One packet a line, in order; a failure leaves the rest unsent.
    std::vector<TSysLogReportLine> Lines;
    if (!FNotRunCause.isEmpty()) {
      Lines.push_back(NotRunSysLogLine(FNotRunCause));
    } else {
      Lines = SysLogReportLines(S);
      if (FRunChanges && SysLogReportRule(S).ShowChanges)
        for (TSysLogReportLine& Line : SysLogChangeLines(*FRunChanges))
          Lines.push_back(std::move(Line));
    }
    for (const TSysLogReportLine& Line : Lines)
      pelSysLog1->SendPacket(S.SyslogFacility(), Line.Severity, Line.Text);
  } catch (const EPelnet& E) {
    SetStatusPanelText(0, E.Message());
    Result = false;
  }
  // Closed in every case; a failing close is shown like any other report error.
  try {
    pelSysLog1->setActive(false);
  } catch (const EPelnet& E) {
    SetStatusPanelText(0, E.Message());
    Result = false;
  }
  if (Result)
    SetStatusPanelText(0, QStringLiteral("Syslog report sent to %1:%2. (%3)")
                              .arg(S.SyslogHostAddress(), QString::number(S.SyslogPort()),
                                   FormatTimeForDisplay(QTime::currentTime())));
  return Result;
}

void TFormMain::pelSysLog1Error(QObject* /*Sender*/, int ErrorCode, const QString& Description) {
  SetStatusPanelText(0, QStringLiteral("SysLog error %1: %2").arg(QString::number(ErrorCode), Description));
}
