// A folder of its own for each test (a queue folder, a spool, settings
// files), removed with everything in it; and the few file operations the
// tests make in it. Tests with Qt name its files by QString as well.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef QT_CORE_LIB
#include <QByteArray>
#include <QString>
#endif

#include "file_text.h"

namespace testsupport {

class TempFolder {
 public:
  TempFolder() {
    char templ[] = "/tmp/pelorin-test-XXXXXX";
    path_ = mkdtemp(templ) ? templ : "";
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;

  const std::string &path() const { return path_; }
  // The full path of `name` in the folder.
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  std::string file(const char *name) const { return file(std::string(name)); }
  // The names in the folder, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto &e : std::filesystem::directory_iterator(path_))
      all.push_back(e.path().filename());
    std::sort(all.begin(), all.end());
    return all;
  }
  bool write(const std::string &name, const std::string &bytes) const {
    return writeFileText(file(name), bytes);
  }
  std::string read(const std::string &name) const { return readFileText(file(name)); }
  // Sets the file's times `seconds` seconds back.
  void age(const std::string &name, int seconds) const {
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    utimensat(AT_FDCWD, file(name).c_str(), times, 0);
  }

#ifdef QT_CORE_LIB
  // The full path of Name in the folder; the folder itself, with a slash, for "".
  QString file(const QString &name) const {
    return QString::fromStdString(file(std::string())) + name;
  }
  // Writes the bytes to Name in the folder and returns its full path; throws
  // when it cannot, so that no test goes on with a file it does not have.
  QString write(const QString &name, const QByteArray &bytes) const {
    const QString path = file(name);
    if (path_.empty() || !writeFileText(path.toStdString(), bytes.toStdString()))
      throw std::runtime_error("cannot write test file " + path.toStdString());
    return path;
  }
  QString writeText(const QString &name, const QString &text) const {
    return write(name, text.toUtf8());
  }
#endif

 private:
  std::string path_;
};

}  // namespace testsupport
