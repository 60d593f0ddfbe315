// The history as the main window shows it: View > History and a double
// click on a row open a device's history window. The run sequence writes
// every finished run to the settings file's history database.
#include "window/form_main.h"

#include "run/device.h"
#include "history/history_window.h"

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

QString TFormMain::HistoryDatabase() const { return FSequence->HistoryDatabase(); }

THistoryWindow* TFormMain::ShowHistory(const QString& DeviceName) {
  const QString Database = HistoryDatabase();
  if (Database.isEmpty() || Settings().HistoryKeep() <= 0) {
    SetStatusPanelText(0, QStringLiteral("No history is kept (Keep in [History] is 0)"));
    return nullptr;
  }
  auto* Window = new THistoryWindow(Database, DeviceName, QDateTime::currentDateTime(), this);
  Window->show();
  return Window;
}
