// The automatic mode seen from outside the window: the command-line
// switches, and what one automatic run tells the scheduler that started it
// (a few lines on standard error and the exit status of the process).
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <vector>

class TSettings;
struct TChannelOutcome;
struct TCheckOutcome;
struct TResultFileOutcome;
struct TRunResult;

// The flags the switches "/AUTO", "/AUTORUN", "/AUTOSMTP" and "/AUTOSYSLOG"
// stand for.
struct TAutoSwitches {
  bool Run = false;
  bool SMTP = false;
  bool SysLog = false;
  bool Any() const { return Run || SMTP || SysLog; }
};

// Reads the switches from Arguments (program name excluded): each argument
// upper-cased in the user's locale and compared exactly; anything else is
// ignored and switches add up. The window reads its flags with this, and
// the program entry decides with it, before any window exists, whether the
// run is unattended.
TAutoSwitches ReadAutoSwitches(const QStringList& Arguments);
// Whether Argument is one of the switches, compared as ReadAutoSwitches does.
bool IsAutoSwitch(const QString& Argument);

// Exit statuses of the program. The first three add up as bits: 3 means
// devices without answer and a report that could not be sent.
constexpr int ExitStatusAllAnswered = 0;
constexpr int ExitStatusDevicesFailed = 1;  // some devices did not answer
constexpr int ExitStatusReportFailed = 2;   // a report could not be sent
constexpr int ExitStatusNotStarted = 4;     // the run could not start or ended early
// A report the server could not take now waits in the queue folder for the
// next run (the mail report with QueueDir); adds up with 1 and 2.
constexpr int ExitStatusReportQueued = 8;
// A switch the program does not know: nothing was started (the usage
// error status of the BSD sysexits list, apart from every run's status).
constexpr int ExitStatusUsage = 64;

// How a report command ended: not sent (its guard was not met), sent,
// failed with its error shown in status bar panel 0, or kept in the queue
// folder for the next report (panel 0 says where and why).
enum TReportResult : std::uint8_t { rrNotSent, rrSent, rrFailed, rrQueued };

// Watches one automatic sequence for the scheduler: writes a line per step
// and works out the exit status. Unless verbose it writes only the lines a
// person must act on (devices without answer, a report that failed or was
// queued, a warning, why nothing was checked), so that a scheduler that
// mails whatever a job prints stays quiet when all is well. Without a display (Headless) it also ends
// what nobody could end by hand: a run that leaves its window open, and a
// sequence stopped by an exception, which would otherwise wait for someone
// to close an error box and the window.
class TAutoRunMonitor {
public:
  using TLineSink = std::function<void(const QString& Line)>;
  // Ends the application with a status; QCoreApplication::exit by default.
  using TExit = std::function<void(int Status)>;

  TAutoRunMonitor(bool Headless, TLineSink Sink, TExit Exit = {});

  bool Headless() const { return FHeadless; }
  // Every line of the run (the default), or only its problems.
  void SetVerbose(bool Verbose) { FVerbose = Verbose; }
  bool Verbose() const { return FVerbose; }

  // After the Run click: whether the run ended, its summary, the devices
  // that did not answer. NotStarted is the window's line when the run could
  // not start at all (no ping port); it is written as it is.
  // SettingsProblem is the window's line when no settings file was found or
  // the one found could not be used: the run then checked nothing and fails.
  // NothingChecked is the window's line when the settings let the run check
  // nothing (NothingCheckedText): it fails too, and no report is sent.
  // The settings' warnings about names nothing reads are written first.
  void CheckDone(const TSettings& Settings, const QString& SettingsFileName,
                 const QString& NotStarted = QString(), const QString& SettingsProblem = QString(),
                 const QString& NothingChecked = QString());
  // The same, from the check's outcome in a run's result.
  void CheckDone(const TCheckOutcome& Check);
  // False after a run that checked nothing: its reports would pass an empty
  // or wholly silent list on as the state of the network.
  bool ReportsWanted() const { return !FNothingChecked; }
  // After a report: its channel, how it ended and the line that tells it
  // (the error of a failed report), why a rule (SendWhen) left it out, what
  // to change when it failed or was queued (written on a line of its own),
  // and the queued reports of earlier runs it found lost (QueuedMailLost).
  void ReportDone(const TChannelOutcome& Outcome);
  // The state kept between runs could not be read or kept: the run and its
  // reports go on, but whoever reads the log must know the comparison is off.
  void RunStateProblem(const QString& Message);
  // After the mail report: the queued reports of earlier runs it found
  // refused for good or damaged, each naming its file and why. Each is a lost report:
  // named on a line of its own, and the report-failed bit is set.
  void QueuedMailLost(const QStringList& Reports);
  // An exception stopped the sequence. True when the monitor has dealt with
  // it (no display: reported and the application asked to end), false when
  // the window's own exception report is to show it.
  bool SequenceFailed(const QString& Message);

  // The files --json and --prometheus name (empty: not asked for).
  void SetResultFiles(const QString& JsonFile, const QString& PrometheusFile);
  const QString& JsonFile() const { return FJsonFile; }
  const QString& PrometheusFile() const { return FPrometheusFile; }
  // After a run that checked: the files asked for, as the run sequence
  // wrote them. A file that could not be written is a report that failed.
  void ResultFilesDone(const std::vector<TResultFileOutcome>& Files);
  // After a run: the history was not written, or had to be repaired. The
  // run and its reports go on as they are.
  void HistoryNote(const QString& Line);

  // A whole run told at once, in the order its steps went: the result
  // files, the history's note, the check, the state's problem, each report,
  // and what stopped the sequence.
  void RunDone(const TRunResult& Result);

  int ExitStatus() const;

private:
  enum TLineKind : std::uint8_t { lkInfo, lkProblem };
  void Write(const QString& Line, TLineKind Kind) const;

  bool FHeadless;
  bool FVerbose = true;
  bool FNothingChecked = false;
  TLineSink FSink;
  TExit FExit;
  bool FChecked = false;
  bool FFailed = false;
  bool FDevicesFailed = false;
  bool FReportFailed = false;
  bool FReportQueued = false;
  QString FJsonFile;
  QString FPrometheusFile;
};
