// The main window: the results list of every device, the status bar, the
// menus and the commands behind them. What the window does around the check
// run, the reports and the automatic sequence live in form_main_*.cpp beside
// this file; the check run itself in check_run.h.
#pragma once

#include "auto_mode.h"
#include "history_store.h"
#include "report_rules.h"
#include "settings.h"

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
class TCheckRun;
class THistoryWindow;
struct TCheckCounts;
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
  // and each whole in the tooltip with what to fix.
  void ShowReportOutcomes(const QStringList& Outcomes);
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

  // The check run and the reports.
  void RunCheck();
  bool SendResultsToSMTP();
  bool SendResultsToSysLog();

  TSettings& Settings() { return *FSettings; }
  const QString& SettingsFileName() const { return FSettingsFileName; }
  // Why the list is empty or short: no settings file found, the file found
  // not usable, or devices left out; empty when the file was read whole.
  const QString& SettingsProblem() const { return FSettingsProblem; }
  const QString& ApplVersion() const { return FApplVersion; }
  int ListViewSortedColumnNo() const { return FListViewSortedColumnNo; }
  // The device whose requests go now in a run of one device after the
  // other; none outside such a run.
  TDevice* CurrentDevice() const;
  bool AutoRun() const { return FAutoRun; }
  bool AutoSMTP() const { return FAutoSMTP; }
  bool AutoSysLog() const { return FAutoSysLog; }
  // How the last click of each report command ended.
  TReportResult LastSMTPReport() const { return FLastSMTPReport; }
  TReportResult LastSysLogReport() const { return FLastSysLogReport; }
  // Queued reports of earlier runs that the last mail report found refused
  // for good (left as ".failed") or damaged (set aside as ".bad"), each
  // naming the file and why.
  const QStringList& LostQueuedMail() const { return FLostQueuedMail; }
  // What to change after the last mail report failed or was queued, or empty.
  const QString& MailReportHint() const { return FMailReportHint; }
  // Why the last check run could not start, or empty when it started.
  const QString& CheckNotStarted() const { return FCheckNotStarted; }
  // Why the last run, though it ended, checked nothing (no device, no ping,
  // no time-out: NothingCheckedText); empty after a run that checked.
  const QString& NothingChecked() const { return FNothingChecked; }
  // Most devices in flight at one time in the last run with Parallel above
  // 1; 0 after a run of one device after the other.
  int LastCheckPeakInFlight() const { return FLastCheckPeakInFlight; }
  // The last finished run against the one before it (run_state.h); none
  // before a run and after one that checked nothing.
  const std::optional<TRunChanges>& RunChanges() const { return FRunChanges; }
  // Why the last run's state could not be read or kept, or empty.
  const QString& RunStateMessage() const { return FRunStateMessage; }

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
  void SetAutoRunMonitor(TAutoRunMonitor* Monitor) { FAutoRunMonitor = Monitor; }
  // "Dervik ", the version, a carriage return and the credit line.
  QString AboutText() const;

protected:
  void showEvent(QShowEvent* Event) override;
  void customEvent(QEvent* Event) override;

private:
  void CreateParts();
  void CreateMenus();
  void CreateResultsList();
  void CreateStatusBar();
  void CreatePingComponent();
  void CreateSMTPComponent();
  void CreateSysLogComponent();
  QAction* AddMenuItem(QMenu* Menu, const QString& Caption, const QKeySequence& ShortCut,
                       void (TFormMain::*Handler)());
  void ReadCommandLineSwitches();
  void WMAutoRun();
  void SortRows(QList<QTreeWidgetItem*>& Rows) const;
  // What the window does around the check run (RunCheck; the run itself is
  // check_run.h's).
  void SetCheckCommandsEnabled(bool Enabled);
  void ConfigureCheck();
  void StampCheck(const TCheckCounts& Counts);
  // After a finished run: its results into the history and the files an
  // unattended run was asked for.
  void RecordRun();
  void CreateHistoryCommands();
  // The run compared with the last one kept for the settings file, and
  // kept for the next (form_main_changes.cpp).
  void KeepRunState();
  // Rows whose device changed category since the last run: bold, and the
  // tooltip says what it was.
  void MarkChangedRows();
  // Why a rule leaves the automatic sequence's report out, or empty.
  QString ReportLeftOut(TReportKind Kind) const;
  // Why the last run could not check, when a report can tell it, or empty.
  QString NotRunCause() const;
  // The short report of a run that could not check, once per cause, by the
  // rules that wait for trouble. rrNotSent and Why when it does not go.
  TReportResult SendNotRunReport(TReportKind Kind, QString& Why);

  // The check run going on (it lives in RunCheck), or none.
  TCheckRun* FCheckRun = nullptr;
  QString FApplVersion;
  int FListViewSortedColumnNo = -1;
  std::unique_ptr<TSettings> FSettings;
  QString FSettingsFileName;
  QString FSettingsProblem;
  // The history that the runs are written into, open from run to run.
  std::unique_ptr<THistoryStore> FHistoryStore;
  bool FSettingsUnused = false;
  bool FListReadOnly = false;  // the problem means no file was read
  bool FAutoRun = false;
  bool FAutoSMTP = false;
  bool FAutoSysLog = false;
  TReportResult FLastSMTPReport = rrNotSent;
  TReportResult FLastSysLogReport = rrNotSent;
  // The last mail report was kept in the queue folder instead of sent.
  bool FSMTPQueued = false;
  // Reports of the queue folder that the last mail report found refused for
  // good or damaged, each naming its file and why.
  QStringList FLostQueuedMail;
  QString FMailReportHint;
  // Why the last check run could not start (no ping port), or empty.
  QString FCheckNotStarted;
  QString FNothingChecked;
  int FLastCheckPeakInFlight = 0;
  std::optional<TRunChanges> FRunChanges;
  QString FRunStateMessage;
  // While set, the reports send the short report of a run that could not
  // check, for this cause, instead of the results.
  QString FNotRunCause;
  TAutoRunMonitor* FAutoRunMonitor = nullptr;

  TStartup FStartup;
  QCollator FCollator;
  TStatusPanel* FStatusPanels[StatusPanelCount] = {};
  TResultsColumns* FResultsColumns = nullptr;  // a child of the list
  QHash<QAction*, void (TFormMain::*)()> FMenuHandlers;
  QHash<int, std::function<void()>> FWindowMessageHandlers;
};
