// Entry of the window tests: one application object for all of them, on
// Qt's offscreen platform unless a display is chosen explicitly.
#include "window_tests_run.h"

int main(int argc, char **argv) { return RunWindowTests(argc, argv); }
