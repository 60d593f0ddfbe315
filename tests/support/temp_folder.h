// A folder of its own for each test (a queue folder, a spool), removed with
// everything in it; and the few file operations the tests make on it.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport {

class TempFolder {
 public:
  TempFolder() {
    char templ[] = "/tmp/pelorin-queue-XXXXXX";
    path_ = mkdtemp(templ) ? templ : "";
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;

  const std::string &path() const { return path_; }
  // The names in the folder, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto &e : std::filesystem::directory_iterator(path_))
      all.push_back(e.path().filename());
    std::sort(all.begin(), all.end());
    return all;
  }
  void write(const std::string &name, const std::string &bytes) const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << bytes;
  }
  std::string read(const std::string &name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Sets the file's times `seconds` seconds back.
  void age(const std::string &name, int seconds) const {
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    utimensat(AT_FDCWD, (path_ + "/" + name).c_str(), times, 0);
  }

 private:
  std::string path_;
};

}  // namespace testsupport
