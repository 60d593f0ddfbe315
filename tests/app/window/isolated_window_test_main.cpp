// Entry of the window tests that need a network namespace of their own (test
// hosts, names from files only): isolate first, then one application object
// for all of them, on Qt's offscreen platform unless a display is chosen.
#include "isolation.h"
#include "window_tests_run.h"

#include <string>

int main(int argc, char **argv) {
  std::string Why;
  testsupport::setIsolationFailure(
      testsupport::isolate(testsupport::IsolationOptions{}, &Why) ? "" : Why);
  return RunWindowTests(argc, argv);
}
