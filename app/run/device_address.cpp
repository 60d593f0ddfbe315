#include "run/device_address.h"

#include "run/device.h"
#include "run/host_lookup.h"
#include "pelping.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <optional>

namespace {

bool IsIPv4Literal(const QByteArray& Text) {
  // The forms the ping component parses without a lookup ("10.1", "0x7f.1", ...).
  in_addr Parsed{};
  return inet_aton(Text.constData(), &Parsed) != 0;
}

bool IsIPv6Literal(const QByteArray& Text) {
  // getaddrinfo takes the zone as an interface name or number; an
  // interface that does not exist makes the text no address.
  addrinfo Hints{};
  Hints.ai_family = AF_INET6;
  Hints.ai_socktype = SOCK_DGRAM;
  Hints.ai_flags = AI_NUMERICHOST;
  addrinfo* List = nullptr;
  if (getaddrinfo(Text.constData(), nullptr, &Hints, &List) != 0)
    return false;
  freeaddrinfo(List);
  return true;
}

// The last label, a trailing dot aside, has only digits: meant as an address.
bool EndsInNumericLabel(const QString& Host) {
  QStringView Text(Host);
  if (Text.endsWith(u'.'))
    Text.chop(1);
  const QStringView Label = Text.mid(Text.lastIndexOf(u'.') + 1);
  return !Label.isEmpty() &&
         std::all_of(Label.begin(), Label.end(), [](QChar C) { return C >= u'0' && C <= u'9'; });
}

// What a text names without a lookup; nullopt for a name, which needs one.
std::optional<TDeviceHostFamily> FamilyWithoutLookup(const QString& Host) {
  if (Host.isEmpty())
    return TDeviceHostFamily::IPv4;  // the component's own answer to nothing stays
  const QByteArray Text = Host.toUtf8();
  // A zero byte would end the text early and name another host.
  if (Text.contains('\0'))
    return TDeviceHostFamily::Unresolvable;
  if (IsIPv4Literal(Text))
    return TDeviceHostFamily::IPv4;
  // No host name has a colon in it.
  if (Host.contains(u':'))
    return IsIPv6Literal(Text) ? TDeviceHostFamily::IPv6 : TDeviceHostFamily::Unresolvable;
  if (EndsInNumericLabel(Host))
    return TDeviceHostFamily::Unresolvable;
  return std::nullopt;
}

}  // namespace

QString DevicePingTarget(const TDevice& Device) {
  return Device.DeviceHostAddress().isEmpty() ? Device.DeviceName() : Device.DeviceHostAddress();
}

TDeviceHostFamily DeviceHostFamily(const QString& Host) {
  TDeviceHostLookup Lookup(Host);
  Lookup.Wait([] { return true; });
  return Lookup.Family();
}

TDeviceHostLookup::TDeviceHostLookup(const QString& Host) : FHost(Host) {
  if (const std::optional<TDeviceHostFamily> Family = FamilyWithoutLookup(Host))
    FFamily = *Family;
  else
    FLookup = std::make_unique<THostLookup>(Host.toUtf8());
}

TDeviceHostLookup::~TDeviceHostLookup() = default;

bool TDeviceHostLookup::Done() const { return !FLookup || FLookup->Done(); }

bool TDeviceHostLookup::Wait(const std::function<bool()>& KeepWaiting) {
  return !FLookup || WaitForLookup(*FLookup, KeepWaiting);
}

TDeviceHostFamily TDeviceHostLookup::Family() const {
  if (!FLookup)
    return FFamily;
  // IPv4 first, as the ping component resolves a name by default.
  if (!FLookup->FirstIPv4().isEmpty())
    return TDeviceHostFamily::IPv4;
  return FLookup->FirstIPv6().isEmpty() ? TDeviceHostFamily::Unresolvable : TDeviceHostFamily::IPv6;
}

QString TDeviceHostLookup::PingTarget() const {
  if (!FLookup)
    return FHost;
  const QString Address = Family() == TDeviceHostFamily::IPv4 ? FLookup->FirstIPv4() : FLookup->FirstIPv6();
  return Address.isEmpty() ? FHost : Address;
}

TIPv6PingScope::TIPv6PingScope(TpelPing* Ping, bool Enabled) : FPing(Ping), FEnabled(Enabled) {
  if (!FEnabled || FPing.isNull())
    return;
  FUseICMPDLL = FPing->Config(QStringLiteral("UseICMPDLL"));
  FUseIPHLPDLL = FPing->Config(QStringLiteral("UseIPHLPDLL"));
  FUseIPv6 = FPing->Config(QStringLiteral("UseIPv6"));
  FTimeout = FPing->Timeout();
  FTypeOfService = FPing->TypeOfService();
  FPing->Config(QStringLiteral("UseICMPDLL=False"));
  FPing->Config(QStringLiteral("UseIPHLPDLL=False"));
  FPing->Config(QStringLiteral("UseIPv6=True"));
  // Leaving the helper settings keeps the time-out the run set.
  FPing->setTimeout(FTimeout);
}

TIPv6PingScope::~TIPv6PingScope() {
  if (!FEnabled || FPing.isNull())
    return;
  try {
    FPing->Config(QStringLiteral("UseIPv6=") + FUseIPv6);
    FPing->Config(QStringLiteral("UseIPHLPDLL=") + FUseIPHLPDLL);
    FPing->Config(QStringLiteral("UseICMPDLL=") + FUseICMPDLL);
    // Choosing a helper setting sets its own time-out; the run's comes back.
    FPing->setTimeout(FTimeout);
    // The component turned the echo request type into ICMPv6's; IPv4
    // devices after this one get theirs back.
    FPing->setTypeOfService(FTypeOfService);
  } catch (...) {
    // A component that refuses its own earlier settings leaves the next
    // device to fail visibly; a destructor cannot report it.
  }
}
