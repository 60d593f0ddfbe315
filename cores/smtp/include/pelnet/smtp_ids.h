/*
 * The numbers of the mail component's core interface: property, method and
 * event ids and the values of its enumerations.  The core, its component
 * object and the tests include this one header so both sides of the
 * interface agree by construction.
 *
 * Method ids are the plain ids; the component passes the wide id (plain +
 * PELNET_WIDE_OFFSET).  Properties are read and written with the plain id
 * for integers and raw bytes and with the wide id for texts.
 */
#ifndef PELNET_SMTP_IDS_H
#define PELNET_SMTP_IDS_H

enum pelnet_smtp_property {
  PELNET_SMTP_PROP_AllowExtensions = 1,
  PELNET_SMTP_PROP_AuthScheme = 2,
  PELNET_SMTP_PROP_BCc = 3,
  PELNET_SMTP_PROP_Cc = 4,
  PELNET_SMTP_PROP_Command = 5,
  PELNET_SMTP_PROP_Connected = 6,
  PELNET_SMTP_PROP_DeliveryNotificationTo = 7,
  PELNET_SMTP_PROP_FirewallAutoDetect = 8,
  PELNET_SMTP_PROP_FirewallType = 9,
  PELNET_SMTP_PROP_FirewallHost = 10,
  PELNET_SMTP_PROP_FirewallPassword = 11,
  PELNET_SMTP_PROP_FirewallPort = 12,
  PELNET_SMTP_PROP_FirewallUser = 13,
  PELNET_SMTP_PROP_From = 14,
  PELNET_SMTP_PROP_Idle = 15,
  PELNET_SMTP_PROP_Importance = 16,
  PELNET_SMTP_PROP_LastReply = 17,
  PELNET_SMTP_PROP_LocalHost = 18,
  PELNET_SMTP_PROP_MailPort = 19,
  PELNET_SMTP_PROP_MailServer = 20,
  /* Message (text) and MessageB (bytes) share the id; SetMessage is a Set of it with a length. */
  PELNET_SMTP_PROP_Message = 21,
  PELNET_SMTP_PROP_MessageDate = 22,
  PELNET_SMTP_PROP_MessageHeaderCount = 23,
  PELNET_SMTP_PROP_MessageHeaderField = 24, /* indexed by MessageHeaderIndex */
  PELNET_SMTP_PROP_MessageHeaderValue = 25, /* indexed by MessageHeaderIndex */
  PELNET_SMTP_PROP_MessageHeadersString = 26,
  PELNET_SMTP_PROP_MessageId = 27,
  PELNET_SMTP_PROP_MessageRecipientCount = 28,
  PELNET_SMTP_PROP_MessageRecipientAddress = 29, /* indexed by RecipientIndex */
  PELNET_SMTP_PROP_MessageRecipientName = 30,    /* indexed by RecipientIndex */
  PELNET_SMTP_PROP_MessageRecipientOptions = 31, /* indexed by RecipientIndex */
  PELNET_SMTP_PROP_MessageRecipientType = 32,    /* indexed by RecipientIndex */
  PELNET_SMTP_PROP_MessageText = 33,
  PELNET_SMTP_PROP_OtherHeaders = 34,
  PELNET_SMTP_PROP_Password = 35,
  PELNET_SMTP_PROP_Priority = 36,
  PELNET_SMTP_PROP_ReadReceiptTo = 37,
  PELNET_SMTP_PROP_ReplyTo = 38,
  PELNET_SMTP_PROP_ReturnPath = 39,
  PELNET_SMTP_PROP_SendTo = 40,
  PELNET_SMTP_PROP_Sensitivity = 41,
  PELNET_SMTP_PROP_Subject = 42,
  PELNET_SMTP_PROP_Timeout = 43,
  PELNET_SMTP_PROP_User = 44,
  /* TLS on the mail connection (pelnet_smtp_tls_mode); 0 keeps the plaintext dialogue. */
  PELNET_SMTP_PROP_TlsMode = 45,
  /* A PEM file of trusted certificates used instead of the system's store. */
  PELNET_SMTP_PROP_TlsCAFile = 46,
  /* The name sent as SNI and checked against the certificate; "" = MailServer. */
  PELNET_SMTP_PROP_TlsServerName = 47,
  /* SHA-256 of the server's certificate, hex with or without colons, any case. */
  PELNET_SMTP_PROP_TlsPinnedFingerprint = 48,
  /* Boolean, default True; False accepts any certificate and still encrypts. */
  PELNET_SMTP_PROP_TlsVerify = 49,
  /* Read only: protocol, cipher suite and the certificate after the handshake; "" without TLS. */
  PELNET_SMTP_PROP_TlsInfo = 50
};

