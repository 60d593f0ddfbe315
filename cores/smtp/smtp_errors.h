// The mail core's own error codes and texts, written once.  The list expands
// into the enum of named codes and into the table that the core looks texts
// up in, so a failure is raised by its code alone.  A code with more than one
// text (or a text built at run time) is listed with nullptr and raised with
// its text.
#pragma once

#include <cstddef>

// clang-format off
#define PELNET_SMTP_ERRORS(X)                                                                      \
  X(kSmtpPortWhileConnected, 100,                                                                  \
    "You cannot change the RemotePort at this time. A connection is in progress.")                 \
  X(kSmtpHostWhileConnected, 101,                                                                  \
    "You cannot change the RemoteHost at this time. A connection is in progress.")                 \
  /* "The RemoteHost address is invalid (0.0.0.0)." or the FirewallHost text */                    \
  X(kSmtpNoAddress, 102, nullptr)                                                                  \
  X(kSmtpAlreadyConnected, 104,                                                                    \
    "Already connected. If you want to reconnect, close the current connection first.")            \
  X(kSmtpLineLengthWhileConnected, 112,                                                            \
    "You cannot change MaxLineLength at this time. A connection is in progress.")                  \
  /* "RemotePort can't be zero. ..." or "The FirewallPort is invalid (0)." */                      \
  X(kSmtpNoPort, 116, nullptr)                                                                     \
  X(kSmtpFirewallRefused, 118, nullptr)  /* the firewall's own refusal text */                    \
  X(kSmtpProtocol, 161, nullptr)         /* "SMTP protocol error. " + reply line + "." */          \
  X(kSmtpConnectionLost, 162, nullptr)   /* "Failed to connect: " / "Disconnected " + text */      \
  X(kSmtpNoSender, 164, "Please specify a sender (From).")                                         \
  X(kSmtpNoRecipient, 165, "Please specify a recipient (To).")                                     \
  X(kSmtpBusy, 166, "Busy performing current action.")                                             \
  X(kSmtpLineBreakInArgument, 167,                                                                 \
    "A command argument must not contain CR, LF or NUL characters.")                               \
  X(kSmtpAuthUnavailable, 168, "SMTP authentication is not available in this build.")              \
  X(kSmtpIndexOutOfRange, 432, nullptr)  /* text derived from the code */
// clang-format on

namespace pelnet::smtp {

enum SmtpError : int {
#define PELNET_SMTP_ERROR_ENUM(name, code, text) name = code,
  PELNET_SMTP_ERRORS(PELNET_SMTP_ERROR_ENUM)
#undef PELNET_SMTP_ERROR_ENUM
};

struct SmtpErrorEntry {
  int code;
  const char *text;
};

inline constexpr SmtpErrorEntry kSmtpErrorTable[] = {
#define PELNET_SMTP_ERROR_ROW(name, code, text) {code, text},
    PELNET_SMTP_ERRORS(PELNET_SMTP_ERROR_ROW)
#undef PELNET_SMTP_ERROR_ROW
};

// The fixed text of a mail core code, or nullptr when the code has none of its own.
constexpr const char *smtpErrorText(int code) {
  for (const SmtpErrorEntry &e : kSmtpErrorTable)
    if (e.code == code) return e.text;
  return nullptr;
}

// Texts of the codes listed with nullptr that do have fixed wordings.
inline constexpr const char *kTextNoRemoteHost = "The RemoteHost address is invalid (0.0.0.0).";
inline constexpr const char *kTextNoFirewallHost = "The FirewallHost address is invalid (0.0.0.0).";
inline constexpr const char *kTextNoRemotePort =
    "RemotePort can't be zero. Please specify a valid service port number.";
inline constexpr const char *kTextNoFirewallPort = "The FirewallPort is invalid (0).";
inline constexpr const char *kTextProtocolErrorPrefix = "SMTP protocol error. ";

}  // namespace pelnet::smtp
