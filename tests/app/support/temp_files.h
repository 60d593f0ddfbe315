// Temporary directories and files for the application tests.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

class TTempFiles {
 public:
  TTempFiles();
  QString Path(const QString &Name) const;
  // Writes Bytes to Name inside the directory and returns its full path.
  QString Write(const QString &Name, const QByteArray &Bytes) const;
  QString WriteText(const QString &Name, const QString &Text) const;

 private:
  QTemporaryDir FDir;
};
