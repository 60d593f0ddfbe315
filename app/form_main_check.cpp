// The check run of the main window: every device pinged as often as the
// settings say, in the order the list shows them, then each device's
// status, the run's summary and its time.
#include "form_main.h"

#include "pelnet/ping_ids.h"
#include "pelnet/runtime/errors.h"

#include "device_address.h"
#include "framework_ops.h"
#include "nothing_checked.h"
#include "parallel_check.h"
#include "pelping.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QFile>
#include <QPointer>
#include <QScopeGuard>
#include <QTreeWidget>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

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

// The codes with which the ping port refuses to open for lack of permission:
// 120 on the helper path (neither a ping socket for the user's group nor a
// raw socket), the platform's access error on the raw path.
constexpr int NoIcmpHandle = PELNET_PING_ERROR_NoIcmpHandle;
constexpr int AccessDenied = pelnet::kWsaAccess;

// The ping_group_range that lets Group open ping sockets: the current range
// widened to take it in, or the group alone when no group may.
QString PingGroupRangeFor(unsigned Group) {
  QFile File(QStringLiteral("/proc/sys/net/ipv4/ping_group_range"));
  qint64 Low = 1;
  qint64 High = 0;
  if (File.open(QIODevice::ReadOnly)) {
    const QStringList Parts = QString::fromLatin1(File.readAll()).simplified().split(u' ');
    if (Parts.size() == 2) {
      Low = Parts[0].toLongLong();
      High = Parts[1].toLongLong();
    }
  }
  if (Low > High)
    Low = High = Group;
  return QStringLiteral("%1 %2").arg(std::min<qint64>(Low, Group)).arg(std::max<qint64>(High, Group));
}

// One line for panel 0 (and standard error in automatic mode) when the ping
// port cannot be opened: the cause, and for a refused permission the
// commands that grant it.
QString PingPortProblemLine(int Code, const QString& Message) {
  const QString Program = QCoreApplication::applicationFilePath();
  const QString Setcap = QStringLiteral("setcap cap_net_raw+ep %1").arg(Program);
  if (Code == NoIcmpHandle) {
    const unsigned Group = getegid();
    return QStringLiteral(
               "Not checked: no ICMP socket for this user (ping sockets are not allowed for group %1, "
               "raw sockets need CAP_NET_RAW). Allow them with: sysctl -w "
               "net.ipv4.ping_group_range=\"%2\" or %3")
        .arg(Group)
        .arg(PingGroupRangeFor(Group), Setcap);
  }
  if (Code == AccessDenied)
    return QStringLiteral("Not checked: this program may not open raw ICMP sockets. Allow them with: %1")
        .arg(Setcap);
  return QStringLiteral("Not checked: the ping port could not be opened (%1)").arg(Message);
}

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
  FCheckNotStarted.clear();
  FNothingChecked.clear();
  FLastCheckPeakInFlight = 0;
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

  // Without a port no device is asked: pinging anyway would show every
  // device as silent and stamp a run that never happened. Looked at before
  // the settings are reloaded, so the list keeps what it showed; the last
  // stamp goes, so the reports do not send those results as this run's.
  FCheckNotStarted = PingPortProblem();
  if (!FCheckNotStarted.isEmpty()) {
    FSettings->SetLastCheckDT(QDateTime());
    FSettings->SetLastCheckResult(QString());
    SetStatusPanelText(0, FCheckNotStarted);
    return;
  }
  ConfigureCheck();
  if (CheckInParallel()) {
    if (!RunParallelCheck(Run))
      return;
  } else {
    // Rows are taken by position each time: handled events must not leave a
    // stale row pointer behind (the disabled list keeps their order).
    for (int Index = 0; Index < ListViewResults->topLevelItemCount(); ++Index) {
      if (!CheckRow(Index, Run))
        return;
    }
  }
  FCurrentDevice = nullptr;
  StampCheck(Run);
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
  ConfigurePing();
}

// The ping component set up from the settings, helper path included.
void TFormMain::ConfigurePing() { ConfigurePing(*pelPing1); }

void TFormMain::ConfigurePing(TpelPing& Ping) {
  Ping.setTimeToLive(FSettings->PingTTL());
  Ping.Config(QStringLiteral("AbsoluteTimeout=True"));
  Ping.Config(QStringLiteral("UseIPHLPDLL=True"));
  Ping.Config(QStringLiteral("UseICMPDLL=True"));
  Ping.Config(QString::asprintf("IcmpDllTimeout=%d", FSettings->PingTimeout()));
  Ping.setTimeout(FSettings->PingTimeout());
}

// Opens the ping component's port as the first PingHost would (the same
// path, chosen by the settings just made) and closes it again. Empty when it
// opens, else the line that says why not and how to allow it.
QString TFormMain::PingPortProblem() {
  ConfigurePing();
  try {
    pelPing1->setActive(true);
    pelPing1->setActive(false);
  } catch (const EPelnet& E) {
    return PingPortProblemLine(E.Code(), E.Message());
  }
  return QString();
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
    SetRowRoundTrip(Row, *Device);
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
  Device.ClearRoundTrips();
  Device.SetDeviceStatus(dsBeingChecked);
  SetRowCell(ListViewResults->topLevelItem(Index), CellStatus, Device.DeviceStatusToString());
  ListViewResults->scrollToItem(ListViewResults->topLevelItem(Index));
  SetStatusPanelText(0, QStringLiteral("Checking %1...").arg(Device.DeviceName()));
  HandlePendingMessages();
  if (!Run.Alive)
    return false;
  const std::unique_ptr<TIPv6PingScope> Scope = PrepareDevice(*pelPing1, Device);
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
  try {
    SendPing(*pelPing1, Device);
  } catch (...) {
    // A failed request shows only in the counters.
  }
}

