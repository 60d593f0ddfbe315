// The history window drawn from a stored history: the band, the mean line
// and the loss marks where they belong, the status changes beside them,
// and the main window's ways to open it.
#include "form_main.h"
#include "history_store.h"
#include "history_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>

namespace {

const QDateTime Now = QDateTime::currentDateTime();
constexpr qint64 FiveMinutes = 300;

// A day of five-minute runs of device "A": round trips that rise and fall,
// one echo of four lost at the runs in LostOne, none answered in NoAnswer.
struct TDay {
  std::set<int> LostOne, NoAnswer;
};

void WriteDay(const QString& File, const TDay& Day) {
  THistoryStore Store(File);
  for (int Index = 0; Index < 288; ++Index) {
    const bool Silent = Day.NoAnswer.count(Index) > 0;
    const int Answered = Silent ? 0 : Day.LostOne.count(Index) > 0 ? 3 : 4;
    THistoryDevice A{QStringLiteral("A"), QStringLiteral("127.0.0.1"),
                     Silent ? QStringLiteral("No connection at all") : QStringLiteral("OK"), Silent ? 0 : 2, 4,
                     Answered};
    if (!Silent) {
      const std::int64_t Base = 2000 + (Index % 48) * 100;
      A.RoundTripMin = Base;
      A.RoundTripMean = Base + 400.0;
      A.RoundTripMax = Base + 1200;
    }
    const THistoryRun Run{Now.addSecs(-FiveMinutes * (287 - Index) - 30), QStringLiteral("x.ini"), QString(), {A}};
    ASSERT_TRUE(Store.Write(Run, 90, Now).Written);
  }
}

int CountColor(const QImage& Image, QRgb Color, const QRect& Within) {
  int Count = 0;
  for (int Y = Within.top(); Y <= Within.bottom(); ++Y)
    for (int X = Within.left(); X <= Within.right(); ++X)
      Count += Image.pixel(X, Y) == Color ? 1 : 0;
  return Count;
}

QImage Drawn(THistoryWindow& Window) {
  THistoryPlot* Plot = Window.Plot();
  Plot->resize(760, 300);
  return Plot->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

TEST(HistoryWindow, PlotsBandMeanLineAndLossMarks) {
  QTemporaryDir Dir;
  const QString File = Dir.filePath(QStringLiteral("h.sqlite"));
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
  std::set<int> Marked;
  for (int X = 0; X < Image.width(); ++X)
    if (CountColor(Image, THistoryPlot::LossColor, QRect(X, 0, 1, Image.height())) > 0)
      Marked.insert(X);
  const int Width = Image.width() - 64 - 28;
  const auto ColumnOf = [&](int Index) {
    const qint64 From = Now.toMSecsSinceEpoch() - 24LL * 3600 * 1000;
    const qint64 Time = Now.addSecs(-FiveMinutes * (287 - Index) - 30).toMSecsSinceEpoch();
    return 64 + int(double(Time - From) / (24.0 * 3600 * 1000) * Width);
  };
  for (const int Index : Lossy)
    EXPECT_TRUE(Marked.count(ColumnOf(Index)) > 0) << Index;
  for (const int X : Marked) {
    const bool Near =
        std::any_of(Lossy.begin(), Lossy.end(), [&](int Index) { return std::abs(ColumnOf(Index) - X) <= 1; });
    EXPECT_TRUE(Near) << "a loss mark at " << X;
  }
  // The runs without answer leave a gap in band and line.
  const int Gap = ColumnOf(101);
  EXPECT_EQ(CountColor(Image, THistoryPlot::BandColor, QRect(Gap, 22, 1, Image.height() - 48)), 0);
  EXPECT_EQ(CountColor(Image, THistoryPlot::MeanColor, QRect(Gap, 22, 1, Image.height() - 48)), 0);

  // The mean lies inside the band in every column.
  for (const TPlotColumn& Column : PlotColumns(Window.Samples(), Now.toMSecsSinceEpoch() - 86400000LL,
                                               Now.toMSecsSinceEpoch(), Width)) {
    if (!Column.MeanMs)
      continue;
    EXPECT_LE(*Column.MinMs, *Column.MeanMs);
    EXPECT_LE(*Column.MeanMs, *Column.MaxMs);
  }

  const QStringList Changes = Window.StatusChanges();
  ASSERT_EQ(Changes.size(), 3) << Changes.join(u'\n').toStdString();
  EXPECT_TRUE(Changes[0].endsWith(QLatin1String("  OK")));
  EXPECT_TRUE(Changes[1].endsWith(QLatin1String("  No connection at all")));
  EXPECT_TRUE(Changes[2].endsWith(QLatin1String("  OK")));
}

TEST(HistoryWindow, NoLossNoMarkAndAnEmptyHistorySaysSo) {
  QTemporaryDir Dir;
  const QString File = Dir.filePath(QStringLiteral("h.sqlite"));
  WriteDay(File, {});
  THistoryWindow Clean(File, QStringLiteral("A"), Now);
  EXPECT_EQ(CountColor(Drawn(Clean), THistoryPlot::LossColor, Drawn(Clean).rect()), 0);

  THistoryWindow Other(File, QStringLiteral("B"), Now);
  EXPECT_EQ(Other.Notice(), QStringLiteral("No runs of B stored for this period"));
  const QImage Empty = Drawn(Other);
  EXPECT_EQ(CountColor(Empty, THistoryPlot::BandColor, Empty.rect()), 0);
  // A month back the runs of the day are still there; a day shows them too.
  Clean.SetPeriod(THistoryWindow::pMonth);
  EXPECT_EQ(Clean.StatusChanges().size(), 1);
}

// The main window opens the history of a row by a double click, and says
// why not when no history is kept.
TEST(HistoryWindow, OpensFromTheMainWindow) {
  QTemporaryDir Dir;
  const QString Exe = Dir.filePath(QStringLiteral("dervik"));
  const struct {
    const char* Name;
    const char* Settings;
    bool Opens;
  } Rows[] = {{"kept", "[Devices]\nA=127.0.0.1\n", true},
              {"keep 0", "[History]\nKeep=0\n[Devices]\nA=127.0.0.1\n", false}};
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.Name);
    QFile Ini(Exe + QStringLiteral(".ini"));
    ASSERT_TRUE(Ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    Ini.write(Row.Settings);
    Ini.close();
    TFormMain Form(TFormMain::TStartup{Exe, {}, QString(), Dir.filePath(QStringLiteral("data"))});
    ASSERT_EQ(Form.ListViewResults->topLevelItemCount(), 1);
    WriteDay(Form.HistoryDatabase(), {});
    QTreeWidgetItem* Row0 = Form.ListViewResults->topLevelItem(0);
    emit Form.ListViewResults->itemDoubleClicked(Row0, 0);
    // The window class has no meta-object of its own: found by its name.
    QList<THistoryWindow*> Windows;
    for (QWidget* Child : Form.findChildren<QWidget*>(QStringLiteral("HistoryWindow"), Qt::FindDirectChildrenOnly))
      Windows.append(static_cast<THistoryWindow*>(Child));
    if (Row.Opens) {
      ASSERT_EQ(Windows.size(), 1);
      EXPECT_EQ(Windows.front()->windowTitle(), QStringLiteral("History of A - Pelorin"));
      EXPECT_EQ(Windows.front()->Samples().size(), 288U);
    } else {
      EXPECT_TRUE(Windows.isEmpty());
      EXPECT_EQ(Form.StatusPanelText(0), QStringLiteral("No history is kept (Keep in [History] is 0)"));
    }
    for (THistoryWindow* Window : Windows)
      delete Window;
  }
}

}  // namespace
