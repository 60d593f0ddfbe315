#include "core_units.h"

#include "embedded_cores.h"
#include "pelcore.h"
#include "pelnet/ping_ids.h"
#include "pelnet/smtp_ids.h"
#include "pelnet/syslog_ids.h"

namespace pelnet {

CoreBinding &PingCoreBinding() {
  static CoreBinding b{"Ping", "libpelnet_ping.so", &EmbeddedPingImage};
  return b;
}

CoreBinding &SMTPCoreBinding() {
  static CoreBinding b{"SMTP", "libpelnet_smtp.so", &EmbeddedSMTPImage};
  return b;
}

CoreBinding &SysLogCoreBinding() {
  static CoreBinding b{"SysLog", "libpelnet_syslog.so", &EmbeddedSysLogImage};
  return b;
}

}  // namespace pelnet

// The Interrupt method ids (syslog's is not 4: its 4 is SendPacket, which
// must never be what a close or quit calls); mail 7.
const TpelComponentKind &PingComponent() {
  static const TpelComponentKind k{&pelnet::PingCoreBinding(),
                                   "Pelnet Ping: Error creating component",
                                   PELNET_PING_METHOD_Interrupt, &TpelRaise<EpelPing>};
  return k;
}

const TpelComponentKind &SMTPComponent() {
  static const TpelComponentKind k{&pelnet::SMTPCoreBinding(),
                                   "Pelnet SMTP: Error creating component",
                                   PELNET_SMTP_METHOD_Interrupt, &TpelRaise<EpelSMTP>};
  return k;
}

const TpelComponentKind &SysLogComponent() {
  static const TpelComponentKind k{&pelnet::SysLogCoreBinding(),
                                   "Pelnet SysLog: Error creating component",
                                   PELNET_SYSLOG_METHOD_Interrupt, &TpelRaise<EpelSysLog>};
  return k;
}

TCoreUnits::TCoreUnits() {
  pelnet::AcquireCore(pelnet::PingCoreBinding());
  pelnet::AcquireCore(pelnet::SMTPCoreBinding());
  pelnet::AcquireCore(pelnet::SysLogCoreBinding());
}

TCoreUnits::~TCoreUnits() {
  pelnet::ReleaseCore(pelnet::SysLogCoreBinding());
  pelnet::ReleaseCore(pelnet::SMTPCoreBinding());
  pelnet::ReleaseCore(pelnet::PingCoreBinding());
}