// One echo request to the device through Ping, in either run.  False, and
// nothing sent, for a device whose text names nothing (PrepareDevice found
// it so); other failures raise.
bool TFormMain::SendPing(TpelPing& Ping, const TDevice& Device) {
  if (Device.HostLookupFailed())
    return false;
  Ping.PingHost(DevicePingTarget(Device));
  return true;
}

// Before a device's requests, in either run: what its text names decides how
// Ping asks it.  IPv6 devices go over IPv6 while the returned scope lives; a
// text that names nothing is not pinged.
std::unique_ptr<TIPv6PingScope> TFormMain::PrepareDevice(TpelPing& Ping, TDevice& Device) {
  const TDeviceHostFamily Family = DeviceHostFamily(DevicePingTarget(Device));
  Device.SetHostLookupFailed(Family == TDeviceHostFamily::Unresolvable);
  return std::make_unique<TIPv6PingScope>(&Ping, Family == TDeviceHostFamily::IPv6);
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
  // A file that could not be used is told as such; this is for a file read
  // whose settings left nothing to check.
  FNothingChecked = FSettingsUnused ? QString() : NothingCheckedText(*FSettings, FSettingsFileName);
  RefreshListView();
}

void TFormMain::pelPing1Response(QObject* Sender, int /*RequestId*/, const QString& ResponseSource,
                                 const QString& ResponseStatus, int ResponseTime) {
  if (FCurrentDevice != nullptr)
    CountResponse(*FCurrentDevice, ResponseSource, ResponseStatus,
                  ResponseTimeMicrosecondsOf(Sender, ResponseTime));
}

void TFormMain::pelPing1Error(QObject* /*Sender*/, int /*ErrorCode*/, const QString& /*Description*/) {}

// ---------------------------------------------------------------- many devices in flight

// Parallel above 1 with a time-out to wait for; with none (0 or below) the
// ping component does not wait in either run, and the run of one device
// after the other is kept as it is.
bool TFormMain::CheckInParallel() const {
  return FSettings->PingParallelDevices() > 1 && FSettings->PingTimeout() > 0;
}

// Every device of the list, up to Parallel of them in flight; rows change as
// each device finishes and panel 0 counts them.  False when the window went
// away or is closing: the run ends unstamped.
bool TFormMain::RunParallelCheck(TCheckRun& Run) {
  std::vector<TParallelCheck::TItem> Items;
  Items.reserve(static_cast<std::size_t>(ListViewResults->topLevelItemCount()));
  for (int Index = 0; Index < ListViewResults->topLevelItemCount(); ++Index)
    if (TDevice* Device = RowDevice(ListViewResults->topLevelItem(Index)))
      Items.push_back({Device, Index});

  TParallelCheck::THooks Hooks;
  Hooks.Started = [this](int Index, TDevice& Device) {
    SetRowCell(ListViewResults->topLevelItem(Index), CellStatus, Device.DeviceStatusToString());
  };
  Hooks.Finished = [this, &Run](int Index, TDevice& Device) {
    TallyDevice(Device, Run);
    QTreeWidgetItem* Row = ListViewResults->topLevelItem(Index);
    SetRowCell(Row, CellAddress, Device.DeviceHostAddress());
    SetRowCell(Row, CellStatus, Device.DeviceStatusToString());
    SetRowRoundTrip(Row, Device);
  };
  Hooks.Progress = [this](int Done, int Total) {
    SetStatusPanelText(0, QStringLiteral("Checking ... %1 of %2 devices done").arg(Done).arg(Total));
  };
  Hooks.KeepGoing = [&Run] { return Run.Alive && !Run.StopWatch.StopRequested(); };

  const qint64 TimeoutMs = std::min<qint64>(qint64(FSettings->PingTimeout()) * 1000, INT_MAX);
  // Each device in flight gets a ping component of its own, set up as
  // pelPing1 is; they go when the run ends.
  Hooks.ConfigurePing = [this](TpelPing& Ping) { ConfigurePing(Ping); };
  Hooks.PrepareDevice = [this](TpelPing& Ping, TDevice& Device) -> std::shared_ptr<void> {
    return PrepareDevice(Ping, Device);
  };
  Hooks.SendPing = [this](TpelPing& Ping, const TDevice& Device) { return SendPing(Ping, Device); };
  TParallelCheck Check(FSettings->PingParallelDevices(), FSettings->PingTimes(), static_cast<int>(TimeoutMs),
                       std::move(Hooks));
  const bool Finished = Check.Run(Items);
  if (!Run.Alive)
    return false;  // the window is gone
  FLastCheckPeakInFlight = Check.PeakInFlight();
  return Finished;
}
