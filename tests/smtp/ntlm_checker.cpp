#include "ntlm_checker.h"

#include <gtest/gtest.h>

#include <sstream>

#include "child_process.h"

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
  const std::string input = hex(message) + "\n" + hex(serverChallenge) + "\n" + passwordUtf8;
  const testsupport::ProcessResult checker =
      testsupport::runProcess({"/usr/bin/python3", NTLM_CHECK_SCRIPT}, input);
  if (!checker.Started) {
    ADD_FAILURE() << "could not start the checker";
    return fields;
  }
  std::istringstream lines(checker.Out);
  for (std::string l; std::getline(lines, l);) {
    const size_t sp = l.find(' ');
    if (sp != std::string::npos) fields[l.substr(0, sp)] = l.substr(sp + 1);
  }
  EXPECT_EQ(checker.Status, 0) << "the checker failed: " << checker.Err;
  return fields;
}

}  // namespace smtptest
