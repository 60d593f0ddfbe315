#include "window/form_main.h"
#include "window/framework_ops.h"
#include "common/locale_texts.h"
#include "modal_box.h"
#include "start/program_files.h"
#include "qt_printers.h"
#include "temp_folder.h"
#include "url_recorder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTest>
#include <QScrollBar>
#include <QTreeWidget>

#include <memory>

namespace {

class FormMainTest : public testing::Test {
 protected:
  void SetUp() override {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    // The window reads its version from its executable: a link to this
    // (stamped) test program stands in for it, in a folder of its own.
    ASSERT_TRUE(QFile::link(ExecutableFilePath(), Exe));
  }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }

  void WriteSettings(const QString &Devices) {
    Temp.writeText(QStringLiteral("dervik.ini"),
                   QStringLiteral("[Ping]\nTimes=4\n[Devices]\n") + Devices);
  }
  std::unique_ptr<TFormMain> Create(const QStringList &Arguments = {}) {
    return std::make_unique<TFormMain>(TFormMain::TStartup{Exe, Arguments});
  }
  static QStringList ColumnTexts(const TFormMain &Form, int Column) {
    QStringList Texts;
    for (int Row = 0; Row < Form.ListViewResults->topLevelItemCount(); ++Row)
      Texts.append(Form.ListViewResults->topLevelItem(Row)->text(Column));
    return Texts;
  }
  // Sets a device's counters as a finished run would leave them.
  static void SetCounters(TDevice &Device, int Pinged, int PingedOK) {
    Device.SetPinged(Pinged);
    Device.SetPingedOK(PingedOK);
    Device.UpdateDeviceStatus();
  }

  testsupport::TempFolder Temp;
  const QString Exe = Temp.file(QStringLiteral("dervik"));
};

TEST_F(FormMainTest, PartsCarryTheirNames) {
  const auto Form = Create();
  EXPECT_EQ(Form->objectName(), QStringLiteral("FormMain"));
  const std::pair<const char *, QObject *> Parts[] = {
      {"MainMenu1", Form->MainMenu1},
      {"ListViewResults", Form->ListViewResults},
      {"StatusBar1", Form->StatusBar1},
      {"MenuItemRun", Form->MenuItemRun},
      {"N1", Form->N1},
      {"MenuItemSendToSMTP", Form->MenuItemSendToSMTP},
      {"MenuItemSendToSysLog", Form->MenuItemSendToSysLog},
      {"N2", Form->N2},
      {"MenuItemExit", Form->MenuItemExit},
      {"MenuItemReadMe", Form->MenuItemReadMe},
      {"MenuItemAbout", Form->MenuItemAbout},
  };
  for (const auto &[Name, Part] : Parts) {
    ASSERT_NE(Part, nullptr) << Name;
    EXPECT_EQ(Part->objectName(), QString::fromLatin1(Name));
  }
}

