#include "syslog_core.h"

#include <ctime>

#include "pelnet/runtime/errors.h"
#include "syslog_packet.h"
#include "syslog_parser.h"
#include "syslog_errors.h"
#include "syslog_tables.h"

namespace pelnet::syslog {

namespace {

// A text parameter of an event is zero-terminated on the wire; cut it here so
// the narrow and the wide delivery carry the same text.
std::string eventText(std::string_view s) {
  const size_t zero = s.find('\0');
  return std::string(zero == std::string_view::npos ? s : s.substr(0, zero));
}

// First IPv4 address of `name` in dotted form, or the name itself when the lookup fails.
std::string firstIPv4(const std::string &name) {
  uint32_t addr = 0;
  return lookupIPv4(name, addr) == 0 ? dottedText(addr) : name;
}

}  // namespace

SysLogCore::SysLogCore(pelnet_event_fn callback, void *user) : CoreBase(callback, user) {
  port_.setSink(this);
  port_.onDatagram = [this](const Datagram &d) { return deliver(d); };
  hostName(hostNameAtCreation_);
}

SysLogCore::~SysLogCore() { port_.onDatagram = nullptr; }

// ---------------------------------------------------------------- properties

std::optional<ValueKind> SysLogCore::propertyKind(int id) const {
  static constexpr PropertyEntry kProperties[] = {PELNET_SYSLOG_PROPERTIES(PELNET_PROPERTY_ENTRY)};
  return kindOfProperty(kProperties, id);
}

int SysLogCore::setProperty(int id, int /*index*/, const Value &v) {
  switch (id) {
    case PELNET_SYSLOG_PROP_Active:
      return v.i != 0 ? port_.open() : port_.close();
    case PELNET_SYSLOG_PROP_LocalHost:
      return port_.setLocalHost(v.s);
    case PELNET_SYSLOG_PROP_LocalPort:
      return port_.setLocalPort(v.i);
    case PELNET_SYSLOG_PROP_RemoteHost:
      return port_.setRemoteHost(v.s);
    case PELNET_SYSLOG_PROP_RemotePort:
      return port_.setRemotePort(v.i);
    default:
      return kUnknownSetting;
  }
}

Value SysLogCore::getProperty(int id, int /*index*/) {
  switch (id) {
    case PELNET_SYSLOG_PROP_Active:
      return Value::integer(port_.isOpen() ? 1 : 0);
    case PELNET_SYSLOG_PROP_LocalHost:
      return Value::text(port_.localHostText());
    case PELNET_SYSLOG_PROP_LocalPort:
      return Value::integer(port_.localPort());
    case PELNET_SYSLOG_PROP_RemoteHost:
      return Value::text(port_.remoteHostText());
    case PELNET_SYSLOG_PROP_RemotePort:
      return Value::integer(port_.remotePort());
    default:
      return Value::integer(0);
  }
}

// ---------------------------------------------------------------- methods

std::optional<MethodSignature> SysLogCore::methodSignature(int id) const {
  switch (id) {
    case PELNET_SYSLOG_METHOD_Config:
      return MethodSignature{{ValueKind::Text}, ValueKind::Text};
    case PELNET_SYSLOG_METHOD_DoEvents:
    case PELNET_SYSLOG_METHOD_Interrupt:
      return MethodSignature{{}, std::nullopt};
    case PELNET_SYSLOG_METHOD_SendPacket:
      return MethodSignature{{ValueKind::Int, ValueKind::Int, ValueKind::Text}, std::nullopt};
    default:
      return std::nullopt;
  }
}

int SysLogCore::callMethod(int id, std::vector<Value> &args, Value &result) {
  switch (id) {
    case PELNET_SYSLOG_METHOD_Config:
      return config(args.at(0).s, result.s);
    case PELNET_SYSLOG_METHOD_DoEvents:
      return port_.pumpEvents();
    case PELNET_SYSLOG_METHOD_Interrupt:
      return port_.interrupt();
    case PELNET_SYSLOG_METHOD_SendPacket:
      return sendPacket(static_cast<int>(args.at(0).i), static_cast<int>(args.at(1).i),
                        args.at(2).s);
    default:
      return kUnknownSetting;
  }
}

int SysLogCore::sendPacket(int facility, int severity, const std::string &message) {
  port_.clearError();
  // Checked before the clock and the host lookup so that an inactive port costs nothing.
  if (!port_.isOpen()) return port_.fail(kNotActive);

  const std::time_t now = std::time(nullptr);
  if (now != stampTime_ || useLocalTime_ != stampLocal_ || stampText_.empty()) {
    std::tm t{};
    const bool gotTime =
        useLocalTime_ ? localtime_r(&now, &t) != nullptr : gmtime_r(&now, &t) != nullptr;
    const std::optional<std::string> stamp = gotTime ? timestamp(t) : std::nullopt;
    if (!stamp) {
      stampText_.clear();
      return port_.fail(kNoSystemTime);
    }
    stampTime_ = now;
    stampLocal_ = useLocalTime_;
    stampText_ = *stamp;
  }

  const std::string packet =
      buildPacket(priority(facility, severity), stampText_, packetHostname(), message);
  return port_.send(packet);
}

std::string SysLogCore::packetHostname() {
  if (useHostname_) return hostNameAtCreation_;
  const std::string local = addressText(port_.localAddress, port_.useIPv6);
  if (!local.empty()) return local;
  std::string name;
  hostName(name);
  return firstIPv4(name);
}

// ---------------------------------------------------------------- settings

ConfigResult SysLogCore::configComponent(const ParsedSetting &s, std::string &answer) {
  bool *field = nullptr;
  if (sameName(s.name, "UseLocalTime"))
    field = &useLocalTime_;
  else if (sameName(s.name, "UseHostname"))
    field = &useHostname_;
  if (!field) return std::nullopt;
  if (s.query)
    answer = boolText(*field);
  else
    *field = readBool(s.value);
  return 0;
}

// ---------------------------------------------------------------- events

int SysLogCore::deliver(const Datagram &d) {
  const ParsedDatagram p = parseDatagram(d.bytes);
  std::vector<EventParam> params;
  params.reserve(11);
  params.push_back(EventParam::integer(p.facilityCode));
  params.push_back(EventParam::text(facilityName(p.facilityCode)));
  params.push_back(EventParam::integer(p.severityCode));
  params.push_back(EventParam::text(severityName(p.severityCode)));
  params.push_back(EventParam::text(eventText(p.timestamp)));
  params.push_back(EventParam::text(eventText(p.hostname)));
  params.push_back(EventParam::text(eventText(p.message)));
  params.push_back(EventParam::integer(p.conforms ? 1 : 0));
  params.push_back(EventParam::bytes(std::string(d.bytes)));
  params.push_back(EventParam::text(d.sourceAddress));
  params.push_back(EventParam::integer(d.sourcePort));
  return fireEvent(PELNET_SYSLOG_EVENT_PacketIn, params);
}

}  // namespace pelnet::syslog
