// NTLM built into the mail core: the NEGOTIATE bytes, the CHALLENGE reader
// against well-formed and hostile messages, the AUTHENTICATE message read and
// recomputed by an independent implementation (python3-impacket), and the
// security context that puts the pieces together.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "corpus_replay.h"
#include "auth/ntlm_builtin.h"
#include "auth/ntlm_challenge.h"
#include "ntlm_checker.h"
#include "auth/security_context.h"

#ifndef NTLM_CHALLENGE_CORPUS_DIR
#error "NTLM_CHALLENGE_CORPUS_DIR must name the CHALLENGE reader's seed corpus"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

using namespace pelnet::smtp;
using namespace std::string_literals;
using smtptest::hex;
using smtptest::impacketReading;
using smtptest::unhex;

std::string le16(uint16_t v) { return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)}; }
std::string le32(uint32_t v) { return le16(v & 0xffff) + le16(v >> 16); }

uint32_t readLe32(std::string_view s, size_t at) {
  const auto *p = reinterpret_cast<const uint8_t *>(s.data()) + at;
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t readLe16(std::string_view s, size_t at) {
  const auto *p = reinterpret_cast<const uint8_t *>(s.data()) + at;
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

const std::string kSig("NTLMSSP\0", 8);
const std::string kServerChallenge = unhex("0123456789abcdef");

// A CHALLENGE as a server writes it: the target name and target information
// after the 48-byte header, their buffers pointing there.  `flags` decides
// which of them the reader looks at.
std::string challengeMessage(uint32_t flags, const std::string &name = "",
                             const std::string &info = "") {
  std::string m = kSig + le32(2);
  m += le16(static_cast<uint16_t>(name.size())) + le16(static_cast<uint16_t>(name.size())) +
       le32(48);
  m += le32(flags) + kServerChallenge + std::string(8, '\0');
  m += le16(static_cast<uint16_t>(info.size())) + le16(static_cast<uint16_t>(info.size())) +
       le32(static_cast<uint32_t>(48 + name.size()));
  return m + name + info;
}

// One AV pair (id, length, value).
std::string av(uint16_t id, const std::string &value) {
  return le16(id) + le16(static_cast<uint16_t>(value.size())) + value;
}

// The same message with 4 bytes at `at` replaced.
std::string patched32(std::string m, size_t at, uint32_t v) {
  m.replace(at, 4, le32(v));
  return m;
}
std::string patched16(std::string m, size_t at, uint16_t v) {
  m.replace(at, 2, le16(v));
  return m;
}

constexpr uint32_t kUnicodeNtlm = 0x00000201;

// ---------------------------------------------------------------- NEGOTIATE

TEST(NtlmNegotiate, BytesWithAndWithoutDomain) {
  struct Case {
    std::string domain;
    std::string bytes;  // hex
    uint32_t flags;
  } cases[] = {
      {"",
       "4e544c4d53535000"
       "01000000"
       "078208a2"
       "0000000000000000"
       "0000000000000000",
       0xA2088207},
      {"CORP",
       "4e544c4d53535000"
       "01000000"
       "079208a2"
       "0400040020000000"
       "0000000000000000"
       "434f5250",
       0xA2089207},
      // The domain goes out as its bytes, 8-bit.
      {"D\xe9v",
       "4e544c4d53535000"
       "01000000"
       "079208a2"
       "0300030020000000"
       "0000000000000000"
       "44e976",
       0xA2089207},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.domain);
    uint32_t flags = 0;
    EXPECT_EQ(hex(ntlmNegotiateMessage(c.domain, flags)), c.bytes);
    EXPECT_EQ(flags, c.flags);
  }
}

// ---------------------------------------------------------------- CHALLENGE reader

TEST(NtlmChallengeReader, WellFormedAndHostileMessages) {
  const std::string name = "D\0O\0M\0"s;
  const std::string info = av(2, "D\0O\0M\0"s) + av(7, std::string(8, 'T')) + av(0, "");
  const std::string withBoth = challengeMessage(kUnicodeNtlm | 0x4 | 0x800000, name, info);
  struct Case {
    const char *what;
    std::string message;
    const char *text;  // nullptr: read
    std::string targetName = {};
    std::string targetInfo = {};
  } cases[] = {
      {"plain", challengeMessage(kUnicodeNtlm), nullptr},
      {"OEM with extended session security only", challengeMessage(0x00080002), nullptr},
      {"target name and information", withBoth, nullptr, name, info},
      {"bytes after the end entry are not part of the list",
       challengeMessage(kUnicodeNtlm | 0x800000, "", info + "junk"), nullptr, "", info},
      {"buffers not read without their flags",
       patched32(patched32(challengeMessage(kUnicodeNtlm), 16, 0xfffffff0), 44, 0xfffffff0),
       nullptr},
      {"empty target name at the very end",
       patched32(patched16(challengeMessage(kUnicodeNtlm | 0x4), 12, 0), 16, 48), nullptr},
      {"empty", "", kTextNtlmBadSignature},
      {"signature cut short", "NTLMSSP", kTextNtlmBadSignature},
      {"wrong signature", "NTLMSSQ" + challengeMessage(kUnicodeNtlm).substr(7),
       kTextNtlmBadSignature},
      {"no zero after the signature", "NTLMSSPX" + challengeMessage(kUnicodeNtlm).substr(8),
       kTextNtlmBadSignature},
      {"type 3", patched32(challengeMessage(kUnicodeNtlm), 8, 3), kTextNtlmBadType},
      {"type cut short", kSig + "\x02", kTextNtlmBadType},
      {"flags missing", challengeMessage(kUnicodeNtlm).substr(0, 20), kTextNtlmNoCharset},
      {"no charset", challengeMessage(0x00000200), kTextNtlmNoCharset},
      {"no NTLM version", challengeMessage(0x00000001), kTextNtlmNoVersion},
      {"server challenge cut short", challengeMessage(kUnicodeNtlm).substr(0, 30),
       kTextNtlmBadType},
      {"target name far past the end",
       patched32(challengeMessage(kUnicodeNtlm | 0x4, name), 16, 0xfffffff0), kTextNtlmBadType},
      {"target name one byte past the end",
       patched32(challengeMessage(kUnicodeNtlm | 0x4, name), 16, 48 + 5), kTextNtlmBadType},
      {"target name buffer itself missing",
       challengeMessage(kUnicodeNtlm | 0x4).substr(0, 20) + le32(kUnicodeNtlm | 0x4) +
           kServerChallenge,
       kTextNtlmBadType},
      {"target information longer than the message",
       patched16(challengeMessage(kUnicodeNtlm | 0x800000, "", info), 40, 0xffff),
       kTextNtlmBadType},
      {"target information offset wraps",
       patched32(challengeMessage(kUnicodeNtlm | 0x800000, "", info), 44, 0xffffffff),
       kTextNtlmBadType},
      {"pair longer than the list",
       challengeMessage(kUnicodeNtlm | 0x800000, "", le16(2) + le16(0xfff0) + "xx"),
       kTextNtlmBadType},
      {"list without an end entry",
       challengeMessage(kUnicodeNtlm | 0x800000, "", av(2, "ab") + av(3, "cd")), kTextNtlmBadType},
      {"empty list", challengeMessage(kUnicodeNtlm | 0x800000, "", ""), kTextNtlmBadType},
      {"end entry cut short", challengeMessage(kUnicodeNtlm | 0x800000, "", "\0\0\0"s),
       kTextNtlmBadType},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    NtlmChallenge out;
    const char *text = readNtlmChallenge(c.message, out);
    if (c.text == nullptr) {
      ASSERT_EQ(text, nullptr) << text;
      EXPECT_EQ(std::string(out.serverChallenge.begin(), out.serverChallenge.end()),
                kServerChallenge);
      EXPECT_EQ(out.serverFlags, readLe32(c.message, 20));
      EXPECT_EQ(out.targetName, c.targetName);
      EXPECT_EQ(out.targetInfo, c.targetInfo);
    } else {
      EXPECT_STREQ(text, c.text);
    }
  }
}

// The fuzz target's seeds replay in every build; each seed is what its name says.
TEST(NtlmChallengeReader, EverySeedReplays) {
  const std::map<std::string, const char *> expected = {
      {"plain_unicode_ntlm", nullptr},
      {"target_name_and_info", nullptr},
      {"oem_extended_session_security", nullptr},
      {"info_without_end_entry", kTextNtlmBadType},
      {"name_offset_past_end", kTextNtlmBadType},
      {"truncated_after_flags", kTextNtlmBadType},
      {"wrong_type", kTextNtlmBadType},
      {"no_charset", kTextNtlmNoCharset},
      {"end_entry_with_a_length", nullptr},  // the end entry's value is skipped, not refused
  };
  testsupport::replayCorpus(NTLM_CHALLENGE_CORPUS_DIR, LLVMFuzzerTestOneInput, expected,
                            [](const std::string &bytes, const char *text) {
                              NtlmChallenge out;
                              const char *read = readNtlmChallenge(bytes, out);
                              EXPECT_EQ(read == nullptr ? std::string("read") : read,
                                        text == nullptr ? std::string("read") : text);
                            });
}

TEST(NtlmChallengeReader, KeptFlags) {
  struct Case {
    uint32_t server;
    uint32_t kept;
  } cases[] = {
      {kUnicodeNtlm, 0xA2088205},             // Unicode: OEM dropped
      {0x00000202, 0xA2088207},               // OEM only: kept as sent
      {0x00000203, 0xA2088205},               // both: Unicode wins
      {kUnicodeNtlm | 0x4, 0xA2888205},       // a target name adds target information
      {kUnicodeNtlm | 0x800000, 0xA2088205},  // target information alone adds nothing
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.server);
    NtlmChallenge ch;
    ch.serverFlags = c.server;
    EXPECT_EQ(ntlmKeptFlags(0xA2088207, ch), c.kept);
  }
}

