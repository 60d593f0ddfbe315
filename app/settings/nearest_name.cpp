#include "settings/nearest_name.h"

#include <algorithm>
#include <vector>

qsizetype EditDistance(QStringView A, QStringView B) {
  const QString Left = A.toString().toCaseFolded();
  const QString Right = B.toString().toCaseFolded();
  // One row of the distance table at a time: names here are short, but a
  // settings file may hold keys of any length up to the reader's cut.
  std::vector<qsizetype> Row(static_cast<std::size_t>(Right.size()) + 1);
  for (qsizetype J = 0; J <= Right.size(); ++J)
    Row[static_cast<std::size_t>(J)] = J;
  for (qsizetype I = 1; I <= Left.size(); ++I) {
    qsizetype Diagonal = Row[0];
    Row[0] = I;
    for (qsizetype J = 1; J <= Right.size(); ++J) {
      const auto Column = static_cast<std::size_t>(J);
      const qsizetype Above = Row[Column];
      const qsizetype Substitution = Diagonal + (Left[I - 1] == Right[J - 1] ? 0 : 1);
      Row[Column] = std::min({Above + 1, Row[Column - 1] + 1, Substitution});
      Diagonal = Above;
    }
  }
  return Row.back();
}

QString NearestName(QStringView Name, const QStringList& Candidates) {
  QString Best;
  qsizetype BestDistance = -1;
  for (const QString& Candidate : Candidates) {
    const qsizetype Distance = EditDistance(Name, Candidate);
    const qsizetype Allowed = std::max<qsizetype>(1, std::min(Name.size(), Candidate.size()) / 2);
    if (Distance > Allowed || (BestDistance >= 0 && Distance >= BestDistance))
      continue;
    Best = Candidate;
    BestDistance = Distance;
  }
  return Best;
}
