// The main window: the results list of every device, the status bar, the
// menus and the commands behind them. The run itself (settings, check, run
// state, history, reports) is TRunSequence's (run_sequence.h); the window
// calls its steps and shows what they tell. What the window does around the
// check run, the reports and the automatic sequence lives in form_main_*.cpp
// beside this file.
#pragma once

#include "reports/report_rules.h"
#include "run/run_sequence.h"
#include "settings/settings.h"
#include "start/auto_mode.h"

#include <QCollator>
#include <QHash>
#include <QMainWindow>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QLabel;
class QMenu;
class QMenuBar;
class QStatusBar;
class QTreeWidget;
class QTreeWidgetItem;
class THistoryWindow;
class TResultsColumns;
class TStatusPanel;
class TpelPing;
class TpelSMTP;
class TpelSysLog;

class TFormMain : public QMainWindow {
  Q_OBJECT

public:
  // Where the window takes its files and switches from: the running
  // program's real path and arguments unless a caller supplies others.
  struct TStartup {
    QString ExecutableFile;
    QStringList Arguments;  // program name excluded
    // Where the user's settings file is looked for when none lies beside
    // the program (ConfigHomeFromEnvironment); empty: only beside it.
    QString ConfigHome = QString();
    // Where the history of the runs is kept (DataHomeFromEnvironment);
    // empty: this window keeps none.
    QString DataHome = QString();
    static TStartup FromProcess();
  };

  explicit TFormMain(QWidget* Parent = nullptr);
  explicit TFormMain(const TStartup& Startup, QWidget* Parent = nullptr);
  ~TFormMain() override;

  // Parts of the window.
  QMenuBar* MainMenu1 = nullptr;
  QMenu* MenuFunctions = nullptr;
  QMenu* MenuHelp = nullptr;
  QAction* MenuItemRun = nullptr;
  QAction* N1 = nullptr;
  QAction* MenuItemSendToSMTP = nullptr;
  QAction* MenuItemSendToSysLog = nullptr;
  QAction* N2 = nullptr;
  QAction* MenuItemExit = nullptr;
  QAction* MenuItemReadMe = nullptr;
  QAction* MenuItemAbout = nullptr;
  QMenu* MenuView = nullptr;
  QAction* MenuItemHistory = nullptr;
  QTreeWidget* ListViewResults = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  // The ping component of the check run; a child of the window.
  TpelPing* pelPing1 = nullptr;
  // The mail component of the mail report; a child of the window.
  TpelSMTP* pelSMTP1 = nullptr;
  // The syslog component of the syslog report; a child of the window.
  TpelSysLog* pelSysLog1 = nullptr;

  // Columns of ListViewResults; a row's cell n is column n + 1.
  static constexpr int ColumnDevice = 0;
  static constexpr int ColumnAddress = 1;
  static constexpr int ColumnStatus = 2;
  static constexpr int ColumnRoundTrip = 3;
  static constexpr int CellAddress = 0;
  static constexpr int CellStatus = 1;
  static constexpr int CellRoundTrip = 2;
  static constexpr int StatusPanelCount = 2;

  // Event handlers.
  void FormCreate();
  void FormDestroy();
  void FormShow();
  void MenuItemRunClick();
  void MenuItemSendToSMTPClick();
  void MenuItemSendToSysLogClick();
  void MenuItemExitClick();
  void MenuItemReadMeClick();
  void MenuItemAboutClick();
  void MenuItemHistoryClick();
  void ListViewResultsColumnClick(int Column);
  void pelPing1Response(QObject* Sender, int RequestId, const QString& ResponseSource,
                        const QString& ResponseStatus, int ResponseTime);
  void pelPing1Error(QObject* Sender, int ErrorCode, const QString& Description);
  void pelSMTP1Error(QObject* Sender, int ErrorCode, const QString& Description);
  void pelSysLog1Error(QObject* Sender, int ErrorCode, const QString& Description);
  // Negative, zero or positive, as Item1 sorts before, with or after Item2
  // by the column last clicked; every pair is equal while none was clicked.
  int ListViewResultsCompare(const QTreeWidgetItem* Item1, const QTreeWidgetItem* Item2) const;

  // Window operations the commands use.
  // Runs the item's handler as a click would, but only when the item is
  // enabled. An exception from the handler reaches the caller.
  void ClickMenuItem(QAction* Item);
  // The panel shows a text longer than itself cut in the middle, and the
  // whole text in its tooltip; StatusPanelText gives the whole text. A
  // ToolTip given is the tooltip whatever the text's length.
  void SetStatusPanelText(int Index, const QString& Text, const QString& ToolTip = QString());
  QString StatusPanelText(int Index) const;
  QString StatusPanelToolTip(int Index) const;
  // Panel 0 after several reports went: each ending in one line, joined,
  // and each whole in the tooltip with what to fix (Hints).
  void ShowReportOutcomes(const QStringList& Outcomes, const QStringList& Hints);
  // The handler of a private window message posted with PostWindowMessage.
  void SetWindowMessageHandler(int Message, std::function<void()> Handler);
  // The device a row of ListViewResults shows (borrowed), or none.
  static TDevice* RowDevice(const QTreeWidgetItem* Row);
  static void SetRowCell(QTreeWidgetItem* Row, int Cell, const QString& Text);
  // The device's mean round trip in its cell, the range in the row's tooltip.
  static void SetRowRoundTrip(QTreeWidgetItem* Row, const TDevice& Device);
  // Orders the rows by ListViewResultsCompare; rows that compare equal keep
  // their order.
  void SortListView();
  // Rebuilds the rows from the settings' devices and the status bar texts.
  void RefreshListView();
  // Read-only as during a check run: the user can scroll the list but
  // neither select nor sort rows.
  void SetListReadOnly(bool ReadOnly);
  bool ListReadOnly() const { return FListReadOnly; }
  // Looks for the settings file (beside the program, then in the user's
  // configuration folder) and loads it; SettingsProblem says what went wrong.
  void LoadSettings();

