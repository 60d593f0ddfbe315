// What one device's check is, the same in the run of one device after the
// other and in the run with many devices in flight: how a device starts, how
// an answer counts for it, and how a finished device counts for the run.
#pragma once

#include <QString>

#include <cstdint>

class QObject;
class TDevice;

// Before a device's first request: its counters and round trips cleared,
// its status "being checked".
void StartDeviceCheck(TDevice& Device);

// "OK" compared without regard to the case of ASCII letters only.
bool IsOKStatus(const QString& Status);
// One Response for a device: a good reply gives the device the answering
// address, one more answered request and its round-trip time; any other
// status changes nothing.
void CountResponse(TDevice& Device, const QString& ResponseSource, const QString& ResponseStatus,
                   std::int64_t ResponseTimeMicroseconds);
// The round trip of the answer Ping reports now, in microseconds: its
// ResponseTimeMicroseconds, which the core sets before the Response event.
std::int64_t ResponseTimeMicrosecondsOf(const QObject* Ping, int ResponseTime);

// The devices of a run that answered and that failed, counted as each one
// finishes.
struct TCheckCounts {
  int OKDevices = 0;
  int FailedDevices = 0;

  // A finished device: OK (also partly) or failed; a device in any other
  // status is not counted.
  void Add(const TDevice& Device);
  // The run's one-line summary; empty when no device counted.
  QString Summary() const;
  bool operator==(const TCheckCounts&) const = default;
};
