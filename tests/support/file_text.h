// Whole files read and written as bytes: the tests' configuration files,
// what the program wrote, the peers' logs, the fuzz targets' seeds.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

// The file's bytes, "" when it cannot be read.
inline std::string readFileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Replaces the file with `text`; false when it cannot be written (a file of
// /proc that refuses the value fails only when the bytes go out: flushed here).
inline bool writeFileText(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

}  // namespace testsupport
