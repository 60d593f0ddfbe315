#include "reports/mail/mail_queue.h"

#include "pelnet/runtime/errors.h"

namespace {

constexpr int CodeWaitEnded = pelnet::kWaitEnded;  // time-out, or the connection lost while waiting
// Socket and name lookup failures (10004 to 11004).
constexpr int FirstSocketCode = pelnet::kWsaInterrupted;
constexpr int LastSocketCode = pelnet::kNoData;

}  // namespace

bool MailServerUnreachable(int Code) {
  return Code == CodeWaitEnded || (Code >= FirstSocketCode && Code <= LastSocketCode);
}

bool MailServerLookupFailed(int Code) { return Code >= pelnet::kHostNotFound && Code <= pelnet::kNoData; }

bool MailFailureIsTemporary(int Code, int RefusedReplyCode) {
  if (MailServerUnreachable(Code))
    return true;
  return Code == CodeSMTPRefused && RefusedReplyCode / 100 == 4;
}

QString FailedQueueFile(const QList<TQueuedFile>& Files) {
  // A failed delivery ends ProcessQueue, so only the last file can have failed.
  return !Files.isEmpty() && Files.last().Outcome == PELNET_SMTP_qoFailed ? Files.last().Name : QString();
}

QStringList DamagedQueueFiles(const QList<TQueuedFile>& Files) {
  QStringList Out;
  for (const TQueuedFile& F : Files)
    if (F.Outcome == PELNET_SMTP_qoDamaged && !F.Path.isEmpty())
      Out.append(F.Path);
  return Out;
}