// ---------------------------------------------------------------- AUTHENTICATE, checked
// independently

struct AuthCase {
  const char *what;
  NtlmIdentity id;
  uint32_t flags;
};

const AuthCase kAuthCases[] = {
    {"user alone", {"", "alice", "Secret-1", 65001}, 0xA2088205},
    {"domain and user", {"CORP", "bob", "pass word", 65001}, 0xA2089205},
    {"empty password", {"", "carol", "", 65001}, 0xA2088205},
    {"text beyond ASCII",
     {"B\xc3\xbcro", "j\xc3\xb6rg", "p\xc3\xa4ssw\xc3\xb6rd\xe2\x82\xac", 65001},
     0xA2889205},
    {"Latin-1 code page", {"", "j\xf6rg", "\xe9t\xe9", 28591}, 0xA2088205},
};

// The UTF-8 form of a text in code page 65001 or 28591 (Latin-1), written
// out here rather than through the core's own conversion.
std::string utf8(std::string_view text, int codePage) {
  if (codePage == 65001) return std::string(text);
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

void expectIndependentlyRight(const std::string &msg, const NtlmIdentity &id, uint32_t flags) {
  const auto f = impacketReading(msg, kServerChallenge, utf8(id.password, id.codePage));
  ASSERT_FALSE(f.empty());
  EXPECT_EQ(f.at("signature"), hex(kSig));
  EXPECT_EQ(f.at("type"), "3");
  char flagText[16];
  std::snprintf(flagText, sizeof flagText, "%08x", flags);
  EXPECT_EQ(f.at("flags"), flagText);
  // impacket's UTF-16 decoding, back to UTF-8, against the UTF-8 form of the input.
  const auto orDash = [](const std::string &s) { return s.empty() ? std::string("-") : hex(s); };
  EXPECT_EQ(f.at("domain"), orDash(utf8(id.domain, id.codePage)));
  EXPECT_EQ(f.at("user"), orDash(utf8(id.user, id.codePage)));
  EXPECT_EQ(f.at("workstation"), "-");
  EXPECT_EQ(f.at("session_key_len"), "0");
  EXPECT_EQ(f.at("lm"), f.at("lm_expected"));
  EXPECT_EQ(f.at("nt"), f.at("nt_expected"));
  EXPECT_EQ(f.at("nt").size(), 48u);
  // The password itself never goes into the message.
  if (!id.password.empty()) {
    EXPECT_EQ(msg.find(id.password), std::string::npos);
  }
}

TEST(NtlmAuthenticate, AgreesWithAnIndependentImplementation) {
  const auto client = std::array<uint8_t, 8>{0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
  std::array<uint8_t, 8> server{};
  for (size_t i = 0; i < 8; ++i) server[i] = static_cast<uint8_t>(kServerChallenge[i]);
  for (const AuthCase &c : kAuthCases) {
    SCOPED_TRACE(c.what);
    const std::string msg = ntlmAuthenticateMessage(c.id, c.flags, server, client);
    expectIndependentlyRight(msg, c.id, c.flags);
    // The LM field is the client challenge and 16 zero bytes.
    const size_t lmOff = readLe32(msg, 16);
    ASSERT_EQ(readLe16(msg, 12), 24);
    EXPECT_EQ(hex(msg.substr(lmOff, 24)), "aaaaaaaaaaaaaaaa" + std::string(32, '0'));
    // Payload order: domain, user, workstation, LM, NT, session key, from byte 64 on.
    const size_t at[] = {28, 36, 44, 12, 20, 52};
    size_t expected = 64;
    for (size_t field : at) {
      EXPECT_EQ(readLe32(msg, field + 4), expected) << "field at " << field;
      EXPECT_EQ(readLe16(msg, field), readLe16(msg, field + 2));
      expected += readLe16(msg, field);
    }
    EXPECT_EQ(msg.size(), expected);
  }
}

// The published example of NTLMv1 with extended session security: user
// "User", domain "Domain", password "Password", server challenge
// 0123456789abcdef, client challenge aaaaaaaaaaaaaaaa.
TEST(NtlmAuthenticate, PublishedExample) {
  const NtlmIdentity id{"Domain", "User", "Password", 65001};
  EXPECT_EQ(hex(std::string_view(reinterpret_cast<const char *>(ntlmNtHash(id).data()), 16)),
            "a4f49c406510bdcab6824ee7c30fd852");
  std::array<uint8_t, 8> server{}, client{};
  for (size_t i = 0; i < 8; ++i) {
    server[i] = static_cast<uint8_t>(kServerChallenge[i]);
    client[i] = 0xaa;
  }
  const std::string msg = ntlmAuthenticateMessage(id, 0xA2089205, server, client);
  EXPECT_EQ(hex(msg.substr(readLe32(msg, 24), readLe16(msg, 20))),
            "7537f803ae367128ca458204bde7caf81e97ed2683267232");
}

// ---------------------------------------------------------------- the security context, built in

TEST(SecurityContextBuiltIn, UserSplitsAtTheFirstBackslash) {
  struct Case {
    const char *user;
    const char *domain;
    const char *name;
  } cases[] = {
      {"alice", "", "alice"},         {"CORP\\bob", "CORP", "bob"}, {"a\\b\\c", "a", "b\\c"},
      {"\\nodomain", "", "nodomain"}, {"CORP\\", "CORP", ""},       {"", "", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.user);
    SecurityContext ctx;
    ctx.setUseSystemSecurity(false);
    ASSERT_EQ(ctx.initialise("NTLM", c.user, "pw"), 0);
    EXPECT_EQ(ctx.domain(), c.domain);
    EXPECT_EQ(ctx.user(), c.name);
    // The NEGOTIATE names the domain exactly when there is one.
    std::string token, bytes;
    ASSERT_EQ(ctx.firstToken("mail.test", token), 0);
    ASSERT_TRUE(decodeBase64(token, bytes));
    uint32_t flags = 0;
    EXPECT_EQ(bytes, ntlmNegotiateMessage(c.domain, flags));
    EXPECT_EQ(ctx.ntlmFlags(), flags);
  }
}

TEST(SecurityContextBuiltIn, AnswersAChallengeWithAFreshClientChallenge) {
  std::set<std::string> clientChallenges;
  for (const char *package : {"NTLM", "Kerberos", "Negotiate"}) {
    SCOPED_TRACE(package);
    SecurityContext ctx;
    ctx.setUseSystemSecurity(false);
    ctx.setCodePage(65001);
    ASSERT_EQ(ctx.initialise(package, "CORP\\bob", "pass word"), 0);
    std::string token, msg;
    ASSERT_EQ(ctx.firstToken("mail.test", token), 0);
    ASSERT_EQ(ctx.nextToken("mail.test", encodeBase64(challengeMessage(kUnicodeNtlm | 0x4, "D\0"s)),
                            token),
              0)
        << ctx.errorText();
    ASSERT_TRUE(decodeBase64(token, msg));
    expectIndependentlyRight(msg, {"CORP", "bob", "pass word", 65001}, 0xA2889205);
    const std::string lm = msg.substr(readLe32(msg, 16), 24);
    for (size_t i = 0; i < 8; ++i) EXPECT_NE(lm[i], '\0') << "byte " << i;
    EXPECT_EQ(lm.substr(8), std::string(16, '\0'));
    clientChallenges.insert(lm.substr(0, 8));
  }
  // Three draws of 8 random bytes: equal ones would mean no randomness.
  EXPECT_EQ(clientChallenges.size(), 3u);
}

TEST(SecurityContextBuiltIn, MalformedChallengesFailWithMinusOne) {
  const struct {
    std::string base64;
    const char *text;
  } cases[] = {
      {encodeBase64("NTLMSSQ" + challengeMessage(kUnicodeNtlm).substr(7)), kTextNtlmBadSignature},
      {encodeBase64(patched32(challengeMessage(kUnicodeNtlm), 8, 1)), kTextNtlmBadType},
      {encodeBase64(challengeMessage(0x200)), kTextNtlmNoCharset},
      {encodeBase64(challengeMessage(0x1)), kTextNtlmNoVersion},
      {"not base64!", kTextNtlmBadSignature},
      {"", kTextNtlmBadSignature},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.base64);
    SecurityContext ctx;
    ctx.setUseSystemSecurity(false);
    ASSERT_EQ(ctx.initialise("NTLM", "u", "p"), 0);
    std::string token;
    ASSERT_EQ(ctx.firstToken("t", token), 0);
    EXPECT_EQ(ctx.nextToken("t", c.base64, token), kSecurityTokenMalformed);
    EXPECT_EQ(ctx.errorText(), c.text);
    EXPECT_EQ(token, "");
  }
}

TEST(SecurityContextBuiltIn, NoWrapNoUnwrapAndNoOverlongToken) {
  SecurityContext ctx;
  ctx.setUseSystemSecurity(false);
  ASSERT_EQ(ctx.initialise("Kerberos", "u", "p"), 0);
  std::string out = "x";
  EXPECT_EQ(ctx.wrap("abc", out), 306);
  EXPECT_EQ(ctx.errorText(), "This functionality is not currently available.");
  EXPECT_EQ(out, "");
  EXPECT_EQ(ctx.unwrap("abc", out), 306);
  EXPECT_EQ(ctx.errorText(), "This functionality is not currently available.");
  // A NEGOTIATE of more than 4096 bytes (a very long domain) is refused.
  for (const size_t domainLength : {4096u - 32u, 4096u - 31u}) {
    SCOPED_TRACE(domainLength);
    ASSERT_EQ(ctx.initialise("NTLM", std::string(domainLength, 'd') + "\\u", "p"), 0);
    std::string token;
    const int rc = ctx.firstToken("t", token);
    if (domainLength + 32 <= SecurityContext::kMaxToken) {
      EXPECT_EQ(rc, 0);
    } else {
      EXPECT_EQ(rc, 883);
      EXPECT_EQ(ctx.errorText(), "Error computing Authentication Token: buffer boundary exceeded.");
    }
  }
}

// ---------------------------------------------------------------- the system library, absent

TEST(SecurityContextSystem, WithoutTheLibraryEveryStepSays270) {
  SecurityContext ctx;
  ctx.setGssFunctions(nullptr);
  std::string out;
  const std::function<int()> steps[] = {
      [&] { return ctx.initialise("Kerberos", "u", "p"); },
      [&] { return ctx.initialise("NTLM", "", ""); },
      [&] { return ctx.firstToken("SMTP/mail.test", out); },
      [&] { return ctx.nextToken("SMTP/mail.test", "AAAA", out); },
      [&] { return ctx.wrap("x", out); },
      [&] { return ctx.unwrap("x", out); },
  };
  for (const auto &step : steps) {
    EXPECT_EQ(step(), 270);
    EXPECT_EQ(ctx.errorText(), "The security library could not be loaded");
  }
}

TEST(GssLibrary, TheTableNeedsEveryFunction) {
  pelnet::GssFunctions table;
  EXPECT_FALSE(pelnet::loadGssFunctions(nullptr, table));
  // A library without the functions: the table stays empty.
  void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(libc, nullptr);
  EXPECT_FALSE(pelnet::loadGssFunctions(libc, table));
  EXPECT_EQ(table.initSecContext, nullptr);
  EXPECT_EQ(table.importName, nullptr);
  dlclose(libc);
  void *gss = dlopen(pelnet::kGssLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (gss == nullptr) GTEST_SKIP() << "no " << pelnet::kGssLibraryName << " here";
  EXPECT_TRUE(pelnet::loadGssFunctions(gss, table));
  EXPECT_NE(table.initSecContext, nullptr);
  EXPECT_NE(table.displayStatus, nullptr);
  dlclose(gss);
}

}  // namespace
