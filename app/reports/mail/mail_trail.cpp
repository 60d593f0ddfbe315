#include "reports/mail/mail_trail.h"

#include <algorithm>

namespace {

constexpr int DirectionOurs = 0;
constexpr int DirectionServer = 1;
constexpr int DirectionNote = 2;

// The component's notes name its properties; a user wrote the settings keys.
struct TPropertyWords {
  const char* Component;
  const char* Settings;
};
constexpr TPropertyWords PropertyWords[] = {
    {"(TlsVerify is False)", "(Verify=no in [SMTP])"},
};

QString UserWords(int Direction, QString Message) {
  if (Direction != DirectionNote)
    return Message;
  for (const TPropertyWords& Words : PropertyWords)
    Message.replace(QLatin1String(Words.Component), QLatin1String(Words.Settings));
  return Message;
}

}  // namespace

TMailTrailMasker::TMailTrailMasker(QStringList Secrets) : FSecrets(std::move(Secrets)) {
  FSecrets.removeAll(QString());
  // Longest first: a secret inside a longer one must not leave the rest of it.
  std::sort(FSecrets.begin(), FSecrets.end(),
            [](const QString& A, const QString& B) { return A.size() > B.size(); });
}

QString TMailTrailMasker::Masked(QString Text) const {
  for (const QString& Secret : FSecrets)
    Text.replace(Secret, QLatin1String(Mask));
  return Text;
}

QString TMailTrailMasker::Line(int Direction, const QString& Message) {
  if (Direction == DirectionOurs) {
    if (FInAuth)
      return QLatin1String(Mask);
    if (Message.startsWith(QLatin1String("AUTH "), Qt::CaseInsensitive)) {
      FInAuth = true;
      const QStringList Words = Message.split(u' ', Qt::SkipEmptyParts);
      return Words.size() > 2 ? Words[0] + u' ' + Words[1] + u' ' + QLatin1String(Mask)
                              : Masked(UserWords(Direction, Message));
    }
  } else if (Direction == DirectionServer && FInAuth) {
    // A challenge continues the exchange; any other answer ends it.
    const bool Continues = Message.startsWith(QLatin1String("334"));
    FInAuth = Continues;
  }
  return Masked(UserWords(Direction, Message));
}

bool IsTlsStartedNote(int Direction, const QString& Message) {
  return Direction == DirectionNote && Message.startsWith(QLatin1String("TLS started: "));
}

QString OfferedAuthMechanisms(int Direction, const QString& Message) {
  if (Direction != DirectionServer || Message.size() < 9 || !Message.startsWith(QLatin1String("250")) ||
      Message.mid(4, 4).compare(QLatin1String("AUTH"), Qt::CaseInsensitive) != 0 ||
      (Message[8] != u' ' && Message[8] != u'='))
    return QString();
  return Message.mid(9).simplified();
}

QString MailTrailPrefix(int Direction) {
  switch (Direction) {
    case DirectionOurs:
      return QStringLiteral("C: ");
    case DirectionServer:
      return QStringLiteral("S: ");
    default:
      return QStringLiteral("* ");
  }
}
