// The mail core's own error codes and texts, from one list (the mechanism is
// in pelnet/runtime/errors.h).  The core hands kSmtpErrors to its port, which
// then raises a failure by its code alone: `fail(kSmtpNoSender)`.  A code
// with more than one text (the firewall variants) or a text built at run
// time is listed with nullptr and raised with its text:
// `fail(kSmtpNoAddress, kTextFirewallHostInvalid)`.
#pragma once

#include "pelnet/runtime/errors.h"
#include "pelnet/smtp_ids.h"

// X(name, code, text)
#define PELNET_SMTP_ERRORS(X)                                                           \
  X(kSmtpPortInUse, 100,                                                                \
    "You cannot change the RemotePort at this time. A connection is in progress.")      \
  X(kSmtpHostInUse, 101,                                                                \
    "You cannot change the RemoteHost at this time. A connection is in progress.")      \
  X(kSmtpNoAddress, 102, nullptr)                                                       \
  X(kSmtpAlreadyConnected, 104,                                                         \
    "Already connected. If you want to reconnect, close the current connection first.") \
  X(kSmtpMaxLineLengthInUse, 112,                                                       \
    "You cannot change MaxLineLength at this time. A connection is in progress.")       \
  X(kSmtpPortZero, 116, nullptr)                                                        \
  X(kSmtpPortOutOfRange, 117, nullptr)                                                  \
  X(kSmtpFirewallFailed, 118, nullptr)                                                  \
  X(kSmtpProtocol, PELNET_SMTP_ERROR_ProtocolReply,                                     \
    nullptr) /* kTextProtocolErrorPrefix + the reply line + "." */                      \
  X(kSmtpConnectionNote, 162, nullptr)                                                  \
  X(kSmtpNoSender, 164, "Please specify a sender (From).")                              \
  X(kSmtpNoRecipient, 165, "Please specify a recipient (To).")                          \
  X(kSmtpBusy, 166, "Busy performing current action.")                                  \
  X(kSmtpLineBreakInArgument, 167,                                                      \
    "A command argument must not contain CR, LF or NUL characters.")                    \
  X(kSmtpStartTlsNotOffered, PELNET_SMTP_ERROR_StartTlsNotOffered, nullptr)             \
  X(kSmtpStartTlsRefused, PELNET_SMTP_ERROR_StartTlsRefused, nullptr)                   \
  X(kSmtpTlsHandshake, PELNET_SMTP_ERROR_TlsHandshake, nullptr)                         \
  X(kSmtpTlsUnknownIssuer, PELNET_SMTP_ERROR_TlsUnknownIssuer, nullptr)                 \
  X(kSmtpTlsExpired, PELNET_SMTP_ERROR_TlsExpired, nullptr)                             \
  X(kSmtpTlsNameMismatch, PELNET_SMTP_ERROR_TlsNameMismatch, nullptr)                   \
  X(kSmtpTlsPinMismatch, PELNET_SMTP_ERROR_TlsPinMismatch, nullptr)                     \
  X(kSmtpTlsCAFile, PELNET_SMTP_ERROR_TlsCAFile, nullptr)                               \
  X(kSmtpTlsCertificate, PELNET_SMTP_ERROR_TlsCertificate, nullptr)                     \
  X(kSmtpNoAuthMechanism, PELNET_SMTP_ERROR_NoAuthMechanism, nullptr)                   \
  X(kSmtpBadFingerprint, PELNET_SMTP_ERROR_BadFingerprint,                              \
    "TlsPinnedFingerprint must be a SHA-256 fingerprint: 64 hexadecimal digits, "       \
    "with or without colons between the pairs.")                                        \
  X(kSmtpBadTlsMode, PELNET_SMTP_ERROR_BadTlsMode,                                      \
    "TlsMode must be 0 (none), 1 (STARTTLS), 2 (implicit TLS) "                         \
    "or 3 (STARTTLS when offered).")                                                    \
  X(kSmtpBadServerName, PELNET_SMTP_ERROR_BadServerName,                                \
    "TlsServerName must not contain control characters.")                               \
  X(kSmtpSecurityLibrary, 270, "The security library could not be loaded")              \
  X(kSmtpNotAvailable, 306, "This functionality is not currently available.")           \
  X(kSmtpCredentials, 880, nullptr)  /* kTextCredentials, status, system text */        \
  X(kSmtpTokenConsume, 881, nullptr) /* kTextTokenConsume, ... */                       \
  X(kSmtpContextInit, 882, nullptr)  /* kTextContextInit, ... */                        \
  X(kSmtpTokenTooLong, 883,                                                             \
    "Error computing Authentication Token: "                                            \
    "buffer boundary exceeded.")                                                        \
  X(kSmtpEncrypt, 884, nullptr) /* kTextEncrypt, ... */                                 \
  X(kSmtpDecrypt, 885, nullptr) /* kTextDecrypt, ... */                                 \
  X(kSmtpQueueFile, 302, nullptr)                                                       \
  X(kSmtpIndexOutOfRange, 432, nullptr) /* the text derived from the code */

