// The automatic mode of the main window: the command-line switches read at
// creation, and the sequence that runs once the window is shown. The
// sequence clicks the menu items as a user would; what an unattended run
// tells comes from the run sequence's result, never from the panels.
#include "window/form_main.h"

#include "start/application.h"
#include "window/framework_ops.h"

#include <array>

namespace {

// Long enough to read a report's error in the status bar before the window
// closes by itself.
constexpr int AutoCloseDelayMilliseconds = 3000;

// Each report channel's menu item and the switch that asks for it.
struct TChannelCommand {
  const char* Channel;
  QAction* TFormMain::*MenuItem;
  bool TAutoSwitches::*Switch;
};
constexpr std::array<TChannelCommand, 2> ChannelCommands{{
    {"mail", &TFormMain::MenuItemSendToSMTP, &TAutoSwitches::SMTP},
    {"syslog", &TFormMain::MenuItemSendToSysLog, &TAutoSwitches::SysLog},
}};

const TChannelCommand* CommandOf(const QString& Channel) {
  for (const TChannelCommand& Command : ChannelCommands)
    if (Channel == QLatin1String(Command.Channel))
      return &Command;
  return nullptr;
}

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
  FAutoSwitches.Run = FAutoSwitches.Run || Switches.Run;
  FAutoSwitches.SMTP = FAutoSwitches.SMTP || Switches.SMTP;
  FAutoSwitches.SysLog = FAutoSwitches.SysLog || Switches.SysLog;
}

void TFormMain::SetAutoRunMonitor(TAutoRunMonitor* Monitor) {
  FAutoRunMonitor = Monitor;
  // The files --json and --prometheus name are the run's to write.
  if (Monitor != nullptr)
    FSequence->SetResultFiles(Monitor->JsonFile(), Monitor->PrometheusFile());
  else
    FSequence->SetResultFiles(QString(), QString());
}

void TFormMain::FormShow() {
  // Posted, not run here: the sequence starts once the window is on screen
  // and whatever was queued before it has been handled. Posted at every
  // show; without switches its handler does nothing.
  PostWindowMessage(this, WM_AUTORUN);
}

void TFormMain::ShowReportOutcomes(const QStringList& Outcomes, const QStringList& Hints) {
  SetStatusPanelText(0, Outcomes.join(QStringLiteral(" \u00b7 ")), (Outcomes + Hints).join(u'\n'));
}

void TFormMain::WMAutoRun() {
  if (!FAutoSwitches.Any())
    return;
  try {
    ClickMenuItem(MenuItemRun);
    const TRunResult& Result = FSequence->Result();
    if (FAutoRunMonitor != nullptr) {
      FAutoRunMonitor->ResultFilesDone(Result.ResultFiles);
      if (!Result.HistoryLine.isEmpty())
        FAutoRunMonitor->HistoryNote(Result.HistoryLine);
      FAutoRunMonitor->CheckDone(FSequence->CheckOutcome());
    }
    // A watched run that checked nothing sends no report: it would pass an
    // empty or wholly silent list on as the state of the network.
    const bool Report = FAutoRunMonitor == nullptr || FAutoRunMonitor->ReportsWanted();
    if (FAutoRunMonitor != nullptr)
      FAutoRunMonitor->RunStateProblem(Result.RunStateMessage);
    // Each report's ending as panel 0 told it, kept for panel 0 when a later
    // report would replace one that failed or was queued.
    QStringList Named, Hints;
    bool EarlierTrouble = false;
    for (const auto& Channel : FSequence->Channels()) {
      const TChannelCommand* Command = CommandOf(Channel->Name());
      if (Command == nullptr || !(FAutoSwitches.*(Command->Switch)))
        continue;
      const TChannelOutcome Outcome = FSequence->AutoReport(*Channel, Report, [&] {
        ClickMenuItem(this->*(Command->MenuItem));
        return FSequence->LastReport(Channel->Name());
      });
      if (FAutoRunMonitor != nullptr)
        FAutoRunMonitor->ReportDone(Outcome);
      Named.append(NamedOutcome(Outcome.Channel.Title(), Outcome.Result, StatusPanelText(0)));
      if (!Outcome.Hint.isEmpty())
        Hints.append(QStringLiteral("To fix the %1: %2").arg(Outcome.Channel.LowerTitle(), Outcome.Hint));
      if (EarlierTrouble)
        ShowReportOutcomes(Named, Hints);
      EarlierTrouble = EarlierTrouble || Outcome.Result == rrFailed || Outcome.Result == rrQueued;
    }
  } catch (...) {
    // On a display the exception report shows the message and the window
    // stays open for the user; without one the monitor ends the program.
    if (FAutoRunMonitor != nullptr &&
        FAutoRunMonitor->SequenceFailed(ExceptionMessageText(std::current_exception())))
      return;
    throw;
  }
  if (FAutoSwitches.SMTP || FAutoSwitches.SysLog) {
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
