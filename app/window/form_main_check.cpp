// The check run as the main window shows it: the run itself is TCheckRun's
// (check_run.h); the window locks its commands while it goes, shows each
// device's row and the progress, then stamps the run's summary and time.
#include "window/form_main.h"

#include "run/check_run.h"
#include "run/device.h"
#include "window/framework_ops.h"
#include "run/nothing_checked.h"
#include "pelping.h"

#include <QDateTime>
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

void TFormMain::MenuItemRunClick() { RunCheck(); }

void TFormMain::RunCheck() {
  // Events handled during the run may close the window or quit the
  // application; the window itself must outlive the run, which checks.
  TCheckRun Run(*pelPing1, this);
  FCheckRun = &Run;
  FCheckNotStarted.clear();
  FNothingChecked.clear();
  FRunChanges.reset();
  FRunStateMessage.clear();
  FLastCheckPeakInFlight = 0;
  SetHourglassCursor(true);
  SetCheckCommandsEnabled(false);
  // Also when the configuration raises or the run stops early: the window
  // must not stay locked with the hourglass.
  const auto Restore = qScopeGuard([&] {
    if (Run.OwnerAlive()) {
      FCheckRun = nullptr;
      SetCheckCommandsEnabled(true);
    }
    SetHourglassCursor(false);
  });

  // Without a port no device is asked: pinging anyway would show every
  // device as silent and stamp a run that never happened. Looked at before
  // the settings are reloaded, so the list keeps what it showed; the last
  // stamp goes, so the reports do not send those results as this run's.
  FCheckNotStarted = Run.PortProblem(*FSettings);
  if (!FCheckNotStarted.isEmpty()) {
    FSettings->SetLastCheckDT(QDateTime());
    FSettings->SetLastCheckResult(QString());
    SetStatusPanelText(0, FCheckNotStarted);
    return;
  }
  ConfigureCheck();
  TFormCheckView View(*this);
  const bool Finished = Run.Run(*FSettings, View);
  if (!Run.OwnerAlive())
    return;  // the window is gone
  FLastCheckPeakInFlight = Run.PeakInFlight();
  if (Finished) {
    StampCheck(Run.Counts());
    RecordRun();
  }
}

TDevice* TFormMain::CurrentDevice() const {
  return FCheckRun != nullptr ? FCheckRun->CurrentDevice() : nullptr;
}

void TFormMain::SetCheckCommandsEnabled(bool Enabled) {
  MenuItemRun->setEnabled(Enabled);
  MenuItemSendToSMTP->setEnabled(Enabled);
  MenuItemSendToSysLog->setEnabled(Enabled);
  SetListReadOnly(!Enabled);
}

// The settings file is read again, and the ping component set up from it.
void TFormMain::ConfigureCheck() {
  LoadSettings();
  RefreshListView();
  TCheckRun::ConfigurePing(*pelPing1, *FSettings);
}

// The run's summary and time go into the settings and the status bar.
void TFormMain::StampCheck(const TCheckCounts& Counts) {
  FSettings->SetLastCheckResult(Counts.Summary());
  FSettings->SetLastCheckDT(QDateTime::currentDateTime());
  // A file that could not be used is told as such; this is for a file read
  // whose settings left nothing to check.
  FNothingChecked = FSettingsUnused ? QString() : NothingCheckedText(*FSettings, FSettingsFileName);
  KeepRunState();
  RefreshListView();
  if (!FRunStateMessage.isEmpty())
    SetStatusPanelText(0, StatusPanelText(0) + QStringLiteral(" - ") + FRunStateMessage);
}

void TFormMain::pelPing1Response(QObject* Sender, int /*RequestId*/, const QString& ResponseSource,
                                 const QString& ResponseStatus, int ResponseTime) {
  if (FCheckRun != nullptr)
    FCheckRun->Response(Sender, ResponseSource, ResponseStatus, ResponseTime);
}

void TFormMain::pelPing1Error(QObject* /*Sender*/, int /*ErrorCode*/, const QString& /*Description*/) {}