namespace pelnet::smtp {

enum SmtpError : int { PELNET_SMTP_ERRORS(PELNET_ERROR_ENUM) };
inline constexpr ErrorEntry kSmtpErrors[] = {PELNET_SMTP_ERRORS(PELNET_ERROR_ENTRY)};

// The list's text of `code`, or nullptr (unknown code, or one with several texts).
inline const char *smtpErrorText(int code) { return listedErrorText(kSmtpErrors, code); }

// The texts of the codes that have more than one.
inline constexpr const char *kTextRemoteHostInvalid =
    "The RemoteHost address is invalid (0.0.0.0).";
inline constexpr const char *kTextFirewallHostInvalid =
    "The FirewallHost address is invalid (0.0.0.0).";
inline constexpr const char *kTextRemotePortZero =
    "RemotePort can't be zero. Please specify a valid service port number.";
inline constexpr const char *kTextFirewallPortZero = "The FirewallPort is invalid (0).";
// 117: a port that would wrap into another one is refused where it is used.
inline constexpr const char *kTextRemotePortOutOfRange =
    "MailPort is out of range. Please specify a port number from 1 to 65535.";
inline constexpr const char *kTextFirewallPortOutOfRange =
    "FirewallPort is out of range. Please specify a port number from 1 to 65535.";
// 161: the prefix, then the whole reply line, then ".".
inline constexpr const char *kTextProtocolErrorPrefix = "SMTP protocol error. ";
// 162 is an event code only: "Failed to connect: " or "Disconnected " and the description.
inline constexpr const char *kTextFailedToConnect = "Failed to connect: %s";
inline constexpr const char *kTextDisconnectedWith = "Disconnected %s";
// 880 to 885: the prefix, the status as "0x%x", "): " and the system's text for it.
inline constexpr const char *kTextCredentials = "Could not acquire security credentials (";
inline constexpr const char *kTextTokenConsume = "Error consuming security token (";
inline constexpr const char *kTextContextInit = "Could not initialize security context (";
inline constexpr const char *kTextEncrypt = "Could not encrypt data (";
inline constexpr const char *kTextDecrypt = "Could not decrypt message data (";
// 170 and 171: TLS was required and the server cannot give it.
inline constexpr const char *kTextStartTlsNotOffered = "The mail server does not offer STARTTLS.";
inline constexpr const char *kTextStartTlsNeedsEhlo =
    "STARTTLS is asked for with EHLO, and AllowExtensions is False.";
inline constexpr const char *kTextStartTlsRefusedPrefix = "The mail server refused STARTTLS: ";
// 200 while a reply line is collected.
inline constexpr const char *kTextOutOfMemoryInDataIn = "Out of memory in DataIn [TcpMsg].";

}  // namespace pelnet::smtp
