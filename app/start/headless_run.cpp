#include "start/headless_run.h"

#include "start/application.h"
#include "start/auto_mode.h"

#include <QCoreApplication>

#include <memory>

namespace {

// The channel each switch asks for, as the window's menu items send them.
bool Wanted(const TAutoSwitches& Switches, const QString& Channel) {
  return (Switches.SMTP && Channel == QLatin1String("mail")) ||
         (Switches.SysLog && Channel == QLatin1String("syslog"));
}

}  // namespace

int RunWithoutWindow(const TRunSequence::TPlaces& Places, const TAutoSwitches& Switches,
                     TAutoRunMonitor& Monitor) {
  std::unique_ptr<TRunSequence> Sequence;
  try {
    // What the window does when it is created: its components (a core that
    // failed to load stops here) and the settings as they are at start.
    Sequence = std::make_unique<TRunSequence>(Places);
    Sequence->SetResultFiles(Monitor.JsonFile(), Monitor.PrometheusFile());
    Sequence->LoadSettings();
  } catch (...) {
    ShowExceptionReport(ExceptionMessageText(std::current_exception()));
    return ExitStatusNotStarted;
  }
  try {
    // The steps in the order the window's sequence takes and tells them.
    Sequence->Check();
    const TRunResult& Result = Sequence->Result();
    Monitor.ResultFilesDone(Result.ResultFiles);
    if (!Result.HistoryLine.isEmpty())
      Monitor.HistoryNote(Result.HistoryLine);
    Monitor.CheckDone(Sequence->CheckOutcome());
    // A run that checked nothing sends no report: it would pass an empty
    // or wholly silent list on as the state of the network.
    const bool Report = Monitor.ReportsWanted();
    // The state as the check left it; a report of a run that could not
    // check keeps its cause there afterwards, and is told by its own line.
    Monitor.RunStateProblem(Result.RunStateMessage);
    for (const auto& Channel : Sequence->Channels()) {
      if (!Wanted(Switches, Channel->Name()))
        continue;
      Monitor.ReportDone(Sequence->AutoReport(*Channel, Report, [&] { return Sequence->Report(*Channel); }));
    }
  } catch (...) {
    Monitor.SequenceFailed(ExceptionMessageText(std::current_exception()));
  }
  // What the components left queued (a closed connection, a deleted
  // object) is handled before they go, as the window's last events are.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  return Monitor.ExitStatus();
}
