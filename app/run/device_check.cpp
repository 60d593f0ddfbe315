#include "run/device_check.h"

#include "run/device.h"
#include "pelping.h"

void StartDeviceCheck(TDevice& Device) {
  Device.SetPinged(0);
  Device.SetPingedOK(0);
  Device.ClearRoundTrips();
  Device.SetDeviceStatus(dsBeingChecked);
}

bool IsOKStatus(const QString& Status) {
  return Status.size() == 2 && (Status[0] == u'O' || Status[0] == u'o') &&
         (Status[1] == u'K' || Status[1] == u'k');
}

void CountResponse(TDevice& Device, const QString& ResponseSource, const QString& ResponseStatus,
                   std::int64_t ResponseTimeMicroseconds) {
  if (!IsOKStatus(ResponseStatus))
    return;
  Device.SetDeviceHostAddress(ResponseSource);
  Device.SetPingedOK(Device.PingedOK() + 1);
  Device.AddRoundTripMicroseconds(ResponseTimeMicroseconds);
}

std::int64_t ResponseTimeMicrosecondsOf(const QObject* Ping, int ResponseTime) {
  // Only a sender that is no ping component (none of the runs' own) falls
  // back to the event's whole milliseconds.
  if (const auto* PingComponent = qobject_cast<const TpelPing*>(Ping))
    return PingComponent->ResponseTimeMicroseconds();
  return std::int64_t{ResponseTime} * 1000;
}

void TCheckCounts::Add(const TDevice& Device) {
  switch (Device.DeviceStatus()) {
    case dsOK:
    case dsOKPartial:
      ++OKDevices;
      break;
    case dsNoConnection:
    case dsHostLookupFailed:
      ++FailedDevices;
      break;
    default:
      break;
  }
}

QString TCheckCounts::Summary() const {
  if (OKDevices > 0 && FailedDevices > 0)
    return QString::asprintf("Some connections were OK (%d failed - %d OK)", FailedDevices, OKDevices);
  if (OKDevices > 0)
    return QStringLiteral("All connections OK");
  if (FailedDevices > 0)
    return QStringLiteral("No connections were OK");
  return QString();
}