  // The check run, with the commands locked while it goes.
  void RunCheck();
  // The run the window shows; its components are the window's.
  TRunSequence& RunSequence() { return *FSequence; }

  TSettings& Settings() { return FSequence->Settings(); }
  const QString& SettingsFileName() const { return FSequence->SettingsFileName(); }
  // Why the list is empty or short: no settings file found, the file found
  // not usable, or devices left out; empty when the file was read whole.
  const QString& SettingsProblem() const { return FSequence->SettingsProblem(); }
  const QString& ApplVersion() const { return FApplVersion; }
  int ListViewSortedColumnNo() const { return FListViewSortedColumnNo; }
  // The device whose requests go now in a run of one device after the
  // other; none outside such a run.
  TDevice* CurrentDevice() const;
  bool AutoRun() const { return FAutoSwitches.Run; }
  bool AutoSMTP() const { return FAutoSwitches.SMTP; }
  bool AutoSysLog() const { return FAutoSwitches.SysLog; }
  // How the last click of each report command ended.
  TReportResult LastSMTPReport() const { return FSequence->LastReport(QStringLiteral("mail")).Result; }
  TReportResult LastSysLogReport() const { return FSequence->LastReport(QStringLiteral("syslog")).Result; }
  // Queued reports of earlier runs that the last mail report found refused
  // for good (left as ".failed") or damaged (set aside as ".bad"), each
  // naming the file and why.
  QStringList LostQueuedMail() const { return FSequence->LastReport(QStringLiteral("mail")).LostQueued; }
  // What to change after the last mail report failed or was queued, or empty.
  QString MailReportHint() const { return FSequence->LastReport(QStringLiteral("mail")).Hint; }
  // Why the last check run could not start, or empty when it started.
  const QString& CheckNotStarted() const { return FSequence->Result().Check.NotStarted; }
  // Why the last run, though it ended, checked nothing (no device, no ping,
  // no time-out: NothingCheckedText); empty after a run that checked.
  const QString& NothingChecked() const { return FSequence->Result().Check.NothingChecked; }
  // Most devices in flight at one time in the last run with Parallel above
  // 1; 0 after a run of one device after the other.
  int LastCheckPeakInFlight() const { return FSequence->Result().PeakInFlight; }
  // The last finished run against the one before it (run_state.h); none
  // before a run and after one that checked nothing.
  const std::optional<TRunChanges>& RunChanges() const { return FSequence->Result().Changes; }
  // Why the last run's state could not be read or kept, or empty.
  const QString& RunStateMessage() const { return FSequence->Result().RunStateMessage; }

  // The history database of the settings file, or empty when this window
  // keeps no history.
  QString HistoryDatabase() const;
  // Opens the history window of a device; none (and panel 0 says why) when
  // no history is kept.
  THistoryWindow* ShowHistory(const QString& DeviceName);

  // The private window message of the automatic sequence.
  static constexpr int WM_AUTORUN = 1025;
  // Watches the automatic sequence for an unattended run (borrowed; none by
  // default, and then the sequence is exactly the window's own).
  void SetAutoRunMonitor(TAutoRunMonitor* Monitor);
  // "Dervik ", the version, a carriage return and the credit line.
  QString AboutText() const;

protected:
  void showEvent(QShowEvent* Event) override;
  void customEvent(QEvent* Event) override;

private:
  class TFormRunView;
  void CreateParts();
  void CreateMenus();
  void CreateResultsList();
  void CreateStatusBar();
  void CreatePingComponent();
  void CreateSMTPComponent();
  void CreateSysLogComponent();
  // The run over the window's components, showing through the window.
  void CreateRunSequence();
  QAction* AddMenuItem(QMenu* Menu, const QString& Caption, const QKeySequence& ShortCut,
                       void (TFormMain::*Handler)());
  void ReadCommandLineSwitches();
  void WMAutoRun();
  void SortRows(QList<QTreeWidgetItem*>& Rows) const;
  void SetCheckCommandsEnabled(bool Enabled);
  void CreateHistoryCommands();
  // Rows whose device changed category since the last run: bold, and the
  // tooltip says what it was (form_main_changes.cpp).
  void MarkChangedRows();
  // The menu command of a report channel: the channel's report by hand.
  void SendReport(const QString& Channel);

  QString FApplVersion;
  int FListViewSortedColumnNo = -1;
  bool FListReadOnly = false;
  TAutoSwitches FAutoSwitches;
  TAutoRunMonitor* FAutoRunMonitor = nullptr;
  // The run; it borrows the window's components and shows through FRunView.
  std::unique_ptr<TRunSequence> FSequence;
  std::unique_ptr<TRunView> FRunView;

  TStartup FStartup;
  QCollator FCollator;
  TStatusPanel* FStatusPanels[StatusPanelCount] = {};
  TResultsColumns* FResultsColumns = nullptr;  // a child of the list
  QHash<QAction*, void (TFormMain::*)()> FMenuHandlers;
  QHash<int, std::function<void()>> FWindowMessageHandlers;
};
