// Which failures of the mail report leave the report in the queue folder
// (the SMTP section's QueueDir) for the next report to deliver.
#pragma once

#include <QString>

#include "pelnet/smtp_ids.h"

// The mail component's code of a reply that is not 2xx or 3xx.
constexpr int CodeSMTPRefused = PELNET_SMTP_ERROR_ProtocolReply;

// True when the mail server could not be reached: a socket or name lookup
// failure (the Winsock and resolver numbers) or a wait that ended (301).
// The next report may well reach it.
bool MailServerUnreachable(int Code);

// True for the failures of a name lookup (11001 to 11004): the name server
// may answer at the next report.
bool MailServerLookupFailed(int Code);

// True when a later attempt may succeed: the server could not be reached, or
// it refused with a temporary (4xx) reply. Message is the failure's text; a
// refusal's (code 161) holds the refusing reply after "SMTP protocol error. ".
// A permanent (5xx) refusal, a missing sender or recipient and a setting the
// component rejects are not worth keeping: the same report would be refused
// again.
bool MailFailureIsTemporary(int Code, const QString& Message);

// The name a queue file had while it waited, from the name ProcessQueue
// announced it by ("Processing queued message file: " and the name), or ""
// when the note announces none.
QString QueuedFileOfNote(const QString& Note);

// The file a damaged queue file was moved to, from the note ProcessQueue
// sets it aside with ("Queue file <path> is damaged, moved to <path>"), or
// "" when the note is another.
QString DamagedQueueFileOfNote(const QString& Note);
