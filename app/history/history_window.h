// The history of one device in a window of its own: the plot of its round
// trips and lost echoes over the last hour, day, week or month or all that
// is kept, and beside it the times its status changed.
#pragma once

#include "history/history_plot.h"

#include <QDateTime>
#include <QWidget>

#include <utility>
#include <vector>

class QComboBox;
class QLabel;
class QListWidget;

class THistoryWindow : public QWidget {
public:
  // The periods the window offers, in the order of its list.
  enum TPeriod : int { pHour, pDay, pWeek, pMonth, pAll };

  // Reads every kept run of the device from DatabaseFile once; Now is the
  // end of every period but the last, which spans the runs kept.  Starts
  // with all runs when every one lies within the last hour (a history only
  // just begun would be a sliver at the edge of any fixed period), else
  // with the last day.
  THistoryWindow(const QString& DatabaseFile, const QString& DeviceName, const QDateTime& Now,
                 QWidget* Parent = nullptr);

  void SetPeriod(TPeriod Period);
  TPeriod Period() const { return FPeriod; }
  // The times the plot spans for the period shown.
  std::pair<qint64, qint64> Range() const { return RangeOf(FPeriod); }
  THistoryPlot* Plot() const { return FPlot; }
  QListWidget* ChangeList() const { return FChanges; }
  // "<the locale's short date and time>  OK", one line for every run of
  // the period whose status differs from the run before it (also when that
  // one lies before the period); the first run kept changed nothing.
  QStringList StatusChanges() const;
  // Why nothing is shown (nothing stored, not readable), or empty.
  QString Notice() const;
  const std::vector<THistorySample>& Samples() const { return FSamples; }

private:
  std::pair<qint64, qint64> RangeOf(TPeriod Period) const;
  void FitChangeList();

  QDateTime FNow;
  TPeriod FPeriod = pDay;
  std::vector<THistorySample> FSamples;
  QString FReadProblem;
  QString FDeviceName;
  QComboBox* FPeriodBox = nullptr;
  THistoryPlot* FPlot = nullptr;
  QLabel* FChangesCaption = nullptr;
  QListWidget* FChanges = nullptr;
  QLabel* FNotice = nullptr;
};
