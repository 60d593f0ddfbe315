// The mail report of the main window.
#include "form_main.h"

// TEMPORARY: the mail report is not built yet; the command does nothing.
void TFormMain::MenuItemSendToSMTPClick() { FLastSMTPReport = rrNotSent; }

// TEMPORARY: nothing is sent.
bool TFormMain::SendResultsToSMTP() { return false; }
