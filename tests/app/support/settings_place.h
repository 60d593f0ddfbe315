// Puts an entry of a given kind at a path, for the tests of the settings
// lookup: a file with its bytes, or one of the things a settings file must
// not be taken for.
#pragma once

#include <QByteArray>
#include <QString>

enum TPlaceKind {
  pkNothing,
  pkFile,
  pkDirectory,
  pkFifo,
  pkSocket,
  pkLinkLoop,      // a link to a link back to it
  pkDanglingLink,  // a link to a name that does not exist
  pkTooLarge,      // a (sparse) file one byte over the limit
  pkNoPermission,  // a file with mode 000
};

struct TPlace {
  TPlaceKind Kind = pkNothing;
  QByteArray Bytes = QByteArray();  // the file's bytes for pkFile
};

// Creates the entry at Path (its folder must exist); throws when it cannot.
void MakePlace(const QString &Path, const TPlace &Place);

// Text encoded as UTF-16 with its byte-order mark, as Windows editors save
// INI files as "Unicode".
QByteArray Utf16WithByteOrderMark(const QString &Text, bool BigEndian);