/* Plain method ids (1 and 15 are unused; the core answers 0 to them and does nothing). */
enum pelnet_smtp_method {
  PELNET_SMTP_METHOD_Config = 2,
  PELNET_SMTP_METHOD_Connect = 3,
  PELNET_SMTP_METHOD_Disconnect = 4,
  PELNET_SMTP_METHOD_DoEvents = 5,
  PELNET_SMTP_METHOD_Expand = 6,
  PELNET_SMTP_METHOD_Interrupt = 7,
  PELNET_SMTP_METHOD_ProcessQueue = 8,
  PELNET_SMTP_METHOD_Queue = 9,
  PELNET_SMTP_METHOD_ResetHeaders = 10,
  PELNET_SMTP_METHOD_Send = 11,
  PELNET_SMTP_METHOD_SendToTerminalAndEmail = 12,
  PELNET_SMTP_METHOD_SendToTerminalOnly = 13,
  PELNET_SMTP_METHOD_SendToTerminalOrEmail = 14,
  PELNET_SMTP_METHOD_Verify = 16
};

enum pelnet_smtp_event {
  PELNET_SMTP_EVENT_ConnectionStatus = 1, /* ConnectionEvent, StatusCode, Description */
  PELNET_SMTP_EVENT_EndTransfer = 2,      /* Direction */
  PELNET_SMTP_EVENT_Error = 3,            /* ErrorCode, Description */
  PELNET_SMTP_EVENT_Expand = 4,           /* Address */
  PELNET_SMTP_EVENT_PITrail = 5,          /* Direction, Message */
  PELNET_SMTP_EVENT_StartTransfer = 6,    /* Direction */
  PELNET_SMTP_EVENT_Transfer = 7 /* Direction, BytesTransferred (int64 by pointer), PercentDone */
};

/* TpelsmtpFirewallTypes */
enum pelnet_smtp_firewall_type {
  PELNET_SMTP_fwNone = 0,
  PELNET_SMTP_fwTunnel = 1,
  PELNET_SMTP_fwSOCKS4 = 2,
  PELNET_SMTP_fwSOCKS5 = 3
};

/* TpelsmtpTImportance */
enum pelnet_smtp_importance {
  PELNET_SMTP_miUnspecified = 0,
  PELNET_SMTP_miHigh = 1,
  PELNET_SMTP_miNormal = 2,
  PELNET_SMTP_miLow = 3
};

/* TpelsmtpTPriority */
enum pelnet_smtp_priority {
  PELNET_SMTP_epUnspecified = 0,
  PELNET_SMTP_epNormal = 1,
  PELNET_SMTP_epUrgent = 2,
  PELNET_SMTP_epNonUrgent = 3
};

/* TpelsmtpTSensitivity */
enum pelnet_smtp_sensitivity {
  PELNET_SMTP_esUnspecified = 0,
  PELNET_SMTP_esPersonal = 1,
  PELNET_SMTP_esPrivate = 2,
  PELNET_SMTP_esCompanyConfidential = 3
};

