// A run's results for other programs: the record the history stores, one
// JSON document, the text file a metrics collector reads, and the history
// printed as CSV or JSON.  Files are written beside their place and renamed
// into it, so a reader never sees half of one.
#pragma once

#include "history/history_store.h"

#include <QByteArray>
#include <QString>

#include <vector>

class TSettings;

// The devices of the settings as the last run left them.
THistoryRun RunRecordOf(const TSettings& Settings, const QString& SettingsFile);

// "ok", "unknown" or "no_connection" for a TDeviceStatusCategory.
QString CategoryName(int Category);

// {"time", "settings_file", "summary", "devices": [{"name", "address",
// "status", "category", "sent", "answered", "round_trip_ms": {"min",
// "mean", "max"} or null}]}
QByteArray RunJson(const THistoryRun& Run);
// The text file format of a metrics collector: per device dervik_device_up,
// dervik_device_loss_ratio (when any request went) and
// dervik_device_round_trip_seconds (when any answer came), labelled with
// name and address, and dervik_last_run_timestamp_seconds.
QByteArray RunPrometheus(const THistoryRun& Run);

// The history, one line per device and run, with a header line.
QByteArray HistoryCsv(const std::vector<THistoryRun>& Runs);
// The history as a JSON array of RunJson's documents.
QByteArray HistoryJson(const std::vector<THistoryRun>& Runs);

// Writes Bytes to FileName through a fresh file in its folder, renamed over
// it (ReplaceFileSafely): a link, device, FIFO or folder at FileName is
// refused, and a failed write keeps the old file. The reason when it could
// not, else empty.
QString WriteFileWhole(const QString& FileName, const QByteArray& Bytes);
