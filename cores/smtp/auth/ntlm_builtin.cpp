#include "auth/ntlm_builtin.h"

#include <nettle/des.h>
#include <nettle/md4.h>
#include <nettle/md5.h>
#include <sys/random.h>

#include <cerrno>

#include "pelnet/runtime/codepage.h"

namespace pelnet::smtp {

namespace {

constexpr std::string_view kSignature("NTLMSSP\0", 8);
constexpr size_t kNegotiateHeader = 32;
constexpr size_t kAuthenticateHeader = 64;

void putLe16(std::string &s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xff);
  s[at + 1] = static_cast<char>(v >> 8);
}

void putLe32(std::string &s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// Appends `data` to the payload and points the security buffer at `field` to it.
// Field lengths are 16 bits on the wire: a longer text is cut rather than
// written with a length that names other bytes.
void appendBuffer(std::string &msg, size_t field, std::string_view data) {
  if (data.size() > 0xffff) data = data.substr(0, 0xffff);
  const auto len = static_cast<uint16_t>(data.size());
  putLe16(msg, field, len);
  putLe16(msg, field + 2, len);
  putLe32(msg, field + 4, static_cast<uint32_t>(msg.size()));
  msg.append(data);
}

// 7 key bytes spread over the 8 bytes of a DES key (the low bit of each is parity, unused).
void desKey(const uint8_t *in, uint8_t *key) {
  key[0] = in[0];
  for (int i = 1; i < 7; ++i) key[i] = static_cast<uint8_t>((in[i - 1] << (8 - i)) | (in[i] >> i));
  key[7] = static_cast<uint8_t>(in[6] << 1);
}

}  // namespace

std::string utf16leFromCodePage(std::string_view text, int codePage) {
  const std::u16string wide = narrowToUtf16Lossy(text, codePage);
  std::string out;
  out.reserve(wide.size() * 2);
  for (char16_t ch : wide) {
    out += static_cast<char>(ch & 0xff);
    out += static_cast<char>(ch >> 8);
  }
  return out;
}

std::string ntlmNegotiateMessage(std::string_view domain, uint32_t &flags) {
  flags = kNtlmNegotiateFlags | (domain.empty() ? 0u : kNtlmDomainSupplied);
  std::string msg(kNegotiateHeader, '\0');
  msg.replace(0, kSignature.size(), kSignature);
  putLe32(msg, 8, 1);
  putLe32(msg, 12, flags);
  if (!domain.empty()) appendBuffer(msg, 16, domain);
  return msg;
}

uint32_t ntlmKeptFlags(uint32_t negotiateFlags, const NtlmChallenge &challenge) {
  uint32_t kept = negotiateFlags;
  if (challenge.serverFlags & kNtlmUnicode) kept &= ~kNtlmOem;
  if (challenge.serverFlags & kNtlmRequestTarget) kept |= kNtlmTargetInfo;
  return kept;
}

std::array<uint8_t, 16> ntlmNtHash(const NtlmIdentity &id) {
  const std::string pw = utf16leFromCodePage(id.password, id.codePage);
  md4_ctx ctx;
  md4_init(&ctx);
  md4_update(&ctx, pw.size(), reinterpret_cast<const uint8_t *>(pw.data()));
  std::array<uint8_t, 16> hash{};
  md4_digest(&ctx, hash.size(), hash.data());
  return hash;
}

std::array<uint8_t, 24> ntlmDesResponse(const std::array<uint8_t, 16> &hash,
                                        const std::array<uint8_t, 8> &data) {
  uint8_t padded[21] = {};
  for (size_t i = 0; i < hash.size(); ++i) padded[i] = hash[i];
  std::array<uint8_t, 24> out{};
  for (int k = 0; k < 3; ++k) {
    uint8_t key[DES_KEY_SIZE];
    desKey(padded + 7 * k, key);
    des_ctx ctx;
    des_set_key(&ctx, key);  // a weak key still encrypts; the protocol does not avoid them
    des_encrypt(&ctx, DES_BLOCK_SIZE, out.data() + 8 * k, data.data());
  }
  return out;
}

std::string ntlmAuthenticateMessage(const NtlmIdentity &id, uint32_t keptFlags,
                                    const std::array<uint8_t, 8> &serverChallenge,
                                    const std::array<uint8_t, 8> &clientChallenge) {
  // NTLM2 session response: the DES response over the first 8 bytes of
  // MD5(server challenge, client challenge); the LM field carries the client challenge.
  md5_ctx md5;
  md5_init(&md5);
  md5_update(&md5, serverChallenge.size(), serverChallenge.data());
  md5_update(&md5, clientChallenge.size(), clientChallenge.data());
  uint8_t digest[MD5_DIGEST_SIZE];
  md5_digest(&md5, sizeof digest, digest);
  std::array<uint8_t, 8> sessionHash{};
  for (size_t i = 0; i < sessionHash.size(); ++i) sessionHash[i] = digest[i];
  const auto nt = ntlmDesResponse(ntlmNtHash(id), sessionHash);
  std::string lm(24, '\0');
  for (size_t i = 0; i < clientChallenge.size(); ++i) lm[i] = static_cast<char>(clientChallenge[i]);

  std::string msg(kAuthenticateHeader, '\0');
  msg.replace(0, kSignature.size(), kSignature);
  putLe32(msg, 8, 3);
  putLe32(msg, 60, keptFlags);
  // Payload order: domain, user, workstation, LM, NT, session key.
  appendBuffer(msg, 28, utf16leFromCodePage(id.domain, id.codePage));
  appendBuffer(msg, 36, utf16leFromCodePage(id.user, id.codePage));
  appendBuffer(msg, 44, {});
  appendBuffer(msg, 12, lm);
  appendBuffer(msg, 20, std::string_view(reinterpret_cast<const char *>(nt.data()), nt.size()));
  appendBuffer(msg, 52, {});
  return msg;
}

bool ntlmRandomClientChallenge(std::array<uint8_t, 8> &out) {
  // Draw until 8 nonzero bytes are collected; each round keeps a byte with
  // probability 255/256, so the bound of rounds is never reached in practice.
  size_t have = 0;
  for (int round = 0; round < 64 && have < out.size(); ++round) {
    uint8_t buf[16];
    const ssize_t n = getrandom(buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t i = 0; i < n && have < out.size(); ++i)
      if (buf[i] != 0) out[have++] = buf[i];
  }
  return have == out.size();
}

}  // namespace pelnet::smtp
