// Feeds arbitrary bytes to the NTLM CHALLENGE reader, as a hostile server
// would send them after "334 ", and checks what the client relies on: a
// message is either refused with one of the four texts or read with its
// target name and information lying inside the message, the information
// list ending in its end entry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "auth/ntlm_challenge.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool inside(std::string_view part, std::string_view whole) {
  if (part.empty()) return true;
  const uintptr_t p = reinterpret_cast<uintptr_t>(part.data());
  const uintptr_t w = reinterpret_cast<uintptr_t>(whole.data());
  return p >= w && part.size() <= whole.size() && p - w <= whole.size() - part.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace pelnet::smtp;
  const std::string_view message(reinterpret_cast<const char *>(data), size);
  NtlmChallenge out;
  const char *text = readNtlmChallenge(message, out);
  if (text != nullptr) {
    // Compared as texts: each translation unit may hold its own copy of a literal.
    const std::string_view t(text);
    check(t == kTextNtlmBadSignature || t == kTextNtlmBadType || t == kTextNtlmNoCharset ||
          t == kTextNtlmNoVersion);
    return 0;
  }
  check(size >= 32);
  check(out.serverFlags & (kNtlmUnicode | kNtlmOem));
  check(out.serverFlags & (kNtlmNtlm | kNtlmExtendedSessionSecurity));
  check(inside(out.targetName, message));
  check(inside(out.targetInfo, message));
  if (out.serverFlags & kNtlmTargetInfo) {
    // Walked again: pairs that lie inside the list, the first with id 0 ending it exactly.
    const pelnet::ByteReader c(out.targetInfo);
    size_t off = 0;
    bool ended = false;
    while (!ended) {
      const auto id = c.le16(off);
      const auto len = c.le16(off + 2);
      check(id && len && c.has(off + 4, *len));
      off += 4 + *len;
      ended = *id == 0;
    }
    check(off == out.targetInfo.size());
  } else {
    check(out.targetInfo.empty());
  }
  if (!(out.serverFlags & kNtlmRequestTarget)) check(out.targetName.empty());
  return 0;
}
