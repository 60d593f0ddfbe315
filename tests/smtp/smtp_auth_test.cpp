// SMTP AUTH in the mail core against scripted servers on loopback: each case
// is a script of the server's lines and the exact lines the client must send
// after EHLO, and the code and text Connect ends with.
#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntlm_checker.h"
#include "pelnet/smtp_ids.h"
#include "scripted_peer.h"
#include "auth/smtp_auth.h"
#include "smtp_core.h"
#include "smtp_core_client.h"

namespace {

using smtptest::clientBytes;
using smtptest::hex;
using smtptest::PeerStep;
using smtptest::ScriptedPeer;
using smtptest::SmtpCoreClient;
using smtptest::unhex;
using Script = std::vector<PeerStep>;

PeerStep S(const std::string &lines) { return {PeerStep::Send, lines, 0}; }
PeerStep C(const std::string &bytes) { return {PeerStep::Expect, bytes, 0}; }
PeerStep LineFromClient() { return {PeerStep::ExpectThrough, "\r\n", 0}; }
PeerStep ClientCloses() { return {PeerStep::ExpectClose, "", 0}; }

Script operator+(Script a, const Script &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// GLib's base64, independent of the core's.
std::string b64(const std::string &bytes) {
  gchar *e = g_base64_encode(reinterpret_cast<const guchar *>(bytes.data()), bytes.size());
  std::string out(e);
  g_free(e);
  return out;
}
std::string unb64(const std::string &text) {
  gsize n = 0;
  guchar *d = g_base64_decode(text.c_str(), &n);
  std::string out(reinterpret_cast<const char *>(d), n);
  g_free(d);
  return out;
}

const Script kOpening = {S("220 mail.test ESMTP\r\n"), C("EHLO client.test\r\n"),
                         S("250-mail.test\r\n250 AUTH LOGIN CRAM-MD5 NTLM GSSAPI\r\n")};

struct Outcome {
  int code = 0;
  std::string text;
  bool connected = false;
  std::string received;  // what the client sent after EHLO
};

// Connects with `scheme`, `user`, `password` (and extra Config settings)
// against a peer that plays the opening, then `auth`, then waits for the
// client to close; checks that every Expect matched.
Outcome connectWith(SmtpCoreClient &c, int scheme, const std::string &user,
                    const std::string &password, const Script &auth,
                    const std::vector<std::string> &settings = {}) {
  ScriptedPeer peer(kOpening + auth + Script{ClientCloses()});
  EXPECT_EQ(c.setText(PELNET_SMTP_PROP_MailServer, "127.0.0.1"), 0);
  EXPECT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, peer.port()), 0);
  EXPECT_EQ(c.config("Hello=client.test"), 0);
  EXPECT_EQ(c.setInt(PELNET_SMTP_PROP_Timeout, 20), 0);
  EXPECT_EQ(c.setInt(PELNET_SMTP_PROP_AuthScheme, scheme), 0);
  EXPECT_EQ(c.setText(PELNET_SMTP_PROP_User, user), 0);
  EXPECT_EQ(c.setText(PELNET_SMTP_PROP_Password, password), 0);
  for (const std::string &s : settings) EXPECT_EQ(c.config(s), 0) << s;
  Outcome o;
  o.code = c.call(PELNET_SMTP_METHOD_Connect);
  o.text = c.lastError();
  o.connected = c.getInt(PELNET_SMTP_PROP_Connected) != 0;
  c.setInt(PELNET_SMTP_PROP_Connected, 0);
  EXPECT_EQ(peer.finish(), "");
  const std::string &all = peer.received();
  const size_t ehloEnd = all.find("\r\n");
  o.received = ehloEnd == std::string::npos ? all : all.substr(ehloEnd + 2);
  return o;
}

// No OnPITrail text holds the password itself (the encoded lines may carry it).
void expectPasswordNotInTrail(const SmtpCoreClient &c, const std::string &password) {
  if (password.empty()) return;
  for (int direction : {0, 1, 2})
    for (const std::string &t : c.trail(direction))
      EXPECT_EQ(t.find(password), std::string::npos) << "OnPITrail: " << t;
}

