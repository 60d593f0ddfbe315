#include "ini_file.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

QString Folded(QStringView Name) { return Name.toString().toCaseFolded(); }

// Cuts to MaxValueLength without splitting a surrogate pair, so the result
// is still valid UTF-16.
QString CutValue(const QString& Value) {
  qsizetype Length = std::min(Value.size(), TIniFile::MaxValueLength);
  if (Length < Value.size() && Length > 0 && Value.at(Length - 1).isHighSurrogate())
    --Length;
  return Value.left(Length);
}

bool IsCommentLine(QStringView Line) { return Line.startsWith(u';') || Line.startsWith(u'#'); }

}  // namespace

TIniFile::TIniFile(const QString& FileName) {
  if (FileName.isEmpty() || !QFileInfo(FileName).isFile())
    return;
  QFile File(FileName);
  if (!File.open(QIODevice::ReadOnly))
    return;  // no permission and the like: read as missing, all defaults
  *this = FromUtf8(File.read(MaxFileBytes));
}

TIniFile TIniFile::FromText(QStringView Text) {
  TIniFile Ini;
  Ini.Parse(Text);
  return Ini;
}

TIniFile TIniFile::FromUtf8(const QByteArray& Bytes) {
  static const QByteArray ByteOrderMark("\xEF\xBB\xBF");
  QByteArrayView Data(Bytes);
  if (Data.startsWith(ByteOrderMark))
    Data = Data.sliced(ByteOrderMark.size());
  const QString Text = QString::fromUtf8(Data);
  return FromText(Text);
}

void TIniFile::Parse(QStringView Text) {
  TSection* Current = nullptr;
  qsizetype Pos = 0;
  while (Pos <= Text.size()) {
    // LF, CRLF and a lone CR all end a line (CRLF leaves an empty one between).
    qsizetype End = Pos;
    while (End < Text.size() && Text[End] != u'\n' && Text[End] != u'\r')
      ++End;
    const QStringView Line = Text.sliced(Pos, End - Pos).trimmed();
    Pos = End + 1;

    if (Line.isEmpty() || IsCommentLine(Line))
      continue;
    if (Line.startsWith(u'[')) {
      const qsizetype Close = Line.indexOf(u']');
      // A header without its closing bracket is not trusted to name a
      // section; its lines would otherwise land in the previous one.
      Current = Close < 0 ? nullptr : &FSections[Folded(Line.sliced(1, Close - 1).trimmed())];
      continue;
    }
    const qsizetype Equals = Line.indexOf(u'=');
    if (Current == nullptr || Equals < 0)
      continue;  // keys outside any section and lines without "=" carry nothing
    const QStringView Key = Line.first(Equals).trimmed();
    if (Key.isEmpty())
      continue;
    QString FoldedKey = Folded(Key);
    if (Current->IndexByFoldedKey.contains(FoldedKey))
      continue;  // the first occurrence wins
    Current->IndexByFoldedKey.insert(std::move(FoldedKey), Current->Entries.size());
    Current->Entries.append({Key.toString(), Line.sliced(Equals + 1).trimmed().toString()});
  }
}

const TIniFile::TSection* TIniFile::FindSection(QStringView Section) const {
  const auto It = FSections.constFind(Folded(Section.trimmed()));
  return It == FSections.cend() ? nullptr : &It.value();
}

bool TIniFile::SectionExists(QStringView Section) const { return FindSection(Section) != nullptr; }

QString TIniFile::ReadString(QStringView Section, QStringView Key, const QString& DefaultValue) const {
  const TSection* Found = FindSection(Section);
  if (Found == nullptr)
    return DefaultValue;
  const auto It = Found->IndexByFoldedKey.constFind(Folded(Key.trimmed()));
  if (It == Found->IndexByFoldedKey.cend())
    return DefaultValue;
  return CutValue(Found->Entries.at(It.value()).Value);
}

QStringList TIniFile::ReadSectionKeys(QStringView Section) const {
  QStringList Keys;
  if (const TSection* Found = FindSection(Section)) {
    Keys.reserve(Found->Entries.size());
    for (const TEntry& Entry : Found->Entries)
      Keys.append(Entry.Key);
  }
  return Keys;
}