TEST_F(FormMainTest, MenusWithCaptionsAndShortcuts) {
  const auto Form = Create();
  const QList<QAction *> Bar = Form->MainMenu1->actions();
  ASSERT_EQ(Bar.size(), 3);
  EXPECT_EQ(Bar[0]->text(), QStringLiteral("&Functions"));
  EXPECT_EQ(Bar[1]->text(), QStringLiteral("&View"));
  EXPECT_EQ(Bar[2]->text(), QStringLiteral("&Help"));

  const struct {
    QAction *Item;
    const char *Caption;  // nullptr: a separator
    QKeySequence ShortCut;
  } Functions[] =
      {
          {Form->MenuItemRun, "Run", QKeySequence(QStringLiteral("Ctrl+R"))},
          {Form->N1, nullptr, {}},
          {Form->MenuItemSendToSMTP, "Send results as mail",
           QKeySequence(QStringLiteral("Ctrl+M"))},
          {Form->MenuItemSendToSysLog, "Send results to SysLog",
           QKeySequence(QStringLiteral("Ctrl+L"))},
          {Form->N2, nullptr, {}},
          {Form->MenuItemExit, "Exit", {}},
      },
    View[] =
        {
            {Form->MenuItemHistory, "History", QKeySequence(QStringLiteral("Ctrl+H"))},
        },
    Help[] = {
        {Form->MenuItemReadMe, "Read me", QKeySequence(QStringLiteral("F1"))},
        {Form->MenuItemAbout, "About", {}},
    };
  const auto Check = [](QMenu *Menu, const auto &Table) {
    const QList<QAction *> Items = Menu->actions();
    ASSERT_EQ(Items.size(), static_cast<qsizetype>(std::size(Table)));
    for (qsizetype I = 0; I < Items.size(); ++I) {
      EXPECT_EQ(Items[I], Table[I].Item) << I;
      EXPECT_EQ(Items[I]->isSeparator(), Table[I].Caption == nullptr) << I;
      if (Table[I].Caption != nullptr) {
        EXPECT_EQ(Items[I]->text(), QString::fromLatin1(Table[I].Caption));
      }
      EXPECT_EQ(Items[I]->shortcut(), Table[I].ShortCut) << I;
    }
  };
  Check(Bar[0]->menu(), Functions);
  Check(Bar[1]->menu(), View);
  Check(Bar[2]->menu(), Help);
}

TEST_F(FormMainTest, ResultsListAndStatusBarLayout) {
  const auto Form = Create();
  QTreeWidget *List = Form->ListViewResults;
  const QTreeWidgetItem *Header = List->headerItem();
  ASSERT_EQ(List->columnCount(), 4);
  EXPECT_EQ(Header->text(0), QStringLiteral("Device"));
  EXPECT_EQ(Header->text(1), QStringLiteral("Address"));
  EXPECT_EQ(Header->text(2), QStringLiteral("Status"));
  EXPECT_EQ(Header->text(3), QStringLiteral("Round trip"));
  EXPECT_EQ(List->columnWidth(0), 96);
  EXPECT_EQ(List->columnWidth(1), 128);
  EXPECT_EQ(List->header()->minimumSectionSize(), 48);
  EXPECT_FALSE(List->header()->stretchLastSection());
  EXPECT_EQ(List->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(List->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_FALSE(List->isSortingEnabled());
  EXPECT_FALSE(List->rootIsDecorated());

  const auto *Panel0 = Form->StatusBar1->findChild<QLabel *>(QStringLiteral("StatusPanel0"));
  const auto *Panel1 = Form->StatusBar1->findChild<QLabel *>(QStringLiteral("StatusPanel1"));
  ASSERT_NE(Panel0, nullptr);
  ASSERT_NE(Panel1, nullptr);
  EXPECT_EQ(Panel0->width(), 360);
  EXPECT_EQ(Panel1->width(), 128);
  EXPECT_EQ(Panel1->x(), Panel0->x() + 360);
  // The panels do not force the window wider than its own width.
  EXPECT_LE(Form->minimumSizeHint().width(), 485);

  EXPECT_EQ(Form->width(), 485);
  EXPECT_EQ(Form->height() - Form->MainMenu1->sizeHint().height(), 236);
}

// Panel 0 takes the width the window gives it, and at least 360; panel 1
// keeps 128 beside it. At the default size a run's summary with failures
// and its time both fit into panel 0.
TEST_F(FormMainTest, StatusPanelZeroTakesTheWidthTheWindowGives) {
  WriteSettings(QStringLiteral("A=127.0.0.1\n"));
  const auto Form = Create();
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  const auto *Panel0 = Form->StatusBar1->findChild<QLabel *>(QStringLiteral("StatusPanel0"));
  const auto *Panel1 = Form->StatusBar1->findChild<QLabel *>(QStringLiteral("StatusPanel1"));
  ASSERT_NE(Panel0, nullptr);
  ASSERT_NE(Panel1, nullptr);
  const QWidget *Panels = Panel0->parentWidget();
  const int DefaultWidth = Form->width();
  for (const int Width : {DefaultWidth, 640, 1200, 420, DefaultWidth}) {
    Form->resize(Width, Form->height());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return Form->width() == Width && Panels->width() > 0 && Panels->width() >= Width - 64;
        },
        5000))
        << Width;
    const int Expected0 = std::max(360, Panels->width() - 128);
    EXPECT_EQ(Panel0->width(), Expected0) << Width;
    EXPECT_EQ(Panel1->width(), 128) << Width;
    EXPECT_EQ(Panel1->x(), Panel0->x() + Expected0) << Width;
    if (Width >= 640) {
      EXPECT_GE(Panel0->width(), Width - 128 - 64) << "panel 0 does not grow with the window";
    }
  }

  const QDateTime When(QDate(2026, 12, 10), QTime(14, 5, 31));
  Form->Settings().SetLastCheckResult(
      QStringLiteral("Some connections were OK (50 failed - 150 OK)"));
  Form->Settings().SetLastCheckDT(When);
  Form->RefreshListView();
  const QString Shown = Form->StatusPanelText(0);
  EXPECT_TRUE(Shown.endsWith(FormatDateTimeForDisplay(When) + u')'));
  EXPECT_LE(Panel0->fontMetrics().horizontalAdvance(Shown),
            Panel0->contentsRect().width() - 2 * Panel0->margin())
      << "the summary is cut at the default size";
}

