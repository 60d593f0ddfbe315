#include "run/parallel_check.h"

#include "run/device.h"
#include "run/device_address.h"
#include "pelping.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace {

// First requests of new devices, and next requests of devices in flight,
// sent before the thread dispatches again (each up to this many).  All
// answers of the run queue on one socket, and a near host answers before the
// next request is out: the socket's receive buffer must hold a turn's
// answers until the dispatch reads them.
constexpr int SendsPerTurn = 64;
// Names looked up at the same time, each on a thread of its own: as many as
// the run once had devices in flight.  Further devices start as lookups end.
constexpr std::size_t LookupsAtOnce = 256;

}  // namespace

TParallelCheck::TParallelCheck(int Parallel, int Times, int TimeoutMs, THooks Hooks)
    : FParallel(std::max(Parallel, 1)),
      FTimes(Times),
      FTimeoutMs(std::max(TimeoutMs, 1)),
      FHooks(std::move(Hooks)) {}

TParallelCheck::~TParallelCheck() = default;

int TParallelCheck::PingCount() const {
  return static_cast<int>(
      std::count_if(FPings.begin(), FPings.end(), [](const auto& Ping) { return Ping != nullptr; }));
}

TpelPing& TParallelCheck::PingOf(TFamily Family) {
  std::unique_ptr<TpelPing>& Ping = FPings[Family];
  if (Ping)
    return *Ping;
  // Kept only once it is set up: a component that refuses its settings is
  // made again for the next request, which fails visibly on its own.
  auto Made = std::make_unique<TpelPing>();
  FHooks.ConfigurePing(*Made);
  // Not waiting: PingHost sends and returns, the answer comes as an event.
  Made->setTimeout(0);
  Made->setManyHosts(true);
  Made->setOnResponse([this, Family](QObject*, int RequestId, const QString& ResponseSource,
                                     const QString& ResponseStatus, int ResponseTime) {
    Response(Family, RequestId, ResponseSource, ResponseStatus, ResponseTime);
  });
  FPrepared[Family] = FHooks.PreparePing(*Made, Family == IPv6);
  Ping = std::move(Made);
  return *Ping;
}

bool TParallelCheck::Run(const std::vector<TItem>& Items) {
  const int Places =
      static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(FParallel), Items.size()));
  FSlots.assign(static_cast<std::size_t>(Places), TSlot());
  FFreeSlots.clear();
  for (int SlotNo = Places - 1; SlotNo >= 0; --SlotNo)
    FFreeSlots.push_back(SlotNo);
  FLookingUp.clear();
  FDue.clear();
  FDeadlines.clear();
  for (auto& Requests : FRequests)
    Requests.clear();
  FInFlight = 0;
  FPeakInFlight = 0;
  FDone = 0;
  FTotal = static_cast<int>(Items.size());
  FClock.start();
  FHooks.Progress(0, FTotal);

  // Wakes the dispatch below at the earliest deadline when nothing else does.
  QTimer Wake;
  Wake.setSingleShot(true);
  Wake.setTimerType(Qt::PreciseTimer);
  std::size_t Next = 0;
  // Every turn either starts a device, ends a request (answer, failure or
  // deadline) or dispatches; a device holds at most Times requests, each
  // with a deadline, so the loop ends by itself.
  for (;;) {
    HandleLookups();
    ExpireRequests();
    // New devices first, so that the time-outs of silent ones begin early and
    // pass while the answers of the others are handled; then the requests
    // due.  Each within its own share of the turn's sends.
    const auto MayStart = [&] {
      return !FFreeSlots.empty() && Next < Items.size() && FLookingUp.size() < LookupsAtOnce;
    };
    for (int Started = 0; Started < SendsPerTurn && MayStart(); ++Started)
      StartDevice(Items[Next++]);
    SendDue(SendsPerTurn);
    if (FDone == FTotal)
      return true;
    if (!FHooks.KeepGoing())
      return false;
    const bool MoreToSend = !FDue.empty() || MayStart();
    if (!MoreToSend) {
      // A lookup that ends wakes the dispatch by itself; a deadline needs the timer.
      const int Ms = WaitMs();
      if (Ms >= 0)
        Wake.start(Ms);
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    } else {
      QCoreApplication::processEvents();
    }
    // The window (and with it the component) may be gone now.
    if (!FHooks.KeepGoing())
      return false;
  }
}

void TParallelCheck::Response(TFamily Family, int RequestId, const QString& ResponseSource,
                              const QString& ResponseStatus, int ResponseTime) {
  auto& Requests = FRequests[Family];
  const auto Found = Requests.find(RequestId);
  // An answer after its deadline belongs to a request given up already; one
  // with an id never sent is no answer of this run.
  if (Found == Requests.end())
    return;
  const int SlotNo = Found->second;
  Requests.erase(Found);
  TSlot& Slot = FSlots[static_cast<std::size_t>(SlotNo)];
  if (Slot.RequestId != RequestId || Slot.Family != Family)
    return;
  Slot.RequestId = -1;
  // The core sets the round trip of this very request before the event.
  CountResponse(*Slot.Item.Device, ResponseSource, ResponseStatus,
                ResponseTimeMicrosecondsOf(FPings[Family].get(), ResponseTime));
  // Every answer ends its request, as it ends a waiting ping; the next one
  // is sent from the run's loop, not from inside the component's event.
  FDue.push_back(SlotNo);
}

