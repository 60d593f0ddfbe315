#include "run/parallel_check.h"

#include "run/device.h"
#include "run/device_address.h"
#include "pelping.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace {

constexpr int StartsPerTurn = 64;

}  // namespace

TParallelCheck::TParallelCheck(int Parallel, int Times, int TimeoutMs, THooks Hooks)
    : FParallel(std::max(Parallel, 1)),
      FTimes(Times),
      FTimeoutMs(std::max(TimeoutMs, 1)),
      FHooks(std::move(Hooks)) {}

TParallelCheck::~TParallelCheck() = default;

TpelPing& TParallelCheck::PingOf(int SlotNo) {
  if (FPings.size() < static_cast<std::size_t>(SlotNo) + 1)
    FPings.resize(static_cast<std::size_t>(SlotNo) + 1);
  std::unique_ptr<TpelPing>& Ping = FPings[static_cast<std::size_t>(SlotNo)];
  if (!Ping) {
    Ping = std::make_unique<TpelPing>();
    FHooks.ConfigurePing(*Ping);
    // Not waiting: PingHost sends and returns, the answer comes as an event.
    Ping->setTimeout(0);
    Ping->setOnResponse([this, SlotNo](QObject*, int RequestId, const QString& ResponseSource,
                                       const QString& ResponseStatus, int ResponseTime) {
      Response(SlotNo, RequestId, ResponseSource, ResponseStatus, ResponseTime);
    });
  }
  return *Ping;
}

bool TParallelCheck::Run(const std::vector<TItem>& Items) {
  FSlots.assign(static_cast<std::size_t>(FParallel), TSlot());
  FFreeSlots.clear();
  for (int SlotNo = FParallel - 1; SlotNo >= 0; --SlotNo)
    FFreeSlots.push_back(SlotNo);
  FAnswered.clear();
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
    HandleAnswered();
    HandleLookups();
    ExpireRequests();
    // New devices in bursts: answers that come back at once (a near host
    // answers before the next request is out) must find room in the socket
    // until the next dispatch reads them.
    for (int Started = 0; Started < StartsPerTurn && !FFreeSlots.empty() && Next < Items.size(); ++Started)
      StartDevice(Items[Next++]);
    if (FDone == FTotal)
      return true;
    if (!FHooks.KeepGoing())
      return false;
    const bool MoreToStart = !FFreeSlots.empty() && Next < Items.size();
    if (FAnswered.empty() && !MoreToStart) {
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

void TParallelCheck::Response(int SlotNo, int RequestId, const QString& ResponseSource,
                              const QString& ResponseStatus, int ResponseTime) {
  TSlot& Slot = FSlots[static_cast<std::size_t>(SlotNo)];
  // An answer after its deadline belongs to a request given up already.
  if (Slot.RequestId < 0 || RequestId != Slot.RequestId)
    return;
  Slot.RequestId = -1;
  CountResponse(*Slot.Item.Device, ResponseSource, ResponseStatus,
                ResponseTimeMicrosecondsOf(FPings[static_cast<std::size_t>(SlotNo)].get(), ResponseTime));
  // Every answer ends its request, as it ends a waiting ping; the next one
  // is sent from the run's loop, not from inside the component's event.
  FAnswered.push_back(SlotNo);
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
}

void TParallelCheck::LookupDone(int SlotNo) {
  TSlot& Slot = FSlots[static_cast<std::size_t>(SlotNo)];
  Slot.LookingUp = false;
  // In flight from here: a device whose name is still being looked up has
  // its slot, but nothing of it is out yet.
  ++FInFlight;
  FPeakInFlight = std::max(FPeakInFlight, FInFlight);
  try {
    Slot.Prepared = FHooks.PrepareDevice(PingOf(SlotNo), *Slot.Item.Device, *Slot.Lookup);
  } catch (...) {
    // No component for the slot: every request of the device fails below.
  }
  NextAttempt(SlotNo);
}

void TParallelCheck::HandleLookups() {
  for (std::size_t SlotNo = 0; SlotNo < FSlots.size(); ++SlotNo) {
    const TSlot& Slot = FSlots[SlotNo];
    if (Slot.LookingUp && Slot.Lookup->Done())
      LookupDone(static_cast<int>(SlotNo));
  }
}

bool TParallelCheck::LookupsPending() const {
  return std::any_of(FSlots.begin(), FSlots.end(), [](const TSlot& Slot) { return Slot.LookingUp; });
}

void TParallelCheck::NextAttempt(int SlotNo) {
  TSlot& Slot = FSlots[static_cast<std::size_t>(SlotNo)];
  TDevice& Device = *Slot.Item.Device;
  while (Slot.Attempts < FTimes) {
    ++Slot.Attempts;
    Device.SetPinged(Device.Pinged() + 1);
    // The first answered request decides the address the others use.
    try {
      TpelPing& Ping = PingOf(SlotNo);
      if (!FHooks.SendPing(Ping, Device, Slot.Lookup->PingTarget()))
        continue;  // nothing to send to (a text that names nothing)
      Slot.RequestId = Ping.RequestId();
    } catch (...) {
      continue;  // failed at once (no such name, no route): only the counters show it
    }
    Slot.Deadline = FClock.elapsed() + FTimeoutMs;
    return;
  }
  FinishDevice(SlotNo);
}

void TParallelCheck::FinishDevice(int SlotNo) {
  TSlot& Slot = FSlots[static_cast<std::size_t>(SlotNo)];
  TDevice& Device = *Slot.Item.Device;
  Device.UpdateDeviceStatus();
  const int Index = Slot.Item.Index;
  // Its answers are all in: the socket goes until the slot's next device,
  // and then what was set for this device.
  if (static_cast<std::size_t>(SlotNo) < FPings.size() && FPings[static_cast<std::size_t>(SlotNo)]) {
    try {
      FPings[static_cast<std::size_t>(SlotNo)]->setActive(false);
    } catch (...) {
    }
  }
  Slot = TSlot();
  FFreeSlots.push_back(SlotNo);
  --FInFlight;
  ++FDone;
  FHooks.Finished(Index, Device);
  FHooks.Progress(FDone, FTotal);
}

void TParallelCheck::HandleAnswered() {
  while (!FAnswered.empty()) {
    const int SlotNo = FAnswered.front();
    FAnswered.pop_front();
    NextAttempt(SlotNo);
  }
}

void TParallelCheck::ExpireRequests() {
  const qint64 Now = FClock.elapsed();
  for (std::size_t SlotNo = 0; SlotNo < FSlots.size(); ++SlotNo) {
    TSlot& Slot = FSlots[SlotNo];
    if (Slot.RequestId < 0 || Slot.Deadline > Now)
      continue;
    Slot.RequestId = -1;
    NextAttempt(static_cast<int>(SlotNo));
  }
}

int TParallelCheck::WaitMs() const {
  qint64 Earliest = LLONG_MAX;
  for (const TSlot& Slot : FSlots)
    if (Slot.RequestId >= 0)
      Earliest = std::min(Earliest, Slot.Deadline);
  if (Earliest == LLONG_MAX)
    return LookupsPending() ? -1 : 0;
  return static_cast<int>(std::clamp<qint64>(Earliest - FClock.elapsed(), 0, INT_MAX));
}
