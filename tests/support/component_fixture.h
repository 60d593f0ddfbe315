// The fixture of tests that create component objects (TpelPing, TpelSysLog,
// the main window): the application object and the bound cores they need,
// made once per test program and kept until it ends.
//
//   class MyTest : public testsupport::ComponentTest<> {...};              // QCoreApplication
//   class MyWindowTest : public testsupport::ComponentTest<QApplication> {...};
//
// The application object is created only when none exists yet; its argv[0]
// is the test program's name.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cerrno>
#include <cstdlib>

#include "core_units.h"

namespace testsupport {

// Creates the application object of kind `App` (when there is none) and binds
// the cores, once per process.
template <class App>
void startComponents() {
  static int argc = 1;
  static char *argv[] = {program_invocation_short_name, nullptr};
  if (QCoreApplication::instance() == nullptr) {
    // The cores wait on the thread's GLib main context; Qt must dispatch it too.
    unsetenv("QT_NO_GLIB");
    new App(argc, argv);
  }
  static TCoreUnits units;
}

template <class App = QCoreApplication>
class ComponentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { startComponents<App>(); }
};

}  // namespace testsupport
