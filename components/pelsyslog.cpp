#include "pelsyslog.h"

TpelSysLog::TpelSysLog(QObject *owner) : TpelCore(owner, SysLogComponent()) {
  guarded([&] { setLocalPort(514); });
  guarded([&] { setRemoteHost(QStringLiteral("255.255.255.255")); });
  guarded([&] { setRemotePort(514); });
}

bool TpelSysLog::hasHandler(int eventId) const {
  return (eventId == PELNET_SYSLOG_EVENT_Error && FOnError) ||
         (eventId == PELNET_SYSLOG_EVENT_PacketIn && FOnPacketIn);
}

void TpelSysLog::keepNarrowEvent(int eventId, const TpelEventArgs &args) {
  // The narrow firing carries the datagram with its byte count; the wide one
  // only a converted text, so the exact bytes are kept here.
  if (eventId == PELNET_SYSLOG_EVENT_PacketIn) tmp_PacketInPacketB = args.bytes(8);
}

void TpelSysLog::deliverEvent(int eventId, const TpelEventArgs &args) {
  if (eventId == PELNET_SYSLOG_EVENT_Error && FOnError) {
    FOnError(this, int(args.integer(0)), args.text(1));
  } else if (eventId == PELNET_SYSLOG_EVENT_PacketIn && FOnPacketIn) {
    FOnPacketIn(this, int(args.integer(0)), args.text(1), int(args.integer(2)), args.text(3),
                args.text(4), args.text(5), args.text(6), args.boolean(7), args.textWithLength(8),
                args.text(9), int(args.integer(10)));
  }
}
