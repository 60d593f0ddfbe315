// What the last check run found, kept between runs so that the next run can
// tell what changed: one small file per settings file under
// $XDG_STATE_HOME/dervik/ (~/.local/state/dervik/ when unset), so that two
// configurations never mix.
//
// The file is replaced whole (written beside itself and renamed), so a crash
// or a second process at the same time leaves either the old or the new file,
// never half of one. A file that cannot be read as ours is set aside under a
// name of its own, never overwritten, so whoever wonders can still look at it.
#pragma once

#include "run/device.h"

#include <QDateTime>
#include <QMap>
#include <QString>

#include <optional>
#include <vector>

struct TDeviceState {
  QString Name, Address;
  TDeviceStatusCategory Category = dscUnknown;
  QString Status;   // the status text the run showed
  QDateTime Since;  // when the device came into Category
};

struct TRunState {
  QDateTime RunTime;  // end of the run; null when no run was kept
  std::vector<TDeviceState> Devices;
  // Why the last runs could not check, as last reported by each report
  // channel, keyed by the channel's name; empty once a run worked. A cause
  // is reported once until then.
  QMap<QString, QString> NotRunCauses;
};

// The folder of the state files: $XDG_STATE_HOME/dervik, or
// $HOME/.local/state/dervik when XDG_STATE_HOME is unset or not absolute.
QString RunStateFolder();
// The state file of a settings file: its base name and a hash of its
// absolute path, so that files of the same name in two folders differ.
QString RunStateFileName(const QString& SettingsFileName);

struct TRunStateRead {
  TRunState State;  // empty when there was none or it was set aside
  // Why the file was set aside ("state file ... is damaged: set aside as
  // ...; a fresh one is started"), or why it could not be read; empty when
  // it was read or is not there yet.
  QString Message;
};

// Reads FileName, kept for SettingsFileName. A file that is not ours, is
// damaged or belongs to another settings file is renamed to FileName +
// ".bad-<time>" and an empty state returned with the message.
TRunStateRead ReadRunState(const QString& FileName, const QString& SettingsFileName);
// Writes State as FileName for SettingsFileName, making the folder when
// missing. Empty when written, else a message that says why not.
QString WriteRunState(const QString& FileName, const QString& SettingsFileName, const TRunState& State);

// The time of a run as the window writes it, in the user's locale
// ("09.12.26 06:35:32" in German), for the reports' "since" lines too.
QString RunTimeText(const QDateTime& Time);
