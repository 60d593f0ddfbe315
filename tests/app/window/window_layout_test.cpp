// The window's list columns and status panels on the offscreen platform:
// columns as wide as their texts while the list has room, and status texts
// longer than their panel cut in the middle with the whole text at hand.
#include "run/device.h"
#include "window/form_main.h"
#include "window/framework_ops.h"
#include "common/locale_texts.h"
#include "start/program_files.h"
#include "qt_printers.h"
#include "window/results_columns.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

namespace {

// The widths fitted to the room there is: wants first, then the slack of
// columns wider than their texts, then the widest columns cut.
TEST(FitColumnWidths, Table) {
  const int Minimum = 48;
  struct TCase {
    const char *What;
    std::vector<int> Base, Contents;
    int Available;
    std::vector<int> Widths;
  };
  static const std::vector<TCase> Cases = {
      {"room for all: base widths", {96, 128, 120, 64}, {40, 60, 0, 60}, 500, {96, 128, 120, 64}},
      {"room for all: a long name widens its column",
       {96, 128, 120, 64},
       {200, 60, 0, 60},
       600,
       {200, 128, 120, 64}},
      {"no minimum below 48", {0, 0}, {10, 20}, 500, {48, 48}},
      {"slack goes first, the most first",
       {96, 128, 120, 64},
       {200, 60, 50, 60},
       475,
       {200, 111, 100, 64}},
      {"all slack gone, then the widest is cut",
       {96, 128, 120, 64},
       {400, 60, 50, 60},
       300,
       {130, 60, 50, 60}},
      {"two wide columns are cut alike", {96, 128}, {300, 300}, 400, {200, 200}},
      {"nothing left to cut: every column at the minimum",
       {96, 128, 120},
       {300, 300, 300},
       100,
       {48, 48, 48}},
      {"no room at all", {96}, {10}, -5, {48}},
  };
  for (const auto &Case : Cases) {
    const std::vector<int> Widths =
        FitColumnWidths(Case.Base, Case.Contents, Case.Available, Minimum);
    EXPECT_EQ(Widths, Case.Widths) << Case.What;
    const int Sum = std::accumulate(Widths.begin(), Widths.end(), 0);
    const bool AllAtMinimum =
        std::all_of(Widths.begin(), Widths.end(), [&](int Width) { return Width == Minimum; });
    if (!AllAtMinimum) {
      EXPECT_LE(Sum, Case.Available) << Case.What;
    }
  }
}

class WindowLayoutTest : public testing::Test {
 protected:
  void SetUp() override {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ASSERT_TRUE(QFile::link(ExecutableFilePath(), Exe));
  }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }

  std::unique_ptr<TFormMain> Show(const QString &Devices, const QString &ConfigHome = QString()) {
    if (!Devices.isNull())
      Temp.writeText(QStringLiteral("dervik.ini"), QStringLiteral("[Devices]\n") + Devices);
    auto Form = std::make_unique<TFormMain>(TFormMain::TStartup{Exe, {}, ConfigHome});
    Form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    return Form;
  }

  // Resizes the window and waits until the list has followed.
  static void ResizeTo(TFormMain &Form, int Width) {
    const int Before = Form.ListViewResults->viewport()->width();
    Form.resize(Width, Form.height());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          return Form.width() == Width && Form.ListViewResults->viewport()->width() != Before;
        },
        5000))
        << Width;
  }

  // The pixels an item view cell needs to draw Text without eliding it: the
  // text and the margin the style keeps on either side.
  static int Needed(const QTreeWidget *List, const QString &Text) {
    const int Margin = List->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, List) + 1;
    return List->fontMetrics().horizontalAdvance(Text) + 2 * Margin;
  }

  static int ColumnsSum(const QTreeWidget *List) {
    int Sum = 0;
    for (int Column = 0; Column < List->columnCount(); ++Column) Sum += List->columnWidth(Column);
    return Sum;
  }

  // Cells whose column is narrower than their text, as "row/column: text".
  static QStringList CutCells(const QTreeWidget *List) {
    QStringList Cut;
    for (int Column = 0; Column < List->columnCount(); ++Column) {
      if (List->columnWidth(Column) < List->header()->sectionSizeHint(Column))
        Cut.append(QStringLiteral("caption %1").arg(List->headerItem()->text(Column)));
      for (int Row = 0; Row < List->topLevelItemCount(); ++Row) {
        const QString Text = List->topLevelItem(Row)->text(Column);
        if (List->columnWidth(Column) < Needed(List, Text))
          Cut.append(QStringLiteral("%1/%2: %3").arg(Row).arg(Column).arg(Text));
      }
    }
    return Cut;
  }

  testsupport::TempFolder Temp;
  const QString Exe = Temp.file(QStringLiteral("dervik"));
};

