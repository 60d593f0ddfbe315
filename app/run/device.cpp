#include "run/device.h"

#include "common/locale_texts.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

struct TStatusInfo {
  TDeviceStatus Status;
  TDeviceStatusCategory Category;
  const char* Text;  // "%1" stands for the success rate
};

constexpr std::array<TStatusInfo, 6> StatusTable{{
    {dsNone, dscUnknown, ""},
    {dsBeingChecked, dscUnknown, "Checking ..."},
    {dsOK, dscOK, "OK"},
    {dsOKPartial, dscOK, "OK (%1%)"},
    {dsNoConnection, dscNoConnection, "No connection at all"},
    {dsHostLookupFailed, dscNoConnection, "Unable to lookup host address"},
}};

const TStatusInfo& InfoOf(TDeviceStatus Status) {
  // A value outside the enumeration (only possible through a cast) reads as dsNone.
  return Status < StatusTable.size() ? StatusTable[Status] : StatusTable[dsNone];
}

}  // namespace

TDeviceStatusCategory DeviceStatusCategoryOf(TDeviceStatus Status) { return InfoOf(Status).Category; }

TDevice::TDevice(const QString& ADeviceName, const QString& ADeviceHostAddress)
    : FDeviceName(ADeviceName), FDeviceHostAddress(ADeviceHostAddress) {
  UpdateDeviceStatus();
}

void TDevice::UpdateDeviceStatus() {
  if (FPinged == 0)
    FDeviceStatus = dsNone;
  else if (FPingedOK == 0)
    FDeviceStatus = FDeviceHostAddress.isEmpty() || FHostLookupFailed ? dsHostLookupFailed : dsNoConnection;
  else if (FPingedOK == FPinged)
    FDeviceStatus = dsOK;
  else if (FPingedOK < FPinged)
    FDeviceStatus = dsOKPartial;
  else
    FDeviceStatus = dsNone;  // more replies than requests: the counters cannot be trusted
  FDeviceStatusCategory = DeviceStatusCategoryOf(FDeviceStatus);
}

double TDevice::SuccessRate() const {
  if (FPinged == 0)
    return 0.0;
  return static_cast<double>(FPingedOK) / static_cast<double>(FPinged) * 100.0;
}

QString TDevice::DeviceStatusToString() const {
  const QString Text = QString::fromLatin1(InfoOf(FDeviceStatus).Text);
  if (FDeviceStatus == dsOKPartial)
    return Text.arg(FormatGeneral15(SuccessRate()));
  return Text;
}

void TDevice::AddRoundTripMicroseconds(std::int64_t Microseconds) {
  // A clock that went backwards gives no negative time.
  const std::int64_t Time = std::max<std::int64_t>(Microseconds, 0);
  FRoundTripMin = FRoundTripCount == 0 ? Time : std::min(FRoundTripMin, Time);
  FRoundTripMax = FRoundTripCount == 0 ? Time : std::max(FRoundTripMax, Time);
  FRoundTripSum += Time;
  ++FRoundTripCount;
}

void TDevice::ClearRoundTrips() {
  FRoundTripCount = 0;
  FRoundTripMin = 0;
  FRoundTripMax = 0;
  FRoundTripSum = 0;
}

double TDevice::RoundTripAverageMicroseconds() const {
  if (FRoundTripCount == 0)
    return -1.0;
  return static_cast<double>(FRoundTripSum) / static_cast<double>(FRoundTripCount);
}

QString TDevice::RoundTripText() const {
  if (FRoundTripCount == 0)
    return QString();
  return FormatRoundTrip(RoundTripAverageMicroseconds());
}

QString TDevice::RoundTripRangeText() const {
  if (FRoundTripCount == 0)
    return QString();
  return QStringLiteral("min %1, max %2")
      .arg(FormatRoundTrip(static_cast<double>(FRoundTripMin)),
           FormatRoundTrip(static_cast<double>(FRoundTripMax)));
}
