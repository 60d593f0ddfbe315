// The mail report as a report channel: one message listing every device,
// grouped by status, sent through a mail component the caller owns (the
// window's pelSMTP1, or the run sequence's own), directly or through the
// queue folder of [SMTP].
#pragma once

#include "reports/report_channel.h"

class TpelSMTP;

// [SMTP] as the mail channel reads it.
TChannelTraits MailChannelTraits(const TSettings& Settings);

class TMailChannel : public TReportChannel {
public:
  explicit TMailChannel(TpelSMTP& Smtp) : FSmtp(Smtp) {}

  QString Name() const override { return QStringLiteral("mail"); }
  TChannelTraits Traits(const TSettings& Settings) const override { return MailChannelTraits(Settings); }
  TChannelOutcome Send(const TReportInput& Input, const TShowProgress& ShowProgress) override;

private:
  TpelSMTP& FSmtp;
};
