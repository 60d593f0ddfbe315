#include "history/history_plot.h"

#include "common/locale_texts.h"

#include <QDateTime>
#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace {

// Room around the plot for the axes' texts, the loss marks and the legend.
constexpr int MarginLeft = 64;
constexpr int MarginRight = 36;  // half a date under the last tick
constexpr int MarginTop = 22;
constexpr int AxisHeight = 22;
constexpr int LegendHeight = 22;
constexpr int LossMarkHeight = 12;
constexpr int TickLabelGap = 10;
constexpr int MarkerRadius = 3;
constexpr int OutlierMarkHeight = 6;
// Runs further apart than this many pixels on average are few enough to be
// drawn as points of their own; a line alone would hide them.
constexpr int SparsePixels = 6;
// How far the pointer may be from a run and still show it.
constexpr int NearestPixels = 10;
// Runs further apart than this many of their usual intervals left a gap
// (the program was not running) that the line does not bridge.
constexpr qint64 JoinedIntervals = 3;

std::optional<double> Milliseconds(const std::optional<std::int64_t>& Microseconds) {
  if (!Microseconds)
    return std::nullopt;
  return double(*Microseconds) / 1000.0;
}

// The median time between neighbouring samples from FromMs to ToMs.
qint64 UsualIntervalMs(const std::vector<THistorySample>& Samples, qint64 FromMs, qint64 ToMs) {
  std::vector<qint64> Intervals;
  for (std::size_t Index = 1; Index < Samples.size(); ++Index)
    if (Samples[Index - 1].TimeMs >= FromMs && Samples[Index].TimeMs <= ToMs)
      Intervals.push_back(Samples[Index].TimeMs - Samples[Index - 1].TimeMs);
  if (Intervals.empty())
    return 0;
  const auto Middle = Intervals.begin() + std::ptrdiff_t(Intervals.size() / 2);
  std::nth_element(Intervals.begin(), Middle, Intervals.end());
  return *Middle;
}

QString TickText(qint64 TimeMs, const TTimeTicks& Ticks, const QLocale& Locale) {
  const QDateTime Time = QDateTime::fromMSecsSinceEpoch(TimeMs);
  // A clock tick at midnight names the day that begins there.
  if (Ticks.Days || Time.time() == QTime(0, 0))
    return Locale.toString(Time.date(), QLocale::ShortFormat);
  return Locale.toString(Time.time(), QLocale::ShortFormat);
}

// The scale for the tops of the band as drawn.
TValueScale ScaleOf(const std::vector<TPlotColumn>& Columns) {
  std::vector<double> Tops;
  for (const TPlotColumn& Column : Columns)
    if (Column.MaxMs)
      Tops.push_back(*Column.MaxMs);
  return RoundTripScale(std::move(Tops));
}

void DrawOutlierMark(QPainter& Painter, int X, int Top) {
  const QPolygon Mark({QPoint(X - OutlierMarkHeight + 1, Top + OutlierMarkHeight), QPoint(X, Top + 1),
                       QPoint(X + OutlierMarkHeight - 1, Top + OutlierMarkHeight)});
  Painter.setPen(QColor::fromRgb(THistoryPlot::OutlierColor));
  Painter.setBrush(QColor::fromRgb(THistoryPlot::OutlierColor));
  Painter.drawPolygon(Mark);
}

}  // namespace

std::vector<THistorySample> SamplesOf(const std::vector<THistoryRun>& Runs, const QString& Device) {
  std::vector<THistorySample> Samples;
  Samples.reserve(Runs.size());
  for (const THistoryRun& Run : Runs)
    for (const THistoryDevice& Entry : Run.Devices) {
      if (Entry.Name != Device)
        continue;
      THistorySample Sample;
      Sample.TimeMs = Run.Time.toMSecsSinceEpoch();
      Sample.Sent = Entry.Sent;
      Sample.Answered = Entry.Answered;
      Sample.MinMs = Milliseconds(Entry.RoundTripMin);
      Sample.MeanMs =
          Entry.RoundTripMean ? std::optional<double>(*Entry.RoundTripMean / 1000.0) : std::nullopt;
      Sample.MaxMs = Milliseconds(Entry.RoundTripMax);
      Sample.Status = Entry.Status;
      Samples.push_back(std::move(Sample));
    }
  return Samples;
}