void TParallelCheck::StartDevice(const TItem& Item) {
  const int SlotNo = FFreeSlots.back();
  FFreeSlots.pop_back();
  TSlot& Slot = FSlots[static_cast<std::size_t>(SlotNo)];
  Slot = TSlot();
  Slot.Item = Item;
  TDevice& Device = *Item.Device;
  StartDeviceCheck(Device);
  FHooks.Started(Item.Index, Device);
  Slot.Lookup = std::make_shared<TDeviceHostLookup>(DevicePingTarget(Device));
  Slot.LookingUp = true;
  if (Slot.Lookup->Done())
    LookupDone(SlotNo);
  else
    FLookingUp.push_back(SlotNo);
}

void TParallelCheck::LookupDone(int SlotNo) {
  TSlot& Slot = FSlots[static_cast<std::size_t>(SlotNo)];
  Slot.LookingUp = false;
  // In flight from here: a device whose name is still being looked up has
  // its place, but nothing of it is out yet.
  ++FInFlight;
  FPeakInFlight = std::max(FPeakInFlight, FInFlight);
  Slot.Family = Slot.Lookup->Family() == TDeviceHostFamily::IPv6 ? IPv6 : IPv4;
  try {
    FHooks.PrepareDevice(*Slot.Item.Device, *Slot.Lookup);
  } catch (...) {
    // Its requests go as they can; a failure shows in the counters.
  }
  // The first request at once: a device that fails at once (no name, no
  // route) is done before the next one starts.
  NextAttempt(SlotNo);
}

void TParallelCheck::HandleLookups() {
  // Those that ended go on in the order they were started.
  std::vector<int> Ended;
  FLookingUp.erase(std::remove_if(FLookingUp.begin(), FLookingUp.end(),
                                  [&](int SlotNo) {
                                    const bool Done = FSlots[static_cast<std::size_t>(SlotNo)].Lookup->Done();
                                    if (Done)
                                      Ended.push_back(SlotNo);
                                    return Done;
                                  }),
                   FLookingUp.end());
  for (const int SlotNo : Ended)
    LookupDone(SlotNo);
}

void TParallelCheck::SendDue(int Budget) {
  for (; Budget > 0 && !FDue.empty(); --Budget) {
    const int SlotNo = FDue.front();
    FDue.pop_front();
    NextAttempt(SlotNo);
  }
}

void TParallelCheck::NextAttempt(int SlotNo) {
  TSlot& Slot = FSlots[static_cast<std::size_t>(SlotNo)];
  TDevice& Device = *Slot.Item.Device;
  while (Slot.Attempts < FTimes) {
    ++Slot.Attempts;
    Device.SetPinged(Device.Pinged() + 1);
    // The first answered request decides the address the others use.
    try {
      TpelPing& Ping = PingOf(Slot.Family);
      if (!FHooks.SendPing(Ping, Device, Slot.Lookup->PingTarget()))
        continue;  // nothing to send to (a text that names nothing)
      Slot.RequestId = Ping.RequestId();
    } catch (...) {
      continue;  // failed at once (no such name, no route): only the counters show it
    }
    // The component never gives a request the id of one still remembered,
    // so the id tells this request from every other one out.
    FRequests[Slot.Family][Slot.RequestId] = SlotNo;
    FDeadlines.push_back({FClock.elapsed() + FTimeoutMs, SlotNo, Slot.Family, Slot.RequestId});
    return;
  }
  FinishDevice(SlotNo);
}

void TParallelCheck::FinishDevice(int SlotNo) {
  TSlot& Slot = FSlots[static_cast<std::size_t>(SlotNo)];
  TDevice& Device = *Slot.Item.Device;
  Device.UpdateDeviceStatus();
  const int Index = Slot.Item.Index;
  // The sockets stay for the other devices; they go with the run.
  Slot = TSlot();
  FFreeSlots.push_back(SlotNo);
  --FInFlight;
  ++FDone;
  FHooks.Finished(Index, Device);
  FHooks.Progress(FDone, FTotal);
}

bool TParallelCheck::Outstanding(const TDeadline& Deadline) const {
  const TSlot& Slot = FSlots[static_cast<std::size_t>(Deadline.SlotNo)];
  return Slot.RequestId == Deadline.RequestId && Slot.Family == Deadline.Family;
}

void TParallelCheck::ExpireRequests() {
  const qint64 Now = FClock.elapsed();
  while (!FDeadlines.empty() && FDeadlines.front().At <= Now) {
    const TDeadline Deadline = FDeadlines.front();
    FDeadlines.pop_front();
    if (!Outstanding(Deadline))
      continue;  // answered or failed before
    FRequests[Deadline.Family].erase(Deadline.RequestId);
    FSlots[static_cast<std::size_t>(Deadline.SlotNo)].RequestId = -1;
    FDue.push_back(Deadline.SlotNo);
  }
}

int TParallelCheck::WaitMs() {
  while (!FDeadlines.empty() && !Outstanding(FDeadlines.front()))
    FDeadlines.pop_front();
  if (FDeadlines.empty())
    return FLookingUp.empty() ? 0 : -1;
  return static_cast<int>(std::clamp<qint64>(FDeadlines.front().At - FClock.elapsed(), 0, INT_MAX));
}
