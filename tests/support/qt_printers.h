// Readable Qt values in test failure messages.
#pragma once

#include <QString>
#include <QStringList>

#include <ostream>

inline void PrintTo(const QString &Text, std::ostream *Out) {
  constexpr qsizetype Shown = 200;  // long values are the point of some tests; show their start
  *Out << '"' << Text.left(Shown).toStdString() << (Text.size() > Shown ? "...\"" : "\"");
}

inline void PrintTo(const QStringList &List, std::ostream *Out) {
  *Out << '[';
  for (const QString &Item : List) {
    PrintTo(Item, Out);
    *Out << ' ';
  }
  *Out << ']';
}
