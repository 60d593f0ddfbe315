#include "history_plot.h"

#include <QDateTime>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

// Room around the plot for the axes' texts and the loss marks.
constexpr int MarginLeft = 64;
constexpr int MarginRight = 28;  // half a date under the last tick
constexpr int MarginTop = 22;
constexpr int MarginBottom = 26;
constexpr int LossMarkHeight = 12;
constexpr int GridLines = 4;

std::optional<double> Milliseconds(const std::optional<std::int64_t>& Microseconds) {
  if (!Microseconds)
    return std::nullopt;
  return double(*Microseconds) / 1000.0;
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
      Sample.MeanMs = Entry.RoundTripMean ? std::optional<double>(*Entry.RoundTripMean / 1000.0) : std::nullopt;
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
      MeanCount = 0;
      MeanSum = 0;
    }
    TPlotColumn& Entry = Result.back();
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

THistoryPlot::THistoryPlot(QWidget* Parent) : QWidget(Parent) {
  setObjectName(QStringLiteral("HistoryPlot"));
  setMinimumSize(320, 160);
  setAutoFillBackground(false);
}

void THistoryPlot::SetSamples(const std::vector<THistorySample>* Samples, qint64 FromMs, qint64 ToMs) {
  FSamples = Samples;
  FFromMs = FromMs;
  FToMs = ToMs;
  update();
}

void THistoryPlot::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  Painter.fillRect(rect(), Qt::white);
  const QRect Area(MarginLeft, MarginTop, width() - MarginLeft - MarginRight, height() - MarginTop - MarginBottom);
  if (Area.width() <= 1 || Area.height() <= 1)
    return;
  const std::vector<TPlotColumn> Columns =
      FSamples != nullptr ? PlotColumns(*FSamples, FFromMs, FToMs, Area.width()) : std::vector<TPlotColumn>();

  double Top = 0;
  for (const TPlotColumn& Column : Columns)
    Top = std::max(Top, Column.MaxMs.value_or(0));
  // A scale of round steps with a little room above the slowest answer.
  const double Step = Top > 0 ? std::pow(10.0, std::floor(std::log10(Top * 1.1 / GridLines))) : 0.25;
  const double Scale = std::max(Step * GridLines, std::ceil(Top * 1.1 / Step / GridLines) * Step * GridLines);
  const auto Y = [&](double Ms) { return Area.bottom() - int(std::lround(Ms / Scale * (Area.height() - 1))); };
  const auto X = [&](int Column) { return Area.left() + Column; };

  Painter.setPen(QColor(0xd0, 0xd0, 0xd0));
  Painter.setFont(font());
  for (int Line = 0; Line <= GridLines; ++Line) {
    const double Ms = Scale * Line / GridLines;
    Painter.setPen(QColor(0xd8, 0xd8, 0xd8));
    Painter.drawLine(Area.left(), Y(Ms), Area.right(), Y(Ms));
    Painter.setPen(Qt::black);
    Painter.drawText(QRect(0, Y(Ms) - 8, MarginLeft - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                     QStringLiteral("%1 ms").arg(Ms, 0, 'g', 3));
  }
  const QString Format = FToMs - FFromMs > 2LL * 24 * 3600 * 1000 ? QStringLiteral("dd.MM.") : QStringLiteral("HH:mm");
  for (int Tick = 0; Tick <= GridLines; ++Tick) {
    const int TickX = Area.left() + (Area.width() - 1) * Tick / GridLines;
    const QString Text =
        QDateTime::fromMSecsSinceEpoch(FFromMs + (FToMs - FFromMs) * Tick / GridLines).toString(Format);
    Painter.drawText(QRect(TickX - 40, Area.bottom() + 4, 80, MarginBottom - 4), Qt::AlignHCenter | Qt::AlignTop,
                     Text);
  }

  // The band and the line, each drawn across runs of neighbouring columns
  // with answers; a gap stays a gap.
  Painter.setRenderHint(QPainter::Antialiasing, false);
  auto Begin = Columns.begin();
  while (Begin != Columns.end()) {
    if (!Begin->MeanMs) {
      ++Begin;
      continue;
    }
    auto End = Begin + 1;
    while (End != Columns.end() && End->MeanMs && End->Column == (End - 1)->Column + 1)
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
    Begin = End;
  }

  // Lost echoes above the plot: the more lost, the taller the mark.
  for (const TPlotColumn& Column : Columns) {
    if (Column.Lost <= 0)
      continue;
    const int Height = std::max(3, LossMarkHeight * Column.Lost / std::max(1, Column.Sent));
    Painter.fillRect(QRect(X(Column.Column) - 1, MarginTop - 4 - Height, 3, Height), QColor::fromRgb(LossColor));
  }
  Painter.setPen(Qt::gray);
  Painter.setBrush(Qt::NoBrush);
  Painter.drawRect(Area.adjusted(0, 0, -1, -1));
}
