// What a device's host text names, decided once before the device is
// pinged: an IPv4 address or a name with one (pinged as always), an IPv6
// address or a name with IPv6 addresses only (pinged over IPv6), or nothing
// that can be pinged.  And the ping component switched to IPv6 for such a
// device and back.
#pragma once

#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class TDevice;
class THostLookup;
class TpelPing;

enum class TDeviceHostFamily : std::uint8_t {
  IPv4,
  IPv6,
  Unresolvable,
};

// The text a device is pinged by: its address, or its name without one.
QString DevicePingTarget(const TDevice& Device);

// IPv4 for an IPv4 address in any form the ping component takes, for the
// empty text and for a name with at least one IPv4 address; IPv6 for an IPv6
// address (with or without a zone: "fe80::1%eth0") and for a name with IPv6
// addresses only; Unresolvable for anything else.  A text whose last label
// is all digits is an address or nothing (no host name ends so), so
// "127.0.0.300" is not looked up.
// A name is waited for with the thread's events flowing.
TDeviceHostFamily DeviceHostFamily(const QString& Host);

// The same decided without holding up the thread: a text that is an address
// (or can be none) at once, a name once its lookup on a thread of its own
// is done.
class TDeviceHostLookup {
public:
  explicit TDeviceHostLookup(const QString& Host);
  ~TDeviceHostLookup();
  TDeviceHostLookup(const TDeviceHostLookup&) = delete;
  TDeviceHostLookup& operator=(const TDeviceHostLookup&) = delete;

  bool Done() const;
  // Runs the thread's events until done or KeepWaiting says no; true when done.
  bool Wait(const std::function<bool()>& KeepWaiting);
  // Once done, as DeviceHostFamily says.
  TDeviceHostFamily Family() const;
  // Once done: what to ping, the name's first address in its family (the
  // one a lookup by the ping component finds), else the text itself.
  QString PingTarget() const;

private:
  QString FHost;
  TDeviceHostFamily FFamily = TDeviceHostFamily::Unresolvable;
  std::unique_ptr<THostLookup> FLookup;  // only for a name
};

// While it lives, the ping component pings over IPv6 on its raw path (the
// helper path has no IPv6); the settings it found come back when it ends.
// Does nothing when not Enabled or when the component is gone.
class TIPv6PingScope {
public:
  TIPv6PingScope(TpelPing* Ping, bool Enabled);
  ~TIPv6PingScope();
  TIPv6PingScope(const TIPv6PingScope&) = delete;
  TIPv6PingScope& operator=(const TIPv6PingScope&) = delete;

private:
  QPointer<TpelPing> FPing;
  bool FEnabled;
  QString FUseICMPDLL;
  QString FUseIPHLPDLL;
  QString FUseIPv6;
  int FTimeout = 0;
  int FTypeOfService = 0;
};
