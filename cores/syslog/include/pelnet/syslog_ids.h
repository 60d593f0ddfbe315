/* The numbers of the syslog core's interface: property, method and event ids
 * as the core, the TpelSysLog component and the tests use them.  Method ids
 * are the plain ids; the wide variant of an id is id + PELNET_WIDE_OFFSET. */
#ifndef PELNET_SYSLOG_IDS_H
#define PELNET_SYSLOG_IDS_H

/* The properties, once: X(name, id, kind), kind Int or Text.  The list
 * yields the enum below and the core's table of kinds. */
#define PELNET_SYSLOG_PROPERTIES(X) \
  X(Active, 1, Int)                 \
  X(LocalHost, 2, Text)             \
  X(LocalPort, 3, Int)              \
  X(RemoteHost, 4, Text)            \
  X(RemotePort, 5, Int)

#define PELNET_SYSLOG_PROP_ENUMERATOR(name, id, kind) PELNET_SYSLOG_PROP_##name = (id),
enum pelnet_syslog_property { PELNET_SYSLOG_PROPERTIES(PELNET_SYSLOG_PROP_ENUMERATOR) };
#undef PELNET_SYSLOG_PROP_ENUMERATOR

/* Interrupt has no use in a port that never waits, but the component frame
 * sends its interrupt to every component whose call is running when the
 * application closes; it must not land on SendPacket. */
enum pelnet_syslog_method {
  PELNET_SYSLOG_METHOD_Config = 2,
  PELNET_SYSLOG_METHOD_DoEvents = 3,
  PELNET_SYSLOG_METHOD_SendPacket = 4,
  PELNET_SYSLOG_METHOD_Interrupt = 5
};

enum pelnet_syslog_event {
  /* (ErrorCode, Description) */
  PELNET_SYSLOG_EVENT_Error = 1,
  /* (FacilityCode, Facility, SeverityCode, Severity, Timestamp, Hostname,
   *  Message, Conforms, Packet, SourceAddress, SourcePort) */
  PELNET_SYSLOG_EVENT_PacketIn = 2
};

#endif /* PELNET_SYSLOG_IDS_H */
