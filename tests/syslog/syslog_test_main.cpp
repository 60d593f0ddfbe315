// gtest main of the syslog tests that use the network: the process moves into
// namespaces of its own before any thread starts, with an /etc/hosts that
// knows this machine's name and a test host name, so no lookup leaves it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "isolation.h"
#include "syslog_test_support.h"

int main(int argc, char **argv) {
  // A zone 13 hours east of UTC, so local time and UTC stamps always differ.
  setenv("TZ", "XST-13", 1);
  tzset();
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  testsupport::IsolationOptions opts;
  opts.hosts = std::string("127.0.0.1 localhost\n::1 localhost\n") + syslogtest::kOwnAddress + " " +
               name + "\n" + syslogtest::kNamedAddress + " " + syslogtest::kNamedHost + "\n";
  std::string why;
  testsupport::setIsolationFailure(testsupport::isolate(opts, &why) ? "" : why);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