const std::string kUser = "user@test";
const std::string kPassword = "Pa55-word";

// ---------------------------------------------------------------- when, LOGIN, CRAM-MD5

TEST(SmtpAuth, ScriptsOfLoginAndTheCasesWithoutAuth) {
  struct Case {
    const char *what;
    int scheme;
    std::string user, password;
    Script auth;
    int code;
    std::string text;
  } cases[] = {
      {"LOGIN: three lines, prompts unread",
       PELNET_SMTP_asLogin,
       kUser,
       kPassword,
       {C("AUTH LOGIN\r\n"), S("334 VXNlcm5hbWU6\r\n"), C(b64(kUser) + "\r\n"),
        S("334 UGFzc3dvcmQ6\r\n"), C(b64(kPassword) + "\r\n"), S("235 2.7.0 Accepted\r\n")},
       0,
       ""},
      {"LOGIN: 535 to the password",
       PELNET_SMTP_asLogin,
       kUser,
       kPassword,
       {C("AUTH LOGIN\r\n"), S("334 VXNlcm5hbWU6\r\n"), C(b64(kUser) + "\r\n"),
        S("334 UGFzc3dvcmQ6\r\n"), C(b64(kPassword) + "\r\n"),
        S("535 5.7.8 Authentication credentials invalid\r\n")},
       161,
       "SMTP protocol error. 535 5.7.8 Authentication credentials invalid."},
      {"LOGIN: refused at once",
       PELNET_SMTP_asLogin,
       kUser,
       kPassword,
       {C("AUTH LOGIN\r\n"), S("504 5.5.4 Unrecognized authentication type\r\n")},
       161,
       "SMTP protocol error. 504 5.5.4 Unrecognized authentication type."},
      {"LOGIN: a continuation before the prompt",
       PELNET_SMTP_asLogin,
       kUser,
       kPassword,
       {C("AUTH LOGIN\r\n"), S("334-more\r\n334 VXNlcm5hbWU6\r\n"), C(b64(kUser) + "\r\n"),
        S("334 UGFzc3dvcmQ6\r\n"), C(b64(kPassword) + "\r\n"), S("235 ok\r\n")},
       0,
       ""},
      {"user without password", PELNET_SMTP_asLogin, kUser, "", {}, 0, ""},
      {"password without user", PELNET_SMTP_asLogin, "", kPassword, {}, 0, ""},
      {"CRAM-MD5 without password", PELNET_SMTP_asCramMD5, kUser, "", {}, 0, ""},
      {"scheme 3", 3, kUser, kPassword, {}, 0, ""},
      {"scheme 4", 4, kUser, kPassword, {}, 0, ""},
      {"scheme 5", 5, kUser, kPassword, {}, 0, ""},
      {"PLAIN: one line with NUL, user, NUL, password",
       PELNET_SMTP_asPlain,
       kUser,
       kPassword,
       {C("AUTH PLAIN " + b64(std::string(1, '\0') + kUser + '\0' + kPassword) + "\r\n"),
        S("235 2.7.0 Accepted\r\n")},
       0,
       ""},
      {"PLAIN: 535",
       PELNET_SMTP_asPlain,
       kUser,
       kPassword,
       {C("AUTH PLAIN " + b64(std::string(1, '\0') + kUser + '\0' + kPassword) + "\r\n"),
        S("535 5.7.8 Authentication credentials invalid\r\n")},
       161,
       "SMTP protocol error. 535 5.7.8 Authentication credentials invalid."},
      {"PLAIN without password", PELNET_SMTP_asPlain, kUser, "", {}, 0, ""},
      {"scheme 9", 9, kUser, kPassword, {}, 0, ""},
      {"scheme -1", -1, kUser, kPassword, {}, 0, ""},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    SmtpCoreClient c;
    const Outcome o = connectWith(c, k.scheme, k.user, k.password, k.auth);
    EXPECT_EQ(o.code, k.code);
    if (k.code != 0) {
      EXPECT_EQ(o.text, k.text);
    }
    // Exactly the script's lines, nothing more (no AUTH where none is due).
    EXPECT_EQ(o.received, clientBytes(k.auth));
    // A refused login leaves the connection open, not authenticated.
    EXPECT_TRUE(o.connected);
    expectPasswordNotInTrail(c, k.password);
  }
}

