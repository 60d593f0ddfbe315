#include "run/run_result.h"

#include "history/run_export.h"
#include "reports/report_texts.h"
#include "settings/settings.h"

#include <QFileInfo>

#include <algorithm>

TCheckOutcome TCheckOutcome::Of(const TSettings& Settings, const QString& SettingsFileName,
                                const QString& NotStarted, const QString& SettingsProblem,
                                const QString& NothingChecked) {
  TCheckOutcome Out;
  Out.SettingsFileName = SettingsFileName;
  Out.NotStarted = NotStarted;
  Out.Ended = Settings.HasLastCheck();
  Out.SettingsProblem = SettingsProblem;
  // Looked at only when nothing is listed: a file deleted during the run was
  // read at its start, and its devices were checked.
  Out.SettingsFileGone = Settings.Devices().empty() && !QFileInfo(SettingsFileName).isFile();
  Out.NothingChecked = NothingChecked;
  Out.Warnings = Settings.UnknownNameWarnings();
  Out.DeviceCount = static_cast<qsizetype>(Settings.Devices().size());
  Out.SkippedDevices = Settings.SkippedDevices();
  Out.Summary = Settings.LastCheckResult();
  for (const auto& Device : Settings.Devices())
    if (Device->DeviceStatusCategory() != dscOK)
      Out.Silent.append(ReportSafeText(Device->DeviceName()));
  return Out;
}

std::vector<TResultFileOutcome> WriteResultFilesOf(const THistoryRun& Run, const QString& JsonFile,
                                                   const QString& PrometheusFile) {
  const std::pair<const QString*, QByteArray (*)(const THistoryRun&)> Formats[] = {
      {&JsonFile, &RunJson}, {&PrometheusFile, &RunPrometheus}};
  std::vector<TResultFileOutcome> Files;
  for (const auto& [FileName, Format] : Formats)
    if (!FileName->isEmpty())
      Files.push_back({*FileName, WriteFileWhole(*FileName, Format(Run))});
  return Files;
}

const TChannelOutcome* TRunResult::Report(const QString& Channel) const {
  const auto It = std::find_if(Reports.cbegin(), Reports.cend(), [&](const TChannelOutcome& Outcome) {
    return Outcome.Channel.Name == Channel;
  });
  return It == Reports.cend() ? nullptr : &*It;
}

int TRunResult::ExitStatus() const {
  // The monitor's own rules, told the whole run at once and writing nowhere.
  TAutoRunMonitor Rules(true, {}, [](int) {});
  Rules.RunDone(*this);
  return Rules.ExitStatus();
}