const QString LongDevices = QStringLiteral(
    "Camera entrance hall north=127.0.0.4\n"
    "Drucker B\u00fcro zweiter Stock=127.0.0.3\n"
    "Gateway=127.0.0.1\n");

// At the default size, after loading and after a run, every text is whole
// and the row fits the list: no column is cut, none takes the rest of the
// width, and no horizontal scroll bar hides a row.
TEST_F(WindowLayoutTest, ColumnsFitTheirTextsAtTheDefaultSize) {
  const auto Form = Show(LongDevices);
  QTreeWidget *List = Form->ListViewResults;
  ASSERT_EQ(Form->width(), 485);
  EXPECT_FALSE(List->header()->stretchLastSection());
  EXPECT_EQ(CutCells(List), QStringList()) << "after loading";
  EXPECT_GT(List->columnWidth(TFormMain::ColumnDevice), 96) << "the long name widens its column";
  EXPECT_LE(ColumnsSum(List), List->viewport()->width());
  EXPECT_FALSE(List->horizontalScrollBar()->isVisible());

  // As a run leaves them: partial rates and round trips of every size.
  const struct {
    int Pinged, PingedOK;
    std::vector<std::int64_t> Times;
  } Results[] = {{3, 2, {1204000, 1204000}}, {4, 4, {35, 41, 52, 40}}, {3, 1, {12345}}};
  auto &Devices = Form->Settings().Devices();
  ASSERT_EQ(Devices.size(), std::size(Results));
  for (std::size_t Index = 0; Index < Devices.size(); ++Index) {
    TDevice &Device = *Devices[Index];
    Device.SetPinged(Results[Index].Pinged);
    Device.SetPingedOK(Results[Index].PingedOK);
    Device.UpdateDeviceStatus();
    for (std::int64_t Time : Results[Index].Times) Device.AddRoundTripMicroseconds(Time);
  }
  Form->Settings().SetLastCheckResult(QStringLiteral("All connections OK"));
  Form->Settings().SetLastCheckDT(QDateTime::currentDateTime());
  Form->RefreshListView();
  QApplication::processEvents();
  EXPECT_EQ(List->topLevelItem(0)->text(TFormMain::ColumnStatus),
            QStringLiteral("OK (66.6666666666667%)"));
  EXPECT_EQ(List->topLevelItem(0)->text(TFormMain::ColumnRoundTrip), QStringLiteral("1,204 ms"));
  EXPECT_EQ(List->topLevelItem(1)->text(TFormMain::ColumnRoundTrip), QStringLiteral("0.04 ms"));
  EXPECT_EQ(CutCells(List), QStringList()) << "after a run";
  EXPECT_LE(ColumnsSum(List), List->viewport()->width());
  EXPECT_FALSE(List->horizontalScrollBar()->isVisible());
}

