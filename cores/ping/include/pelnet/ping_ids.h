/* The numbers of the ping core's interface: property, method and event ids
 * as the core, the TpelPing component and the tests use them.  Method ids are
 * the plain ids; the wide variant of an id is id + PELNET_WIDE_OFFSET. */
#ifndef PELNET_PING_IDS_H
#define PELNET_PING_IDS_H

/* The properties, once: X(name, id, kind), kind Int or Text.  The list
 * yields the enum below and the core's table of kinds. */
#define PELNET_PING_PROPERTIES(X)                                           \
  X(Active, 1, Int)                                                         \
  X(Idle, 2, Int)                                                           \
  X(LocalHost, 3, Text)                                                     \
  X(PacketSize, 4, Int)                                                     \
  X(RemoteHost, 5, Text)                                                    \
  X(RequestId, 6, Int)                                                      \
  X(ResponseSource, 7, Text)                                                \
  X(ResponseTime, 8, Int)                                                   \
  X(Timeout, 9, Int)                                                        \
  X(TimeToLive, 10, Int)                                                    \
  X(TypeOfService, 11, Int)                                                 \
  /* Read-only: ResponseTime in microseconds, from the same measurement. */ \
  X(ResponseTimeMicroseconds, 12, Int)                                      \
  /* Not waiting: the port serves requests to many hosts at once.  A        \
   * request that fails leaves it open for the answers to the others. */    \
  X(ManyHosts, 13, Int)

#define PELNET_PING_PROP_ENUMERATOR(name, id, kind) PELNET_PING_PROP_##name = (id),
enum pelnet_ping_property { PELNET_PING_PROPERTIES(PELNET_PING_PROP_ENUMERATOR) };
#undef PELNET_PING_PROP_ENUMERATOR

enum pelnet_ping_method {
  PELNET_PING_METHOD_Config = 2,
  PELNET_PING_METHOD_DoEvents = 3,
  PELNET_PING_METHOD_Interrupt = 4,
  PELNET_PING_METHOD_PingHost = 5,
  PELNET_PING_METHOD_WakeOnLAN = 6
};

enum pelnet_ping_event {
  /* (ErrorCode, Description) */
  PELNET_PING_EVENT_Error = 1,
  /* (RequestId, ResponseSource, ResponseStatus, ResponseTime) */
  PELNET_PING_EVENT_Response = 2
};

/* The failure codes a caller acts on; the core's error list (with the
 * texts) uses these numbers. */
enum pelnet_ping_error {
  /* No ICMP socket of either kind could be opened: no permission to ping. */
  PELNET_PING_ERROR_NoIcmpHandle = 120
};

#endif /* PELNET_PING_IDS_H */
