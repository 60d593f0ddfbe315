#include "run/check_run.h"

#include "pelnet/ping_ids.h"
#include "pelnet/runtime/errors.h"

#include "run/device.h"
#include "run/device_address.h"
#include "window/framework_ops.h"
#include "run/parallel_check.h"
#include "pelping.h"
#include "settings/settings.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace {

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

// Notices while a run goes on that its owner is being closed or the
// application asked to quit.  The frame ends the ping that is waiting; this
// makes the run stop instead of starting the next one.
class TCheckRun::TStopWatch : public QObject {
public:
  explicit TStopWatch(QObject* Owner) : FOwner(Owner) {
    if (QCoreApplication* App = QCoreApplication::instance())
      App->installEventFilter(this);
  }
  ~TStopWatch() override {
    if (QCoreApplication* App = QCoreApplication::instance())
      App->removeEventFilter(this);
  }
  bool StopRequested() const { return FStopRequested; }

protected:
  bool eventFilter(QObject* Object, QEvent* Event) override {
    if (Event->type() == QEvent::Quit ||
        (Event->type() == QEvent::Close && FOwner != nullptr && Object == FOwner))
      FStopRequested = true;
    return false;  // the close or quit itself goes on
  }

private:
  QPointer<QObject> FOwner;
  bool FStopRequested = false;
};

TCheckRun::TCheckRun(TpelPing& Ping, QObject* Owner)
    : FPing(Ping), FOwned(Owner != nullptr), FOwner(Owner), FStopWatch(std::make_unique<TStopWatch>(Owner)) {}

TCheckRun::~TCheckRun() = default;

bool TCheckRun::OwnerAlive() const { return !FOwned || !FOwner.isNull(); }

bool TCheckRun::KeepGoing() const { return OwnerAlive() && !FStopWatch->StopRequested(); }

void TCheckRun::ConfigurePing(TpelPing& Ping, const TSettings& Settings) {
  Ping.setTimeToLive(Settings.PingTTL());
  Ping.Config(QStringLiteral("AbsoluteTimeout=True"));
  Ping.Config(QStringLiteral("UseIPHLPDLL=True"));
  Ping.Config(QStringLiteral("UseICMPDLL=True"));
  Ping.Config(QString::asprintf("IcmpDllTimeout=%d", Settings.PingTimeout()));
  Ping.setTimeout(Settings.PingTimeout());
}

QString TCheckRun::PortProblem(const TSettings& Settings) {
  ConfigurePing(FPing, Settings);
  try {
    FPing.setActive(true);
    FPing.setActive(false);
  } catch (const EPelnet& E) {
    return PingPortProblemLine(E.Code(), E.Message());
  }
  return QString();
}

bool TCheckRun::InParallel(const TSettings& Settings) {
  return Settings.PingParallelDevices() > 1 && Settings.PingTimeout() > 0;
}

bool TCheckRun::Run(const TSettings& Settings, TCheckRunView& View) {
  FCounts = TCheckCounts();
  FPeakInFlight = 0;
  const bool Finished =
      InParallel(Settings) ? RunInParallel(Settings, View) : RunOneAfterOther(Settings, View);
  if (Finished)
    FCurrentDevice = nullptr;
  return Finished;
}

void TCheckRun::Response(QObject* Sender, const QString& ResponseSource, const QString& ResponseStatus,
                         int ResponseTime) {
  if (FCurrentDevice != nullptr)
    CountResponse(*FCurrentDevice, ResponseSource, ResponseStatus,
                  ResponseTimeMicrosecondsOf(Sender, ResponseTime));
}

void TCheckRun::DeviceDone(int Index, TDevice& Device, TCheckRunView& View) {
  FCounts.Add(Device);
  View.DeviceFinished(Index, Device);
}

bool TCheckRun::SendPing(TpelPing& Ping, const TDevice& Device, const QString& Target) {
  if (Device.HostLookupFailed())
    return false;
  Ping.PingHost(Target);
  return true;
}

std::unique_ptr<TIPv6PingScope> TCheckRun::PrepareDevice(TpelPing& Ping, TDevice& Device,
                                                         const TDeviceHostLookup& Lookup) {
  NoteLookup(Device, Lookup);
  return std::make_unique<TIPv6PingScope>(&Ping, Lookup.Family() == TDeviceHostFamily::IPv6);
}

void TCheckRun::NoteLookup(TDevice& Device, const TDeviceHostLookup& Lookup) {
  Device.SetHostLookupFailed(Lookup.Family() == TDeviceHostFamily::Unresolvable);
}

