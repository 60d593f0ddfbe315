#include "window/form_main.h"

#include "start/application.h"
#include "start/file_version.h"
#include "window/framework_ops.h"
#include "history/history_store.h"
#include "common/locale_texts.h"
#include "start/program_files.h"
#include "window/results_columns.h"
#include "settings/settings_file.h"
#include "window/status_panel.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QResizeEvent>
#include <QShowEvent>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <vector>

namespace {

constexpr int ClientWidth = 485;
constexpr int ClientHeight = 236;  // the status bar included, the menu bar not
constexpr int ListMargin = 3;
constexpr int MinimumColumnWidth = 48;

struct TColumn {
  const char* Caption;
  int Width;  // at least, while the list has room; the texts may widen it
};
constexpr std::array<TColumn, 4> Columns{
    {{"Device", 96}, {"Address", 128}, {"Status", 120}, {"Round trip", 64}}};

// Panel 0 at least, panel 1 always.
constexpr std::array<int, TFormMain::StatusPanelCount> StatusPanelWidths{360, 128};

// The two panels side by side: panel 0 takes the width the window leaves
// beside panel 1, and at least its own; panel 1 keeps its width. A window
// narrower than both cuts panel 1 at its edge instead of being forced wider,
// as a layout of minimum widths would.
class TStatusPanels : public QWidget {
public:
  using QWidget::QWidget;
  TStatusPanel* Panels[TFormMain::StatusPanelCount] = {};

  void LayOut() {
    const int Width0 = std::max(StatusPanelWidths[0], width() - StatusPanelWidths[1]);
    Panels[0]->setGeometry(0, 0, Width0, height());
    Panels[1]->setGeometry(Width0, 0, StatusPanelWidths[1], height());
  }

protected:
  void resizeEvent(QResizeEvent* Event) override {
    QWidget::resizeEvent(Event);
    LayOut();
  }
};

constexpr char CreditLine[] = "A connection check for network devices, by the Pelorin project.";

// The row keeps a borrowed pointer to its device in this role.
constexpr int DeviceRole = Qt::UserRole;

QTreeWidgetItem* MakeRow(TDevice* Device) {
  auto* Row = new QTreeWidgetItem(QStringList{Device->DeviceName(), Device->DeviceHostAddress(),
                                              Device->DeviceStatusToString(), QString()});
  Row->setData(TFormMain::ColumnDevice, DeviceRole, QVariant::fromValue(static_cast<void*>(Device)));
  TFormMain::SetRowRoundTrip(Row, *Device);
  return Row;
}

// Panel 0 after a run: its summary and time; after a run that checked
// nothing, why, with the time, and after the summary when there is one.
QString CheckOutcomeText(const QString& Summary, const QDateTime& Time, const QString& NothingChecked) {
  const QString Stamp = QStringLiteral("%1 (%2)").arg(Summary, FormatDateTimeForDisplay(Time));
  if (NothingChecked.isEmpty())
    return Stamp;
  if (Summary.isEmpty())
    return NothingChecked + Stamp;
  return QStringLiteral("%1 - %2").arg(Stamp, NothingChecked);
}

}  // namespace

TFormMain::TStartup TFormMain::TStartup::FromProcess() {
  QStringList Arguments = QCoreApplication::arguments();
  if (!Arguments.isEmpty())
    Arguments.removeFirst();
  return {ExecutableFilePath(), Arguments, ConfigHomeFromEnvironment(), DataHomeFromEnvironment()};
}

TFormMain::TFormMain(QWidget* Parent) : TFormMain(TStartup::FromProcess(), Parent) {}

TFormMain::TFormMain(const TStartup& Startup, QWidget* Parent) : QMainWindow(Parent), FStartup(Startup) {
  setObjectName(QStringLiteral("FormMain"));
  CreateParts();
  FormCreate();
}

TFormMain::~TFormMain() { FormDestroy(); }

void TFormMain::CreateParts() {
  // Tahoma 8 point where it is installed, else the desktop's face at the
  // same size: the layout's fixed widths were made for it.
  if (QFontDatabase::families().contains(QStringLiteral("Tahoma"), Qt::CaseInsensitive)) {
    setFont(QFont(QStringLiteral("Tahoma"), 8));
  } else {
    QFont Font = font();
    Font.setPointSize(8);
    setFont(Font);
  }
  FCollator.setCaseSensitivity(Qt::CaseInsensitive);
  setWindowIcon(QIcon(QString::fromLatin1(ProgramIconResource)));
  CreateMenus();
  CreateResultsList();
  CreateStatusBar();
  CreateHistoryCommands();
  resize(ClientWidth, ClientHeight + MainMenu1->sizeHint().height());
}

