// The syslog report as a report channel: the summary, then one packet per
// device that is not OK, sent through a syslog component the caller owns
// (the window's pelSysLog1, or the run sequence's own).
#pragma once

#include "reports/report_channel.h"

class TpelSysLog;

// [Syslog] as the syslog channel reads it.
TChannelTraits SysLogChannelTraits(const TSettings& Settings);

class TSysLogChannel : public TReportChannel {
public:
  explicit TSysLogChannel(TpelSysLog& SysLog) : FSysLog(SysLog) {}

  QString Name() const override { return QStringLiteral("syslog"); }
  TChannelTraits Traits(const TSettings& Settings) const override { return SysLogChannelTraits(Settings); }
  TChannelOutcome Send(const TReportInput& Input, const TShowProgress& ShowProgress) override;

private:
  TpelSysLog& FSysLog;
};
