// Program entry of Dervik.
#include "application.h"
#include "core_units.h"
#include "form_main.h"

#include <cstdlib>

int main(int argc, char** argv) {
  // The network cores run on Qt's GLib event dispatcher, which this
  // variable would switch off.
  unsetenv("QT_NO_GLIB");
  TApplication Application(argc, argv);
  // Binds the cores before the window exists; unbinds them after it is gone.
  const TCoreUnits CoreUnits;
  try {
    TFormMain FormMain;
    FormMain.show();
    return Application.exec();
  } catch (...) {
    // The window could not be created (a core failed to load): say why and end.
    ShowExceptionReport(ExceptionMessageText(std::current_exception()));
    return EXIT_FAILURE;
  }
}
