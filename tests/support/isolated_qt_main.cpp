// gtest main for test programs that run components in the isolated network
// inside a Qt application: isolation first, before Qt or GoogleTest start a
// thread, then the application on the offscreen platform unless one is set.
#include <gtest/gtest.h>

#include <QApplication>

#include <string>

#include "isolation.h"

int main(int argc, char **argv) {
  std::string why;
  testsupport::setIsolationFailure(
      testsupport::isolate(testsupport::IsolationOptions{}, &why) ? "" : why);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
