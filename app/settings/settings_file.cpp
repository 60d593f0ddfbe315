#include "settings/settings_file.h"

#include "start/program_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TSettingsFileState StateOfMode(mode_t Mode) {
  if (S_ISREG(Mode))
    return sfReadable;
  if (S_ISDIR(Mode))
    return sfDirectory;
  if (S_ISFIFO(Mode))
    return sfFifo;
  if (S_ISSOCK(Mode))
    return sfSocket;
  return sfDevice;
}

TSettingsFileState StateOfOpenError(const QByteArray& Path, int Error) {
  switch (Error) {
    case ENOENT: {
      struct stat Link {};
      return lstat(Path.constData(), &Link) == 0 && S_ISLNK(Link.st_mode) ? sfDanglingLink : sfMissing;
    }
    case ENOTDIR:
      return sfMissing;
    case EACCES:
    case EPERM:
      return sfNoPermission;
    case ELOOP:
      return sfLinkLoop;
    case EISDIR:
      return sfDirectory;
    case ENXIO:  // a socket, or a device without its driver
      return sfSocket;
    default:
      return sfReadError;
  }
}

// Reads up to Limit + 1 bytes, so that a file that grew past the limit
// after fstat is still refused.
bool ReadAll(int Fd, QByteArray& Bytes, qint64 Limit, int& Error) {
  constexpr qint64 Chunk = 1 << 20;
  qint64 Total = 0;
  for (;;) {
    const qint64 Want = std::min(Chunk, Limit + 1 - Total);
    if (Want <= 0)
      return true;
    Bytes.resize(Total + Want);
    const ssize_t Got = read(Fd, Bytes.data() + Total, static_cast<size_t>(Want));
    if (Got < 0) {
      if (errno == EINTR)
        continue;
      Error = errno;
      return false;
    }
    if (Got == 0)
      break;
    Total += Got;
  }
  Bytes.resize(Total);
  return true;
}

// Opens FileName as ReadNamedFile does; with Read its bytes come too.
TSettingsFileRead OpenNamedFile(const QString& FileName, qint64 MaxBytes, bool Read) {
  TSettingsFileRead Result;
  if (FileName.isEmpty())
    return Result;
  const QByteArray Path = QFile::encodeName(FileName);
  // Non-blocking: opening a FIFO for reading would otherwise wait for a
  // writer that may never come.
  const int Fd = open(Path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (Fd < 0) {
    Result.Error = errno;
    Result.State = StateOfOpenError(Path, Result.Error);
    return Result;
  }
  struct stat Info {};
  if (fstat(Fd, &Info) != 0) {
    Result.Error = errno;
    Result.State = sfReadError;
  } else if ((Result.State = StateOfMode(Info.st_mode)) == sfReadable) {
    if (Info.st_size > MaxBytes) {
      Result.State = sfTooLarge;
    } else if (!Read) {
      // Only whether it could be read: the one who uses it reads it.
    } else if (!ReadAll(Fd, Result.Bytes, MaxBytes, Result.Error)) {
      Result.State = Result.Error == EISDIR ? sfDirectory : sfReadError;
    } else if (Result.Bytes.size() > MaxBytes) {
      Result.State = sfTooLarge;
    }
  }
  close(Fd);
  if (Result.State != sfReadable)
    Result.Bytes.clear();
  return Result;
}

}  // namespace

TSettingsFileRead ReadSettingsFile(const QString& FileName) {
  return ReadNamedFile(FileName, MaxSettingsFileBytes);
}

TSettingsFileRead ReadNamedFile(const QString& FileName, qint64 MaxBytes) {
  return OpenNamedFile(FileName, MaxBytes, true);
}

TSettingsFileRead CheckNamedFile(const QString& FileName, qint64 MaxBytes) {
  return OpenNamedFile(FileName, MaxBytes, false);
}

QString SettingsFileProblemText(const QString& FileName, const TSettingsFileRead& Read) {
  if (Read.State == sfReadable || Read.State == sfMissing)
    return QString();
  return QStringLiteral("Settings file %1 not used: %2")
      .arg(FileName, NamedFileProblemReason(Read, MaxSettingsFileBytes));
}

