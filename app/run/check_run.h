// The check run without the window: every device of a list pinged as often
// as the settings say, one after the other or many in flight, with each
// device's counters and status and the count of devices that answered and
// failed.  What the run shows as it goes is the view's; a run without a
// window passes a view that shows nothing.
#pragma once

#include "run/device_check.h"

#include <QPointer>
#include <QString>

#include <memory>

class QObject;
class TDevice;
class TDeviceHostLookup;
class TIPv6PingScope;
class TSettings;
class TpelPing;

// The devices a run checks and what it shows of them.  Rows are asked for by
// position each time: events handled during the run must not leave a stale
// device behind.
class TCheckRunView {
public:
  virtual ~TCheckRunView() = default;
  virtual int RowCount() const = 0;
  // The device of a row, or none (a row that is no device is passed over).
  virtual TDevice* RowDevice(int Index) const = 0;
  // Both runs: the device was reset and its requests are about to go.
  virtual void DeviceStarted(int /*Index*/, const TDevice& /*Device*/) {}
  // One after the other: the device whose requests go now.
  virtual void DeviceInTurn(int /*Index*/, const TDevice& /*Device*/) {}
  // Both runs: the device is done, its status final.
  virtual void DeviceFinished(int /*Index*/, const TDevice& /*Device*/) {}
  // One after the other: a row is done, a device or not.
  virtual void RowDone() {}
  // Many in flight: how many devices are done of all.
  virtual void Progress(int /*Done*/, int /*Total*/) {}
};

class TCheckRun {
public:
  // Ping is the component of the run of one after the other.  Owner, when
  // given, must outlive the run (the window): the run ends when it goes, and
  // after the device in turn when it is closed or the application quits.
  explicit TCheckRun(TpelPing& Ping, QObject* Owner = nullptr);
  ~TCheckRun();
  TCheckRun(const TCheckRun&) = delete;
  TCheckRun& operator=(const TCheckRun&) = delete;

  // A ping component set up from the settings, helper path included, as
  // both runs use it.
  static void ConfigurePing(TpelPing& Ping, const TSettings& Settings);
  // Opens Ping's port as the first PingHost would (the same path, chosen by
  // the settings) and closes it again.  Empty when it opens, else the line
  // that says why not and how to allow it.
  QString PortProblem(const TSettings& Settings);
  // Parallel above 1 with a time-out to wait for; with none the component
  // does not wait in either run, and the devices go one after the other.
  static bool InParallel(const TSettings& Settings);

  // Checks every device of View as Settings say.  True when every device
  // was checked; false when the owner went or is closing, and then nothing
  // of the owner's may be touched when the owner is gone.
  bool Run(const TSettings& Settings, TCheckRunView& View);

  // The owner is still there (always true without one).
  bool OwnerAlive() const;
  // The device whose requests go now in the run of one after the other.
  TDevice* CurrentDevice() const { return FCurrentDevice; }
  // Ping's Response event in the run of one after the other: counted for
  // the device in turn.
  void Response(QObject* Sender, const QString& ResponseSource, const QString& ResponseStatus,
                int ResponseTime);
  const TCheckCounts& Counts() const { return FCounts; }
  // Most devices in flight at one time; 0 after a run of one after the other.
  int PeakInFlight() const { return FPeakInFlight; }

private:
  class TStopWatch;
  bool KeepGoing() const;
  bool RunOneAfterOther(const TSettings& Settings, TCheckRunView& View);
  bool RunInParallel(const TSettings& Settings, TCheckRunView& View);
  bool CheckRow(int Index, const TSettings& Settings, TCheckRunView& View);
  bool PingDevice(int Index, TDevice& Device, const TSettings& Settings, TCheckRunView& View);
  void PingOnce(TDevice& Device);
  void DeviceDone(int Index, TDevice& Device, TCheckRunView& View);
  // One echo request to the device at Target through Ping, in either run.
  // False, and nothing sent, for a device whose text names nothing; other
  // failures raise.
  static bool SendPing(TpelPing& Ping, const TDevice& Device, const QString& Target);
  // Before a device's requests, in either run, once its lookup is done:
  // what its text names decides how Ping asks it.  IPv6 devices go over
  // IPv6 while the returned scope lives; a text that names nothing is not
  // pinged.
  static std::unique_ptr<TIPv6PingScope> PrepareDevice(TpelPing& Ping, TDevice& Device,
                                                       const TDeviceHostLookup& Lookup);
  // What PrepareDevice notes of the device itself: a text that names nothing.
  static void NoteLookup(TDevice& Device, const TDeviceHostLookup& Lookup);

  TpelPing& FPing;
  const bool FOwned;
  const QPointer<QObject> FOwner;
  const std::unique_ptr<TStopWatch> FStopWatch;
  TDevice* FCurrentDevice = nullptr;
  TCheckCounts FCounts;
  int FPeakInFlight = 0;
};
