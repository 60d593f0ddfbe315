#include "reports/mail/mail_charset.h"

#include "pelsmtp.h"

#include <algorithm>

const char MailUtf8Headers[] =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=UTF-8\r\n"
    "Content-Transfer-Encoding: 8bit";

bool IsAsciiText(const QString& Text) {
  return std::all_of(Text.cbegin(), Text.cend(), [](QChar C) { return C.unicode() < 0x80; });
}

void SetMailCharset(TpelSMTP& Smtp, const QString& Subject, const QString& Body) {
  if (IsAsciiText(Subject) && IsAsciiText(Body)) {
    Smtp.Config(QStringLiteral("Charset="));
    Smtp.setOtherHeaders(QString());
    return;
  }
  // The bytes must be what the headers name, whatever the user's locale.
  Smtp.Config(QStringLiteral("CodePage=65001"));
  Smtp.Config(QStringLiteral("Charset=UTF-8"));
  Smtp.setOtherHeaders(QString::fromLatin1(MailUtf8Headers));
  Smtp.setSubject(Subject);
}
