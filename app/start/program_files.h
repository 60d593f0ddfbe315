// Where the program finds its own files: all of them lie beside the
// executable, found through its real path.
#pragma once

#include <QString>

// The real path of the running executable (symbolic links resolved).
QString ExecutableFilePath();

// ExecutableFile with its extension replaced by ".ini", or ".ini" appended
// when the name has none: /opt/x/dervik -> /opt/x/dervik.ini. A leading dot
// of a hidden file's name is not taken for an extension.
QString SettingsFileNameFor(const QString& ExecutableFile);

// "ReadMe.txt" in the directory of ExecutableFile.
QString ReadMeFileNameFor(const QString& ExecutableFile);

// The read-me a program at ExecutableFile shows: "ReadMe.txt" beside it
// when there is one, else the installed copy in share/doc/dervik/ of the
// prefix the program is installed in (prefix/bin/dervik); the file beside
// it when neither exists.
QString FindReadMeFile(const QString& ExecutableFile);

// The example settings file to copy into place: the installed copy in
// share/doc/dervik/ of the program's prefix when there is one, else the
// example of the source tree, named relative to it.
QString ExampleSettingsFileFor(const QString& ExecutableFile);