// A window too narrow for every text cuts the longest texts, keeps the
// short ones whole and the row within the list; given room again, every
// text is whole again.
TEST_F(WindowLayoutTest, ColumnsFollowTheWindowsWidth) {
  const auto Form = Show(LongDevices);
  QTreeWidget *List = Form->ListViewResults;
  ASSERT_EQ(CutCells(List), QStringList());
  const int Default = Form->width();

  ResizeTo(*Form, 300);
  EXPECT_LE(ColumnsSum(List), List->viewport()->width());
  EXPECT_FALSE(List->horizontalScrollBar()->isVisible());
  const QString Address = List->topLevelItem(2)->text(TFormMain::ColumnAddress);
  EXPECT_GE(List->columnWidth(TFormMain::ColumnAddress), Needed(List, Address))
      << "a short address stays whole";
  EXPECT_LT(List->columnWidth(TFormMain::ColumnDevice),
            Needed(List, List->topLevelItem(1)->text(TFormMain::ColumnDevice)))
      << "the longest name is what gives";

  ResizeTo(*Form, 900);
  EXPECT_EQ(CutCells(List), QStringList());
  EXPECT_LT(ColumnsSum(List), List->viewport()->width() - 200) << "no column takes the rest";
  ResizeTo(*Form, Default);
  EXPECT_EQ(CutCells(List), QStringList());
}

// Enough rows for a vertical scroll bar: the narrower list still holds the
// whole row.
TEST_F(WindowLayoutTest, ColumnsMakeRoomForTheVerticalScrollBar) {
  QString Devices = LongDevices;
  for (int Index = 0; Index < 40; ++Index)
    Devices += QStringLiteral("Device %1=127.0.1.%1\n").arg(Index);
  const auto Form = Show(Devices);
  QTreeWidget *List = Form->ListViewResults;
  ASSERT_TRUE(QTest::qWaitFor([&] { return List->verticalScrollBar()->isVisible(); }, 5000));
  EXPECT_EQ(CutCells(List), QStringList());
  EXPECT_LE(ColumnsSum(List), List->viewport()->width());
  EXPECT_FALSE(List->horizontalScrollBar()->isVisible());
}

// A changed row is drawn bold, and bold text is wider than the list's: the
// status column is as wide as the bold text while the list has room, so
// "No connection at all" is not cut to "No connection a...".
TEST_F(WindowLayoutTest, BoldRowsKeepTheirWholeStatus) {
  const struct {
    const char *What;
    int BoldRow;  // -1: none
  } Cases[] = {{"the longest status bold", 0}, {"a shorter status bold", 1}, {"no row bold", -1}};
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.What);
    QTreeWidget List;
    List.setColumnCount(2);
    List.setHeaderLabels({QStringLiteral("Device"), QStringLiteral("Status")});
    TResultsColumns Columns(&List, {96, 96}, 48);
    const QStringList Statuses = {QStringLiteral("No connection at all"),
                                  QStringLiteral("OK (66.6666666666667%)")};
    for (int Row = 0; Row < Statuses.size(); ++Row) {
      auto *Item =
          new QTreeWidgetItem(&List, {QStringLiteral("Gateway %1").arg(Row), Statuses[Row]});
      if (Row == Case.BoldRow)
        for (int Column = 0; Column < 2; ++Column) {
          // As the window marks a changed row: the row's font, made bold.
          QFont Font = Item->font(Column);
          Font.setBold(true);
          Item->setFont(Column, Font);
        }
    }
    List.resize(700, 200);
    List.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&List));
    Columns.Measure();
    for (int Row = 0; Row < Statuses.size(); ++Row) {
      QFont Font = List.font();
      Font.setBold(Row == Case.BoldRow);
      const int Margin =
          List.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &List) + 1;
      EXPECT_GE(List.columnWidth(1),
                QFontMetrics(Font).horizontalAdvance(Statuses[Row]) + 2 * Margin)
          << Statuses[Row].toStdString();
    }
    // Bold only where bold is drawn: without a bold row, no wider than the
    // plain texts need.
    if (Case.BoldRow < 0) {
      EXPECT_EQ(List.columnWidth(1),
                std::max({96, Needed(&List, Statuses[0]), Needed(&List, Statuses[1])}));
    }
  }
}