std::vector<TPlotColumn> PlotColumns(const std::vector<THistorySample>& Samples, qint64 FromMs, qint64 ToMs,
                                     int Columns) {
  std::vector<TPlotColumn> Result;
  if (Columns <= 0 || ToMs <= FromMs)
    return Result;
  const auto First = std::lower_bound(Samples.begin(), Samples.end(), FromMs,
                                      [](const THistorySample& S, qint64 Time) { return S.TimeMs < Time; });
  const double Span = double(ToMs - FromMs);
  int MeanCount = 0;
  double MeanSum = 0;
  for (auto It = First; It != Samples.end() && It->TimeMs <= ToMs; ++It) {
    const int Column = std::min(Columns - 1, int(double(It->TimeMs - FromMs) / Span * Columns));
    if (Result.empty() || Result.back().Column != Column) {
      Result.push_back({});
      Result.back().Column = Column;
      Result.back().FirstMs = It->TimeMs;
      MeanCount = 0;
      MeanSum = 0;
    }
    TPlotColumn& Entry = Result.back();
    Entry.LastMs = It->TimeMs;
    Entry.Sent += It->Sent;
    Entry.Lost += std::max(0, It->Sent - It->Answered);
    if (It->MeanMs) {
      MeanSum += *It->MeanMs;
      Entry.MeanMs = MeanSum / ++MeanCount;
      const double Min = It->MinMs.value_or(*It->MeanMs);
      const double Max = It->MaxMs.value_or(*It->MeanMs);
      Entry.MinMs = std::min(Entry.MinMs.value_or(Min), Min);
      Entry.MaxMs = std::max(Entry.MaxMs.value_or(Max), Max);
    }
  }
  return Result;
}

std::optional<std::size_t> NearestSample(const std::vector<THistorySample>& Samples, qint64 FromMs,
                                         qint64 ToMs, qint64 TimeMs, qint64 MaxDistanceMs) {
  const auto ByTime = [](const THistorySample& S, qint64 Time) { return S.TimeMs < Time; };
  const auto Begin = std::lower_bound(Samples.begin(), Samples.end(), FromMs, ByTime);
  const auto End = std::upper_bound(Begin, Samples.end(), ToMs,
                                    [](qint64 Time, const THistorySample& S) { return Time < S.TimeMs; });
  const auto After = std::lower_bound(Begin, End, TimeMs, ByTime);
  auto Nearest = End;
  if (After != End)
    Nearest = After;
  if (After != Begin && (Nearest == End || TimeMs - (After - 1)->TimeMs <= After->TimeMs - TimeMs))
    Nearest = After - 1;
  if (Nearest == End || std::llabs(Nearest->TimeMs - TimeMs) > MaxDistanceMs)
    return std::nullopt;
  return std::size_t(Nearest - Samples.begin());
}

QString HistoryTimeText(qint64 TimeMs, const QLocale& Locale) {
  // The one form of the window and the reports' "since" lines.
  return FormatDateTimeForDisplay(QDateTime::fromMSecsSinceEpoch(TimeMs), Locale);
}

QString SampleToolTip(const THistorySample& Sample, const QLocale& Locale) {
  QString Text = QStringLiteral("%1  %2").arg(HistoryTimeText(Sample.TimeMs, Locale), Sample.Status);
  if (Sample.MeanMs) {
    const auto Shown = [&](const std::optional<double>& Ms) {
      return FormatRoundTrip(Ms.value_or(*Sample.MeanMs) * 1000.0, Locale);
    };
    Text += QStringLiteral("\nmin %1, mean %2, max %3")
                .arg(Shown(Sample.MinMs), Shown(Sample.MeanMs), Shown(Sample.MaxMs));
  }
  Text += QStringLiteral("\nlost %1 of %2 echoes")
              .arg(std::max(0, Sample.Sent - Sample.Answered))
              .arg(Sample.Sent);
  return Text;
}

THistoryPlot::THistoryPlot(QWidget* Parent) : QWidget(Parent) {
  setObjectName(QStringLiteral("HistoryPlot"));
  setMinimumSize(320, 180);
  setAutoFillBackground(false);
}

void THistoryPlot::SetSamples(const std::vector<THistorySample>* Samples, qint64 FromMs, qint64 ToMs) {
  FSamples = Samples;
  FFromMs = FromMs;
  FToMs = ToMs;
  update();
}

QRect THistoryPlot::PlotArea() const {
  return {MarginLeft, MarginTop, width() - MarginLeft - MarginRight,
          height() - MarginTop - AxisHeight - LegendHeight};
}

QRect THistoryPlot::LegendRect() const {
  return {MarginLeft, height() - LegendHeight, width() - MarginLeft - MarginRight, LegendHeight};
}

int THistoryPlot::XOf(qint64 TimeMs) const {
  const QRect Area = PlotArea();
  if (FToMs <= FFromMs)
    return Area.left();
  const double Fraction = double(TimeMs - FFromMs) / double(FToMs - FFromMs);
  return Area.left() + std::clamp(int(Fraction * Area.width()), 0, Area.width() - 1);
}