TEST_F(FormMainTest, WindowCarriesTheProgramIcon) {
  const auto Form = Create();
  const QImage Installed(QStringLiteral(PELORIN_SOURCE_DIR "/dist/dervik.png"));
  ASSERT_FALSE(Installed.isNull());
  const QIcon Icon = Form->windowIcon();
  ASSERT_FALSE(Icon.isNull());
  // Compared as the screen holds them (premultiplied alpha).
  EXPECT_EQ(
      Icon.pixmap(Installed.size()).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
      Installed.convertToFormat(QImage::Format_ARGB32_Premultiplied));
  EXPECT_FALSE(QApplication::windowIcon().isNull()) << "message boxes and the read-me carry it too";
}

TEST_F(FormMainTest, CaptionShowsTheExecutablesVersion) {
  const auto Form = Create();
  EXPECT_EQ(Form->ApplVersion(), QStringLiteral("7.8.9"));
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("Pelorin 7.8.9"));
}

TEST_F(FormMainTest, CaptionWithoutVersionStamp) {
  const QString Plain = Temp.writeText(QStringLiteral("plain"), QStringLiteral("not a program"));
  const TFormMain Form(TFormMain::TStartup{Plain, {}});
  EXPECT_EQ(Form.windowTitle(), QStringLiteral("Pelorin 0.0.0"));
}

TEST_F(FormMainTest, ShowsEveryDeviceOfTheSettingsFile) {
  WriteSettings(QStringLiteral("Router=192.168.1.1\nPrinter=\nlocalhost=127.0.0.1\n"));
  const auto Form = Create();
  EXPECT_EQ(Form->SettingsFileName(), Temp.file(QStringLiteral("dervik.ini")));
  EXPECT_EQ(ColumnTexts(*Form, 0), (QStringList{"Router", "Printer", "localhost"}));
  EXPECT_EQ(ColumnTexts(*Form, 1), (QStringList{"192.168.1.1", "", "127.0.0.1"}));
  EXPECT_EQ(ColumnTexts(*Form, 2), (QStringList{"", "", ""}));
  const auto &Devices = Form->Settings().Devices();
  for (int Row = 0; Row < 3; ++Row)
    EXPECT_EQ(TFormMain::RowDevice(Form->ListViewResults->topLevelItem(Row)), Devices[Row].get());
  EXPECT_EQ(Form->ListViewSortedColumnNo(), -1);
  EXPECT_EQ(Form->CurrentDevice(), nullptr);
}

