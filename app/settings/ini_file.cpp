#include "settings/ini_file.h"

#include "settings/settings_file.h"

#include <QSet>

#include <algorithm>

namespace {

QString Folded(QStringView Name) { return Name.toString().toCaseFolded(); }

// Cuts to Max characters without splitting a surrogate pair, so the result
// is still valid UTF-16.
QStringView Cut(QStringView Text, qsizetype Max) {
  qsizetype Length = std::min(Text.size(), Max);
  if (Length < Text.size() && Length > 0 && Text.at(Length - 1).isHighSurrogate())
    --Length;
  return Text.first(Length);
}

QString CutValue(const QString& Value) { return Cut(Value, TIniFile::MaxValueLength).toString(); }

// UTF-16 code units of either byte order; an odd last byte is no character
// and becomes a replacement character, as invalid UTF-8 does.
QString FromUtf16(QByteArrayView Data, bool BigEndian) {
  const qsizetype Units = Data.size() / 2;
  QString Text(Units + Data.size() % 2, Qt::Uninitialized);
  QChar* Out = Text.data();
  const auto* In = reinterpret_cast<const unsigned char*>(Data.data());
  for (qsizetype I = 0; I < Units; ++I) {
    const unsigned First = In[2 * I];
    const unsigned Second = In[2 * I + 1];
    Out[I] = QChar(static_cast<char16_t>(BigEndian ? (First << 8 | Second) : (Second << 8 | First)));
  }
  if (Data.size() % 2 != 0)
    Out[Units] = QChar::ReplacementCharacter;
  return Text;
}

bool IsCommentLine(QStringView Line) { return Line.startsWith(u';') || Line.startsWith(u'#'); }

}  // namespace

TIniFile::TIniFile(const QString& FileName) {
  const TSettingsFileRead Read = ReadSettingsFile(FileName);
  if (Read.State == sfReadable)
    *this = FromBytes(Read.Bytes);
}

TIniFile TIniFile::FromBytes(const QByteArray& Bytes) {
  const QByteArrayView Data(Bytes);
  if (Data.startsWith("\xFF\xFE"))
    return FromText(FromUtf16(Data.sliced(2), false));
  if (Data.startsWith("\xFE\xFF"))
    return FromText(FromUtf16(Data.sliced(2), true));
  return FromUtf8(Bytes);
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
  QSet<qsizetype> SectionNameLengths;
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
      Current = nullptr;
      if (Close < 0)
        continue;
      const QStringView Header = Cut(Line.sliced(1, Close - 1).trimmed(), MaxKeyLength);
      // Case folding keeps the length, so once no new section is taken a
      // header of a length no known section has is passed over unfolded.
      if (FSections.size() >= MaxSections && !SectionNameLengths.contains(Header.size()))
        continue;
      QString Name = Folded(Header);
      if (FSections.size() < MaxSections || FSections.contains(Name)) {
        SectionNameLengths.insert(Name.size());
        if (!FSections.contains(Name)) {
          FFoldedSectionOrder.append(Name);
          FSections[Name].Name = Header.toString();
        }
        Current = &FSections[std::move(Name)];
      }
      continue;
    }
    const qsizetype Equals = Line.indexOf(u'=');
    if (Current == nullptr || Equals < 0)
      continue;  // keys outside any section and lines without "=" carry nothing
    const QStringView Key = Cut(Line.first(Equals).trimmed(), MaxKeyLength);
    if (Key.isEmpty())
      continue;
    if (Current->Entries.size() >= MaxSectionEntries) {
      ++Current->Skipped;
      continue;
    }
    QString FoldedKey = Folded(Key);
    if (Current->IndexByFoldedKey.contains(FoldedKey))
      continue;  // the first occurrence wins
    Current->IndexByFoldedKey.insert(std::move(FoldedKey), Current->Entries.size());
    Current->Entries.append(
        {Key.toString(), Cut(Line.sliced(Equals + 1).trimmed(), MaxValueLength).toString()});
  }
}

const TIniFile::TSection* TIniFile::FindSection(QStringView Section) const {
  const auto It = FSections.constFind(Folded(Section.trimmed()));
  return It == FSections.cend() ? nullptr : &It.value();
}

bool TIniFile::SectionExists(QStringView Section) const { return FindSection(Section) != nullptr; }

QStringList TIniFile::SectionNames() const {
  QStringList Names;
  Names.reserve(FFoldedSectionOrder.size());
  for (const QString& Folded : FFoldedSectionOrder)
    Names.append(FSections.constFind(Folded)->Name);
  return Names;
}

qsizetype TIniFile::SkippedEntries(QStringView Section) const {
  const TSection* Found = FindSection(Section);
  return Found == nullptr ? 0 : Found->Skipped;
}

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
