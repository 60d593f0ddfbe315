#include "mail_queue.h"

namespace {

// The mail component's codes that say why a report was not taken.
constexpr int CodeWaitEnded = 301;  // time-out, or the connection lost while waiting
// Socket and name lookup failures (10004 to 11004).
constexpr int FirstSocketCode = 10000;
constexpr int LastSocketCode = 11999;

}  // namespace

bool MailServerUnreachable(int Code) {
  return Code == CodeWaitEnded || (Code >= FirstSocketCode && Code <= LastSocketCode);
}

bool MailFailureIsTemporary(int Code, const QString& LastReply) {
  if (MailServerUnreachable(Code))
    return true;
  return Code == CodeSMTPRefused && LastReply.startsWith(QLatin1Char('4'));
}
