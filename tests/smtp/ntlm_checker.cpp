#include "ntlm_checker.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

namespace smtptest {

std::string hex(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 0xf];
  }
  return out;
}

std::string unhex(std::string_view text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
  return out;
}

std::map<std::string, std::string> impacketReading(const std::string &message,
                                                   const std::string &serverChallenge,
                                                   const std::string &passwordUtf8) {
  std::map<std::string, std::string> fields;
  char path[] = "/tmp/ntlm_check_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    ADD_FAILURE() << "no temporary file";
    return fields;
  }
  const std::string input = hex(message) + "\n" + hex(serverChallenge) + "\n" + passwordUtf8;
  const bool written = write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size());
  close(fd);
  EXPECT_TRUE(written);
  const std::string cmd = std::string("/usr/bin/python3 ") + NTLM_CHECK_SCRIPT + " < " + path;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) {
    ADD_FAILURE() << "could not start the checker";
  } else {
    char line[4096];
    while (fgets(line, sizeof line, p) != nullptr) {
      std::string l(line);
      if (!l.empty() && l.back() == '\n') l.pop_back();
      const size_t sp = l.find(' ');
      if (sp != std::string::npos) fields[l.substr(0, sp)] = l.substr(sp + 1);
    }
    EXPECT_EQ(pclose(p), 0) << "the checker failed";
  }
  unlink(path);
  return fields;
}

}  // namespace smtptest
