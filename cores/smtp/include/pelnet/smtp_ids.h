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

/* The properties, once: X(name, id, kind), kind Int, Text or Bytes.  The list
 * makes the enumeration below and the core's kind lookup; ids never change. */
#define PELNET_SMTP_PROPERTIES(X)                                                                  \
  X(AllowExtensions, 1, Int)                                                                       \
  X(AuthScheme, 2, Int)                                                                            \
  X(BCc, 3, Text)                                                                                  \
  X(Cc, 4, Text)                                                                                   \
  X(Command, 5, Text)                                                                              \
  X(Connected, 6, Int)                                                                             \
  X(DeliveryNotificationTo, 7, Text)                                                               \
  X(FirewallAutoDetect, 8, Int)                                                                    \
  X(FirewallType, 9, Int)                                                                          \
  X(FirewallHost, 10, Text)                                                                        \
  X(FirewallPassword, 11, Text)                                                                    \
  X(FirewallPort, 12, Int)                                                                         \
  X(FirewallUser, 13, Text)                                                                        \
  X(From, 14, Text)                                                                                \
  X(Idle, 15, Int)                                                                                 \
  X(Importance, 16, Int)                                                                           \
  X(LastReply, 17, Text)                                                                           \
  X(LocalHost, 18, Text)                                                                           \
  X(MailPort, 19, Int)                                                                             \
  X(MailServer, 20, Text)                                                                          \
  /* Message (text) and MessageB (bytes) share the id; SetMessage is a Set of it with a length. */ \
  X(Message, 21, Bytes)                                                                            \
  X(MessageDate, 22, Text)                                                                         \
  X(MessageHeaderCount, 23, Int)                                                                   \
  X(MessageHeaderField, 24, Text) /* indexed by MessageHeaderIndex */                              \
  X(MessageHeaderValue, 25, Text) /* indexed by MessageHeaderIndex */                              \
  X(MessageHeadersString, 26, Text)                                                                \
  X(MessageId, 27, Text)                                                                           \
  X(MessageRecipientCount, 28, Int)                                                                \
  X(MessageRecipientAddress, 29, Text) /* indexed by RecipientIndex */                             \
  X(MessageRecipientName, 30, Text)    /* indexed by RecipientIndex */                             \
  X(MessageRecipientOptions, 31, Text) /* indexed by RecipientIndex */                             \
  X(MessageRecipientType, 32, Int)     /* indexed by RecipientIndex */                             \
  X(MessageText, 33, Text)                                                                         \
  X(OtherHeaders, 34, Text)                                                                        \
  X(Password, 35, Text)                                                                            \
  X(Priority, 36, Int)                                                                             \
  X(ReadReceiptTo, 37, Text)                                                                       \
  X(ReplyTo, 38, Text)                                                                             \
  X(ReturnPath, 39, Text)                                                                          \
  X(SendTo, 40, Text)                                                                              \
  X(Sensitivity, 41, Int)                                                                          \
  X(Subject, 42, Text)                                                                             \
  X(Timeout, 43, Int)                                                                              \
  X(User, 44, Text)                                                                                \
  /* TLS on the mail connection (pelnet_smtp_tls_mode); 0 keeps the plaintext dialogue. */         \
  X(TlsMode, 45, Int)                                                                              \
  /* A PEM file of trusted certificates used instead of the system's store. */                     \
  X(TlsCAFile, 46, Text)                                                                           \
  /* The name sent as SNI and checked against the certificate; "" = MailServer. */                 \
  X(TlsServerName, 47, Text)                                                                       \
  /* SHA-256 of the server's certificate, hex with or without colons, any case. */                 \
  X(TlsPinnedFingerprint, 48, Text)                                                                \
  /* Boolean, default True; False accepts any certificate and still encrypts. */                   \
  X(TlsVerify, 49, Int)                                                                            \
  /* Read only: protocol, cipher suite and the certificate after the handshake; "" without TLS. */ \
  X(TlsInfo, 50, Text)                                                                             \
  /* Read only, what the last operation ended with: the code of the 4xx or 5xx reply that */       \
  /* ended it with 161 (a QUIT sent after the refusal does not replace it), else 0. */             \
  X(RefusedReplyCode, 51, Int)                                                                     \
  /* Read only: the code LastReply starts with (its three digits), 0 when none. */                 \
  X(LastReplyCode, 52, Int)                                                                        \
  /* Read only, boolean: the last operation ended with 301 because its Timeout passed. */          \
  X(TimedOut, 53, Int)                                                                             \
  /* Read only: the files the last ProcessQueue took up, in its order, each with its outcome. */   \
  X(QueueFileCount, 54, Int)                                                                       \
  X(QueueFileName, 55, Text)   /* indexed by QueueFileIndex: the ".queued" name, no folder */      \
  X(QueueFileOutcome, 56, Int) /* indexed by QueueFileIndex: pelnet_smtp_queue_outcome */          \
  X(QueueFilePath, 57, Text)   /* indexed by QueueFileIndex: where it lies now, "" if nowhere */

#define PELNET_SMTP_PROP_ENUMERATOR(name, id, kind) PELNET_SMTP_PROP_##name = (id),
enum pelnet_smtp_property { PELNET_SMTP_PROPERTIES(PELNET_SMTP_PROP_ENUMERATOR) };

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

/* QueueFileOutcome values: what ProcessQueue did with one queued file. */
enum pelnet_smtp_queue_outcome {
  /* Delivered and deleted. */
  PELNET_SMTP_qoDelivered = 0,
  /* Delivered and kept as ".sent" (KeepQueue); QueueFilePath names it. */
  PELNET_SMTP_qoKept = 1,
  /* Taken by another process meanwhile; not sent by this one. */
  PELNET_SMTP_qoSkipped = 2,
  /* Not in the form Queue writes: set aside unsent as ".bad" (QueueFilePath, when the rename went).
   */
  PELNET_SMTP_qoDamaged = 3,
  /* Its delivery failed and ended ProcessQueue; ".failed" (QueueFilePath) once claimed. */
  PELNET_SMTP_qoFailed = 4
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
