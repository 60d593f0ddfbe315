// The NTLM messages the client builds itself (without the system's security
// library): NEGOTIATE, and AUTHENTICATE with the NTLM2 session response
// (NTLMv1 with extended session security).  Pure functions over bytes; the
// random client challenge is a parameter so that a known pair of challenges
// gives a known answer.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "auth/ntlm_challenge.h"

namespace pelnet::smtp {

// The flags every NEGOTIATE carries; kNtlmDomainSupplied is added with a domain.
inline constexpr uint32_t kNtlmNegotiateFlags = 0xA2088207;

// Texts in the core's code page; the AUTHENTICATE carries them as UTF-16.
struct NtlmIdentity {
  std::string domain;
  std::string user;
  std::string password;
  int codePage = 0;
};

// The NEGOTIATE message (type 1) for `domain`, and the flags it carries.
std::string ntlmNegotiateMessage(std::string_view domain, uint32_t &flags);

// The flags kept for the AUTHENTICATE after the server's CHALLENGE: OEM
// dropped when Unicode was negotiated, target information when the server
// sent a target name.
uint32_t ntlmKeptFlags(uint32_t negotiateFlags, const NtlmChallenge &challenge);

// MD4 of the password as UTF-16LE.
std::array<uint8_t, 16> ntlmNtHash(const NtlmIdentity &id);

// The 24-byte DES response: the hash padded to 21 bytes makes three DES keys,
// each of which encrypts `data`.
std::array<uint8_t, 24> ntlmDesResponse(const std::array<uint8_t, 16> &hash,
                                        const std::array<uint8_t, 8> &data);

// The AUTHENTICATE message (type 3).
std::string ntlmAuthenticateMessage(const NtlmIdentity &id, uint32_t keptFlags,
                                    const std::array<uint8_t, 8> &serverChallenge,
                                    const std::array<uint8_t, 8> &clientChallenge);

// Eight bytes from the system's random source, each from 1 to 255.  False
// when the source fails (nothing weaker is put in its place).
bool ntlmRandomClientChallenge(std::array<uint8_t, 8> &out);

// The text of `codePage` as UTF-16LE bytes; bytes that are no character of
// the code page become U+FFFD.
std::string utf16leFromCodePage(std::string_view text, int codePage);

}  // namespace pelnet::smtp
