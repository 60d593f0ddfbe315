// The check run with many devices in flight at once, on the window's own
// thread.  Each device in flight has a ping component of its own in the
// non-waiting mode: PingHost sends and returns, the answer comes back as a
// Response event while the thread dispatches, and a request whose answer
// does not come within the time-out is given up here.  One component per
// device in flight, not one for all, because a socket carries the failures
// of its requests: an ICMP error pending on it fails its next send, and a
// failed PingHost closes its port, which would lose every other device's
// request.  Each device still gets its requests one after the other, so its
// counters, address and status are those of the run of one after the other.
// A device's slot is taken from the start of its name's lookup, so the names
// of the devices about to go are looked up at the same time, as many as
// devices may be in flight: a run over K names whose name server never
// answers takes a few resolver time-outs, not K.
#pragma once

#include "run/device_check.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class TDevice;
class TDeviceHostLookup;
class TpelPing;

class TParallelCheck {
public:
  // One device to check and the position of its row.
  struct TItem {
    TDevice* Device;
    int Index;
  };
  // What the run asks of the window.  Started and Finished get the item's row
  // position; KeepGoing is asked after every dispatch and false ends the run
  // (the window went away or is closing), after which nothing else is called.
  struct THooks {
    std::function<void(int Index, TDevice& Device)> Started;
    std::function<void(int Index, TDevice& Device)> Finished;
    std::function<void(int Done, int Total)> Progress;
    std::function<bool()> KeepGoing;
    // Sets up a new ping component as the run of one after the other sets
    // up its own; the run then switches it to not waiting.
    std::function<void(TpelPing& Ping)> ConfigurePing;
    // Before a device's first request, once its lookup is done, with its
    // slot's component: what it returns lives until the device is done (a
    // setting kept for it).
    std::function<std::shared_ptr<void>(TpelPing& Ping, TDevice& Device, const TDeviceHostLookup& Lookup)>
        PrepareDevice;
    // Sends one request to the device at Target through Ping: false when
    // nothing was sent; raises when sending failed.
    std::function<bool(TpelPing& Ping, const TDevice& Device, const QString& Target)> SendPing;
  };

  // Parallel >= 1, Times requests per device, TimeoutMs > 0.
  TParallelCheck(int Parallel, int Times, int TimeoutMs, THooks Hooks);
  ~TParallelCheck();
  TParallelCheck(const TParallelCheck&) = delete;
  TParallelCheck& operator=(const TParallelCheck&) = delete;

  // Checks every item; true when all finished, false when KeepGoing ended
  // the run first.
  bool Run(const std::vector<TItem>& Items);
  // Most devices that were in flight (their lookup done, requests going
  // out) at one time during the last Run.
  int PeakInFlight() const { return FPeakInFlight; }
  // Ping components made so far (one per slot used; each owns one socket
  // while a request of its device is out).
  int PingCount() const { return static_cast<int>(FPings.size()); }

private:
  // A device in flight and its one outstanding request.
  struct TSlot {
    TItem Item{nullptr, -1};
    int Attempts = 0;
    int RequestId = -1;  // -1: none outstanding
    qint64 Deadline = 0;
    std::shared_ptr<void> Prepared;             // from PrepareDevice, until the device is done
    std::shared_ptr<TDeviceHostLookup> Lookup;  // what its host text names
    bool LookingUp = false;                     // no request before the lookup is done
  };

  // The Response event of slot SlotNo's component.
  void Response(int SlotNo, int RequestId, const QString& ResponseSource, const QString& ResponseStatus,
                int ResponseTime);
  TpelPing& PingOf(int SlotNo);
  void StartDevice(const TItem& Item);
  // Prepares the device once its lookup is done and sends its first request.
  void LookupDone(int SlotNo);
  // Slots whose lookup ended since the last turn go on.
  void HandleLookups();
  bool LookupsPending() const;
  // Sends the slot's next request; a device whose requests are all done (or
  // fail at once) is finished and its slot freed.
  void NextAttempt(int SlotNo);
  void FinishDevice(int SlotNo);
  void ExpireRequests();
  void HandleAnswered();
  // Milliseconds until the earliest outstanding deadline; -1 when only
  // lookups are out (their ends wake the run).
  int WaitMs() const;

  std::vector<std::unique_ptr<TpelPing>> FPings;  // by slot, made when first used
  const int FParallel;
  const int FTimes;
  const int FTimeoutMs;
  THooks FHooks;
  std::vector<TSlot> FSlots;
  std::vector<int> FFreeSlots;
  std::deque<int> FAnswered;  // slots whose request was answered, in answer order
  QElapsedTimer FClock;
  int FInFlight = 0;
  int FPeakInFlight = 0;
  int FDone = 0;
  int FTotal = 0;
};
