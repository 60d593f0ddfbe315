// The independent reader of NTLM AUTHENTICATE messages (ntlm_check.py, on
// python3-impacket) and the hex helpers its answers come in.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace smtptest {

std::string hex(std::string_view bytes);
std::string unhex(std::string_view text);

// Fields by name (see ntlm_check.py); empty when the checker could not run
// (reported as a test failure).  The password goes to the checker on its
// standard input, never on a command line.
std::map<std::string, std::string> impacketReading(const std::string &message,
                                                   const std::string &serverChallenge,
                                                   const std::string &passwordUtf8);

}  // namespace smtptest
