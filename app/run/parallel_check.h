// The check run with many devices in flight at once, on the window's own
// thread.  All requests of the run go out through one ping component per
// address family in the non-waiting mode, so through one socket each:
// PingHost sends and returns, the answer comes back as a Response event
// while the thread dispatches, told apart by the request id it carries, and
// a request whose answer does not come within the time-out is given up here.
// The components serve many hosts at once (ManyHosts): a request that fails
// at once (no route) leaves the port open for the answers to the others, and
// every answer is timed from its own request.  Each device still gets its
// requests one after the other, so its counters, address and status are
// those of the run of one after the other.  A device's place in flight is
// taken from the start of its name's lookup, so the names of the devices
// about to go are looked up at the same time (a bounded number of them): a
// run over K names whose name server never answers takes a few resolver
// time-outs, not K.
#pragma once

#include "run/device_check.h"

#include <QElapsedTimer>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
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
    // Once for each component, IPv6 for the one of the IPv6 devices: what it
    // returns lives until the run ends (the settings of its family).
    std::function<std::shared_ptr<void>(TpelPing& Ping, bool IPv6)> PreparePing;
    // Before a device's first request, once its lookup is done.
    std::function<void(TDevice& Device, const TDeviceHostLookup& Lookup)> PrepareDevice;
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
  // Ping components made so far: one per address family the run has sent
  // to, each with the one socket all requests of its family go through.
  int PingCount() const;

private:
  enum TFamily { IPv4 = 0, IPv6 = 1 };
  // A device in flight and its one outstanding request.
  struct TSlot {
    TItem Item{nullptr, -1};
    TFamily Family = IPv4;
    int Attempts = 0;
    int RequestId = -1;                         // -1: none outstanding
    std::shared_ptr<TDeviceHostLookup> Lookup;  // what its host text names
    bool LookingUp = false;                     // no request before the lookup is done
  };
  // An outstanding request's time-out; all share the same time-out, so they
  // expire in the order sent.
  struct TDeadline {
    qint64 At;
    int SlotNo;
    TFamily Family;
    int RequestId;
  };

  // The Response event of the family's component.
  void Response(TFamily Family, int RequestId, const QString& ResponseSource, const QString& ResponseStatus,
                int ResponseTime);
  TpelPing& PingOf(TFamily Family);
  void StartDevice(const TItem& Item);
  // Prepares the device once its lookup is done and sends its first request.
  void LookupDone(int SlotNo);
  // Slots whose lookup ended since the last turn go on.
  void HandleLookups();
  // Sends the slot's next request; a device whose requests are all done (or
  // fail at once) is finished and its place freed.
  void NextAttempt(int SlotNo);
  void FinishDevice(int SlotNo);
  void ExpireRequests();
  // Sends the requests that are due, at most Budget of them.
  void SendDue(int Budget);
  // Milliseconds until the earliest outstanding deadline; -1 when only
  // lookups are out (their ends wake the run).  Drops the deadlines of
  // requests settled before theirs.
  int WaitMs();
  // The deadline's request is still out.
  bool Outstanding(const TDeadline& Deadline) const;

  std::array<std::unique_ptr<TpelPing>, 2> FPings;  // by family, made when first used
  std::array<std::shared_ptr<void>, 2> FPrepared;   // from PreparePing, until the run ends
  const int FParallel;
  const int FTimes;
  const int FTimeoutMs;
  THooks FHooks;
  std::vector<TSlot> FSlots;
  std::vector<int> FFreeSlots;
  std::vector<int> FLookingUp;  // slots whose name is being looked up
  std::deque<int> FDue;         // slots whose next request is due, in order
  std::deque<TDeadline> FDeadlines;
  // The slot of each outstanding request, by family and request id.
  std::array<std::unordered_map<int, int>, 2> FRequests;
  QElapsedTimer FClock;
  int FInFlight = 0;
  int FPeakInFlight = 0;
  int FDone = 0;
  int FTotal = 0;
};