// RFC 2195's example: challenge, user "tim", password "tanstaaftanstaaf".
// What the automatic choice picks from: the EHLO reply's AUTH lines in both
// forms, any case, duplicates once, and nothing from lines that only look alike.
TEST(SmtpAuth, OfferedMechanismsComeFromTheAuthLinesOnly) {
  using Lines = std::vector<std::string>;
  struct Case {
    const char *what;
    Lines ehlo;
    Lines offered;
  };
  const Case cases[] = {
      {"none", {"mail.test", "PIPELINING", "8BITMIME"}, {}},
      {"one line", {"mail.test", "AUTH PLAIN LOGIN CRAM-MD5"}, {"PLAIN", "LOGIN", "CRAM-MD5"}},
      {"old form and lower case", {"AUTH=login", "auth plain"}, {"LOGIN", "PLAIN"}},
      {"repeated", {"AUTH PLAIN", "AUTH=PLAIN LOGIN"}, {"PLAIN", "LOGIN"}},
      {"spaces between", {"AUTH  PLAIN   LOGIN "}, {"PLAIN", "LOGIN"}},
      {"look-alikes", {"AUTHORIZED", "AUTH", "XAUTH PLAIN", "AUTHPLAIN"}, {}},
  };
  for (const Case &k : cases) {
    EXPECT_EQ(pelnet::smtp::offeredMechanisms(k.ehlo), k.offered) << k.what;
  }
}

TEST(SmtpAuth, CramMd5GivesTheRfcResponseAndCutsTheLastReply) {
  const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
  const std::string response = "tim b913a602c7eda7a495b4e6e7334d3890";
  struct Case {
    const char *what;
    std::string final;
    int code;
  } cases[] = {
      {"accepted", "235 2.7.0 Authentication successful\r\n", 0},
      {"refused", "535 5.7.8 no\r\n", 161},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    SmtpCoreClient c;
    // LastReply as the response goes out: the challenge reply cut at its first space.
    std::string lastReplyAtResponse = "(not seen)";
    c.onEvent = [&](SmtpCoreClient &cc, const smtptest::EventRecord &e) {
      if (e.id == PELNET_SMTP_EVENT_PITrail && e.ints.at(0) == 0 && e.texts.at(0) == b64(response))
        lastReplyAtResponse = cc.getText(PELNET_SMTP_PROP_LastReply);
    };
    const Outcome o = connectWith(c, PELNET_SMTP_asCramMD5, "tim", "tanstaaftanstaaf",
                                  {C("AUTH CRAM-MD5\r\n"), S("334 " + b64(challenge) + "\r\n"),
                                   C(b64(response) + "\r\n"), S(k.final)});
    EXPECT_EQ(o.code, k.code) << o.text;
    EXPECT_EQ(lastReplyAtResponse, "334");
    expectPasswordNotInTrail(c, "tanstaaftanstaaf");
  }
}

// ---------------------------------------------------------------- NTLM, built in

const std::string kServerChallenge = unhex("0123456789abcdef");

std::string le16(uint16_t v) { return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)}; }
std::string le32(uint32_t v) { return le16(v & 0xffff) + le16(v >> 16); }

std::string challengeMessage(const std::string &signature, uint32_t type, uint32_t flags) {
  return signature + le32(type) + le16(0) + le16(0) + le32(48) + le32(flags) + kServerChallenge +
         std::string(8, '\0') + le16(0) + le16(0) + le32(48);
}
const std::string kSig("NTLMSSP\0", 8);

// The NEGOTIATE of domain "CORP" (its bytes are checked in ntlm_test.cpp).
const std::string kNegotiateCorp = unhex(
    "4e544c4d53535000"
    "01000000"
    "079208a2"
    "0400040020000000"
    "0000000000000000"
    "434f5250");

