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

bool MailFailureIsTemporary(int Code, const QString& Message) {
  if (MailServerUnreachable(Code))
    return true;
  if (Code != CodeSMTPRefused)
    return false;
  const QLatin1String Lead("SMTP protocol error. ");
  const qsizetype At = Message.indexOf(Lead);
  return At >= 0 && Message.mid(At + Lead.size(), 1) == QLatin1String("4");
}

QString QueuedFileOfNote(const QString& Note) {
  const QLatin1String Lead("Processing queued message file: ");
  return Note.startsWith(Lead) ? Note.mid(Lead.size()) : QString();
}

QString DamagedQueueFileOfNote(const QString& Note) {
  const QLatin1String Lead("Queue file "), Moved(" is damaged, moved to ");
  const qsizetype At = Note.lastIndexOf(Moved);
  return Note.startsWith(Lead) && At >= 0 ? Note.mid(At + Moved.size()) : QString();
}
