// The known name a mistyped one most likely meant, for the warnings about
// settings the program does not read.
#pragma once

#include <QString>
#include <QStringList>

// Single-character insertions, deletions and substitutions that turn A into
// B (Levenshtein distance), letters compared without regard to case.
qsizetype EditDistance(QStringView A, QStringView B);

// The candidate nearest to Name, as the candidate is spelled, or empty when
// none is near enough to be a slip of the keyboard: at most half the
// shorter name's length apart (at least one edit). The first of equally
// near candidates wins.
QString NearestName(QStringView Name, const QStringList& Candidates);
