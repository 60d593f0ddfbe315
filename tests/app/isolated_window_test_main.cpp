// Entry of the window tests that need a network namespace of their own (test
// hosts, names from files only): isolate first, then one application object
// for all of them, on Qt's offscreen platform unless a display is chosen.
#include "application.h"
#include "core_units.h"
#include "isolation.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
  std::string Why;
  testsupport::setIsolationFailure(
      testsupport::isolate(testsupport::IsolationOptions{}, &Why) ? "" : Why);
  unsetenv("QT_NO_GLIB");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  TApplication Application(argc, argv);
  const TCoreUnits Units;
  return RUN_ALL_TESTS();
}
