// The check run of the main window: every device pinged as often as the
// settings say, in the order the list shows them, then each device's
// status, the run's summary and its time.
#include "form_main.h"

#include "framework_ops.h"
#include "pelping.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QPointer>
#include <QScopeGuard>
#include <QTreeWidget>

namespace {

// The one-line summary of a run, by whether any device was OK and any failed.
QString CheckSummary(int OKDevices, int FailedDevices) {
  if (OKDevices > 0 && FailedDevices > 0)
    return QString::asprintf("Some connections were OK (%d failed - %d OK)", FailedDevices, OKDevices);
  if (OKDevices > 0)
    return QStringLiteral("All connections OK");
  if (FailedDevices > 0)
    return QStringLiteral("No connections were OK");
  return QString();
}

// "OK" compared without regard to the case of ASCII letters only.
bool IsOKStatus(const QString& Status) {
  return Status.size() == 2 && (Status[0] == u'O' || Status[0] == u'o') &&
         (Status[1] == u'K' || Status[1] == u'k');
}

// Notices while a run goes on that its window is being closed or the
// application asked to quit.  The frame ends the ping that is waiting; this
// makes the run stop instead of starting the next one.
class TRunStopWatch : public QObject {
public:
  explicit TRunStopWatch(QWidget* Window) : FWindow(Window) {
    if (QCoreApplication* App = QCoreApplication::instance())
      App->installEventFilter(this);
  }
  ~TRunStopWatch() override {
    if (QCoreApplication* App = QCoreApplication::instance())
      App->removeEventFilter(this);
  }
  bool StopRequested() const { return FStopRequested; }

protected:
  bool eventFilter(QObject* Object, QEvent* Event) override {
    if (Event->type() == QEvent::Quit || (Event->type() == QEvent::Close && Object == FWindow))
      FStopRequested = true;
    return false;  // the close or quit itself goes on
  }

private:
  QPointer<QWidget> FWindow;
  bool FStopRequested = false;
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

// What one check run carries from step to step.
struct TFormMain::TCheckRun {
  explicit TCheckRun(TFormMain* Form) : Alive(Form), StopWatch(Form) {}
  // Events handled during the run may close the window or quit the
  // application; the window itself must outlive the run, which checks.
  const QPointer<TFormMain> Alive;
  const TRunStopWatch StopWatch;
  int OKDevices = 0;
  int FailedDevices = 0;
};

void TFormMain::RunCheck() {
  TCheckRun Run(this);
  SetHourglassCursor(true);
  SetCheckCommandsEnabled(false);
  // Also when the configuration raises or the run stops early: the window
  // must not stay locked with the hourglass.
  const auto Restore = qScopeGuard([&] {
    if (Run.Alive) {
      FCurrentDevice = nullptr;
      SetCheckCommandsEnabled(true);
    }
    SetHourglassCursor(false);
  });

  ConfigureCheck();
  // Rows are taken by position each time: handled events must not leave a
  // stale row pointer behind (the disabled list keeps their order).
  for (int Index = 0; Index < ListViewResults->topLevelItemCount(); ++Index) {
    if (!CheckRow(Index, Run))
      return;
  }
  FCurrentDevice = nullptr;
  StampCheck(Run);
}

void TFormMain::SetCheckCommandsEnabled(bool Enabled) {
  MenuItemRun->setEnabled(Enabled);
  MenuItemSendToSMTP->setEnabled(Enabled);
  MenuItemSendToSysLog->setEnabled(Enabled);
  ListViewResults->setEnabled(Enabled);
}

// The settings file is read again, and the ping component set up from it.
void TFormMain::ConfigureCheck() {
  FSettings->LoadFromFile(FSettingsFileName);
  RefreshListView();

  pelPing1->setTimeToLive(FSettings->PingTTL());
  pelPing1->Config(QStringLiteral("AbsoluteTimeout=True"));
  pelPing1->Config(QStringLiteral("UseIPHLPDLL=True"));
  pelPing1->Config(QStringLiteral("UseICMPDLL=True"));
  pelPing1->Config(QString::asprintf("IcmpDllTimeout=%d", FSettings->PingTimeout()));
  pelPing1->setTimeout(FSettings->PingTimeout());
}

// One row of the list: its device pinged, counted and shown.  False when the
// run ends here.
bool TFormMain::CheckRow(int Index, TCheckRun& Run) {
  TDevice* Device = RowDevice(ListViewResults->topLevelItem(Index));
  FCurrentDevice = Device;
  if (Device != nullptr) {
    if (!PingDevice(Index, *Device, Run))
      return false;
    TallyDevice(*Device, Run);
    QTreeWidgetItem* Row = ListViewResults->topLevelItem(Index);
    SetRowCell(Row, CellAddress, Device->DeviceHostAddress());
    SetRowCell(Row, CellStatus, Device->DeviceStatusToString());
  }
  SetStatusPanelText(0, QString());
  HandlePendingMessages();
  return Run.Alive && !Run.StopWatch.StopRequested();
}

// Pings the device as often as the settings say and updates its status.
// False when the window went away or is closing: the run ends unstamped.
bool TFormMain::PingDevice(int Index, TDevice& Device, const TCheckRun& Run) {
  Device.SetPinged(0);
  Device.SetPingedOK(0);
  Device.SetDeviceStatus(dsBeingChecked);
  SetRowCell(ListViewResults->topLevelItem(Index), CellStatus, Device.DeviceStatusToString());
  SetStatusPanelText(0, QStringLiteral("Checking %1...").arg(Device.DeviceName()));
  HandlePendingMessages();
  if (!Run.Alive)
    return false;
  for (int Attempt = 0; Attempt < FSettings->PingTimes() && !Run.StopWatch.StopRequested(); ++Attempt) {
    PingOnce(Device);
    if (!Run.Alive)
      return false;
  }
  Device.UpdateDeviceStatus();
  return !Run.StopWatch.StopRequested();
}

void TFormMain::PingOnce(TDevice& Device) {
  Device.SetPinged(Device.Pinged() + 1);
  const QString Host =
      Device.DeviceHostAddress().isEmpty() ? Device.DeviceName() : Device.DeviceHostAddress();
  try {
    pelPing1->PingHost(Host);
  } catch (...) {
    // A failed request shows only in the counters.
  }
}

void TFormMain::TallyDevice(const TDevice& Device, TCheckRun& Run) {
  switch (Device.DeviceStatus()) {
    case dsOK:
    case dsOKPartial:
      ++Run.OKDevices;
      break;
    case dsNoConnection:
    case dsHostLookupFailed:
      ++Run.FailedDevices;
      break;
    default:
      break;
  }
}

// The run's summary and time go into the settings and the status bar.
void TFormMain::StampCheck(const TCheckRun& Run) {
  FSettings->SetLastCheckResult(CheckSummary(Run.OKDevices, Run.FailedDevices));
  FSettings->SetLastCheckDT(QDateTime::currentDateTime());
  RefreshListView();
}

void TFormMain::pelPing1Response(QObject* /*Sender*/, int /*RequestId*/, const QString& ResponseSource,
                                 const QString& ResponseStatus, int /*ResponseTime*/) {
  if (FCurrentDevice == nullptr || !IsOKStatus(ResponseStatus))
    return;
  FCurrentDevice->SetDeviceHostAddress(ResponseSource);
  FCurrentDevice->SetPingedOK(FCurrentDevice->PingedOK() + 1);
}

void TFormMain::pelPing1Error(QObject* /*Sender*/, int /*ErrorCode*/, const QString& /*Description*/) {}
