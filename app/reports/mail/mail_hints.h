// One line that says what to change when a mail report fails: which key of
// [SMTP] to check, in words a user reads without knowing the protocol. The
// failure's own text ("161: SMTP protocol error. 535 ...") stays as it is;
// the hint goes beside it, in panel 0's tooltip, on standard error and in
// --test-mail.
#pragma once

#include "reports/mail/mail_settings.h"

#include <QString>

struct TMailHintContext {
  QString Host;
  int Port = 0;
  int TimeoutSeconds = 0;
  TMailConnection Connection;
  // The mechanisms of the server's AUTH line, when the dialogue was seen
  // ("PLAIN LOGIN CRAM-MD5"); a refused login with AuthScheme=auto names them.
  QString OfferedMechanisms;
};

// The hint for the code the mail component raised and the code of the
// server's reply that refused (the component's RefusedReplyCode, which a
// QUIT's reply never replaces; 0 when none); empty when nothing is to add.
QString MailFailureHint(int Code, int RefusedReplyCode, const TMailHintContext& Context);

// The context of the [SMTP] section of Settings, as a report uses it.
TMailHintContext MailHintContext(const TSettings& Settings, const TMailConnection& Connection);