QAction* TFormMain::AddMenuItem(QMenu* Menu, const QString& Caption, const QKeySequence& ShortCut,
                                void (TFormMain::*Handler)()) {
  QAction* Item = Menu->addAction(Caption);
  Item->setShortcut(ShortCut);
  FMenuHandlers.insert(Item, Handler);
  connect(Item, &QAction::triggered, this, [this, Handler] { RunGuarded([&] { (this->*Handler)(); }); });
  return Item;
}

void TFormMain::CreateMenus() {
  MainMenu1 = menuBar();
  MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
  MenuFunctions = MainMenu1->addMenu(QStringLiteral("&Functions"));
  MenuItemRun = AddMenuItem(MenuFunctions, QStringLiteral("Run"), QKeySequence(Qt::CTRL | Qt::Key_R),
                            &TFormMain::MenuItemRunClick);
  N1 = MenuFunctions->addSeparator();
  MenuItemSendToSMTP = AddMenuItem(MenuFunctions, QStringLiteral("Send results as mail"),
                                   QKeySequence(Qt::CTRL | Qt::Key_M), &TFormMain::MenuItemSendToSMTPClick);
  MenuItemSendToSysLog =
      AddMenuItem(MenuFunctions, QStringLiteral("Send results to SysLog"), QKeySequence(Qt::CTRL | Qt::Key_L),
                  &TFormMain::MenuItemSendToSysLogClick);
  N2 = MenuFunctions->addSeparator();
  MenuItemExit =
      AddMenuItem(MenuFunctions, QStringLiteral("Exit"), QKeySequence(), &TFormMain::MenuItemExitClick);
  MenuHelp = MainMenu1->addMenu(QStringLiteral("&Help"));
  MenuItemReadMe = AddMenuItem(MenuHelp, QStringLiteral("Read me"), QKeySequence(Qt::Key_F1),
                               &TFormMain::MenuItemReadMeClick);
  MenuItemAbout =
      AddMenuItem(MenuHelp, QStringLiteral("About"), QKeySequence(), &TFormMain::MenuItemAboutClick);

  const std::pair<QObject*, const char*> Names[] = {
      {MenuItemRun, "MenuItemRun"},
      {N1, "N1"},
      {MenuItemSendToSMTP, "MenuItemSendToSMTP"},
      {MenuItemSendToSysLog, "MenuItemSendToSysLog"},
      {N2, "N2"},
      {MenuItemExit, "MenuItemExit"},
      {MenuItemReadMe, "MenuItemReadMe"},
      {MenuItemAbout, "MenuItemAbout"},
  };
  for (const auto& [Object, Name] : Names)
    Object->setObjectName(QString::fromLatin1(Name));
}

void TFormMain::CreateResultsList() {
  auto* Client = new QWidget(this);
  auto* Layout = new QVBoxLayout(Client);
  Layout->setContentsMargins(ListMargin, ListMargin, ListMargin, ListMargin);
  ListViewResults = new QTreeWidget(Client);
  ListViewResults->setObjectName(QStringLiteral("ListViewResults"));
  Layout->addWidget(ListViewResults);
  setCentralWidget(Client);

  // A flat list in report view: whole rows, nothing editable, no tree.
  ListViewResults->setRootIsDecorated(false);
  ListViewResults->setItemsExpandable(false);
  ListViewResults->setUniformRowHeights(true);
  ListViewResults->setSelectionMode(QAbstractItemView::SingleSelection);
  ListViewResults->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListViewResults->setAllColumnsShowFocus(true);
  ListViewResults->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Sorting goes only through ListViewResultsCompare, never the view's own.
  ListViewResults->setSortingEnabled(false);

  QStringList Captions;
  for (const TColumn& Column : Columns)
    Captions.append(QString::fromLatin1(Column.Caption));
  ListViewResults->setHeaderLabels(Captions);
  QHeaderView* Header = ListViewResults->header();
  Header->setMinimumSectionSize(MinimumColumnWidth);
  Header->setSectionsClickable(true);
  Header->setSectionsMovable(false);
  Header->setSortIndicatorShown(false);
  std::vector<int> BaseWidths;
  for (const TColumn& Column : Columns)
    BaseWidths.push_back(Column.Width);
  FResultsColumns = new TResultsColumns(ListViewResults, std::move(BaseWidths), MinimumColumnWidth);
  FResultsColumns->Measure();
  connect(Header, &QHeaderView::sectionClicked, this,
          [this](int Column) { RunGuarded([&] { ListViewResultsColumnClick(Column); }); });
}

