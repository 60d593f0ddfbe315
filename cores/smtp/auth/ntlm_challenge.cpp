#include "auth/ntlm_challenge.h"

namespace pelnet::smtp {

namespace {

// The CHALLENGE layout (all little-endian).
constexpr size_t kSignatureOff = 0;
constexpr size_t kTypeOff = 8;
constexpr size_t kTargetNameOff = 12;  // security buffer: length, maximum, offset
constexpr size_t kFlagsOff = 20;
constexpr size_t kChallengeOff = 24;
constexpr size_t kTargetInfoOff = 40;  // security buffer
constexpr std::string_view kSignature("NTLMSSP\0", 8);

// A security buffer (length, maximum length, offset) and the bytes it names.
std::optional<std::string_view> securityBuffer(const ByteReader &c, size_t at) {
  const auto len = c.le16(at);
  const auto off = c.le32(at + 4);
  if (!len || !off) return std::nullopt;
  return c.bytes(*off, *len);
}

// The AV pairs (id, length, value) up to and including the end entry (id 0).
// Each step moves forward by at least the 4-byte pair header, so the walk
// ends within size / 4 steps.
std::optional<std::string_view> avPairs(std::string_view info) {
  const ByteReader c(info);
  size_t off = 0;
  for (;;) {
    const auto id = c.le16(off);
    const auto len = c.le16(off + 2);
    if (!id || !len) return std::nullopt;
    if (!c.has(off + 4, *len)) return std::nullopt;
    off += 4 + static_cast<size_t>(*len);
    if (*id == 0) return info.substr(0, off);
  }
}

}  // namespace

const char *readNtlmChallenge(std::string_view message, NtlmChallenge &out) {
  const ByteReader c(message);
  out = NtlmChallenge{};
  if (c.bytes(kSignatureOff, kSignature.size()) != kSignature) return kTextNtlmBadSignature;
  if (c.le32(kTypeOff) != 2u) return kTextNtlmBadType;
  const auto flags = c.le32(kFlagsOff);
  if (!flags) return kTextNtlmNoCharset;
  if ((*flags & (kNtlmUnicode | kNtlmOem)) == 0) return kTextNtlmNoCharset;
  if ((*flags & (kNtlmNtlm | kNtlmExtendedSessionSecurity)) == 0) return kTextNtlmNoVersion;
  out.serverFlags = *flags;
  const auto challenge = c.bytes(kChallengeOff, out.serverChallenge.size());
  if (!challenge) return kTextNtlmBadType;
  for (size_t i = 0; i < out.serverChallenge.size(); ++i)
    out.serverChallenge[i] = static_cast<uint8_t>((*challenge)[i]);
  if (*flags & kNtlmRequestTarget) {
    const auto name = securityBuffer(c, kTargetNameOff);
    if (!name) return kTextNtlmBadType;
    out.targetName = *name;
  }
  if (*flags & kNtlmTargetInfo) {
    const auto info = securityBuffer(c, kTargetInfoOff);
    if (!info) return kTextNtlmBadType;
    const auto pairs = avPairs(*info);
    if (!pairs) return kTextNtlmBadType;
    out.targetInfo = *pairs;
  }
  return nullptr;
}

}  // namespace pelnet::smtp