// A status text longer than its panel shows cut in the middle, both ends
// kept, with the whole text in the panel's tooltip; StatusPanelText gives
// the whole text all along.  A text that fits shows whole, without a tooltip.
TEST_F(WindowLayoutTest, LongStatusTextIsCutInTheMiddleWithATooltip) {
  // No settings file in either place, both with long paths: the text that
  // lost its second path.
  const QString ConfigHome =
      Temp.file(QStringLiteral("a-configuration-folder-with-a-rather-long-name/and-another-level"));
  const auto Form = Show(QString(), ConfigHome);
  const auto *Panel0 = Form->StatusBar1->findChild<QLabel *>(QStringLiteral("StatusPanel0"));
  ASSERT_NE(Panel0, nullptr);
  const QString Whole = Form->StatusPanelText(0);
  ASSERT_TRUE(Whole.startsWith(QStringLiteral("No settings file: looked for ")))
      << Whole.toStdString();
  ASSERT_TRUE(Whole.endsWith(QStringLiteral("/dervik/dervik.ini"))) << Whole.toStdString();
  ASSERT_GT(Panel0->fontMetrics().horizontalAdvance(Whole), Panel0->width())
      << "the case needs a longer text";

  const auto ShownFits = [&] {
    return Panel0->fontMetrics().horizontalAdvance(Panel0->text()) <=
           Panel0->contentsRect().width() - 2 * Panel0->margin();
  };
  const QString Shown = Panel0->text();
  EXPECT_NE(Shown, Whole);
  EXPECT_TRUE(ShownFits()) << Shown.toStdString();
  const qsizetype Ellipsis = Shown.indexOf(QChar(0x2026));
  ASSERT_GT(Ellipsis, 0) << Shown.toStdString();
  EXPECT_TRUE(Whole.startsWith(Shown.left(Ellipsis)));
  EXPECT_TRUE(Whole.endsWith(Shown.mid(Ellipsis + 1)));
  EXPECT_TRUE(Shown.endsWith(QStringLiteral("dervik.ini"))) << "the second path's end is kept";
  EXPECT_EQ(Panel0->toolTip(), Whole);

  // Wide enough: whole, and no tooltip.
  ResizeTo(*Form, Panel0->fontMetrics().horizontalAdvance(Whole) + 400);
  EXPECT_EQ(Panel0->text(), Whole);
  EXPECT_EQ(Panel0->toolTip(), QString());
  EXPECT_EQ(Form->StatusPanelText(0), Whole);
  // Narrow again: cut again.
  ResizeTo(*Form, 485);
  EXPECT_NE(Panel0->text(), Whole);
  EXPECT_TRUE(ShownFits());
  EXPECT_EQ(Panel0->toolTip(), Whole);

  // A new text that fits replaces it whole, a run's summary with failures
  // and its time too; panel 1 cuts as well.
  Form->SetStatusPanelText(0, QStringLiteral("Checking Gateway..."));
  EXPECT_EQ(Panel0->text(), QStringLiteral("Checking Gateway..."));
  EXPECT_EQ(Panel0->toolTip(), QString());
  const QString Summary =
      QStringLiteral("Some connections were OK (50 failed - 150 OK) (%1)")
          .arg(FormatDateTimeForDisplay(QDateTime(QDate(2026, 12, 10), QTime(14, 5, 31))));
  Form->SetStatusPanelText(0, Summary);
  EXPECT_EQ(Panel0->text(), Summary);
  EXPECT_EQ(Panel0->toolTip(), QString());
  const auto *Panel1 = Form->StatusBar1->findChild<QLabel *>(QStringLiteral("StatusPanel1"));
  ASSERT_NE(Panel1, nullptr);
  const QString LongCount = QStringLiteral("1234567890 devices and a good many more besides");
  Form->SetStatusPanelText(1, LongCount);
  EXPECT_EQ(Form->StatusPanelText(1), LongCount);
  EXPECT_NE(Panel1->text(), LongCount);
  EXPECT_EQ(Panel1->toolTip(), LongCount);
}

}  // namespace
