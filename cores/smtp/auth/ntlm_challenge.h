// The server's NTLM CHALLENGE message, read from untrusted bytes.  Every
// offset and length in it comes from the server, so each one is checked
// against the message before it is used, in the form `off <= len && n <=
// len - off` (a sum of two wire values could wrap past the check).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "pelnet/runtime/byte_reader.h"

namespace pelnet::smtp {

// NTLM negotiation flags used by the client.
inline constexpr uint32_t kNtlmUnicode = 0x00000001;
inline constexpr uint32_t kNtlmOem = 0x00000002;
inline constexpr uint32_t kNtlmRequestTarget = 0x00000004;
inline constexpr uint32_t kNtlmNtlm = 0x00000200;
inline constexpr uint32_t kNtlmDomainSupplied = 0x00001000;
inline constexpr uint32_t kNtlmExtendedSessionSecurity = 0x00080000;
inline constexpr uint32_t kNtlmTargetInfo = 0x00800000;

struct NtlmChallenge {
  uint32_t serverFlags = 0;
  std::array<uint8_t, 8> serverChallenge{};
  std::string_view targetName;  // views into the message, valid while it lives
  std::string_view targetInfo;  // the AV pairs up to and including MsvAvEOL
};

// The four ways a CHALLENGE is refused (with code -1).
inline constexpr const char *kTextNtlmBadSignature =
    "Could not process server's NTLM authentication token: invalid signature.";
inline constexpr const char *kTextNtlmBadType =
    "Could not process server's NTLM authentication token: invalid message type.";
inline constexpr const char *kTextNtlmNoCharset =
    "Could not process server's NTLM authentication token: no charset negotiated.";
inline constexpr const char *kTextNtlmNoVersion =
    "Could not process server's NTLM authentication token: no NTLM version negotiated.";

// Reads `message`.  On success returns nullptr and fills `out`; otherwise
// returns the text of the failure.  A message too short for the field being
// checked fails with that field's text (a truncated signature is an invalid
// signature, and so on); a target name or information list that lies outside
// the message, or an information list without its end entry, counts as an
// invalid message type, since such bytes are no CHALLENGE.
const char *readNtlmChallenge(std::string_view message, NtlmChallenge &out);

}  // namespace pelnet::smtp
