// The automatic mode of the main window: the command-line switches read at
// creation, and the sequence that runs once the window is shown.
#include "form_main.h"

#include "application.h"
#include "framework_ops.h"

namespace {

// Long enough to read a report's error in the status bar before the window
// closes by itself.
constexpr int AutoCloseDelayMilliseconds = 3000;

}  // namespace

void TFormMain::ReadCommandLineSwitches() {
  // Switches add up: a flag is only ever set here, never cleared.
  const TAutoSwitches Switches = ReadAutoSwitches(FStartup.Arguments);
  FAutoRun = FAutoRun || Switches.Run;
  FAutoSMTP = FAutoSMTP || Switches.SMTP;
  FAutoSysLog = FAutoSysLog || Switches.SysLog;
}

void TFormMain::FormShow() {
  // Posted, not run here: the sequence starts once the window is on screen
  // and whatever was queued before it has been handled. Posted at every
  // show; without switches its handler does nothing.
  PostWindowMessage(this, WM_AUTORUN);
}

void TFormMain::WMAutoRun() {
  if (!FAutoRun && !FAutoSMTP && !FAutoSysLog)
    return;
  try {
    ClickMenuItem(MenuItemRun);
    if (FAutoRunMonitor != nullptr)
      // Only a file that could not be used counts against the run: devices
      // left out beyond the limit were still checked, and a file deleted
      // during the run was read at its start.
      FAutoRunMonitor->CheckDone(Settings(), FSettingsFileName, FCheckNotStarted,
                                 FSettingsUnused ? FSettingsProblem : QString(), FNothingChecked);
    // A watched run that checked nothing sends no report: it would pass an
    // empty or wholly silent list on as the state of the network.
    const bool Report = FAutoRunMonitor == nullptr || FAutoRunMonitor->ReportsWanted();
    if (FAutoSMTP) {
      if (Report)
        ClickMenuItem(MenuItemSendToSMTP);
      else
        FLastSMTPReport = rrNotSent;
      if (FAutoRunMonitor != nullptr) {
        FAutoRunMonitor->ReportDone(rkMail, FLastSMTPReport, Settings(), StatusPanelText(0));
        FAutoRunMonitor->QueuedMailLost(FLostQueuedMail);
      }
    }
    if (FAutoSysLog) {
      if (Report)
        ClickMenuItem(MenuItemSendToSysLog);
      else
        FLastSysLogReport = rrNotSent;
      if (FAutoRunMonitor != nullptr)
        FAutoRunMonitor->ReportDone(rkSysLog, FLastSysLogReport, Settings(), StatusPanelText(0));
    }
  } catch (...) {
    // On a display the exception report shows the message and the window
    // stays open for the user; without one the monitor ends the program.
    if (FAutoRunMonitor != nullptr &&
        FAutoRunMonitor->SequenceFailed(ExceptionMessageText(std::current_exception())))
      return;
    throw;
  }
  if (FAutoSMTP || FAutoSysLog) {
    HandlePendingMessages();
    WaitMilliseconds(AutoCloseDelayMilliseconds);
    PostCloseRequest(this);
  } else if (FAutoRunMonitor != nullptr && FAutoRunMonitor->Headless()) {
    // "/AUTORUN" alone leaves the window open for the user to read; without
    // a display nobody could, and the process would never end.
    PostCloseRequest(this);
  }
}
