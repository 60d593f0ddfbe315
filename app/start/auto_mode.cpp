#include "start/auto_mode.h"

#include "reports/report_channel.h"
#include "run/run_result.h"
#include "settings/settings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <array>

namespace {

struct TSwitch {
  const char* Text;
  bool Run, SMTP, SysLog;
};

constexpr std::array<TSwitch, 4> Switches{{
    {"/AUTO", true, true, true},
    {"/AUTORUN", true, false, false},
    {"/AUTOSMTP", false, true, false},
    {"/AUTOSYSLOG", false, false, true},
}};

}  // namespace

TAutoSwitches ReadAutoSwitches(const QStringList& Arguments) {
  TAutoSwitches Result;
  const QLocale Locale;
  for (const QString& Argument : Arguments) {
    const QString Upper = Locale.toUpper(Argument);
    for (const TSwitch& Switch : Switches) {
      if (Upper != QLatin1String(Switch.Text))
        continue;
      Result.Run = Result.Run || Switch.Run;
      Result.SMTP = Result.SMTP || Switch.SMTP;
      Result.SysLog = Result.SysLog || Switch.SysLog;
    }
  }
  return Result;
}

bool IsAutoSwitch(const QString& Argument) {
  const QString Upper = QLocale().toUpper(Argument);
  return std::any_of(Switches.cbegin(), Switches.cend(),
                     [&](const TSwitch& Switch) { return Upper == QLatin1String(Switch.Text); });
}

TAutoRunMonitor::TAutoRunMonitor(bool Headless, TLineSink Sink, TExit Exit)
    : FHeadless(Headless), FSink(std::move(Sink)), FExit(std::move(Exit)) {
  if (!FExit)
    FExit = [](int Status) { QCoreApplication::exit(Status); };
}

void TAutoRunMonitor::Write(const QString& Line, TLineKind Kind) const {
  if (FSink && (FVerbose || Kind == lkProblem))
    FSink(QStringLiteral("dervik: ") + Line);
}

void TAutoRunMonitor::CheckDone(const TSettings& Settings, const QString& SettingsFileName,
                                const QString& NotStarted, const QString& SettingsProblem,
                                const QString& NothingChecked) {
  CheckDone(TCheckOutcome::Of(Settings, SettingsFileName, NotStarted, SettingsProblem, NothingChecked));
}

void TAutoRunMonitor::CheckDone(const TCheckOutcome& Check) {
  if (!Check.NotStarted.isEmpty()) {
    FFailed = true;
    Write(Check.NotStarted, lkProblem);
    return;
  }
  if (!Check.Ended) {
    // The window was closed or the application asked to quit during the run.
    FFailed = true;
    Write(QStringLiteral("the check run did not end"), lkProblem);
    return;
  }
  FChecked = true;
  if (!Check.SettingsProblem.isEmpty() || Check.SettingsFileGone) {
    // A scheduled job with a lost settings file checked nothing: it must not
    // pass as "all answered".
    FFailed = true;
    Write(Check.SettingsProblem.isEmpty()
              ? QStringLiteral("settings file %1 not found: no devices to check").arg(Check.SettingsFileName)
              : Check.SettingsProblem + QStringLiteral(": no devices to check"),
          lkProblem);
    return;
  }
  for (const QString& Warning : Check.Warnings)
    Write(Warning, lkProblem);
  // Said whether or not anything was checked: a scheduled job must not pass
  // devices over in silence.
  if (Check.SkippedDevices > 0)
    Write(QStringLiteral("only the first %1 devices of %2 are checked (%3 more left out)")
              .arg(Check.DeviceCount)
              .arg(Check.SettingsFileName)
              .arg(Check.SkippedDevices),
          lkProblem);
  if (!Check.NothingChecked.isEmpty()) {
    // Nothing asked, or nobody waited for an answer: neither "all answered"
    // nor an alarm for every device would be true.
    FFailed = true;
    FNothingChecked = true;
    Write(Check.NothingChecked, lkProblem);
    return;
  }
  FDevicesFailed = FDevicesFailed || !Check.Silent.isEmpty();
  Write((Check.DeviceCount == 1 ? QStringLiteral("checked %1 device from %2: %3")
                                : QStringLiteral("checked %1 devices from %2: %3"))
            .arg(QString::number(Check.DeviceCount), Check.SettingsFileName,
                 Check.Summary.isEmpty() ? QStringLiteral("no result") : Check.Summary),
        lkInfo);
  if (!Check.Silent.isEmpty())
    Write(QStringLiteral("no answer from: ") + Check.Silent.join(QStringLiteral(", ")), lkProblem);
}