QString NamedFileProblemReason(const TSettingsFileRead& Read, qint64 MaxBytes) {
  QString Reason;
  switch (Read.State) {
    case sfReadable:
      return QString();
    case sfMissing:
      Reason = QStringLiteral("there is no such file");
      break;
    case sfDanglingLink:
      Reason = QStringLiteral("it is a symbolic link to a file that does not exist");
      break;
    case sfNoPermission:
      Reason = QStringLiteral("no permission to read it");
      break;
    case sfDirectory:
      Reason = QStringLiteral("it is a directory");
      break;
    case sfFifo:
      Reason = QStringLiteral("it is a FIFO, not a file");
      break;
    case sfDevice:
      Reason = QStringLiteral("it is a device, not a file");
      break;
    case sfSocket:
      Reason = QStringLiteral("it is a socket, not a file");
      break;
    case sfLinkLoop:
      Reason = QStringLiteral("its symbolic links form a loop");
      break;
    case sfTooLarge:
      Reason = MaxBytes >= 1024 * 1024
                   ? QStringLiteral("it is larger than %1 MiB").arg(MaxBytes / (1024 * 1024))
                   : QStringLiteral("it is larger than %1 KiB").arg(MaxBytes / 1024);
      break;
    case sfReadError:
      Reason =
          QStringLiteral("it cannot be read (%1)").arg(QString::fromLocal8Bit(std::strerror(Read.Error)));
      break;
  }
  return Reason;
}

QString ConfigHomeFromEnvironment() {
  const QString ConfigHome = qEnvironmentVariable("XDG_CONFIG_HOME");
  // A relative path is invalid there and ignored, as every XDG reader does.
  if (QDir::isAbsolutePath(ConfigHome))
    return QDir::cleanPath(ConfigHome);
  const QString Home = qEnvironmentVariable("HOME");
  return QDir::isAbsolutePath(Home) ? QDir::cleanPath(Home + QStringLiteral("/.config")) : QString();
}

TSettingsLookup FindSettingsFile(const QString& ExecutableFile, const QString& ConfigHome) {
  TSettingsLookup Lookup;
  Lookup.Searched.append(SettingsFileNameFor(ExecutableFile));
  if (!ConfigHome.isEmpty())
    Lookup.Searched.append(ConfigHome + QStringLiteral("/dervik/dervik.ini"));
  for (const QString& Candidate : Lookup.Searched) {
    struct stat Entry {};
    if (lstat(QFile::encodeName(Candidate).constData(), &Entry) == 0) {
      Lookup.FileName = Candidate;
      Lookup.Found = true;
      return Lookup;
    }
  }
  Lookup.FileName = Lookup.Searched.front();
  return Lookup;
}

namespace {

bool ShellSafe(QStringView Word) {
  return !Word.isEmpty() && std::all_of(Word.begin(), Word.end(), [](QChar C) {
    return (C >= u'a' && C <= u'z') || (C >= u'A' && C <= u'Z') || (C >= u'0' && C <= u'9') ||
           QStringView(u"/._-+@%:,~").contains(C);
  });
}

// The path as a shell word: "~/..." under Home, else itself, single-quoted
// when it holds anything the shell would read otherwise.
QString ShellPath(const QString& Path, const QString& Home) {
  if (!Home.isEmpty() && Path.startsWith(Home + u'/')) {
    const QString Short = u'~' + Path.mid(Home.size());
    if (ShellSafe(Short))
      return Short;
  }
  if (ShellSafe(Path) && !Path.startsWith(u'~'))
    return Path;
  QString Quoted = Path;
  Quoted.replace(u'\'', QStringLiteral("'\\''"));
  return u'\'' + Quoted + u'\'';
}

}  // namespace

QString SettingsCreateCommand(const QString& ConfigFile, const QString& ExampleFile, const QString& Home) {
  return QStringLiteral("mkdir -p %1 && cp %2 %3")
      .arg(ShellPath(QFileInfo(ConfigFile).path(), Home), ShellPath(ExampleFile, Home),
           ShellPath(ConfigFile, Home));
}

QString SettingsNotFoundText(const QStringList& Searched, const QString& CreateCommand) {
  const QString Text =
      QStringLiteral("No settings file: looked for %1").arg(Searched.join(QStringLiteral(" and ")));
  return CreateCommand.isEmpty() ? Text : QStringLiteral("%1; create one with: %2").arg(Text, CreateCommand);
}
