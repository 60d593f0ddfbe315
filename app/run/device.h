// One monitored device: its name and address from the settings file, the
// ping counters of the current run and the status derived from them.
#pragma once

#include <QString>

#include <cstdint>

enum TDeviceStatus : std::uint8_t {
  dsNone,
  dsBeingChecked,
  dsOK,
  dsOKPartial,
  dsNoConnection,
  dsHostLookupFailed,
};

// The reports walk the categories in this order, so the order matters.
enum TDeviceStatusCategory : std::uint8_t {
  dscNoConnection,
  dscUnknown,
  dscOK,
};

TDeviceStatusCategory DeviceStatusCategoryOf(TDeviceStatus Status);

class TDevice {
public:
  TDevice(const QString& ADeviceName, const QString& ADeviceHostAddress);

  const QString& DeviceName() const { return FDeviceName; }
  void SetDeviceName(const QString& Value) { FDeviceName = Value; }
  const QString& DeviceHostAddress() const { return FDeviceHostAddress; }
  void SetDeviceHostAddress(const QString& Value) { FDeviceHostAddress = Value; }
  TDeviceStatus DeviceStatus() const { return FDeviceStatus; }
  void SetDeviceStatus(TDeviceStatus Value) { FDeviceStatus = Value; }
  TDeviceStatusCategory DeviceStatusCategory() const { return FDeviceStatusCategory; }
  void SetDeviceStatusCategory(TDeviceStatusCategory Value) { FDeviceStatusCategory = Value; }
  std::int32_t Pinged() const { return FPinged; }
  void SetPinged(std::int32_t Value) { FPinged = Value; }
  std::int32_t PingedOK() const { return FPingedOK; }
  void SetPingedOK(std::int32_t Value) { FPingedOK = Value; }
  // The check run found the address (or name) to be neither an address nor
  // a name that resolves: unanswered, that is a failed lookup, not silence.
  bool HostLookupFailed() const { return FHostLookupFailed; }
  void SetHostLookupFailed(bool Value) { FHostLookupFailed = Value; }

  // Round-trip times of the answers of the current run, in microseconds.
  void AddRoundTripMicroseconds(std::int64_t Microseconds);
  void ClearRoundTrips();
  std::int32_t RoundTripCount() const { return FRoundTripCount; }
  std::int64_t RoundTripMinMicroseconds() const { return FRoundTripMin; }
  std::int64_t RoundTripMaxMicroseconds() const { return FRoundTripMax; }
  // The mean of the answers' times in microseconds, or a negative value
  // when none answered.
  double RoundTripAverageMicroseconds() const;
  // The mean with its unit ("0.04 ms", FormatRoundTrip), "" when none answered.
  QString RoundTripText() const;
  // "min 0.03 ms, max 0.05 ms", "" when none answered.
  QString RoundTripRangeText() const;

  // Recomputes status and category from the counters and the address.
  void UpdateDeviceStatus();
  // The only source of status texts: the list and both reports use it.
  // The partial-success rate is written in the user's locale.
  QString DeviceStatusToString() const;
  // PingedOK / Pinged * 100, or 0 when nothing was pinged.
  double SuccessRate() const;

private:
  QString FDeviceName;
  QString FDeviceHostAddress;
  TDeviceStatus FDeviceStatus = dsNone;
  TDeviceStatusCategory FDeviceStatusCategory = dscUnknown;
  std::int32_t FPinged = 0;
  std::int32_t FPingedOK = 0;
  bool FHostLookupFailed = false;
  std::int32_t FRoundTripCount = 0;
  std::int64_t FRoundTripMin = 0;
  std::int64_t FRoundTripMax = 0;
  std::int64_t FRoundTripSum = 0;
};
