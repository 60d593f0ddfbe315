// The character set of the mail report. A report of plain ASCII goes out as
// it always has, without MIME headers; one that holds anything else (a
// device named "Drucker Büro") says that its text is UTF-8, so that mail
// readers need not guess.
#pragma once

#include <QString>

class TpelSMTP;

// The MIME header lines a report with more than ASCII carries.
extern const char MailUtf8Headers[];

bool IsAsciiText(const QString& Text);

// Sets Smtp's charset for a message of Subject and Body: with text beyond
// ASCII the component's code page and Charset become UTF-8 (subject as
// encoded words), OtherHeaders the MIME lines, and Subject is written again
// in that code page; otherwise Charset and OtherHeaders are emptied, as the
// window never sets them for anything else. Call before MessageText is
// written, which the code page converts.
void SetMailCharset(TpelSMTP& Smtp, const QString& Subject, const QString& Body);
