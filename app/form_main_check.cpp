// The check run of the main window.
#include "form_main.h"

void TFormMain::MenuItemRunClick() { RunCheck(); }

// TEMPORARY: the check run is not built yet; Run does nothing.
void TFormMain::RunCheck() {}