TEST_F(FormMainTest, MissingSettingsFileGivesAnEmptyList) {
  const auto Form = Create();
  EXPECT_EQ(Form->ListViewResults->topLevelItemCount(), 0);
  EXPECT_EQ(Form->Settings().PingTimes(), 4);
}

TEST_F(FormMainTest, StatusBarCountsDevices) {
  const struct {
    const char *Devices;
    const char *Panel1;
  } Table[] = {
      {"", "0 devices"},
      {"A=127.0.0.1\n", "1 device"},
      {"A=127.0.0.1\nB=127.0.0.2\n", "2 devices"},
  };
  for (const auto &Row : Table) {
    WriteSettings(QString::fromLatin1(Row.Devices));
    const auto Form = Create();
    EXPECT_EQ(Form->StatusPanelText(1), QString::fromLatin1(Row.Panel1));
    EXPECT_EQ(Form->StatusPanelText(0), QString()) << "before any run";
  }
}

TEST_F(FormMainTest, StatusBarShowsTheLastRun) {
  WriteSettings(QStringLiteral("A=127.0.0.1\n"));
  const auto Form = Create();
  const QDateTime When(QDate(2026, 12, 9), QTime(14, 5, 31));
  const struct { const char *Result; } Table[] = {{"All connections OK"}, {""}};
  for (const auto &Row : Table) {
    Form->Settings().SetLastCheckResult(QString::fromLatin1(Row.Result));
    Form->Settings().SetLastCheckDT(When);
    Form->RefreshListView();
    EXPECT_EQ(Form->StatusPanelText(0), QString::fromLatin1(Row.Result) + QStringLiteral(" (") +
                                            FormatDateTimeForDisplay(When) + u')');
  }
}

class FormMainSortTest : public FormMainTest {
 protected:
  // Names, addresses and counters (pinged, OK) of six devices in file order.
  void SetUp() override {
    FormMainTest::SetUp();
    WriteSettings(
        QStringLiteral("charlie=9.0.0.1\nAlpha=10.0.0.2\nbravo=192.168.1.1\n"
                       "delta=10.0.0.2\nEcho=\nfoxtrot=10.0.0.2\n"));
    Form = Create();
    const int Counters[][2] = {{4, 3}, {4, 0}, {4, 4}, {2, 1}, {4, 0}, {0, 0}};
    auto &Devices = Form->Settings().Devices();
    for (std::size_t I = 0; I < Devices.size(); ++I)
      SetCounters(*Devices[I], Counters[I][0], Counters[I][1]);
    Form->RefreshListView();
  }
  std::unique_ptr<TFormMain> Form;
};

TEST_F(FormMainSortTest, FileOrderUntilAColumnIsChosen) {
  EXPECT_EQ(ColumnTexts(*Form, 0),
            (QStringList{"charlie", "Alpha", "bravo", "delta", "Echo", "foxtrot"}));
  const auto *A = Form->ListViewResults->topLevelItem(0);
  const auto *B = Form->ListViewResults->topLevelItem(1);
  EXPECT_EQ(Form->ListViewResultsCompare(A, B), 0);
  EXPECT_EQ(Form->ListViewResultsCompare(B, A), 0);
}

TEST_F(FormMainSortTest, ByColumnAscendingEqualRowsKeepTheirOrder) {
  const struct {
    int Column;
    QStringList Names;
  } Table[] = {
      // Names ignore case.
      {0, {"Alpha", "bravo", "charlie", "delta", "Echo", "foxtrot"}},
      // Addresses sort as text; the three equal ones keep file order.
      {1, {"Echo", "Alpha", "delta", "foxtrot", "bravo", "charlie"}},
      // "" < "No connection at all" < "OK" < "OK (50%)" < "OK (75%)" < "Unable ...".
      {2, {"foxtrot", "Alpha", "bravo", "delta", "charlie", "Echo"}},
  };
  for (const auto &Row : Table) {
    Form->ListViewResultsColumnClick(Row.Column);
    EXPECT_EQ(Form->ListViewSortedColumnNo(), Row.Column);
    EXPECT_EQ(ColumnTexts(*Form, 0), Row.Names) << "column " << Row.Column;
    // A second click sorts ascending again.
    Form->ListViewResultsColumnClick(Row.Column);
    EXPECT_EQ(ColumnTexts(*Form, 0), Row.Names) << "second click on column " << Row.Column;
  }
  EXPECT_EQ(ColumnTexts(*Form, 2), (QStringList{"", "No connection at all", "OK", "OK (50%)",
                                                "OK (75%)", "Unable to lookup host address"}));
}

