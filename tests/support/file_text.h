// Whole files as bytes for the tests' configuration files and peers' logs.
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

// Replaces the file with `text`; false when it cannot be written.
inline bool writeFileText(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace testsupport
