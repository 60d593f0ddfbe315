// The check run as the main window shows it: the run itself is
// TRunSequence's (run_sequence.h); the window locks its commands while it
// goes, shows each device's row and the progress, then the run's summary
// and time.
#include "window/form_main.h"

#include "run/check_run.h"
#include "run/device.h"
#include "window/framework_ops.h"
#include "run/nothing_checked.h"
#include "pelping.h"

#include <QPointer>
#include <QScopeGuard>
#include <QTreeWidget>

namespace {

// The rows of the results list as the check run sees them.
class TFormCheckView : public TCheckRunView {
public:
  explicit TFormCheckView(TFormMain& Form) : FForm(Form) {}

  int RowCount() const override { return FForm.ListViewResults->topLevelItemCount(); }
  TDevice* RowDevice(int Index) const override {
    return TFormMain::RowDevice(FForm.ListViewResults->topLevelItem(Index));
  }
  void DeviceStarted(int Index, const TDevice& Device) override {
    TFormMain::SetRowCell(Row(Index), TFormMain::CellStatus, Device.DeviceStatusToString());
  }
  void DeviceInTurn(int Index, const TDevice& Device) override {
    FForm.ListViewResults->scrollToItem(Row(Index));
    FForm.SetStatusPanelText(0, QStringLiteral("Checking %1...").arg(Device.DeviceName()));
  }
  void DeviceFinished(int Index, const TDevice& Device) override {
    QTreeWidgetItem* Item = Row(Index);
    TFormMain::SetRowCell(Item, TFormMain::CellAddress, Device.DeviceHostAddress());
    TFormMain::SetRowCell(Item, TFormMain::CellStatus, Device.DeviceStatusToString());
    TFormMain::SetRowRoundTrip(Item, Device);
  }
  void RowDone() override { FForm.SetStatusPanelText(0, QString()); }
  void Progress(int Done, int Total) override {
    FForm.SetStatusPanelText(0, QStringLiteral("Checking ... %1 of %2 devices done").arg(Done).arg(Total));
  }

private:
  QTreeWidgetItem* Row(int Index) const { return FForm.ListViewResults->topLevelItem(Index); }
  TFormMain& FForm;
};

}  // namespace

void TFormMain::CreatePingComponent() {
  pelPing1 = new TpelPing(this);
  pelPing1->setObjectName(QStringLiteral("pelPing1"));
  pelPing1->setOnError([this](QObject* Sender, int ErrorCode, const QString& Description) {
    pelPing1Error(Sender, ErrorCode, Description);
  });
  pelPing1->setOnResponse([this](QObject* Sender, int RequestId, const QString& ResponseSource,
                                 const QString& ResponseStatus, int ResponseTime) {
    pelPing1Response(Sender, RequestId, ResponseSource, ResponseStatus, ResponseTime);
  });
}

// What the run shows in the window: panel 0 for its lines, the rows for the
// check, the list rebuilt when the settings are read again and when the run
// is stamped.
class TFormMain::TFormRunView : public TRunView {
public:
  explicit TFormRunView(TFormMain& Form) : FForm(Form), FRows(Form) {}
  TCheckRunView* CheckView() override { return &FRows; }
  void SettingsLoaded() override { FForm.RefreshListView(); }
  void ShowText(const QString& Text, const QString& ToolTip) override {
    FForm.SetStatusPanelText(0, Text, ToolTip);
  }
  void CheckStamped(const QString& RunStateMessage) override {
    FForm.RefreshListView();
    if (!RunStateMessage.isEmpty())
      FForm.SetStatusPanelText(0, FForm.StatusPanelText(0) + QStringLiteral(" - ") + RunStateMessage);
  }

private:
  TFormMain& FForm;
  TFormCheckView FRows;
};

void TFormMain::CreateRunSequence() {
  FSequence = std::make_unique<TRunSequence>(
      TRunSequence::TPlaces{FStartup.ExecutableFile, FStartup.ConfigHome, FStartup.DataHome}, *pelPing1,
      *pelSMTP1, *pelSysLog1, this);
  FRunView = std::make_unique<TFormRunView>(*this);
  FSequence->SetView(FRunView.get());
}

void TFormMain::MenuItemRunClick() { RunCheck(); }

void TFormMain::RunCheck() {
  // Events handled during the run may close the window or quit the
  // application; the window itself must outlive the run, which checks.
  const QPointer<TFormMain> Alive(this);
  SetHourglassCursor(true);
  SetCheckCommandsEnabled(false);
  // Also when the configuration raises or the run stops early: the window
  // must not stay locked with the hourglass.
  const auto Restore = qScopeGuard([&] {
    if (Alive)
      SetCheckCommandsEnabled(true);
    SetHourglassCursor(false);
  });
  FSequence->Check();
}

TDevice* TFormMain::CurrentDevice() const {
  return FSequence != nullptr ? FSequence->CurrentDevice() : nullptr;
}

void TFormMain::SetCheckCommandsEnabled(bool Enabled) {
  MenuItemRun->setEnabled(Enabled);
  MenuItemSendToSMTP->setEnabled(Enabled);
  MenuItemSendToSysLog->setEnabled(Enabled);
  SetListReadOnly(!Enabled);
}

void TFormMain::pelPing1Response(QObject* Sender, int /*RequestId*/, const QString& ResponseSource,
                                 const QString& ResponseStatus, int ResponseTime) {
  if (FSequence != nullptr)
    FSequence->PingResponse(Sender, ResponseSource, ResponseStatus, ResponseTime);
}

void TFormMain::pelPing1Error(QObject* /*Sender*/, int /*ErrorCode*/, const QString& /*Description*/) {}