TEST_F(FormMainSortTest, RowsKeepTheirDevicesAndRebuildStaysSorted) {
  Form->ListViewResultsColumnClick(1);
  for (int Row = 0; Row < Form->ListViewResults->topLevelItemCount(); ++Row) {
    const QTreeWidgetItem *Item = Form->ListViewResults->topLevelItem(Row);
    ASSERT_NE(TFormMain::RowDevice(Item), nullptr);
    EXPECT_EQ(TFormMain::RowDevice(Item)->DeviceName(), Item->text(0));
  }
  Form->RefreshListView();
  EXPECT_EQ(ColumnTexts(*Form, 0),
            (QStringList{"Echo", "Alpha", "delta", "foxtrot", "bravo", "charlie"}));
}

TEST_F(FormMainSortTest, HeaderClickSortsUnlessTheListIsDisabled) {
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  QHeaderView *Header = Form->ListViewResults->header();
  const auto ClickColumn = [&](int Column) {
    const QPoint At(Header->sectionViewportPosition(Column) + 10, Header->height() / 2);
    QTest::mouseClick(Header->viewport(), Qt::LeftButton, Qt::NoModifier, At);
  };
  Form->ListViewResults->setEnabled(false);
  ClickColumn(0);
  EXPECT_EQ(Form->ListViewSortedColumnNo(), -1);
  Form->ListViewResults->setEnabled(true);
  ClickColumn(0);
  EXPECT_EQ(Form->ListViewSortedColumnNo(), 0);
  EXPECT_EQ(ColumnTexts(*Form, 0).first(), QStringLiteral("Alpha"));
}

// Read-only as during a run: no selection and no sorting by the user, but
// the list scrolls.
TEST_F(FormMainSortTest, ReadOnlyListScrollsButNeitherSelectsNorSorts) {
  QString Many;
  for (int I = 0; I < 60; ++I) Many += QStringLiteral("d%1=127.0.0.%2\n").arg(59 - I).arg(I + 1);
  WriteSettings(Many);
  Form = Create();
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  QTreeWidget *List = Form->ListViewResults;
  QHeaderView *Header = List->header();
  const auto ClickColumn = [&](int Column) {
    QTest::mouseClick(Header->viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(Header->sectionViewportPosition(Column) + 10, Header->height() / 2));
  };
  const auto ClickRow = [&](int Row) {
    QTest::mouseClick(List->viewport(), Qt::LeftButton, Qt::NoModifier,
                      List->visualItemRect(List->topLevelItem(Row)).center());
  };
  const struct { bool ReadOnly; } Table[] = {{true}, {false}};
  for (const auto &Row : Table) {
    List->clearSelection();
    List->verticalScrollBar()->setValue(0);
    Form->SetListReadOnly(Row.ReadOnly);
    EXPECT_EQ(Form->ListReadOnly(), Row.ReadOnly);
    EXPECT_TRUE(List->isEnabled());
    ClickRow(1);
    EXPECT_EQ(List->selectedItems().size(), Row.ReadOnly ? 0 : 1);
    ClickColumn(0);
    EXPECT_EQ(Form->ListViewSortedColumnNo(), Row.ReadOnly ? -1 : 0);
    ASSERT_GT(List->verticalScrollBar()->maximum(), 0);
    QTest::keyClick(List->verticalScrollBar(), Qt::Key_PageDown);
    EXPECT_GT(List->verticalScrollBar()->value(), 0) << "the list does not scroll";
  }
}

