// Error codes shared by every core, the Winsock/resolver text table, and the
// mapping of Linux errno and resolver results onto the Winsock numbers, so
// users read the same codes and texts on every platform.
#pragma once

#include <string>

namespace pelnet {

enum ErrorCode : int {
  kOk = 0,
  kUnknownSetting = -1,  // "Unknown config setting." and unknown property writes
  kOutOfMemory = 200,    // "Out of memory."
  kInvalidIndex = 280,
  kWaitEnded = 301,  // "Timeout." or "Interrupted."
  kIPv6WithHelper = 306,
  kQosInit = 307,
  kQosSet = 308,
  kConversion = 434,  // a text could not be converted to or from the code page
  kWsaWouldBlock = 10035,
  kWsaNotSocket = 10038,
  kWsaOpNotSupported = 10045,
  kWsaNotInitialised = 10093,
  kHostNotFound = 11001,
};

inline constexpr const char *kTextTimeout = "Timeout.";
inline constexpr const char *kTextInterrupted = "Interrupted.";
inline constexpr const char *kTextUnknownSetting = "Unknown config setting.";
inline constexpr const char *kTextOutOfMemory = "Out of memory.";

// The table text for a Winsock or resolver code, or nullptr when the code is not in the table.
const char *winsockText(int code);

// The text a failed call reports when it set none of its own:
// 301 "Interrupted.", 200 "Out of memory.", else "[code] " + table text
// or "(no description available)".
std::string textFromCode(int code);

// errno -> Winsock number (unknown errno values pass through unchanged).
int winsockFromErrno(int err);
// Winsock number -> errno, 0 when the code has no errno counterpart.
int errnoFromWinsock(int code);
// getaddrinfo() result (EAI_*) -> 11001..11004 (or a Winsock code for EAI_SYSTEM/EAI_MEMORY).
int winsockFromResolver(int eaiCode);

}  // namespace pelnet
