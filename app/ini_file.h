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
  // A settings file is a few kilobytes; anything beyond this is not one and
  // is read only up to here, so a huge or endless file cannot exhaust memory.
  static constexpr qint64 MaxFileBytes = 64 * 1024 * 1024;

  TIniFile() = default;
  // Reads the whole file at once. Only regular files are read: a FIFO or a
  // device given as settings file would otherwise block or never end.
  explicit TIniFile(const QString& FileName);

  static TIniFile FromText(QStringView Text);
  // UTF-8 bytes, with or without a leading byte-order mark; invalid
  // sequences become replacement characters instead of failing the read.
  static TIniFile FromUtf8(const QByteArray& Bytes);

  // The value of Key in Section, cut to MaxValueLength, or DefaultValue when
  // the section or the key is not there.
  QString ReadString(QStringView Section, QStringView Key, const QString& DefaultValue) const;
  // The key names of Section in file order (each name once), empty when the
  // section is not there.
  QStringList ReadSectionKeys(QStringView Section) const;
  bool SectionExists(QStringView Section) const;

private:
  struct TEntry {
    QString Key;
    QString Value;
  };
  struct TSection {
    QList<TEntry> Entries;
    QHash<QString, qsizetype> IndexByFoldedKey;
  };

  void Parse(QStringView Text);
  const TSection* FindSection(QStringView Section) const;

  QHash<QString, TSection> FSections;  // by case-folded section name
};
