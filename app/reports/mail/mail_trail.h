// The mail dialogue as a person may see it: each line of the component's
// trail with the secrets taken out. The lines after an AUTH command carry
// the login (base64 of user and password), so they show as "****" until the
// server's answer ends the exchange, and AUTH itself keeps only its
// mechanism ("AUTH PLAIN ****").
#pragma once

#include <QString>
#include <QStringList>

class TMailTrailMasker {
public:
  // Secrets: texts hidden wherever they appear (MailSecrets).
  explicit TMailTrailMasker(QStringList Secrets);

  // The line to show for one trail entry; Direction as the component's
  // OnPITrail gives it (0 ours, 1 the server's, 2 a note).
  QString Line(int Direction, const QString& Message);

  // Any text that may hold the server's words (a failure, a reply kept for
  // the status bar), with the secrets replaced by Mask.
  QString Masked(QString Text) const;

  static constexpr const char* Mask = "****";

private:
  QStringList FSecrets;
  bool FInAuth = false;
};

// Whether a trail entry is the component's note that TLS now stands, after
// which its TlsInfo describes the session.
bool IsTlsStartedNote(int Direction, const QString& Message);

// The mechanisms a server's EHLO line "250-AUTH PLAIN LOGIN" offers
// ("PLAIN LOGIN"), empty for any other trail entry.
QString OfferedAuthMechanisms(int Direction, const QString& Message);

// The prefix a dialogue line is shown with: "C: " ours, "S: " the server's,
// "* " a note of the component.
QString MailTrailPrefix(int Direction);
