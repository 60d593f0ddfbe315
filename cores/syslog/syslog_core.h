// The syslog core: one instance per TpelSysLog component.  It maps the
// numbered properties, methods and events of the component onto the UDP
// port, builds outgoing packets and turns received datagrams into PacketIn
// events.
#pragma once

#include <ctime>
#include <string>

#include "pelnet/runtime/core_base.h"
#include "pelnet/syslog_ids.h"
#include "udp_port.h"

namespace pelnet::syslog {

class SysLogCore : public CoreBase {
 public:
  SysLogCore(pelnet_event_fn callback, void *user);
  ~SysLogCore() override;

  SocketObject &socket() override { return port_; }

  // SendPacket: one datagram from the clock, the host field, PRI and the message.
  int sendPacket(int facility, int severity, const std::string &message);

 protected:
  std::optional<ValueKind> propertyKind(int id) const override;
  int setProperty(int id, int index, const Value &v) override;
  Value getProperty(int id, int index) override;
  std::optional<MethodSignature> methodSignature(int id) const override;
  int callMethod(int id, std::vector<Value> &args, Value &result) override;
  int errorEventId() const override { return PELNET_SYSLOG_EVENT_Error; }
  ConfigResult configComponent(const ParsedSetting &s, std::string &answer) override;

 private:
  int deliver(const Datagram &d);
  // The HOSTNAME field of outgoing packets.
  std::string packetHostname();

  UDPPort port_;
  bool useLocalTime_ = false;
  bool useHostname_ = true;
  std::string hostNameAtCreation_;  // taken once: a renamed machine keeps its old name here
  // The timestamp of the last packet: a burst of packets within one second
  // formats the clock once.
  std::time_t stampTime_ = -1;
  bool stampLocal_ = false;
  std::string stampText_;
};

}  // namespace pelnet::syslog
