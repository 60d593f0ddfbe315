// What the entries of the window tests share: Qt's offscreen platform unless
// a display is chosen explicitly, one application object for all tests, and
// the network cores bound for the whole run (every window creates the
// components), as in the program.
#pragma once

#include "start/application.h"
#include "core_units.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <cstdlib>

inline int RunWindowTests(int argc, char **argv) {
  unsetenv("QT_NO_GLIB");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  TApplication Application(argc, argv);
  const TCoreUnits Units;
  return RUN_ALL_TESTS();
}
