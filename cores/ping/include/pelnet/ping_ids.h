/* The numbers of the ping core's interface: property, method and event ids
 * as the core, the TpelPing component and the tests use them.  Method ids are
 * the plain ids; the wide variant of an id is id + PELNET_WIDE_OFFSET. */
#ifndef PELNET_PING_IDS_H
#define PELNET_PING_IDS_H

enum pelnet_ping_property {
  PELNET_PING_PROP_Active = 1,
  PELNET_PING_PROP_Idle = 2,
  PELNET_PING_PROP_LocalHost = 3,
  PELNET_PING_PROP_PacketSize = 4,
  PELNET_PING_PROP_RemoteHost = 5,
  PELNET_PING_PROP_RequestId = 6,
  PELNET_PING_PROP_ResponseSource = 7,
  PELNET_PING_PROP_ResponseTime = 8,
  PELNET_PING_PROP_Timeout = 9,
  PELNET_PING_PROP_TimeToLive = 10,
  PELNET_PING_PROP_TypeOfService = 11,
  /* Read-only: ResponseTime in microseconds, from the same measurement. */
  PELNET_PING_PROP_ResponseTimeMicroseconds = 12
};

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

#endif /* PELNET_PING_IDS_H */