void TFormMain::CreateStatusBar() {
  StatusBar1 = statusBar();
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  auto* Panels = new TStatusPanels(StatusBar1);
  int Height = 0;
  for (int Index = 0; Index < StatusPanelCount; ++Index) {
    auto* Panel = new TStatusPanel(Panels);
    Panel->setObjectName(QStringLiteral("StatusPanel%1").arg(Index));
    Panel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    // Faces wider than Tahoma are drawn a little narrower here, so that a
    // run's summary and its time fit into panel 0 at the default size.
    QFont Narrow = font();
    Narrow.setStretch(QFont::SemiCondensed);
    Panel->setFont(Narrow);
    Height = std::max(Height, Panel->sizeHint().height());
    FStatusPanels[Index] = Panel;
    Panels->Panels[Index] = Panel;
  }
  Panels->setFixedHeight(Height);
  Panels->setMinimumWidth(0);
  Panels->LayOut();
  StatusBar1->addWidget(Panels, 1);
}

void TFormMain::FormCreate() {
  CreatePingComponent();
  CreateSMTPComponent();
  CreateSysLogComponent();
  CreateRunSequence();
  const TFileVersion Version = GetFileVersion(FStartup.ExecutableFile);
  FApplVersion = QStringLiteral("%1.%2.%3").arg(Version.Major).arg(Version.Minor).arg(Version.Release);
  setWindowTitle(QCoreApplication::applicationName() + u' ' + FApplVersion);
  FListViewSortedColumnNo = -1;
  FAutoSwitches = TAutoSwitches();
  ReadCommandLineSwitches();
  SetWindowMessageHandler(WM_AUTORUN, [this] { WMAutoRun(); });
  LoadSettings();
  RefreshListView();
}

void TFormMain::LoadSettings() { FSequence->LoadSettings(); }

void TFormMain::FormDestroy() {
  // The rows borrow the devices, so they go first.
  if (ListViewResults != nullptr)
    ListViewResults->clear();
  // Answers that still come count for no device of the settings going now.
  FSequence.reset();
}

void TFormMain::showEvent(QShowEvent* Event) {
  QMainWindow::showEvent(Event);
  // Restoring from the task bar is a spontaneous show and no new start.
  if (!Event->spontaneous())
    RunGuarded([this] { FormShow(); });
}

void TFormMain::customEvent(QEvent* Event) {
  if (Event->type() != TWindowMessageEvent::EventType()) {
    QMainWindow::customEvent(Event);
    return;
  }
  const auto It = FWindowMessageHandlers.constFind(static_cast<TWindowMessageEvent*>(Event)->Message());
  if (It != FWindowMessageHandlers.cend())
    RunGuarded(It.value());
}

void TFormMain::SetWindowMessageHandler(int Message, std::function<void()> Handler) {
  FWindowMessageHandlers.insert(Message, std::move(Handler));
}

void TFormMain::ClickMenuItem(QAction* Item) {
  if (Item == nullptr || !Item->isEnabled())
    return;
  const auto It = FMenuHandlers.constFind(Item);
  if (It != FMenuHandlers.cend())
    (this->*It.value())();
}

void TFormMain::SetStatusPanelText(int Index, const QString& Text, const QString& ToolTip) {
  if (Index >= 0 && Index < StatusPanelCount)
    FStatusPanels[Index]->SetWholeText(Text, ToolTip);
}

QString TFormMain::StatusPanelToolTip(int Index) const {
  return Index >= 0 && Index < StatusPanelCount ? FStatusPanels[Index]->toolTip() : QString();
}

QString TFormMain::StatusPanelText(int Index) const {
  return Index >= 0 && Index < StatusPanelCount ? FStatusPanels[Index]->WholeText() : QString();
}

TDevice* TFormMain::RowDevice(const QTreeWidgetItem* Row) {
  return Row == nullptr ? nullptr : static_cast<TDevice*>(Row->data(ColumnDevice, DeviceRole).value<void*>());
}

void TFormMain::SetRowCell(QTreeWidgetItem* Row, int Cell, const QString& Text) {
  if (Row != nullptr && Cell >= CellAddress && Cell <= CellRoundTrip)
    Row->setText(Cell + 1, Text);
}