// ---------------------------------------------------------------- one after the other

bool TCheckRun::RunOneAfterOther(const TSettings& Settings, TCheckRunView& View) {
  for (int Index = 0; Index < View.RowCount(); ++Index) {
    if (!CheckRow(Index, Settings, View))
      return false;
  }
  return true;
}

// One row: its device pinged, counted and shown.  False when the run ends here.
bool TCheckRun::CheckRow(int Index, const TSettings& Settings, TCheckRunView& View) {
  TDevice* Device = View.RowDevice(Index);
  FCurrentDevice = Device;
  if (Device != nullptr) {
    if (!PingDevice(Index, *Device, Settings, View))
      return false;
    DeviceDone(Index, *Device, View);
  }
  View.RowDone();
  HandlePendingMessages();
  return KeepGoing();
}

// Pings the device as often as the settings say and updates its status.
// False when the owner went away or is closing: the run ends unstamped.
bool TCheckRun::PingDevice(int Index, TDevice& Device, const TSettings& Settings, TCheckRunView& View) {
  StartDeviceCheck(Device);
  View.DeviceStarted(Index, Device);
  View.DeviceInTurn(Index, Device);
  HandlePendingMessages();
  if (!OwnerAlive())
    return false;
  // The window stays responsive while the name server answers; closing it
  // or quitting ends the run here.
  TDeviceHostLookup Lookup(DevicePingTarget(Device));
  if (!Lookup.Wait([this] { return KeepGoing(); }))
    return false;
  const std::unique_ptr<TIPv6PingScope> Scope = PrepareDevice(FPing, Device, Lookup);
  for (int Attempt = 0; Attempt < Settings.PingTimes() && !FStopWatch->StopRequested(); ++Attempt) {
    PingOnce(Device);
    if (!OwnerAlive())
      return false;
  }
  Device.UpdateDeviceStatus();
  return !FStopWatch->StopRequested();
}

void TCheckRun::PingOnce(TDevice& Device) {
  Device.SetPinged(Device.Pinged() + 1);
  try {
    // The name itself, looked up by the component for every request as always.
    SendPing(FPing, Device, DevicePingTarget(Device));
  } catch (...) {
    // A failed request shows only in the counters.
  }
}

// ---------------------------------------------------------------- many devices in flight

// Every device of the view, up to Parallel of them in flight.  False when
// the owner went away or is closing: the run ends unstamped.
bool TCheckRun::RunInParallel(const TSettings& Settings, TCheckRunView& View) {
  std::vector<TParallelCheck::TItem> Items;
  Items.reserve(static_cast<std::size_t>(View.RowCount()));
  for (int Index = 0; Index < View.RowCount(); ++Index)
    if (TDevice* Device = View.RowDevice(Index))
      Items.push_back({Device, Index});

  TParallelCheck::THooks Hooks;
  Hooks.Started = [&View](int Index, TDevice& Device) { View.DeviceStarted(Index, Device); };
  Hooks.Finished = [this, &View](int Index, TDevice& Device) { DeviceDone(Index, Device, View); };
  Hooks.Progress = [&View](int Done, int Total) { View.Progress(Done, Total); };
  Hooks.KeepGoing = [this] { return KeepGoing(); };
  // One ping component per address family, set up as the run's own is; the
  // IPv6 one goes over IPv6 for the whole run.  They go when the run ends.
  Hooks.ConfigurePing = [&Settings](TpelPing& Ping) { ConfigurePing(Ping, Settings); };
  Hooks.PreparePing = [](TpelPing& Ping, bool IPv6) -> std::shared_ptr<void> {
    return std::make_shared<TIPv6PingScope>(&Ping, IPv6);
  };
  Hooks.PrepareDevice = [](TDevice& Device, const TDeviceHostLookup& Lookup) { NoteLookup(Device, Lookup); };
  // The address the device's lookup found: one lookup per device, started
  // with those of the other devices about to go.
  Hooks.SendPing = [](TpelPing& Ping, const TDevice& Device, const QString& Target) {
    return SendPing(Ping, Device, Target);
  };

  const qint64 TimeoutMs = std::min<qint64>(qint64(Settings.PingTimeout()) * 1000, INT_MAX);
  TParallelCheck Check(Settings.PingParallelDevices(), Settings.PingTimes(), static_cast<int>(TimeoutMs),
                       std::move(Hooks));
  const bool Finished = Check.Run(Items);
  if (!OwnerAlive())
    return false;  // the owner is gone
  FPeakInFlight = Check.PeakInFlight();
  return Finished;
}
