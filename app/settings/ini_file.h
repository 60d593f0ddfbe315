// A small INI file reader with the behaviour the settings rely on:
// sections in square brackets, key=value lines, section and key names
// compared without regard to case, the first occurrence of a key wins,
// blanks around names and values trimmed, the keys of a section kept in
// file order, and a missing or unreadable file read as if it were empty.
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

class TIniFile {
public:
  // Text values are cut to this many characters, so that no value the
  // settings hand on (to a mail header, a syslog packet) grows without bound.
  static constexpr qsizetype MaxValueLength = 2047;
  // Key names are cut like values: a name is shown in the list and sent in
  // the reports, and a huge one would freeze the window that lays it out.
  static constexpr qsizetype MaxKeyLength = MaxValueLength;
  // Entries of one section beyond this many are skipped, so that the time a
  // file takes to read and to show stays small for every file accepted.
  static constexpr qsizetype MaxSectionEntries = 10000;
  // Sections beyond this many (by distinct name) are skipped with their
  // entries, for the same reason; a settings file has four.
  static constexpr qsizetype MaxSections = 64;

  TIniFile() = default;
  // Reads the whole file at once (ReadSettingsFile): a file that cannot be
  // used reads as an empty one.
  explicit TIniFile(const QString& FileName);

  static TIniFile FromText(QStringView Text);
  // UTF-8 bytes, with or without a leading byte-order mark; invalid
  // sequences become replacement characters instead of failing the read.
  static TIniFile FromUtf8(const QByteArray& Bytes);
  // The bytes of a file: UTF-16 after its byte-order mark (little or big
  // endian, as editors that save INI files as "Unicode" write them), else
  // UTF-8 as FromUtf8.
  static TIniFile FromBytes(const QByteArray& Bytes);

  // The value of Key in Section, cut to MaxValueLength, or DefaultValue when
  // the section or the key is not there.
  QString ReadString(QStringView Section, QStringView Key, const QString& DefaultValue) const;
  // The key names of Section in file order (each name once), empty when the
  // section is not there.
  QStringList ReadSectionKeys(QStringView Section) const;
  bool SectionExists(QStringView Section) const;
  // Every section of the file in file order, each once, spelled as at its
  // first header.
  QStringList SectionNames() const;
  // The number of entries of Section skipped beyond MaxSectionEntries.
  qsizetype SkippedEntries(QStringView Section) const;

private:
  struct TEntry {
    QString Key;
    QString Value;
  };
  struct TSection {
    QString Name;  // as first written
    QList<TEntry> Entries;
    QHash<QString, qsizetype> IndexByFoldedKey;
    qsizetype Skipped = 0;
  };

  void Parse(QStringView Text);
  const TSection* FindSection(QStringView Section) const;

  QHash<QString, TSection> FSections;  // by case-folded section name
  QStringList FFoldedSectionOrder;     // the keys of FSections in file order
};
