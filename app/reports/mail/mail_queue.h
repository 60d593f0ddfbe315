// Which failures of the mail report leave the report in the queue folder
// (the SMTP section's QueueDir) for the next report to deliver.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

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
// it refused with a temporary (4xx) reply. RefusedReplyCode is the code of the
// reply a refusal (code 161) was made with (the component's RefusedReplyCode),
// 0 when none. A permanent (5xx) refusal, a missing sender or recipient and a
// setting the component rejects are not worth keeping: the same report would
// be refused again.
bool MailFailureIsTemporary(int Code, int RefusedReplyCode);

// One file of the last ProcessQueue: its ".queued" name, what became of it
// (pelnet_smtp_queue_outcome) and where it lies now ("" when nowhere else).
struct TQueuedFile {
  QString Name;
  int Outcome = PELNET_SMTP_qoDelivered;
  QString Path;
};

// The ".queued" name of the file whose delivery ended ProcessQueue, or ""
// when no file's did (the server refused the connection, or all went out).
QString FailedQueueFile(const QList<TQueuedFile>& Files);

// Where the files set aside as damaged now lie, in ProcessQueue's order;
// one whose rename failed lies nowhere new and is not named.
QStringList DamagedQueueFiles(const QList<TQueuedFile>& Files);
