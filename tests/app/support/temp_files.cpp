#include "support/temp_files.h"

#include <QFile>

#include <stdexcept>

TTempFiles::TTempFiles() {
  if (!FDir.isValid()) throw std::runtime_error("no temporary directory");
}

QString TTempFiles::Path(const QString &Name) const { return FDir.filePath(Name); }

QString TTempFiles::Write(const QString &Name, const QByteArray &Bytes) const {
  const QString FileName = Path(Name);
  QFile File(FileName);
  if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate) || File.write(Bytes) != Bytes.size())
    throw std::runtime_error("cannot write test file");
  return FileName;
}

QString TTempFiles::WriteText(const QString &Name, const QString &Text) const {
  return Write(Name, Text.toUtf8());
}
