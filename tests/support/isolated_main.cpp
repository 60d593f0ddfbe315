// gtest main for test programs whose every test runs in the isolated network:
// isolation happens before GoogleTest (or anything else) starts a thread.
#include <gtest/gtest.h>

#include "isolation.h"

int main(int argc, char **argv) {
  std::string why;
  if (testsupport::isolate(testsupport::IsolationOptions{}, &why))
    testsupport::setIsolationFailure("");
  else
    testsupport::setIsolationFailure(why);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
