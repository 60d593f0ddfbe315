// Entry of the window tests: one application object for all of them, on
// Qt's offscreen platform unless a display is chosen explicitly.
#include "application.h"
#include "core_units.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <cstdlib>

int main(int argc, char **argv) {
  unsetenv("QT_NO_GLIB");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  TApplication Application(argc, argv);
  // Every window creates the network components: their cores stay bound
  // for the whole run, as in the program.
  const TCoreUnits Units;
  return RUN_ALL_TESTS();
}
