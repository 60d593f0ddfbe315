// The history of one device in a window of its own: the plot of its round
// trips and lost echoes over the last day, week or month, and beside it
// the times its status changed.
#pragma once

#include "history_plot.h"

#include <QDateTime>
#include <QWidget>

#include <vector>

class QComboBox;
class QLabel;
class QListWidget;

class THistoryWindow : public QWidget {
public:
  // The periods the window offers, the first one shown at the start.
  enum TPeriod : int { pDay, pWeek, pMonth };

  // Reads the device's runs of the last month from DatabaseFile once; Now
  // is the end of every period.
  THistoryWindow(const QString& DatabaseFile, const QString& DeviceName, const QDateTime& Now,
                 QWidget* Parent = nullptr);

  void SetPeriod(TPeriod Period);
  TPeriod Period() const { return FPeriod; }
  THistoryPlot* Plot() const { return FPlot; }
  // "2024-05-01 12:05  OK", one line for the first run of the period and
  // one for every run whose status differs from the one before.
  QStringList StatusChanges() const;
  // Why nothing is shown (nothing stored, not readable), or empty.
  QString Notice() const;
  const std::vector<THistorySample>& Samples() const { return FSamples; }

private:
  QDateTime FNow;
  TPeriod FPeriod = pDay;
  std::vector<THistorySample> FSamples;
  QString FReadProblem;
  QString FDeviceName;
  QComboBox* FPeriodBox = nullptr;
  THistoryPlot* FPlot = nullptr;
  QListWidget* FChanges = nullptr;
  QLabel* FNotice = nullptr;
};
