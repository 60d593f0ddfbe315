// The automatic mode of the main window: the command-line switches read at
// creation, and the sequence that runs once the window is shown.
#include "window/form_main.h"

#include "start/application.h"
#include "window/framework_ops.h"

namespace {

// Long enough to read a report's error in the status bar before the window
// closes by itself.
constexpr int AutoCloseDelayMilliseconds = 3000;

// One report's ending as panel 0 told it, named by its report.
QString NamedOutcome(const QString& Report, TReportResult Result, const QString& Text) {
  if (Text.startsWith(Report) || Result == rrSent)
    return Text;
  return QStringLiteral("%1 %2: %3")
      .arg(Report, Result == rrQueued ? QStringLiteral("queued") : QStringLiteral("failed"), Text);
}

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

void TFormMain::ShowReportOutcomes(const QStringList& Outcomes) {
  QStringList Whole = Outcomes;
  if (!FMailReportHint.isEmpty())
    Whole.append(QStringLiteral("To fix the mail report: ") + FMailReportHint);
  SetStatusPanelText(0, Outcomes.join(QStringLiteral(" \u00b7 ")), Whole.join(u'\n'));
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
    if (FAutoRunMonitor != nullptr)
      FAutoRunMonitor->RunStateProblem(FRunStateMessage);
    // A run that could not check is told once per cause by the rules that
    // wait for trouble; "always" keeps the reports as they were.
    const bool NotRun = !NotRunCause().isEmpty();
    if (FAutoSMTP) {
      QString Why = ReportLeftOut(rkMail);
      if (NotRun && MailReportRule(Settings()).When != swAlways)
        FLastSMTPReport = SendNotRunReport(rkMail, Why);
      else if (Report && Why.isEmpty())
        ClickMenuItem(MenuItemSendToSMTP);
      else
        FLastSMTPReport = rrNotSent;
      if (!Why.isEmpty())
        SetStatusPanelText(0, QStringLiteral("Mail report not sent: %1.").arg(Why));
      if (FAutoRunMonitor != nullptr) {
        FAutoRunMonitor->ReportDone(rkMail, FLastSMTPReport, Settings(), StatusPanelText(0), Why,
                                    FMailReportHint);
        FAutoRunMonitor->QueuedMailLost(FLostQueuedMail);
      }
    }
    // The mail report's ending, kept for panel 0 after the syslog report
    // would replace it.
    const QString MailOutcome = FAutoSMTP ? StatusPanelText(0) : QString();
    const TReportResult MailResult = FLastSMTPReport;
    if (FAutoSysLog) {
      QString Why = ReportLeftOut(rkSysLog);
      if (NotRun && SysLogReportRule(Settings()).When != swAlways)
        FLastSysLogReport = SendNotRunReport(rkSysLog, Why);
      else if (Report && Why.isEmpty())
        ClickMenuItem(MenuItemSendToSysLog);
      else
        FLastSysLogReport = rrNotSent;
      if (!Why.isEmpty())
        SetStatusPanelText(0, QStringLiteral("Syslog report not sent: %1.").arg(Why));
      if (FAutoRunMonitor != nullptr)
        FAutoRunMonitor->ReportDone(rkSysLog, FLastSysLogReport, Settings(), StatusPanelText(0), Why);
      if (FAutoSMTP && (MailResult == rrFailed || MailResult == rrQueued))
        ShowReportOutcomes(
            {NamedOutcome(QStringLiteral("Mail report"), MailResult, MailOutcome),
             NamedOutcome(QStringLiteral("Syslog report"), FLastSysLogReport, StatusPanelText(0))});
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
    // The wait lets a person read the status bar; without a display nobody
    // can, and a scheduled job would only end later.
    if (FAutoRunMonitor == nullptr || !FAutoRunMonitor->Headless())
      WaitMilliseconds(AutoCloseDelayMilliseconds);
    PostCloseRequest(this);
  } else if (FAutoRunMonitor != nullptr && FAutoRunMonitor->Headless()) {
    // "/AUTORUN" alone leaves the window open for the user to read; without
    // a display nobody could, and the process would never end.
    PostCloseRequest(this);
  }
}