TEST(SmtpAuth, NtlmBuiltInAgreesWithAnIndependentImplementation) {
  SmtpCoreClient c;
  const Outcome o = connectWith(c, PELNET_SMTP_asNTLM, "CORP\\bob", kPassword,
                                {C("AUTH NTLM " + b64(kNegotiateCorp) + "\r\n"),
                                 S("334 " + b64(challengeMessage(kSig, 2, 0x00008201)) + "\r\n"),
                                 LineFromClient(), S("235 2.7.0 ok\r\n")},
                                {"UseSystemSSPI=False"});
  ASSERT_EQ(o.code, 0) << o.text;
  // The third line: the AUTHENTICATE, as a whole command line.
  const size_t first = o.received.find("\r\n");
  ASSERT_NE(first, std::string::npos);
  std::string line = o.received.substr(first + 2);
  ASSERT_GE(line.size(), 2u);
  ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
  line.resize(line.size() - 2);
  const std::string msg = unb64(line);
  const auto f = smtptest::impacketReading(msg, kServerChallenge, kPassword);
  ASSERT_FALSE(f.empty());
  EXPECT_EQ(f.at("type"), "3");
  EXPECT_EQ(f.at("flags"), "a2089205");
  EXPECT_EQ(f.at("domain"), hex("CORP"));
  EXPECT_EQ(f.at("user"), hex("bob"));
  EXPECT_EQ(f.at("nt"), f.at("nt_expected"));
  EXPECT_EQ(f.at("lm"), f.at("lm_expected"));
  expectPasswordNotInTrail(c, kPassword);
}

TEST(SmtpAuth, NtlmWithoutUserOrPasswordStillAuthenticates) {
  uint32_t flags = 0xA2088207;
  std::string negotiate = kSig + le32(1) + le32(flags) + std::string(16, '\0');
  SmtpCoreClient c;
  const Outcome o =
      connectWith(c, PELNET_SMTP_asNTLM, "", "",
                  {C("AUTH NTLM " + b64(negotiate) + "\r\n"), S("504 5.5.4 not here\r\n")},
                  {"UseSystemSSPI=False"});
  EXPECT_EQ(o.code, 161);
  EXPECT_EQ(o.text, "SMTP protocol error. 504 5.5.4 not here.");
}

TEST(SmtpAuth, MalformedNtlmChallengesEndWithMinusOne) {
  struct Case {
    std::string message;
    const char *text;
  } cases[] = {
      {challengeMessage("NTLMSSX" + std::string(1, '\0'), 2, 0x201),
       "Could not process server's NTLM authentication token: invalid signature."},
      {challengeMessage(kSig, 1, 0x201),
       "Could not process server's NTLM authentication token: invalid message type."},
      {challengeMessage(kSig, 2, 0x200),
       "Could not process server's NTLM authentication token: no charset negotiated."},
      {challengeMessage(kSig, 2, 0x001),
       "Could not process server's NTLM authentication token: no NTLM version negotiated."},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.text);
    SmtpCoreClient c;
    const Outcome o = connectWith(
        c, PELNET_SMTP_asNTLM, "CORP\\bob", kPassword,
        {C("AUTH NTLM " + b64(kNegotiateCorp) + "\r\n"), S("334 " + b64(k.message) + "\r\n")},
        {"UseSystemSSPI=False"});
    EXPECT_EQ(o.code, -1);
    EXPECT_EQ(o.text, k.text);
    EXPECT_TRUE(o.connected);
    // Nothing went out after the AUTH line.
    EXPECT_EQ(o.received, "AUTH NTLM " + b64(kNegotiateCorp) + "\r\n");
  }
}

// ---------------------------------------------------------------- the system library, absent

TEST(SmtpAuth, WithoutTheSecurityLibrary270AndNothingSent) {
  for (const int scheme : {PELNET_SMTP_asNTLM, PELNET_SMTP_asKerberos}) {
    SCOPED_TRACE(scheme);
    SmtpCoreClient c;
    c.core().session().security.setGssFunctions(nullptr);
    const Outcome o = connectWith(c, scheme, kUser, kPassword, {});
    EXPECT_EQ(o.code, 270);
    EXPECT_EQ(o.text, "The security library could not be loaded");
    EXPECT_TRUE(o.connected);
    EXPECT_EQ(o.received, "");
  }
}

}  // namespace
