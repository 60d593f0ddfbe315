// Error codes shared by every core, the Winsock/resolver text table, the
// mechanism of the per-core error lists, and the mapping of Linux errno and
// resolver results onto the Winsock numbers, so users read the same codes and
// texts on every platform.
//
// A core lists its own codes once, as an X-macro in <core>_errors.h
// (see cores/ping/ping_errors.h): one X(kName, code, "text") per code,
// expanded once with PELNET_ERROR_ENUM into an enum of named codes and once
// with PELNET_ERROR_ENTRY into its table.  The core hands the table to its
// port (SocketObject::setErrorTable), which then raises a failure with the
// code alone: `return fail(kNoRemoteAddress);`.  A code whose text varies is
// listed with nullptr and raised as `fail(code, text)`.
#pragma once

#include <span>
#include <string>

namespace pelnet {

// One code of an error list and its fixed text (nullptr: the text is given where it is raised).
struct ErrorEntry {
  int code;
  const char *text;
};
using ErrorTable = std::span<const ErrorEntry>;

// Expansions of an error list: into enumerators, and into table entries.
#define PELNET_ERROR_ENUM(name, code, text) name = (code),
#define PELNET_ERROR_ENTRY(name, code, text) ::pelnet::ErrorEntry{(code), (text)},

// The codes of the runtime, common to every core.
#define PELNET_RUNTIME_ERRORS(X)                                                       \
  X(kUnknownSetting, -1, "Unknown config setting.") /* also unknown property writes */ \
  X(kOutOfMemory, 200, "Out of memory.")                                               \
  X(kInvalidIndex, 280, nullptr)                                                       \
  X(kUnexpected, 299, nullptr) /* an exception other than an allocation failure */     \
  X(kWaitEnded, 301, nullptr)  /* kTextTimeout or kTextInterrupted */                  \
  X(kQosInit, 307, nullptr)                                                            \
  X(kQosSet, 308, nullptr)                                                             \
  X(kConversion, 434, nullptr) /* a text could not be converted to or from the code page */

// Winsock and resolver codes with the texts users of the components have
// always seen, spelling included.
#define PELNET_WINSOCK_ERRORS(X)                                                           \
  X(kWsaInterrupted, 10004, "Interrupted system call")                                     \
  X(kWsaBadFile, 10009, "Bad file number")                                                 \
  X(kWsaAccess, 10013, "Access denied")                                                    \
  X(kWsaFault, 10014, "Bad address")                                                       \
  X(kWsaInvalid, 10022, "Invalid argument")                                                \
  X(kWsaTooManyFiles, 10024, "Too many open files")                                        \
  X(kWsaWouldBlock, 10035, "Operation would block")                                        \
  X(kWsaInProgress, 10036, "Operation now in progress")                                    \
  X(kWsaAlready, 10037, "Operation already in progress")                                   \
  X(kWsaNotSocket, 10038, "Socket operation on non-socket")                                \
  X(kWsaDestAddrRequired, 10039, "Destination address required")                           \
  X(kWsaMsgSize, 10040, "Message too long")                                                \
  X(kWsaProtoType, 10041, "Protocol wrong type for socket")                                \
  X(kWsaNoProtoOpt, 10042, "Bad protocol option")                                          \
  X(kWsaProtoNotSupported, 10043, "Protocol not supported")                                \
  X(kWsaSocketTypeNotSupported, 10044, "Socket type not supported")                        \
  X(kWsaOpNotSupported, 10045, "Operation not supported on socket")                        \
  X(kWsaPfNotSupported, 10046, "Protocol family not supported")                            \
  X(kWsaAfNotSupported, 10047, "Address family not supported by protocol family")          \
  X(kWsaAddrInUse, 10048, "Address already in use")                                        \
  X(kWsaAddrNotAvail, 10049, "Can't assign requested address")                             \
  X(kWsaNetDown, 10050, "Network is down")                                                 \
  X(kWsaNetUnreach, 10051, "Network is unreachable")                                       \
  X(kWsaNetReset, 10052, "Net dropped connection or reset")                                \
  X(kWsaConnAborted, 10053, "Software caused connection abort")                            \
  X(kWsaConnReset, 10054, "Connection reset by peer")                                      \
  X(kWsaNoBufs, 10055, "No buffer space available")                                        \
  X(kWsaIsConnected, 10056, "Socket is already connected")                                 \
  X(kWsaNotConnected, 10057, "Socket is not connected")                                    \
  X(kWsaShutdown, 10058, "Can't send after socket shutdown")                               \
  X(kWsaTooManyRefs, 10059, "Too many references, can't splice")                           \
  X(kWsaTimedOut, 10060, "Connection timed out")                                           \
  X(kWsaConnRefused, 10061, "Connection refused")                                          \
  X(kWsaLoop, 10062, "Too many levels of symbolic links")                                  \
  X(kWsaNameTooLong, 10063, "File name too long")                                          \
  X(kWsaHostDown, 10064, "Host is down")                                                   \
  X(kWsaHostUnreach, 10065, "No route to host")                                            \
  X(kWsaNotEmpty, 10066, "Directory not empt")                                             \
  X(kWsaProcessLimit, 10067, "Too many processes")                                         \
  X(kWsaUsers, 10068, "Too many users")                                                    \
  X(kWsaDiskQuota, 10069, "Disc Quota Exceeded")                                           \
  X(kWsaStale, 10070, "Stale NFS file handle")                                             \
  X(kWsaRemote, 10071, "Too many levels of remote in path")                                \
  X(kWsaSysNotReady, 10091, "Network subsystem is unavailable")                            \
  X(kWsaVerNotSupported, 10092, "WINSOCK DLL Version out of range")                        \
  X(kWsaNotInitialised, 10093, "Winsock not loaded yet (WSANOTINITIALISED)")               \
  X(kHostNotFound, 11001, "Host not found")                                                \
  X(kTryAgain, 11002, "Non-authoritative 'Host not found' (try again or check DNS setup)") \
  X(kNoRecovery, 11003, "Non-recoverable errors: FORMERR, REFUSED, NOTIMP")                \
  X(kNoData, 11004, "Valid name, no data record (check DNS setup)")

enum ErrorCode : int { kOk = 0, PELNET_RUNTIME_ERRORS(PELNET_ERROR_ENUM) };
enum WinsockCode : int { PELNET_WINSOCK_ERRORS(PELNET_ERROR_ENUM) };

// The two texts of kWaitEnded.
inline constexpr const char *kTextTimeout = "Timeout.";
inline constexpr const char *kTextInterrupted = "Interrupted.";
// The Error event of a failed read on a socket (code: the Winsock number).
inline constexpr const char *kTextRecvFailed = "Winsock error in recv()";

// The table text for a Winsock or resolver code, or nullptr when the code is not in the table.
const char *winsockText(int code);

// The text a failed call reports when it set none of its own:
// 301 "Interrupted.", 200 "Out of memory.", else "[code] " + table text
// or "(no description available)".
std::string textFromCode(int code);

// The fixed text of `code` in a core's table, else in the runtime's own list;
// nullptr when neither lists one.
const char *listedErrorText(ErrorTable table, int code);
// The text of a failure raised with the code alone: the listed text, else textFromCode().
std::string errorText(ErrorTable table, int code);

// errno -> Winsock number (unknown errno values pass through unchanged).
int winsockFromErrno(int err);
// Winsock number -> errno, 0 when the code has no errno counterpart.
int errnoFromWinsock(int code);
// getaddrinfo() result (EAI_*) -> 11001..11004 (or a Winsock code for EAI_SYSTEM/EAI_MEMORY).
int winsockFromResolver(int eaiCode);

}  // namespace pelnet