void TAutoRunMonitor::ReportDone(const TChannelOutcome& Outcome) {
  const TChannelTraits& Channel = Outcome.Channel;
  const QString Name = Channel.LowerTitle();
  switch (Outcome.Result) {
    case rrSent:
      Write(QStringLiteral("%1 sent to %2").arg(Name, Channel.Destination()) + Channel.SentNote, lkInfo);
      break;
    case rrFailed:
      FReportFailed = true;
      Write(QStringLiteral("%1 to %2 failed: %3").arg(Name, Channel.Destination(), Outcome.Text), lkProblem);
      break;
    case rrQueued:
      FReportQueued = true;
      Write(QStringLiteral("%1 to %2 queued: %3").arg(Name, Channel.Destination(), Outcome.Text), lkProblem);
      break;
    case rrNotSent:
      // Not asked for in the settings, or held back after a run that checked
      // nothing (whose own line says why): no failure of the report.
      if (!Channel.SetUp())
        Write(QStringLiteral("%1 not sent: no server set (HostAddress in [%2])").arg(Name, Channel.Section),
              lkInfo);
      else if (!Outcome.NotSentWhy.isEmpty())
        Write(QStringLiteral("%1 not sent: %2").arg(Name, Outcome.NotSentWhy), lkInfo);
      else if (FNothingChecked)
        Write(QStringLiteral("%1 not sent: nothing was checked").arg(Name), lkInfo);
      else
        Write(QStringLiteral("%1 not sent: no finished check run").arg(Name), lkInfo);
      break;
  }
  if (!Outcome.Hint.isEmpty() && Outcome.Result != rrSent && Outcome.Result != rrNotSent)
    Write(QStringLiteral("to fix: ") + Outcome.Hint, lkProblem);
  QueuedMailLost(Outcome.LostQueued);
}

void TAutoRunMonitor::RunStateProblem(const QString& Message) {
  if (!Message.isEmpty())
    Write(Message, lkProblem);
}

void TAutoRunMonitor::QueuedMailLost(const QStringList& Reports) {
  for (const QString& Report : Reports) {
    FReportFailed = true;
    Write(QStringLiteral("queued mail report not delivered: ") + Report, lkProblem);
  }
}

bool TAutoRunMonitor::SequenceFailed(const QString& Message) {
  FFailed = true;
  Write(QStringLiteral("the automatic run stopped: ") + Message, lkProblem);
  if (!FHeadless)
    return false;
  FExit(ExitStatus());
  return true;
}

void TAutoRunMonitor::SetResultFiles(const QString& JsonFile, const QString& PrometheusFile) {
  FJsonFile = JsonFile;
  FPrometheusFile = PrometheusFile;
}

void TAutoRunMonitor::ResultFilesDone(const std::vector<TResultFileOutcome>& Files) {
  for (const TResultFileOutcome& File : Files) {
    if (File.Problem.isEmpty()) {
      Write(QStringLiteral("results written to %1").arg(File.FileName), lkInfo);
      continue;
    }
    FReportFailed = true;
    Write(QStringLiteral("results not written to %1: %2").arg(File.FileName, File.Problem), lkProblem);
  }
}

void TAutoRunMonitor::HistoryNote(const QString& Line) { Write(Line, lkProblem); }

void TAutoRunMonitor::RunDone(const TRunResult& Result) {
  ResultFilesDone(Result.ResultFiles);
  if (!Result.HistoryLine.isEmpty())
    HistoryNote(Result.HistoryLine);
  CheckDone(Result.Check);
  RunStateProblem(Result.RunStateMessage);
  for (const TChannelOutcome& Report : Result.Reports)
    ReportDone(Report);
  if (!Result.Stopped.isEmpty())
    SequenceFailed(Result.Stopped);
}

int TAutoRunMonitor::ExitStatus() const {
  if (FFailed || !FChecked)
    return ExitStatusNotStarted;
  return (FDevicesFailed ? ExitStatusDevicesFailed : 0) | (FReportFailed ? ExitStatusReportFailed : 0) |
         (FReportQueued ? ExitStatusReportQueued : 0);
}
