#include "support/settings_place.h"

#include "settings/settings_file.h"

#include <QFile>

#include <stdexcept>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

void Check(bool Ok, const char *What) {
  if (!Ok) throw std::runtime_error(std::string("cannot make ") + What);
}

}  // namespace

void MakePlace(const QString &Path, const TPlace &Place) {
  const QByteArray Name = QFile::encodeName(Path);
  switch (Place.Kind) {
    case pkNothing:
      return;
    case pkFile:
    case pkNoPermission: {
      QFile File(Path);
      Check(File.open(QIODevice::WriteOnly) && File.write(Place.Bytes) == Place.Bytes.size(),
            "file");
      File.close();
      if (Place.Kind == pkNoPermission) Check(chmod(Name.constData(), 0) == 0, "unreadable file");
      return;
    }
    case pkDirectory:
      Check(mkdir(Name.constData(), 0755) == 0, "directory");
      return;
    case pkFifo:
      Check(mkfifo(Name.constData(), 0644) == 0, "FIFO");
      return;
    case pkSocket: {
      sockaddr_un Address{};
      Address.sun_family = AF_UNIX;
      Check(Name.size() < static_cast<qsizetype>(sizeof Address.sun_path), "socket path");
      std::memcpy(Address.sun_path, Name.constData(), static_cast<size_t>(Name.size()));
      const int Fd = socket(AF_UNIX, SOCK_STREAM, 0);
      Check(Fd >= 0, "socket");
      const bool Bound =
          bind(Fd, reinterpret_cast<const sockaddr *>(&Address), sizeof Address) == 0;
      close(Fd);  // the name stays in the file system
      Check(Bound, "bound socket");
      return;
    }
    case pkLinkLoop: {
      const QByteArray Other = Name + ".loop";
      Check(symlink(Other.constData(), Name.constData()) == 0 &&
                symlink(Name.constData(), Other.constData()) == 0,
            "link loop");
      return;
    }
    case pkDanglingLink:
      Check(symlink((Name + ".gone").constData(), Name.constData()) == 0, "dangling link");
      return;
    case pkTooLarge: {
      const int Fd = open(Name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      Check(Fd >= 0, "large file");
      const bool Sized = ftruncate(Fd, MaxSettingsFileBytes + 1) == 0;
      close(Fd);
      Check(Sized, "large file");
      return;
    }
  }
}

QByteArray Utf16WithByteOrderMark(const QString &Text, bool BigEndian) {
  QByteArray Bytes = BigEndian ? QByteArray("\xFE\xFF") : QByteArray("\xFF\xFE");
  for (const QChar C : Text) {
    const char High = static_cast<char>(C.unicode() >> 8);
    const char Low = static_cast<char>(C.unicode() & 0xFF);
    Bytes.append(BigEndian ? High : Low);
    Bytes.append(BigEndian ? Low : High);
  }
  return Bytes;
}
