// Where the settings file is found and whether it can be used: beside the
// program first (a copy in a folder of its own), then in the user's
// configuration folder (an installed program, whose folder is shared). A
// file that is there but cannot be used is named with the reason, so the
// window can say why its list is empty.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What reading a settings file found. Only sfReadable carries bytes.
enum TSettingsFileState {
  sfReadable,
  sfMissing,       // nothing at the path
  sfDanglingLink,  // a symbolic link to nothing
  sfNoPermission,
  sfDirectory,
  sfFifo,
  sfDevice,
  sfSocket,
  sfLinkLoop,  // symbolic links that lead back to themselves
  sfTooLarge,  // over MaxSettingsFileBytes
  sfReadError,
};

// A settings file is a few kilobytes; a larger file is refused unread, so
// that neither memory nor start-up time depends on what lies at the path.
constexpr qint64 MaxSettingsFileBytes = 64 * 1024 * 1024;

struct TSettingsFileRead {
  TSettingsFileState State = sfMissing;
  QByteArray Bytes;  // the whole file when State is sfReadable
  int Error = 0;     // errno of an sfReadError
};

// Reads the whole file without ever blocking: a FIFO nobody writes to, a
// device or a socket is named, not read.
TSettingsFileRead ReadSettingsFile(const QString& FileName);

// The same for any file the settings name (a password file, a CA file):
// read whole without blocking, refused past MaxBytes.
TSettingsFileRead ReadNamedFile(const QString& FileName, qint64 MaxBytes);
// The same without reading the bytes: whether a file another part reads (the
// mail component its CA file) can be read so.
TSettingsFileRead CheckNamedFile(const QString& FileName, qint64 MaxBytes);
// Why a file read so cannot be used: "it is a FIFO, not a file", "there is
// no such file", ...; empty when it was read.
QString NamedFileProblemReason(const TSettingsFileRead& Read, qint64 MaxBytes);

// Why FileName cannot be used, for panel 0; empty when it was read.
QString SettingsFileProblemText(const QString& FileName, const TSettingsFileRead& Read);

// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config; empty
// when neither is known.
QString ConfigHomeFromEnvironment();

struct TSettingsLookup {
  QString FileName;      // the file to read; the first place looked when none is there
  QStringList Searched;  // every place looked, in order
  bool Found = false;
};

// The first of ExecutableFile's settings file (SettingsFileNameFor) and
// ConfigHome/dervik/dervik.ini at which anything exists (an entry that
// cannot be used counts: its reason is worth more than a fallback the user
// did not ask for). An empty ConfigHome looks only beside the program.
TSettingsLookup FindSettingsFile(const QString& ExecutableFile, const QString& ConfigHome);

// The shell line that puts ExampleFile in place as ConfigFile, its folder
// made first: "mkdir -p ~/.config/dervik && cp EXAMPLE ~/.config/dervik/dervik.ini".
// A path under Home is written with "~"; a path the shell would split is quoted.
QString SettingsCreateCommand(const QString& ConfigFile, const QString& ExampleFile, const QString& Home);

// Panel 0 when no settings file was found: every place it was looked for,
// and when CreateCommand is not empty, how to create the last of them (the
// user's own file, where an installed program finds it).
QString SettingsNotFoundText(const QStringList& Searched, const QString& CreateCommand = QString());
