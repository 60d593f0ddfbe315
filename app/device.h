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
};
