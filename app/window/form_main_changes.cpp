// What the window shows of the changes since the last run: the rows whose
// device changed category marked. The comparison itself is the run
// sequence's (run_sequence.h).
#include "window/form_main.h"

#include "run/device.h"

#include <QFont>
#include <QHash>
#include <QTreeWidget>

void TFormMain::MarkChangedRows() {
  // A first run has nothing to have changed from: its rows stay as they are
  // (the reports' rules still count a device not OK as news).
  const std::optional<TRunChanges>& Changes = RunChanges();
  if (!Changes || Changes->PreviousRun.isNull())
    return;
  QHash<QString, const TDeviceChange*> Changed;
  for (const TDeviceChange& Change : Changes->Devices)
    if (Change.Changed)
      Changed.insert(Change.Name, &Change);
  for (int I = 0; I < ListViewResults->topLevelItemCount(); ++I) {
    QTreeWidgetItem* Row = ListViewResults->topLevelItem(I);
    const TDevice* Device = RowDevice(Row);
    if (Device == nullptr)
      continue;
    const TDeviceChange* Change = Changed.value(Device->DeviceName());
    if (Change == nullptr)
      continue;
    const QString Range = Device->RoundTripRangeText();
    const QString Tip = ChangedRowToolTip(*Change, Changes->PreviousRun);
    for (int Column = 0; Column < Row->columnCount(); ++Column) {
      QFont Font = Row->font(Column);
      Font.setBold(true);
      Row->setFont(Column, Font);
      Row->setToolTip(Column, Range.isEmpty() ? Tip : Tip + u'\n' + Range);
    }
  }
}