void TFormMain::SetRowRoundTrip(QTreeWidgetItem* Row, const TDevice& Device) {
  if (Row == nullptr)
    return;
  SetRowCell(Row, CellRoundTrip, Device.RoundTripText());
  // The whole row tells the range, whichever cell the pointer rests on.
  const QString Range = Device.RoundTripRangeText();
  for (int Column = 0; Column < Row->columnCount(); ++Column)
    Row->setToolTip(Column, Range);
}

namespace {

// Round trips compare by their exact mean; rows without one come after
// every row with one.
int CompareRoundTrips(const TDevice* Device1, const TDevice* Device2) {
  const double Time1 = Device1 != nullptr ? Device1->RoundTripAverageMicroseconds() : -1.0;
  const double Time2 = Device2 != nullptr ? Device2->RoundTripAverageMicroseconds() : -1.0;
  if ((Time1 < 0) != (Time2 < 0))
    return Time1 < 0 ? 1 : -1;
  return Time1 < Time2 ? -1 : (Time2 < Time1 ? 1 : 0);
}

}  // namespace

int TFormMain::ListViewResultsCompare(const QTreeWidgetItem* Item1, const QTreeWidgetItem* Item2) const {
  if (FListViewSortedColumnNo == ColumnRoundTrip)
    return CompareRoundTrips(RowDevice(Item1), RowDevice(Item2));
  if (FListViewSortedColumnNo < ColumnDevice || FListViewSortedColumnNo > ColumnStatus)
    return 0;
  return FCollator.compare(Item1->text(FListViewSortedColumnNo), Item2->text(FListViewSortedColumnNo));
}

void TFormMain::SortRows(QList<QTreeWidgetItem*>& Rows) const {
  if (FListViewSortedColumnNo < 0)
    return;  // every pair compares equal: file order stays
  std::stable_sort(Rows.begin(), Rows.end(), [this](const QTreeWidgetItem* A, const QTreeWidgetItem* B) {
    return ListViewResultsCompare(A, B) < 0;
  });
}

void TFormMain::SortListView() {
  QList<QTreeWidgetItem*> Rows = ListViewResults->invisibleRootItem()->takeChildren();
  SortRows(Rows);
  ListViewResults->addTopLevelItems(Rows);
}

void TFormMain::ListViewResultsColumnClick(int Column) {
  // Always ascending: a second click on the same column sorts the same way.
  FListViewSortedColumnNo = Column;
  SortListView();
}

void TFormMain::RefreshListView() {
  ListViewResults->clear();
  const TSettings& S = FSequence->Settings();
  QList<QTreeWidgetItem*> Rows;
  Rows.reserve(static_cast<qsizetype>(S.Devices().size()));
  for (const auto& Device : S.Devices())
    Rows.append(MakeRow(Device.get()));
  SortRows(Rows);
  ListViewResults->addTopLevelItems(Rows);
  MarkChangedRows();
  FResultsColumns->Measure();

  const qsizetype Count = Rows.size();
  SetStatusPanelText(1, (Count == 1 ? QStringLiteral("%1 device") : QStringLiteral("%1 devices")).arg(Count));
  // A file that was not read explains the empty list also after a run
  // (which then checked nothing); a shortened list is told until a run.
  const QString& Problem = FSequence->SettingsProblem();
  if (FSequence->SettingsUnused() || (!Problem.isEmpty() && !S.HasLastCheck()))
    SetStatusPanelText(0, Problem);
  else if (!S.HasLastCheck())
    SetStatusPanelText(0, QString());
  else
    SetStatusPanelText(0, CheckOutcomeText(S.LastCheckResult(), S.LastCheckDT(), NothingChecked()));
}

void TFormMain::SetListReadOnly(bool ReadOnly) {
  FListReadOnly = ReadOnly;
  if (ReadOnly)
    ListViewResults->clearSelection();
  ListViewResults->setSelectionMode(ReadOnly ? QAbstractItemView::NoSelection
                                             : QAbstractItemView::SingleSelection);
  ListViewResults->header()->setSectionsClickable(!ReadOnly);
}

void TFormMain::MenuItemExitClick() { close(); }

void TFormMain::MenuItemReadMeClick() {
  // A missing read-me gives no message: the result is deliberately unused.
  // When the desktop has no viewer for it, the program's own opener
  // (TDesktopFileOpener) shows it in a window of ours.
  ExecuteFile(FindReadMeFile(FStartup.ExecutableFile), QStringLiteral("open"));
}

QString TFormMain::AboutText() const {
  return QStringLiteral("Dervik ") + FApplVersion + QChar(13) + QString::fromLatin1(CreditLine);
}

void TFormMain::MenuItemAboutClick() { ShowInformationMessage(this, AboutText()); }
