#include "reports/syslog/syslog_channel.h"

#include "common/locale_texts.h"
#include "pelsyslog.h"
#include "reports/report_texts.h"
#include "settings/settings.h"

#include <QTime>

#include <vector>

TChannelTraits SysLogChannelTraits(const TSettings& Settings) {
  return {QStringLiteral("syslog"), QStringLiteral("Syslog"),   Settings.SyslogHostAddress(),
          Settings.SyslogPort(),    SysLogReportRule(Settings), QString()};
}

TChannelOutcome TSysLogChannel::Send(const TReportInput& Input, const TShowProgress& /*ShowProgress*/) {
  const TSettings& S = Input.Settings;
  TChannelOutcome Out;
  Out.Channel = Traits(S);
  bool Sent = true;
  try {
    FSysLog.setActive(false);
    FSysLog.Config(QStringLiteral("UseLocalTime=True"));
    FSysLog.setRemoteHost(S.SyslogHostAddress());
    FSysLog.setRemotePort(S.SyslogPort());
    FSysLog.setActive(true);
    // One packet a line, in order; a failure leaves the rest unsent.
    std::vector<TSysLogReportLine> Lines;
    if (!Input.NotRunCause.isEmpty()) {
      Lines.push_back(NotRunSysLogLine(Input.NotRunCause));
    } else {
      Lines = SysLogReportLines(S);
      if (Input.Changes != nullptr && Out.Channel.Rule.ShowChanges)
        for (TSysLogReportLine& Line : SysLogChangeLines(*Input.Changes))
          Lines.push_back(std::move(Line));
    }
    for (const TSysLogReportLine& Line : Lines)
      FSysLog.SendPacket(S.SyslogFacility(), Line.Severity, Line.Text);
  } catch (const EPelnet& E) {
    Out.Text = E.Message();
    Sent = false;
  }
  // Closed in every case; a failing close is told like any other report error.
  try {
    FSysLog.setActive(false);
  } catch (const EPelnet& E) {
    Out.Text = E.Message();
    Sent = false;
  }
  if (Sent)
    Out.Text = QStringLiteral("Syslog report sent to %1:%2. (%3)")
                   .arg(S.SyslogHostAddress(), QString::number(S.SyslogPort()),
                        FormatTimeForDisplay(QTime::currentTime()));
  Out.Result = Sent ? rrSent : rrFailed;
  return Out;
}