std::vector<TPlotColumn> THistoryPlot::Columns() const {
  const QRect Area = PlotArea();
  if (FSamples == nullptr || Area.width() <= 1)
    return {};
  return PlotColumns(*FSamples, FFromMs, FToMs, Area.width());
}

TValueScale THistoryPlot::Scale() const { return ScaleOf(Columns()); }

QString THistoryPlot::ToolTipAt(const QPoint& Position) const {
  const QRect Area = PlotArea();
  if (FSamples == nullptr || FToMs <= FFromMs || Area.width() <= 1 ||
      !Area.adjusted(-NearestPixels, -MarginTop, NearestPixels, 0).contains(Position))
    return QString();
  const double MsPerPixel = double(FToMs - FFromMs) / Area.width();
  const qint64 Time = FFromMs + qint64((Position.x() - Area.left() + 0.5) * MsPerPixel);
  const std::optional<std::size_t> Index =
      NearestSample(*FSamples, FFromMs, FToMs, Time, qint64(NearestPixels * MsPerPixel));
  return Index ? SampleToolTip((*FSamples)[*Index]) : QString();
}

bool THistoryPlot::event(QEvent* Event) {
  if (Event->type() == QEvent::ToolTip) {
    const auto* Help = static_cast<QHelpEvent*>(Event);
    const QString Text = ToolTipAt(Help->pos());
    if (Text.isEmpty()) {
      QToolTip::hideText();
      Event->ignore();
    } else {
      QToolTip::showText(Help->globalPos(), Text, this);
    }
    return true;
  }
  return QWidget::event(Event);
}

void THistoryPlot::DrawTimeAxis(QPainter& Painter, const QRect& Area) const {
  const QLocale Locale;
  // As many ticks as their labels leave room for: dates for days, times
  // (and a date at midnight) for hours and minutes.
  const int DateWidth =
      fontMetrics().horizontalAdvance(Locale.toString(QDate(2026, 12, 28), QLocale::ShortFormat));
  const int ClockWidth = std::max(
      DateWidth, fontMetrics().horizontalAdvance(Locale.toString(QTime(22, 58), QLocale::ShortFormat)));
  const QTimeZone Zone = QTimeZone::systemTimeZone();
  TTimeTicks Ticks = TimeTicks(FFromMs, FToMs, Area.width() / (ClockWidth + TickLabelGap), Zone);
  if (Ticks.Days)
    Ticks = TimeTicks(FFromMs, FToMs, Area.width() / (DateWidth + TickLabelGap), Zone);
  const int LabelWidth = Ticks.Days ? DateWidth : ClockWidth;
  for (const qint64 Tick : Ticks.TimesMs) {
    const int X = XOf(Tick);
    Painter.setPen(QColor(0xe4, 0xe4, 0xe4));
    Painter.drawLine(X, Area.top(), X, Area.bottom());
    Painter.setPen(Qt::black);
    Painter.drawLine(X, Area.bottom(), X, Area.bottom() + 3);
    Painter.drawText(QRect(X - LabelWidth, Area.bottom() + 4, 2 * LabelWidth, AxisHeight - 4),
                     Qt::AlignHCenter | Qt::AlignTop, TickText(Tick, Ticks, Locale));
  }
}

void THistoryPlot::DrawLegend(QPainter& Painter) const {
  const QRect Legend = LegendRect();
  const int Middle = Legend.center().y();
  const int Gap = fontMetrics().horizontalAdvance(QStringLiteral("MM"));
  int X = Legend.left();
  const auto Caption = [&](const QString& Text) {
    X += 20;
    Painter.setPen(Qt::black);
    const int Width = fontMetrics().horizontalAdvance(Text);
    Painter.drawText(QRect(X, Legend.top(), Width, Legend.height()), Qt::AlignLeft | Qt::AlignVCenter, Text);
    X += Width + Gap;
  };
  Painter.fillRect(QRect(X, Middle - 5, 16, 11), QColor::fromRgb(BandColor));
  Caption(QStringLiteral("min\u2013max"));
  Painter.setPen(QPen(QColor::fromRgb(MeanColor), 2));
  Painter.drawLine(X, Middle, X + 15, Middle);
  Caption(QStringLiteral("mean"));
  Painter.fillRect(QRect(X + 6, Middle - 6, 3, 12), QColor::fromRgb(LossColor));
  Caption(QStringLiteral("echoes lost"));
  DrawOutlierMark(Painter, X + 7, Middle - 4);
  Caption(QStringLiteral("beyond the scale"));
}

