// The history as the main window keeps and shows it: every finished run
// written to the settings file's history database, View > History and a
// double click on a row open a device's history window.
#include "form_main.h"

#include "device.h"
#include "history_store.h"
#include "history_window.h"
#include "run_export.h"

#include <QMenuBar>
#include <QTreeWidget>

void TFormMain::CreateHistoryCommands() {
  MenuView = new QMenu(QStringLiteral("&View"), MainMenu1);
  MainMenu1->insertMenu(MenuHelp->menuAction(), MenuView);
  MenuItemHistory = AddMenuItem(MenuView, QStringLiteral("History"), QKeySequence(Qt::CTRL | Qt::Key_H),
                                &TFormMain::MenuItemHistoryClick);
  MenuView->setObjectName(QStringLiteral("MenuView"));
  MenuItemHistory->setObjectName(QStringLiteral("MenuItemHistory"));
  connect(ListViewResults, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* Row) {
    if (const TDevice* Device = RowDevice(Row))
      ShowHistory(Device->DeviceName());
  });
}

void TFormMain::MenuItemHistoryClick() {
  QTreeWidgetItem* Row = ListViewResults->currentItem();
  if (Row == nullptr && ListViewResults->topLevelItemCount() > 0)
    Row = ListViewResults->topLevelItem(0);
  if (const TDevice* Device = RowDevice(Row))
    ShowHistory(Device->DeviceName());
  else
    SetStatusPanelText(0, QStringLiteral("No device to show the history of"));
}

QString TFormMain::HistoryDatabase() const {
  if (FStartup.DataHome.isEmpty() || FSettingsFileName.isEmpty())
    return QString();
  return HistoryDatabaseFile(FSettingsFileName, FStartup.DataHome);
}

THistoryWindow* TFormMain::ShowHistory(const QString& DeviceName) {
  const QString Database = HistoryDatabase();
  if (Database.isEmpty() || FSettings->HistoryKeep() <= 0) {
    SetStatusPanelText(0, QStringLiteral("No history is kept (Keep in [History] is 0)"));
    return nullptr;
  }
  auto* Window = new THistoryWindow(Database, DeviceName, QDateTime::currentDateTime(), this);
  Window->show();
  return Window;
}

void TFormMain::RecordRun() {
  // A run that checked nothing has no results to keep or pass on.
  if (FSettingsUnused || !FNothingChecked.isEmpty())
    return;
  const THistoryRun Run = RunRecordOf(*FSettings, FSettingsFileName);
  if (FAutoRunMonitor != nullptr)
    FAutoRunMonitor->WriteResultFiles(Run);
  const QString Database = HistoryDatabase();
  if (Database.isEmpty() || FSettings->HistoryKeep() <= 0)
    return;
  // One store for the window's life: its connection stays open from run to
  // run and the checkpoints come in batches.
  if (FHistoryStore == nullptr || FHistoryStore->FileName() != Database) {
    FHistoryStore = std::make_unique<THistoryStore>(Database);
    FHistoryStore->SetKeepOpen(true);
  }
  const THistoryWriteOutcome Outcome =
      FHistoryStore->Write(Run, FSettings->HistoryKeep(), QDateTime::currentDateTime());
  const QString Line = Outcome.Problem.isEmpty() ? Outcome.Note : Outcome.Problem;
  if (Line.isEmpty())
    return;
  SetStatusPanelText(0, Line);
  if (FAutoRunMonitor != nullptr)
    FAutoRunMonitor->HistoryNote(Line);
}
