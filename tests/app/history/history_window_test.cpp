// The history window drawn from a stored history: the band, the mean line
// and the loss marks where they belong, a scale that a single slow answer
// does not flatten, the legend and the tooltip of the run under the
// pointer, the status changes beside them, and the main window's ways to
// open it.  The axes' choices are checked as tables without a window.
#include "window/form_main.h"
#include "history/history_store.h"
#include "history/history_window.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QHelpEvent>
#include <QImage>
#include <QListWidget>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QToolTip>
#include <QTreeWidget>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

namespace {

const QDateTime Now = QDateTime::currentDateTime();
constexpr qint64 FiveMinutes = 300;

// Texts as an English (US) user reads them, whatever the machine's locale.
struct TEnglishLocale {
  TEnglishLocale() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
  ~TEnglishLocale() { QLocale::setDefault(QLocale::c()); }
};

// A day of five-minute runs of device "A": round trips that rise and fall,
// one echo of four lost at the runs in LostOne, none answered in NoAnswer.
struct TDay {
  std::set<int> LostOne, NoAnswer;
  QString SilentStatus = QStringLiteral("No connection at all");
};

QDateTime DayRunTime(int Index) { return Now.addSecs(-FiveMinutes * (287 - Index) - 30); }

void WriteDay(const QString &File, const TDay &Day) {
  THistoryStore Store(File);
  for (int Index = 0; Index < 288; ++Index) {
    const bool Silent = Day.NoAnswer.count(Index) > 0;
    const int Answered = Silent ? 0 : Day.LostOne.count(Index) > 0 ? 3 : 4;
    THistoryDevice A{QStringLiteral("A"),
                     QStringLiteral("127.0.0.1"),
                     Silent ? Day.SilentStatus : QStringLiteral("OK"),
                     Silent ? 0 : 2,
                     4,
                     Answered};
    if (!Silent) {
      const std::int64_t Base = 2000 + (Index % 48) * 100;
      A.RoundTripMin = Base;
      A.RoundTripMean = Base + 400.0;
      A.RoundTripMax = Base + 1200;
    }
    const THistoryRun Run{DayRunTime(Index), QStringLiteral("x.ini"), QString(), {A}};
    ASSERT_TRUE(Store.Write(Run, 90, Now).Written);
  }
}

// One run of "A" of its own: when, what it got (microseconds) and its status.
struct TRun {
  QDateTime Time;
  int Sent, Answered;
  std::int64_t Min, Mean, Max;
  QString Status = QStringLiteral("OK");
};

void WriteRuns(const QString &File, const std::vector<TRun> &Runs) {
  THistoryStore Store(File);
  for (const TRun &Run : Runs) {
    THistoryDevice A{QStringLiteral("A"), QStringLiteral("127.0.0.1"), Run.Status, 2, Run.Sent,
                     Run.Answered};
    A.RoundTripMin = Run.Min;
    A.RoundTripMean = double(Run.Mean);
    A.RoundTripMax = Run.Max;
    ASSERT_TRUE(Store.Write({Run.Time, QStringLiteral("x.ini"), QString(), {A}}, 90, Now).Written);
  }
}

int CountColor(const QImage &Image, QRgb Color, const QRect &Within) {
  int Count = 0;
  for (int Y = Within.top(); Y <= Within.bottom(); ++Y)
    for (int X = Within.left(); X <= Within.right(); ++X)
      Count += Image.pixel(X, Y) == Color ? 1 : 0;
  return Count;
}

QImage Drawn(THistoryWindow &Window) {
  THistoryPlot *Plot = Window.Plot();
  Plot->resize(760, 320);
  return Plot->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The lines one to a line, for comparisons that print what differs.
std::string Text(const QStringList &Lines) { return Lines.join(u'\n').toStdString(); }

// The plot without its legend, whose swatches have every colour.
QRect AboveLegend(const THistoryWindow &Window) {
  return QRect(0, 0, Window.Plot()->width(), Window.Plot()->LegendRect().top());
}

// The pixels of Color within Within, as points.
std::vector<QPoint> PixelsOf(const QImage &Image, QRgb Color, const QRect &Within) {
  std::vector<QPoint> Points;
  for (int Y = Within.top(); Y <= Within.bottom(); ++Y)
    for (int X = Within.left(); X <= Within.right(); ++X)
      if (Image.pixel(X, Y) == Color) Points.emplace_back(X, Y);
  return Points;
}

// The scale from the round trips drawn: round steps, room above the
// slowest, and a single slow answer left beyond the top instead of setting
// it.
TEST(HistoryAxes, RoundTripScale) {
  std::vector<double> DayWithOneOutlier(287, 1.3);
  DayWithOneOutlier.push_back(62);
  std::vector<double> RisingDay;
  for (int Index = 0; Index < 288; ++Index) RisingDay.push_back(2.0 + (Index % 48) * 0.1 + 1.2);
  const struct {
    const char *What;
    std::vector<double> Values;
    TValueScale Scale;
    int Beyond;  // values above the top
  } Cases[] = {
      {"nothing drawn: 1 ms", {}, {0.25, 4}, 0},
      {"steady around 1 ms", {0.9, 1.0, 1.1, 1.3}, {0.5, 3}, 0},
      {"a day at 1.3 ms with one answer of 62 ms", DayWithOneOutlier, {0.5, 4}, 1},
      {"two runs, one far off", {1.0, 62.0}, {0.5, 3}, 1},
      {"slow but steady: within half again, all on the scale", {40.0, 55.0}, {20, 4}, 0},
      {"a day rising and falling", RisingDay, {2.5, 4}, 0},
      {"loopback round trips", {0.03, 0.05}, {0.02, 3}, 0},
      {"not a number is left out", {0.9, std::nan(""), 1.3}, {0.5, 3}, 0},
  };
  for (const auto &Case : Cases) {
    const TValueScale Scale = RoundTripScale(Case.Values);
    EXPECT_NEAR(Scale.StepMs, Case.Scale.StepMs, 1e-9) << Case.What;
    EXPECT_EQ(Scale.Lines, Case.Scale.Lines) << Case.What;
    EXPECT_EQ(std::count_if(Case.Values.begin(), Case.Values.end(),
                            [&](double V) { return V > Scale.TopMs(); }),
              Case.Beyond)
        << Case.What;
  }
}

// Ticks at whole days for a week, at whole hours for a day, at whole
// minutes for an hour, in the zone's clock; as many as the plot has room
// for, at a steady step.
TEST(HistoryAxes, TimeTicks) {
  constexpr qint64 Minute = 60 * 1000, Hour = 60 * Minute, Day = 24 * Hour;
  const QTimeZone Berlin(3600), HalfHour(19800), West(-5 * 3600);
  const auto At = [](const QTimeZone &Zone, int Day, int Hour, int Minute) {
    return QDateTime(QDate(2026, 12, Day), QTime(Hour, Minute), Zone).toMSecsSinceEpoch();
  };
  const struct {
    const char *What;
    QTimeZone Zone;
    qint64 From, To;
    int MaxTicks;
    qint64 Step;
    bool Days;
    std::size_t Count;
  } Cases[] = {
      {"a week: every day", Berlin, At(Berlin, 4, 9, 25), At(Berlin, 11, 9, 25), 9, Day, true, 7},
      {"a week on a narrow plot: every other day", Berlin, At(Berlin, 4, 9, 25),
       At(Berlin, 11, 9, 25), 4, 2 * Day, true, 4},
      {"a day: every three hours", Berlin, At(Berlin, 10, 9, 25), At(Berlin, 11, 9, 25), 9,
       3 * Hour, false, 8},
      {"a day on a wide plot: every two hours", West, At(West, 10, 9, 25), At(West, 11, 9, 25), 13,
       2 * Hour, false, 12},
      {"a day in a zone half an hour off", HalfHour, At(HalfHour, 10, 9, 25),
       At(HalfHour, 11, 9, 25), 9, 3 * Hour, false, 8},
      {"an hour: every ten minutes", Berlin, At(Berlin, 10, 9, 25), At(Berlin, 10, 10, 25), 9,
       10 * Minute, false, 6},
      {"a month: every Monday", Berlin, At(Berlin, 1, 9, 25), At(Berlin, 31, 9, 25), 9, 7 * Day,
       true, 4},
      {"a year kept: weeks by the handful", West, At(West, 1, 0, 0) - 365 * Day, At(West, 1, 0, 0),
       8, 56 * Day, true, 7},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.What);
    const TTimeTicks Ticks = TimeTicks(Case.From, Case.To, Case.MaxTicks, Case.Zone);
    EXPECT_EQ(Ticks.StepMs, Case.Step);
    EXPECT_EQ(Ticks.Days, Case.Days);
    EXPECT_EQ(Ticks.TimesMs.size(), Case.Count);
    EXPECT_LE(Ticks.TimesMs.size(), std::size_t(Case.MaxTicks));
    for (std::size_t Index = 0; Index < Ticks.TimesMs.size(); ++Index) {
      const qint64 Time = Ticks.TimesMs[Index];
      EXPECT_GE(Time, Case.From);
      EXPECT_LE(Time, Case.To);
      if (Index > 0) {
        EXPECT_EQ(Time - Ticks.TimesMs[Index - 1], Case.Step) << Index;
      }
      const QDateTime Local = QDateTime::fromMSecsSinceEpoch(Time, Case.Zone);
      const qint64 OfDay = Local.time().msecsSinceStartOfDay();
      if (Case.Days) {
        EXPECT_EQ(OfDay, 0) << Local.toString(Qt::ISODate).toStdString();
        if (Case.Step == 7 * Day) {
          EXPECT_EQ(Local.date().dayOfWeek(), 1) << Local.toString(Qt::ISODate).toStdString();
        }
      } else {
        EXPECT_EQ(OfDay % Case.Step, 0) << Local.toString(Qt::ISODate).toStdString();
      }
    }
    // No whole step was left out before the first tick or after the last.
    ASSERT_FALSE(Ticks.TimesMs.empty());
    EXPECT_LT(Ticks.TimesMs.front() - Case.From, Case.Step);
    EXPECT_LT(Case.To - Ticks.TimesMs.back(), Case.Step);
  }
}

// The run nearest the pointer's time, within the range shown and within
// reach; of two as near, the earlier.
TEST(HistoryPlot, NearestSample) {
  std::vector<THistorySample> Samples(4);
  const qint64 Times[] = {1000, 2000, 4000, 9000};
  for (std::size_t Index = 0; Index < Samples.size(); ++Index) Samples[Index].TimeMs = Times[Index];
  const struct {
    const char *What;
    qint64 From, To, Time, Reach;
    std::optional<std::size_t> Nearest;
  } Cases[] = {
      {"on a run", 1000, 9000, 1000, 100, 0},
      {"nearer the first", 1000, 9000, 1400, 1000, 0},
      {"halfway: the earlier", 1000, 9000, 1500, 1000, 0},
      {"nearer the second", 1000, 9000, 1600, 1000, 1},
      {"nearer the later of a wide pair", 1000, 9000, 3100, 1000, 2},
      {"none within reach", 1000, 9000, 6500, 1000, std::nullopt},
      {"after the last", 1000, 9000, 20000, 100000, 3},
      {"before the first", 1000, 9000, 0, 5000, 0},
      {"a run before the range is not shown", 1500, 8000, 1000, 5000, 1},
      {"nor one after it", 1500, 8000, 9000, 5000, 2},
      {"a range without runs", 5000, 8000, 4000, 5000, std::nullopt},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(NearestSample(Samples, Case.From, Case.To, Case.Time, Case.Reach), Case.Nearest)
        << Case.What;
  EXPECT_EQ(NearestSample({}, 0, 9000, 1000, 1000), std::nullopt);
}

TEST(HistoryWindow, PlotsBandMeanLineAndLossMarks) {
  testsupport::TempFolder Dir;
  const QString File = Dir.file(QStringLiteral("h.sqlite"));
  const std::set<int> Lossy{40, 41, 200, 100, 101, 102};
  WriteDay(File, {{40, 41, 200}, {100, 101, 102}});
  THistoryWindow Window(File, QStringLiteral("A"), Now);
  ASSERT_EQ(Window.Samples().size(), 288U);
  EXPECT_EQ(Window.Notice(), QString());
  const QImage Image = Drawn(Window);
  const QRect Whole = Image.rect();
  EXPECT_GT(CountColor(Image, THistoryPlot::BandColor, Whole), 5000);
  EXPECT_GT(CountColor(Image, THistoryPlot::MeanColor, Whole), 600);

  // A loss mark above the columns of the runs with losses, and only there.
  const QRect Area = Window.Plot()->PlotArea();
  std::set<int> Marked;
  for (int X = 0; X < Image.width(); ++X)
    if (CountColor(Image, THistoryPlot::LossColor, QRect(X, 0, 1, Area.top())) > 0)
      Marked.insert(X);
  const int Width = Area.width();
  const auto ColumnOf = [&](int Index) {
    return Window.Plot()->XOf(DayRunTime(Index).toMSecsSinceEpoch());
  };
  for (const int Index : Lossy) EXPECT_TRUE(Marked.count(ColumnOf(Index)) > 0) << Index;
  for (const int X : Marked) {
    const bool Near = std::any_of(Lossy.begin(), Lossy.end(),
                                  [&](int Index) { return std::abs(ColumnOf(Index) - X) <= 1; });
    EXPECT_TRUE(Near) << "a loss mark at " << X;
  }
  // The runs without answer leave a gap in band and line.
  const int Gap = ColumnOf(101);
  EXPECT_EQ(CountColor(Image, THistoryPlot::BandColor, QRect(Gap, Area.top(), 1, Area.height())),
            0);
  EXPECT_EQ(CountColor(Image, THistoryPlot::MeanColor, QRect(Gap, Area.top(), 1, Area.height())),
            0);

  // The mean lies inside the band in every column.
  for (const TPlotColumn &Column :
       PlotColumns(Window.Samples(), Now.toMSecsSinceEpoch() - 86400000LL, Now.toMSecsSinceEpoch(),
                   Width)) {
    if (!Column.MeanMs) continue;
    EXPECT_LE(*Column.MinMs, *Column.MeanMs);
    EXPECT_LE(*Column.MeanMs, *Column.MaxMs);
  }

  // The real changes only, at the runs they happened, in the locale's
  // short date and time; the first run changed nothing.
  const QStringList Changes = Window.StatusChanges();
  const auto TimeOf = [](int Index) {
    return HistoryTimeText(DayRunTime(Index).toMSecsSinceEpoch());
  };
  EXPECT_EQ(Text(Changes), Text(QStringList{TimeOf(100) + QStringLiteral("  No connection at all"),
                                            TimeOf(103) + QStringLiteral("  OK")}));
}

TEST(HistoryWindow, NoLossNoMarkAndAnEmptyHistorySaysSo) {
  testsupport::TempFolder Dir;
  const QString File = Dir.file(QStringLiteral("h.sqlite"));
  WriteDay(File, {});
  THistoryWindow Clean(File, QStringLiteral("A"), Now);
  EXPECT_EQ(CountColor(Drawn(Clean), THistoryPlot::LossColor, AboveLegend(Clean)), 0);

  THistoryWindow Other(File, QStringLiteral("B"), Now);
  EXPECT_EQ(Other.Notice(), QStringLiteral("No runs of B stored for this period"));
  const QImage Empty = Drawn(Other);
  EXPECT_EQ(CountColor(Empty, THistoryPlot::BandColor, AboveLegend(Other)), 0);
  // A month back the runs of the day are still there, and still changed
  // nothing; an hour holds a few of them.
  Clean.SetPeriod(THistoryWindow::pMonth);
  EXPECT_EQ(Clean.Notice(), QString());
  EXPECT_EQ(Text(Clean.StatusChanges()), "");
  Clean.SetPeriod(THistoryWindow::pHour);
  EXPECT_EQ(Clean.Notice(), QString());
  EXPECT_EQ(Clean.Period(), THistoryWindow::pHour);
}

// A day of answers around 1 ms with one of 62 ms: the scale is set by the
// many, the mean line sits well up in the plot, and the one slow answer is
// a mark at the top edge above its run, with its value under the pointer.
TEST(HistoryWindow, OneSlowAnswerLeavesTheOthersReadable) {
  const TEnglishLocale English;
  testsupport::TempFolder Dir;
  const QString File = Dir.file(QStringLiteral("h.sqlite"));
  constexpr int Slow = 150;
  std::vector<TRun> Runs;
  for (int Index = 0; Index < 288; ++Index)
    Runs.push_back(Index == Slow ? TRun{DayRunTime(Index), 4, 4, 900, 16200, 62000}
                                 : TRun{DayRunTime(Index), 4, 4, 800 + Index % 3 * 50, 1000, 1300});
  WriteRuns(File, Runs);
  THistoryWindow Window(File, QStringLiteral("A"), Now);
  ASSERT_EQ(Window.Period(), THistoryWindow::pDay);
  const QImage Image = Drawn(Window);
  THistoryPlot *Plot = Window.Plot();
  const QRect Area = Plot->PlotArea();
  const int SlowX = Plot->XOf(DayRunTime(Slow).toMSecsSinceEpoch());

  std::vector<QPoint> Mean;
  for (const QPoint &Point : PixelsOf(Image, THistoryPlot::MeanColor, Area))
    if (std::abs(Point.x() - SlowX) > 3) Mean.push_back(Point);
  ASSERT_GT(Mean.size(), std::size_t(Area.width()));
  const int Lowest = std::max_element(Mean.begin(), Mean.end(), [](QPoint A, QPoint B) {
                       return A.y() < B.y();
                     })->y();
  EXPECT_LT(Lowest, Area.bottom() - Area.height() / 3)
      << "the 1 ms line is flattened at the bottom";

  const std::vector<QPoint> Marks = PixelsOf(Image, THistoryPlot::OutlierColor, Area);
  ASSERT_FALSE(Marks.empty()) << "no mark for the answer beyond the scale";
  for (const QPoint &Point : Marks) {
    EXPECT_LE(std::abs(Point.x() - SlowX), 6) << Point.x();
    EXPECT_LE(Point.y(), Area.top() + 8) << Point.y();
  }
  EXPECT_LT(Plot->Scale().TopMs(), 62.0);
  const QString Tip = Plot->ToolTipAt(QPoint(SlowX, Area.top() + 4));
  EXPECT_TRUE(Tip.contains(QStringLiteral("max 62.0 ms"))) << Tip.toStdString();
}

// The legend names the band, the mean line, the loss marks and the edge
// marks with their colours, also over an empty plot.
TEST(HistoryWindow, LegendShowsEveryKindOfMark) {
  testsupport::TempFolder Dir;
  THistoryWindow Window(Dir.file(QStringLiteral("none.sqlite")), QStringLiteral("A"), Now);
  const QImage Image = Drawn(Window);
  const QRect Legend = Window.Plot()->LegendRect();
  EXPECT_FALSE(Legend.intersects(Window.Plot()->PlotArea()));
  for (const QRgb Color : {THistoryPlot::BandColor, THistoryPlot::MeanColor,
                           THistoryPlot::LossColor, THistoryPlot::OutlierColor}) {
    EXPECT_GT(CountColor(Image, Color, Legend), 8) << std::hex << Color;
    EXPECT_EQ(CountColor(Image, Color, QRect(0, 0, Image.width(), Legend.top())), 0)
        << std::hex << Color;
  }
  // Its captions are drawn: dark pixels right of each swatch.
  int Dark = 0;
  for (int Y = Legend.top(); Y <= Legend.bottom(); ++Y)
    for (int X = Legend.left(); X <= Legend.right(); ++X)
      Dark += qGray(Image.pixel(X, Y)) < 96 && Image.pixel(X, Y) != THistoryPlot::MeanColor ? 1 : 0;
  EXPECT_GT(Dark, 150);
}

// A history of a few minutes: the window starts with all of it, spread
// over the plot; there and over the last hour every run is a point of its
// own joined by the line, and the pointer over a run shows its time, round
// trips and losses.
TEST(HistoryWindow, AShortHistoryShowsItsRunsAndTheirValues) {
  const TEnglishLocale English;
  testsupport::TempFolder Dir;
  const QString File = Dir.file(QStringLiteral("h.sqlite"));
  std::vector<TRun> Runs;
  for (int Minute = 5; Minute >= 1; --Minute)
    Runs.push_back({Now.addSecs(-60 * Minute), 4, Minute == 3 ? 3 : 4, 800, 1200, 2000});
  WriteRuns(File, Runs);
  THistoryWindow Window(File, QStringLiteral("A"), Now);
  Window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
  EXPECT_EQ(Window.Period(), THistoryWindow::pAll);
  QStringList Offered;
  for (int Index = 0;
       Index < Window.findChild<QComboBox *>(QStringLiteral("HistoryPeriod"))->count(); ++Index)
    Offered.append(Window.findChild<QComboBox *>(QStringLiteral("HistoryPeriod"))->itemText(Index));
  EXPECT_EQ(Text(Offered), "Last hour\nLast day\nLast week\nLast month\nAll");

  for (const THistoryWindow::TPeriod Period : {THistoryWindow::pHour, THistoryWindow::pAll}) {
    SCOPED_TRACE(int(Period));
    Window.SetPeriod(Period);
    const QImage Image = Drawn(Window);
    THistoryPlot *Plot = Window.Plot();
    const QRect Area = Plot->PlotArea();
    std::vector<int> Xs;
    for (const TRun &Run : Runs) Xs.push_back(Plot->XOf(Run.Time.toMSecsSinceEpoch()));
    // A point at each run, the line between them.
    for (const int X : Xs)
      EXPECT_GE(
          CountColor(Image, THistoryPlot::MeanColor, QRect(X - 3, Area.top(), 7, Area.height())),
          20)
          << X;
    EXPECT_GT(CountColor(Image, THistoryPlot::MeanColor,
                         QRect(Xs[0], Area.top(), Xs[4] - Xs[0], Area.height())),
              Xs[4] - Xs[0]);
    if (Period == THistoryWindow::pAll) {
      const auto [From, To] = Window.Range();
      EXPECT_LE(From, Runs.front().Time.toMSecsSinceEpoch());
      EXPECT_GE(To, Runs.back().Time.toMSecsSinceEpoch());
      EXPECT_GT(Xs[4] - Xs[0], Area.width() * 3 / 4) << "the runs spread over the plot";
    }

    const QPoint AtThird(Xs[2] + 2, Area.center().y());
    const QString Expected =
        HistoryTimeText(Runs[2].Time.toMSecsSinceEpoch()) +
        QStringLiteral("  OK\nmin 0.80 ms, mean 1.20 ms, max 2.00 ms\nlost 1 of 4 echoes");
    EXPECT_EQ(Plot->ToolTipAt(AtThird).toStdString(), Expected.toStdString());
    QHelpEvent Help(QEvent::ToolTip, AtThird, Plot->mapToGlobal(AtThird));
    QApplication::sendEvent(Plot, &Help);
    EXPECT_EQ(QToolTip::text().toStdString(), Expected.toStdString());
    QToolTip::hideText();
  }
  // Far from every run: no tooltip.
  Window.SetPeriod(THistoryWindow::pDay);
  EXPECT_EQ(
      Window.Plot()->ToolTipAt(Window.Plot()->PlotArea().topLeft() + QPoint(5, 20)).toStdString(),
      "");
}

// The change list at the window's default size: only the runs whose status
// changed, each line whole without scrolling sideways.
TEST(HistoryWindow, ChangeListFitsTheDefaultSize) {
  const TEnglishLocale English;
  testsupport::TempFolder Dir;
  const QString File = Dir.file(QStringLiteral("h.sqlite"));
  WriteDay(File, {{}, {10, 11, 200}, QStringLiteral("Unable to lookup host address")});
  THistoryWindow Window(File, QStringLiteral("A"), Now);
  Window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
  QListWidget *List = Window.ChangeList();
  ASSERT_EQ(List->count(), 4);
  EXPECT_FALSE(List->item(0)->text().startsWith(HistoryTimeText(DayRunTime(0).toMSecsSinceEpoch())))
      << "the first run is no change";
  EXPECT_EQ(List->item(0)->text().toStdString(),
            (HistoryTimeText(DayRunTime(10).toMSecsSinceEpoch()) +
             QStringLiteral("  Unable to lookup host address"))
                .toStdString());
  const int Margin = List->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, List) + 1;
  for (int Row = 0; Row < List->count(); ++Row) {
    const QString Text = List->item(Row)->text();
    EXPECT_LE(List->fontMetrics().horizontalAdvance(Text) + 2 * Margin, List->viewport()->width())
        << Text.toStdString();
  }
  EXPECT_FALSE(List->horizontalScrollBar()->isVisible());
}

// The main window opens the history of a row by a double click, and says
// why not when no history is kept.
TEST(HistoryWindow, OpensFromTheMainWindow) {
  testsupport::TempFolder Dir;
  const QString Exe = Dir.file(QStringLiteral("dervik"));
  const struct {
    const char *Name;
    const char *Settings;
    bool Opens;
  } Rows[] = {{"kept", "[Devices]\nA=127.0.0.1\n", true},
              {"keep 0", "[History]\nKeep=0\n[Devices]\nA=127.0.0.1\n", false}};
  for (const auto &Row : Rows) {
    SCOPED_TRACE(Row.Name);
    QFile Ini(Exe + QStringLiteral(".ini"));
    ASSERT_TRUE(Ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    Ini.write(Row.Settings);
    Ini.close();
    TFormMain Form(TFormMain::TStartup{Exe, {}, QString(), Dir.file(QStringLiteral("data"))});
    ASSERT_EQ(Form.ListViewResults->topLevelItemCount(), 1);
    WriteDay(Form.HistoryDatabase(), {});
    QTreeWidgetItem *Row0 = Form.ListViewResults->topLevelItem(0);
    emit Form.ListViewResults->itemDoubleClicked(Row0, 0);
    // The window class has no meta-object of its own: found by its name.
    QList<THistoryWindow *> Windows;
    for (QWidget *Child :
         Form.findChildren<QWidget *>(QStringLiteral("HistoryWindow"), Qt::FindDirectChildrenOnly))
      Windows.append(static_cast<THistoryWindow *>(Child));
    if (Row.Opens) {
      ASSERT_EQ(Windows.size(), 1);
      EXPECT_EQ(Windows.front()->windowTitle(), QStringLiteral("History of A - Pelorin"));
      EXPECT_EQ(Windows.front()->Samples().size(), 288U);
    } else {
      EXPECT_TRUE(Windows.isEmpty());
      EXPECT_EQ(Form.StatusPanelText(0),
                QStringLiteral("No history is kept (Keep in [History] is 0)"));
    }
    for (THistoryWindow *Window : Windows) delete Window;
  }
}

}  // namespace