void THistoryPlot::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  Painter.fillRect(rect(), Qt::white);
  Painter.setRenderHint(QPainter::Antialiasing, false);
  Painter.setFont(font());
  DrawLegend(Painter);
  const QRect Area = PlotArea();
  if (Area.width() <= 1 || Area.height() <= 1)
    return;
  const std::vector<TPlotColumn> Columns = this->Columns();
  const TValueScale Scale = ScaleOf(Columns);
  const double Top = Scale.TopMs();
  // Values beyond the scale stay at its edge; the edge mark says so.
  const auto Y = [&](double Ms) {
    return Area.bottom() - int(std::lround(std::min(Ms, Top) / Top * (Area.height() - 1)));
  };
  const auto X = [&](int Column) { return Area.left() + Column; };

  for (int Line = 0; Line <= Scale.Lines; ++Line) {
    const double Ms = Scale.StepMs * Line;
    Painter.setPen(QColor(0xd8, 0xd8, 0xd8));
    Painter.drawLine(Area.left(), Y(Ms), Area.right(), Y(Ms));
    Painter.setPen(Qt::black);
    Painter.drawText(QRect(0, Y(Ms) - 8, MarginLeft - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                     QStringLiteral("%1 ms").arg(Ms, 0, 'g', 3));
  }
  DrawTimeAxis(Painter, Area);

  // The band and the line, each drawn across runs of neighbouring columns
  // with answers; a run without answer or a long pause stays a gap.
  const qint64 JoinGapMs =
      FSamples != nullptr ? JoinedIntervals * UsualIntervalMs(*FSamples, FFromMs, FToMs) : 0;
  const auto Joined = [&](const TPlotColumn& Left, const TPlotColumn& Right) {
    return Right.MeanMs && (Right.Column == Left.Column + 1 || Right.FirstMs - Left.LastMs <= JoinGapMs);
  };
  const long Answered =
      std::count_if(Columns.begin(), Columns.end(), [](const TPlotColumn& C) { return bool(C.MeanMs); });
  const bool Sparse = Answered * SparsePixels <= Area.width();
  auto Begin = Columns.begin();
  while (Begin != Columns.end()) {
    if (!Begin->MeanMs) {
      ++Begin;
      continue;
    }
    auto End = Begin + 1;
    while (End != Columns.end() && Joined(*(End - 1), *End))
      ++End;
    QPolygon Band;
    for (auto It = Begin; It != End; ++It)
      Band << QPoint(X(It->Column), Y(*It->MaxMs));
    for (auto It = End; It != Begin; --It)
      Band << QPoint(X((It - 1)->Column), Y(*(It - 1)->MinMs));
    Painter.setPen(QColor::fromRgb(BandColor));
    Painter.setBrush(QColor::fromRgb(BandColor));
    Painter.drawPolygon(Band);
    QPolygon Mean;
    for (auto It = Begin; It != End; ++It)
      Mean << QPoint(X(It->Column), Y(*It->MeanMs));
    Painter.setPen(QPen(QColor::fromRgb(MeanColor), 2));
    Painter.setBrush(Qt::NoBrush);
    if (Mean.size() == 1)
      Painter.drawPoint(Mean.front());
    else
      Painter.drawPolyline(Mean);
    // Few runs, or one alone: each a point with its band as a bar, so that
    // a short history shows what it holds.
    if (Sparse || End - Begin == 1)
      for (auto It = Begin; It != End; ++It) {
        const int Column = X(It->Column);
        Painter.fillRect(QRect(Column - 1, Y(*It->MaxMs), 3, Y(*It->MinMs) - Y(*It->MaxMs) + 1),
                         QColor::fromRgb(BandColor));
        Painter.setPen(QColor::fromRgb(MeanColor));
        Painter.setBrush(QColor::fromRgb(MeanColor));
        Painter.drawEllipse(QPoint(Column, Y(*It->MeanMs)), MarkerRadius, MarkerRadius);
      }
    Begin = End;
  }

  for (const TPlotColumn& Column : Columns) {
    if (Column.MaxMs && *Column.MaxMs > Top)
      DrawOutlierMark(Painter, X(Column.Column), Area.top());
    // Lost echoes above the plot: the more lost, the taller the mark.
    if (Column.Lost > 0) {
      const int Height = std::max(3, LossMarkHeight * Column.Lost / std::max(1, Column.Sent));
      Painter.fillRect(QRect(X(Column.Column) - 1, MarginTop - 4 - Height, 3, Height),
                       QColor::fromRgb(LossColor));
    }
  }
  Painter.setPen(Qt::gray);
  Painter.setBrush(Qt::NoBrush);
  Painter.drawRect(Area.adjusted(0, 0, -1, -1));
}
