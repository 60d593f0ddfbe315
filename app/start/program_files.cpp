#include "start/program_files.h"

#include <QDir>
#include <QFileInfo>

QString ExecutableFilePath() {
  // /proc/self/exe names the file that is running even when the program was
  // started through a link or a relative path.
  const QString Path = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
  return Path;
}

QString SettingsFileNameFor(const QString& ExecutableFile) {
  const qsizetype NameStart = ExecutableFile.lastIndexOf(u'/') + 1;
  const qsizetype Dot = ExecutableFile.lastIndexOf(u'.');
  const qsizetype Stem = Dot > NameStart ? Dot : ExecutableFile.size();
  return ExecutableFile.left(Stem) + QStringLiteral(".ini");
}

QString ReadMeFileNameFor(const QString& ExecutableFile) {
  QString Directory = QFileInfo(ExecutableFile).absolutePath();
  if (!Directory.endsWith(u'/'))
    Directory += u'/';
  return Directory + QStringLiteral("ReadMe.txt");
}

QString FindReadMeFile(const QString& ExecutableFile) {
  const QString Beside = ReadMeFileNameFor(ExecutableFile);
  if (QFileInfo::exists(Beside))
    return Beside;
  const QString Installed = QDir::cleanPath(QFileInfo(ExecutableFile).absolutePath() +
                                            QStringLiteral("/../share/doc/dervik/ReadMe.txt"));
  return QFileInfo::exists(Installed) ? Installed : Beside;
}

QString ExampleSettingsFileFor(const QString& ExecutableFile) {
  const QString Installed = QDir::cleanPath(QFileInfo(ExecutableFile).absolutePath() +
                                            QStringLiteral("/../share/doc/dervik/dervik.ini"));
  if (QFileInfo::exists(Installed))
    return Installed;
  // A program copied out of its installation: the installed example, where
  // there is one, rather than a path of the source tree.
  const QString ForPrefix = QStringLiteral(DERVIK_INSTALLED_EXAMPLE);
  return QFileInfo::exists(ForPrefix) ? ForPrefix : QStringLiteral("examples/dervik.ini");
}
