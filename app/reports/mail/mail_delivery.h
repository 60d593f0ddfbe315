// Delivery of the mail report through a queue folder (the SMTP section's
// QueueDir): what waits there goes first, oldest first, then this report; a
// report the server cannot take now joins the queue for the next report
// instead of being lost. Also the failure texts of the mail report, which
// say what the mail component's generic texts leave out.
#pragma once

#include "start/auto_mode.h"
#include "pelcore.h"

#include <QString>
#include <QStringList>

#include <optional>

class TpelSMTP;

struct TMailDelivery {
  // rrSent, rrQueued or rrFailed.
  TReportResult Result = rrSent;
  // For panel 0 when the report was queued or failed: where it waits and
  // why, or why it was lost.
  QString Text;
  // The code of the failure Text tells of, 0 when sent.
  int Code = 0;
  // Queued reports of earlier runs that will never go out, one text each
  // naming the file and why: refused for good by the server (left as
  // ".failed"), or not a whole queue file (set aside as ".bad").
  QStringList LostQueuedReports;
};

// Sends the message Smtp holds, after the reports waiting in QueueDir (made
// when missing). LookupFailure: setting MailServer failed because its name
// could not be looked up now; the report then goes to the queue at once.
TMailDelivery DeliverThroughQueue(TpelSMTP& Smtp, const QString& QueueDir,
                                  const std::optional<EPelnet>& LookupFailure);

// What the mail component tells of the operation that failed, besides the failure itself.
struct TMailFailureFacts {
  // LastReply and the code it starts with (the component's LastReplyCode).
  QString LastReply;
  int LastReplyCode = 0;
  // The wait ended because Timeout passed (the component's TimedOut).
  bool TimedOut = false;
  int TimeoutSeconds = 0;
};

// The facts as the component holds them now.
TMailFailureFacts MailFailureFactsOf(const TpelSMTP& Smtp);

// The failure's message, with what its generic text leaves out: that the
// server closed the connection (and its last reply when that was a
// refusal), or how long a silent server was waited for.
QString MailFailureText(const EPelnet& Failure, const TMailFailureFacts& Facts);
QString MailFailureText(const EPelnet& Failure, const TpelSMTP& Smtp);