TEST_F(FormMainTest, ProgramClickRespectsTheEnabledState) {
  const auto Form = Create();
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  Form->MenuItemExit->setEnabled(false);
  Form->ClickMenuItem(Form->MenuItemExit);
  EXPECT_TRUE(Form->isVisible());
  Form->MenuItemExit->setEnabled(true);
  Form->ClickMenuItem(Form->MenuItemExit);
  EXPECT_FALSE(Form->isVisible());
}

TEST_F(FormMainTest, ReadMeOpensTheFileBesideTheExecutable) {
  const TUrlRecorder Opener;
  const auto Form = Create();
  Form->MenuItemReadMeClick();  // missing: nothing opened, nothing shown
  EXPECT_TRUE(Opener.Opened.isEmpty());
  const QString ReadMe = Temp.writeText(QStringLiteral("ReadMe.txt"), QStringLiteral("read me"));
  Form->ClickMenuItem(Form->MenuItemReadMe);
  ASSERT_EQ(Opener.Opened.size(), 1);
  EXPECT_EQ(Opener.Opened[0], QUrl::fromLocalFile(ReadMe));
}

TEST_F(FormMainTest, ShortcutInvokesItsItemOnlyWhenEnabled) {
  const TUrlRecorder Opener;
  Temp.writeText(QStringLiteral("ReadMe.txt"), QStringLiteral("read me"));
  const auto Form = Create();
  Form->show();
  Form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  Form->MenuItemReadMe->setEnabled(false);
  QTest::keyClick(Form.get(), Qt::Key_F1);
  EXPECT_TRUE(Opener.Opened.isEmpty());
  Form->MenuItemReadMe->setEnabled(true);
  QTest::keyClick(Form.get(), Qt::Key_F1);
  EXPECT_EQ(Opener.Opened.size(), 1);
}

TEST_F(FormMainTest, AboutShowsVersionAndCreditOnTwoLines) {
  const auto Form = Create();
  EXPECT_TRUE(Form->AboutText().startsWith(QStringLiteral("Dervik 7.8.9\r")));
  const TModalBoxCatcher Box;
  Form->ClickMenuItem(Form->MenuItemAbout);
  ASSERT_EQ(Box.Count(), 1);
  const QStringList Lines = Box.Text().split(u'\n');
  ASSERT_EQ(Lines.size(), 2);
  EXPECT_EQ(Lines[0], QStringLiteral("Dervik 7.8.9"));
  EXPECT_FALSE(Lines[1].isEmpty());
  EXPECT_EQ(Box.Title(), QStringLiteral("Pelorin"));
  EXPECT_EQ(Box.Icon(), QMessageBox::Information);
  EXPECT_EQ(Box.Buttons(), QMessageBox::Ok);
}

TEST_F(FormMainTest, CommandLineSwitchesSetTheAutomaticFlags) {
  const struct {
    QStringList Arguments;
    bool Run, SMTP, SysLog;
  } Table[] = {
      {{}, false, false, false},
      {{"/AUTO"}, true, true, true},
      {{"/auto"}, true, true, true},
      {{"/AUTORUN"}, true, false, false},
      {{"/AutoSmtp"}, false, true, false},
      {{"/AUTOSYSLOG"}, false, false, true},
      {{"/AUTORUN", "/AUTOSYSLOG"}, true, false, true},
      {{"/AUTOX", "AUTO", "-AUTO", " /AUTO", "/AUTO ", "/AUTORUNX"}, false, false, false},
  };
  for (const auto &Row : Table) {
    const auto Form = Create(Row.Arguments);
    const std::string Args = Row.Arguments.join(u' ').toStdString();
    EXPECT_EQ(Form->AutoRun(), Row.Run) << Args;
    EXPECT_EQ(Form->AutoSMTP(), Row.SMTP) << Args;
    EXPECT_EQ(Form->AutoSysLog(), Row.SysLog) << Args;
  }
}

}  // namespace
