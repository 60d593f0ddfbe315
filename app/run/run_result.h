// What one run came to, told without a window: how the check ended, what
// it kept and wrote, and how each report went. The unattended lines and the
// exit status are made from this, never from what a window shows.
#pragma once

#include "reports/report_channel.h"
#include "reports/report_rules.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

class TSettings;
struct THistoryRun;

// How the check of a run ended, as the settings were after it.
struct TCheckOutcome {
  QString SettingsFileName;
  // Why the run could not start at all (no ping port); empty when it started.
  QString NotStarted;
  // The run ended and stamped its summary; false when it was stopped (the
  // window closed, the application quit) or could not start.
  bool Ended = false;
  // No settings file was found, or the one found could not be used.
  QString SettingsProblem;
  // Nothing was listed, and no file is at the settings file's name now.
  bool SettingsFileGone = false;
  // Why a file that was read let the run check nothing (NothingCheckedText).
  QString NothingChecked;
  // Names in the settings that nothing reads.
  QStringList Warnings;
  qsizetype DeviceCount = 0;
  qsizetype SkippedDevices = 0;
  QString Summary;  // "2 OK, 1 failed"
  // Devices not OK, their names safe for a report line.
  QStringList Silent;

  static TCheckOutcome Of(const TSettings& Settings, const QString& SettingsFileName,
                          const QString& NotStarted = QString(), const QString& SettingsProblem = QString(),
                          const QString& NothingChecked = QString());
};

// A file --json or --prometheus asked for.
struct TResultFileOutcome {
  QString FileName;
  QString Problem;  // empty when written
};

// Writes Run's results into the files named (an empty name: not asked for).
std::vector<TResultFileOutcome> WriteResultFilesOf(const THistoryRun& Run, const QString& JsonFile,
                                                   const QString& PrometheusFile);

struct TRunResult {
  TCheckOutcome Check;
  // Most devices in flight at one time; 0 in a run of one after the other.
  int PeakInFlight = 0;
  // This run against the one before it; none when nothing was checked.
  std::optional<TRunChanges> Changes;
  // Why the state kept between runs could not be read or kept, or empty.
  QString RunStateMessage;
  std::vector<TResultFileOutcome> ResultFiles;
  // The history was not written, or had to be repaired; empty when all went well.
  QString HistoryLine;
  // Each report of the sequence, in the order the channels went.
  std::vector<TChannelOutcome> Reports;
  // What stopped the sequence (an exception), or empty.
  QString Stopped;

  // The report of Channel, or none when it was not asked for.
  const TChannelOutcome* Report(const QString& Channel) const;
  // The process's status by the rules of the unattended run (auto_mode.h).
  int ExitStatus() const;
};