/* TpelsmtpEmailRecipientTypes */
enum pelnet_smtp_recipient_type {
  PELNET_SMTP_rtTo = 0,
  PELNET_SMTP_rtCc = 1,
  PELNET_SMTP_rtBCc = 2
};

/* AuthScheme values; 3, 4 and 5 select no authentication. */
enum pelnet_smtp_auth_scheme {
  PELNET_SMTP_asLogin = 0,
  PELNET_SMTP_asCramMD5 = 1,
  PELNET_SMTP_asNTLM = 2,
  PELNET_SMTP_asKerberos = 6,
  /* One "AUTH PLAIN " line: base64 of NUL user NUL password. */
  PELNET_SMTP_asPlain = 7,
  /* The best mechanism the EHLO reply offers (PLAIN, LOGIN, CRAM-MD5 under TLS;
   * CRAM-MD5 first without it). */
  PELNET_SMTP_asAutomatic = 8
};

/* TlsMode values. */
enum pelnet_smtp_tls_mode {
  PELNET_SMTP_tlsNone = 0,
  /* STARTTLS after EHLO, or the connection fails; never plaintext. */
  PELNET_SMTP_tlsStartTlsRequired = 1,
  /* The handshake right after the connection (or the proxy tunnel); the greeting comes over TLS. */
  PELNET_SMTP_tlsImplicit = 2,
  /* STARTTLS when the server offers it, plaintext otherwise (no protection against an
   * active attacker who removes the offer). */
  PELNET_SMTP_tlsStartTlsOptional = 3
};

/* Direction of OnPITrail and the transfer events. */
enum pelnet_smtp_direction {
  PELNET_SMTP_dirClientToServer = 0,
  PELNET_SMTP_dirServerToClient = 1,
  PELNET_SMTP_dirInformation = 2
};

/* The failure codes a caller acts on; the core's error list (with the
 * texts) uses these numbers. */
enum pelnet_smtp_error {
  /* The server answered with a reply that is not 2xx or 3xx (LastReply holds it). */
  PELNET_SMTP_ERROR_ProtocolReply = 161,
  /* TLS was required and the server does not offer STARTTLS (or EHLO is off). */
  PELNET_SMTP_ERROR_StartTlsNotOffered = 170,
  /* The server answered STARTTLS with a refusal (the text holds its reply). */
  PELNET_SMTP_ERROR_StartTlsRefused = 171,
  /* The TLS handshake failed (the text holds the library's reason). */
  PELNET_SMTP_ERROR_TlsHandshake = 172,
  /* The certificate's issuer is not trusted. */
  PELNET_SMTP_ERROR_TlsUnknownIssuer = 173,
  /* The certificate has expired or is not yet valid. */
  PELNET_SMTP_ERROR_TlsExpired = 174,
  /* The certificate does not hold the server's name or address. */
  PELNET_SMTP_ERROR_TlsNameMismatch = 175,
  /* The certificate's SHA-256 fingerprint is not the pinned one (the text holds the one seen). */
  PELNET_SMTP_ERROR_TlsPinMismatch = 176,
  /* TlsCAFile cannot be read or holds no certificate. */
  PELNET_SMTP_ERROR_TlsCAFile = 177,
  /* The certificate was refused for another reason (revoked, insecure, ...). */
  PELNET_SMTP_ERROR_TlsCertificate = 178,
  /* AuthScheme automatic found no mechanism it can use among those offered. */
  PELNET_SMTP_ERROR_NoAuthMechanism = 179,
  /* TlsPinnedFingerprint is not 32 bytes of hexadecimal. */
  PELNET_SMTP_ERROR_BadFingerprint = 180,
  /* TlsMode is not one of pelnet_smtp_tls_mode. */
  PELNET_SMTP_ERROR_BadTlsMode = 181,
  /* TlsServerName holds a control character. */
  PELNET_SMTP_ERROR_BadServerName = 182
};

#endif
