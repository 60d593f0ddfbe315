// The plot of one device's history: the round trip of every run as a band
// from the fastest to the slowest answer with the mean as a line through
// it, and a mark above the band where echo requests went unanswered.
#pragma once

#include "history/history_axes.h"
#include "history/history_store.h"

#include <QColor>
#include <QLocale>
#include <QString>
#include <QWidget>

#include <cstddef>
#include <optional>
#include <vector>

// One run of the device.  Round trips in milliseconds; absent when no
// answer came.
struct THistorySample {
  qint64 TimeMs = 0;
  int Sent = 0;
  int Answered = 0;
  std::optional<double> MinMs, MeanMs, MaxMs;
  QString Status;
};

// The device's samples of Runs (as THistoryStore::Read gives them for one
// device), oldest first.
std::vector<THistorySample> SamplesOf(const std::vector<THistoryRun>& Runs, const QString& Device);

// The samples of one pixel column: the band of all their answers, the mean
// of their means, and their unanswered requests.
struct TPlotColumn {
  int Column = 0;
  std::optional<double> MinMs, MeanMs, MaxMs;
  int Sent = 0;
  int Lost = 0;
  qint64 FirstMs = 0;  // the times of its first and last sample
  qint64 LastMs = 0;
};

// The samples from FromMs to ToMs gathered into Columns columns, one
// entry per column that holds any; a year of runs costs no more to draw
// than the columns there are.
std::vector<TPlotColumn> PlotColumns(const std::vector<THistorySample>& Samples, qint64 FromMs, qint64 ToMs,
                                     int Columns);

// The sample from FromMs to ToMs whose time is nearest TimeMs (the earlier
// of two as near), when it is no further than MaxDistanceMs.
std::optional<std::size_t> NearestSample(const std::vector<THistorySample>& Samples, qint64 FromMs,
                                         qint64 ToMs, qint64 TimeMs, qint64 MaxDistanceMs);

// The one form of a time in the history window: the locale's short date
// and time.
QString HistoryTimeText(qint64 TimeMs, const QLocale& Locale = QLocale());

// What the pointer shows over a run: its time and status, the least, mean
// and most round trip, and how many echoes were lost.
QString SampleToolTip(const THistorySample& Sample, const QLocale& Locale = QLocale());

class THistoryPlot : public QWidget {
public:
  // Drawn opaque and without smoothing, so that a pixel has one of them.
  static constexpr QRgb BandColor = 0xffa8c8ee;
  static constexpr QRgb MeanColor = 0xff1450aa;
  static constexpr QRgb LossColor = 0xffdc1e1e;
  static constexpr QRgb OutlierColor = 0xffe07800;

  explicit THistoryPlot(QWidget* Parent = nullptr);
  // Samples stay the caller's and must live while the plot shows them.
  void SetSamples(const std::vector<THistorySample>* Samples, qint64 FromMs, qint64 ToMs);
  QSize sizeHint() const override { return {640, 320}; }

  // Where the runs are drawn, the legend below it, and the pixel column of
  // a time.
  QRect PlotArea() const;
  QRect LegendRect() const;
  int XOf(qint64 TimeMs) const;
  // The scale the present samples are drawn on.
  TValueScale Scale() const;
  // The tooltip at Position in the plot: the run nearest the pointer, or
  // empty when none is near.
  QString ToolTipAt(const QPoint& Position) const;

protected:
  bool event(QEvent* Event) override;
  void paintEvent(QPaintEvent* Event) override;

private:
  std::vector<TPlotColumn> Columns() const;
  void DrawTimeAxis(QPainter& Painter, const QRect& Area) const;
  void DrawLegend(QPainter& Painter) const;

  const std::vector<THistorySample>* FSamples = nullptr;
  qint64 FFromMs = 0;
  qint64 FToMs = 0;
};
