// The syslog report of the main window.
#include "form_main.h"

// TEMPORARY: the syslog report is not built yet; the command does nothing.
void TFormMain::MenuItemSendToSysLogClick() {}

// TEMPORARY: nothing is sent.
bool TFormMain::SendResultsToSysLog() { return false; }
