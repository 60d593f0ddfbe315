// TLS in the mail core's dialogue against scripted servers on loopback that
// speak GnuTLS's server side with certificates from the test's own CA: when
// STARTTLS is sent and what happens without it, bytes slipped in before the
// handshake, servers that break the handshake, every certificate check, the
// AUTH mechanism chosen automatically, and a thousand sessions in a row
// without growth of descriptors or memory.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "pelnet/smtp_ids.h"
#include "scripted_peer.h"
#include "smtp_core_client.h"
#include "test_ca.h"

namespace {

using smtptest::clientBytes;
using smtptest::PeerStep;
using smtptest::ScriptedPeer;
using smtptest::SmtpCoreClient;
using testsupport::TestCa;
using testsupport::TestCert;

using Script = std::vector<PeerStep>;

Script operator+(Script a, const Script &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

PeerStep S(const std::string &lines) { return {PeerStep::Send, lines, 0}; }
PeerStep C(const std::string &bytes) { return {PeerStep::Expect, bytes, 0}; }
PeerStep ClientCloses() { return {PeerStep::ExpectClose, "", 0}; }
PeerStep Handshake(const TestCert &cert, size_t refusal = 0) {
  return {PeerStep::StartTls, "", refusal, cert.Cert, cert.Key};
}
// A handshake with a certificate the client must turn down.
PeerStep Refused(const TestCert &cert) { return Handshake(cert, smtptest::kClientMayRefuse); }

const TestCa &testCa() {
  static const TestCa ca;
  return ca;
}

const std::string kDate = "Thu, 10 Dec 2026 12:00:00 GMT";
const std::string kBody = "Hello over TLS\r\n";
const std::string kUser = "user@test";
const std::string kPassword = "Pa55-word";

std::string headerBlock() {
  return "To: to@test\r\nFrom: from@test\r\nSubject: Hi\r\nDate: " + kDate +
         "\r\nMessage-Id: <tls@test>\r\n\r\n";
}

std::string b64(const std::string &bytes) {
  gchar *e = g_base64_encode(reinterpret_cast<const guchar *>(bytes.data()), bytes.size());
  std::string out(e);
  g_free(e);
  return out;
}

Script greeting() { return {S("220 mail.test ESMTP\r\n")}; }
// EHLO answered with these keyword lines (the last one ends the reply).
Script ehloOffering(const std::vector<std::string> &keywords) {
  std::string reply = keywords.empty() ? "250 mail.test\r\n" : "250-mail.test\r\n";
  for (size_t i = 0; i < keywords.size(); ++i)
    reply += (i + 1 < keywords.size() ? "250-" : "250 ") + keywords[i] + "\r\n";
  return {C("EHLO client.test\r\n"), S(reply)};
}
Script startTls(PeerStep handshake) {
  return {C("STARTTLS\r\n"), S("220 2.0.0 Ready to start TLS\r\n"), std::move(handshake)};
}
Script ok(const std::string &command) { return {C(command + "\r\n"), S("250 OK\r\n")}; }
Script transaction() {
  return ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<to@test>") +
         Script{C("DATA\r\n"), S("354 go ahead\r\n"), C(headerBlock() + kBody + "\r\n.\r\n"),
                S("250 queued\r\n")};
}
Script quit() { return {C("QUIT\r\n"), S("221 bye\r\n"), ClientCloses()}; }
// Greeting, EHLO with STARTTLS, the handshake with `cert`, and EHLO again over TLS.
Script upToTls(const TestCert &cert) {
  return greeting() + ehloOffering({"STARTTLS", "8BITMIME"}) + startTls(Handshake(cert)) +
         ehloOffering({"8BITMIME"});
}
// The whole Send over STARTTLS with `cert`.
Script sendOverTls(const TestCert &cert) { return upToTls(cert) + transaction() + quit(); }
// Up to a handshake with a certificate the client must refuse, then the client's close.
Script refusedCertificate(const TestCert &cert) {
  return greeting() + ehloOffering({"STARTTLS"}) + startTls(Refused(cert)) + Script{ClientCloses()};
}

void setUpMessage(SmtpCoreClient &c, int port, int mode) {
  smtptest::setUpTestMessage(c, port, "Hi", kBody, kDate, "<tls@test>");
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_TlsMode, mode), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_TlsCAFile, testCa().CaFile()), 0);
}

// Calls Interrupt on the core from a GLib timer while it waits.
class InterruptTimer {
 public:
  InterruptTimer(SmtpCoreClient &c, int ms) : c_(c) {
    id_ = g_timeout_add(static_cast<guint>(ms), &InterruptTimer::fire, this);
  }
  ~InterruptTimer() {
    if (id_ != 0) g_source_remove(id_);
  }
  bool fired() const { return id_ == 0; }

 private:
  static gboolean fire(gpointer self) {
    auto *t = static_cast<InterruptTimer *>(self);
    t->c_.call(PELNET_SMTP_METHOD_Interrupt);
    t->id_ = 0;
    return G_SOURCE_REMOVE;
  }
  SmtpCoreClient &c_;
  guint id_ = 0;
};

// Opens and closes a connection to `port`: a peer still waiting for its client stops waiting.
void poke(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  ::close(fd);
}

bool startsWith(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

// ---------------------------------------------------------------- the corners, as one table

enum class Client {
  Exact,     // sent exactly the script's bytes
  NoMore,    // sent the script's bytes and afterwards at most QUIT (never EHLO, AUTH, MAIL)
  Anything,  // may not even have connected (a setting refused before the connection)
};

struct TlsCase {
  const char *name;
  int mode;
  std::function<void(SmtpCoreClient &)> setup;  // after the message and the CA file are set
  Script script;
  int code;          // 0: Send went through
  std::string text;  // a part of the error's text ("" unchecked)
  Client client;
  bool tls;                // the server's handshake went through
  int maxSeconds = 15;     // the whole Send ends within this
  std::string reply = {};  // LastReply after the failure ("" unchecked)
};

// A failing case is named by its name, not by its bytes.
void PrintTo(const TlsCase &k, std::ostream *os) { *os << k.name; }

std::vector<TlsCase> tlsCases() {
  const TestCa &ca = testCa();
  const auto setText = [](int id, std::string v) {
    return [id, v](SmtpCoreClient &c) { ASSERT_EQ(c.setText(id, v), 0); };
  };
  const auto serverName = [&](std::string v) { return setText(PELNET_SMTP_PROP_TlsServerName, v); };
  const auto pin = [&](std::string v) { return setText(PELNET_SMTP_PROP_TlsPinnedFingerprint, v); };
  std::string lowerBarePin;
  for (char ch : ca.SelfSigned().Sha256)
    if (ch != ':') lowerBarePin += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  const std::string missingCa = ca.Folder() + "/no-such-ca.pem";
  const std::string emptyCa = ca.Folder() + "/empty-ca.pem";
  std::ofstream(emptyCa).flush();
  const auto millisecondTimeout = [](int ms) {
    return [ms](SmtpCoreClient &c) {
      ASSERT_EQ(c.config("TimeoutInMilliseconds=True"), 0);
      ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_Timeout, ms), 0);
    };
  };
  const PeerStep stall{PeerStep::Stall, "", 20000};
  const Script untilHandshake = greeting() + ehloOffering({"STARTTLS"}) +
                                Script{C("STARTTLS\r\n"), S("220 2.0.0 Ready to start TLS\r\n")};
  // The start of a server hello whose record never completes, a byte a second:
  // each byte is traffic, none lets the handshake end.
  const PeerStep drip{
      PeerStep::Drip,
      std::string("\x16\x03\x03\x3f\xff\x02\x00\x3f\xfb\x03\x03", 11) + std::string(29, '\x5a'),
      1000};
  const auto timeoutSeconds = [](int s) {
    return [s](SmtpCoreClient &c) { ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_Timeout, s), 0); };
  };
  const std::string closing = "421 4.3.2 closing down";
  const PeerStep serverCloses{PeerStep::Close, "", 0};
  return {
      {"Required and offered: the whole Send over TLS", PELNET_SMTP_tlsStartTlsRequired, nullptr,
       sendOverTls(ca.Localhost()), 0, "", Client::Exact, true},
      {"When offered and offered: over TLS", PELNET_SMTP_tlsStartTlsOptional, nullptr,
       sendOverTls(ca.Localhost()), 0, "", Client::Exact, true},
      {"Required, not offered: 170 and only QUIT", PELNET_SMTP_tlsStartTlsRequired, nullptr,
       greeting() + ehloOffering({"8BITMIME"}) + quit(), PELNET_SMTP_ERROR_StartTlsNotOffered, "",
       Client::Exact, false},
      {"When offered, not offered: plaintext", PELNET_SMTP_tlsStartTlsOptional, nullptr,
       greeting() + ehloOffering({"8BITMIME"}) + transaction() + quit(), 0, "", Client::Exact,
       false},
      {"Refused with 454: 171 and only QUIT", PELNET_SMTP_tlsStartTlsRequired, nullptr,
       greeting() + ehloOffering({"STARTTLS"}) +
           Script{C("STARTTLS\r\n"), S("454 4.7.0 TLS not available due to temporary reason\r\n")} +
           quit(),
       PELNET_SMTP_ERROR_StartTlsRefused, "454 4.7.0 TLS not available", Client::Exact, false},
      {"Plaintext slipped in after the 220 is never read", PELNET_SMTP_tlsStartTlsRequired, nullptr,
       greeting() + ehloOffering({"STARTTLS"}) +
           Script{C("STARTTLS\r\n"),
                  S("220 2.0.0 Ready to start TLS\r\n250-injected\r\n250 injected\r\n"),
                  Handshake(ca.Localhost())} +
           ehloOffering({"8BITMIME"}) + transaction() + quit(),
       0, "", Client::Exact, true},
      {"Server closes in the handshake: 172", PELNET_SMTP_tlsStartTlsRequired, nullptr,
       untilHandshake + Script{{PeerStep::CloseInHandshake, "", 0}}, PELNET_SMTP_ERROR_TlsHandshake,
       "", Client::NoMore, false},
      {"Garbage for a server hello: 172", PELNET_SMTP_tlsStartTlsRequired, nullptr,
       untilHandshake +
           Script{{PeerStep::Garbage, "HTTP/1.1 400 Bad Request\r\n\r\n", 0}, ClientCloses()},
       PELNET_SMTP_ERROR_TlsHandshake, "", Client::NoMore, false},
      {"Stalled handshake ends by Timeout: 301", PELNET_SMTP_tlsStartTlsRequired,
       millisecondTimeout(500), untilHandshake + Script{stall}, 301, "Timeout.", Client::NoMore,
       false},
      // The handshake has one deadline from its start, as a reply has: a
      // server that keeps sending without finishing holds it no longer than a
      // silent one (Timeout=2, the drip would last 40 s).
      {"Dripping handshake after STARTTLS ends by Timeout: 301", PELNET_SMTP_tlsStartTlsRequired,
       timeoutSeconds(2), untilHandshake + Script{drip}, 301, "Timeout.", Client::NoMore, false,
       3 * 2},
      {"Dripping implicit TLS handshake ends by Timeout: 301", PELNET_SMTP_tlsImplicit,
       timeoutSeconds(2), Script{drip}, 301, "Timeout.", Client::NoMore, false, 3 * 2},
      // A 4xx to EHLO is a refusal for now, with TLS required as without: the
      // reply is the failure (and the reason to try later), not a missing STARTTLS.
      {"421 to the first EHLO with STARTTLS required: 161 with the reply",
       PELNET_SMTP_tlsStartTlsRequired, nullptr,
       greeting() + Script{C("EHLO client.test\r\n"), S(closing + "\r\n")} + quit(),
       PELNET_SMTP_ERROR_ProtocolReply, "SMTP protocol error. " + closing + ".", Client::Exact,
       false, 15, closing},
      {"421 and a close at the first EHLO with STARTTLS required: 161 with the reply",
       PELNET_SMTP_tlsStartTlsRequired, nullptr,
       greeting() + Script{C("EHLO client.test\r\n"), S(closing + "\r\n"), serverCloses},
       PELNET_SMTP_ERROR_ProtocolReply, "SMTP protocol error. " + closing + ".", Client::NoMore,
       false, 15, closing},
      {"421 to the EHLO over TLS with STARTTLS required: 161 with the reply",
       PELNET_SMTP_tlsStartTlsRequired, nullptr,
       greeting() + ehloOffering({"STARTTLS"}) + startTls(Handshake(ca.Localhost())) +
           Script{C("EHLO client.test\r\n"), S(closing + "\r\n")} + quit(),
       PELNET_SMTP_ERROR_ProtocolReply, "SMTP protocol error. " + closing + ".", Client::Exact,
       true, 15, closing},
      {"421 and a close at the EHLO over TLS with STARTTLS required: 161 with the reply",
       PELNET_SMTP_tlsStartTlsRequired, nullptr,
       greeting() + ehloOffering({"STARTTLS"}) + startTls(Handshake(ca.Localhost())) +
           Script{C("EHLO client.test\r\n"), S(closing + "\r\n"), serverCloses},
       PELNET_SMTP_ERROR_ProtocolReply, "SMTP protocol error. " + closing + ".", Client::NoMore,
       true, 15, closing},
      {"Certificate for another name: 175", PELNET_SMTP_tlsStartTlsRequired,
       serverName("localhost"), refusedCertificate(ca.OtherName()),
       PELNET_SMTP_ERROR_TlsNameMismatch, "", Client::NoMore, false},
      {"Another name and an address for MailServer: 175", PELNET_SMTP_tlsStartTlsRequired, nullptr,
       refusedCertificate(ca.OtherName()), PELNET_SMTP_ERROR_TlsNameMismatch, "", Client::NoMore,
       false},
      {"TlsServerName is the name checked", PELNET_SMTP_tlsStartTlsRequired,
       serverName("other.test"), sendOverTls(ca.OtherName()), 0, "", Client::Exact, true},
      {"Expired certificate: 174", PELNET_SMTP_tlsStartTlsRequired, serverName("localhost"),
       refusedCertificate(ca.Expired()), PELNET_SMTP_ERROR_TlsExpired, "", Client::NoMore, false},
      {"Issuer not trusted: 173", PELNET_SMTP_tlsStartTlsRequired, serverName("localhost"),
       refusedCertificate(ca.SelfSigned()), PELNET_SMTP_ERROR_TlsUnknownIssuer, "", Client::NoMore,
       false},
      {"IP-only certificate for MailServer 127.0.0.1", PELNET_SMTP_tlsStartTlsRequired, nullptr,
       sendOverTls(ca.IpOnly()), 0, "", Client::Exact, true},
      {"IP-only certificate for a name: 175", PELNET_SMTP_tlsStartTlsRequired,
       serverName("localhost"), refusedCertificate(ca.IpOnly()), PELNET_SMTP_ERROR_TlsNameMismatch,
       "", Client::NoMore, false},
      {"Self-signed with its pin", PELNET_SMTP_tlsStartTlsRequired, pin(ca.SelfSigned().Sha256),
       sendOverTls(ca.SelfSigned()), 0, "", Client::Exact, true},
      {"Self-signed with its pin, bare lower-case hex", PELNET_SMTP_tlsStartTlsRequired,
       pin(lowerBarePin), sendOverTls(ca.SelfSigned()), 0, "", Client::Exact, true},
      {"A valid certificate that is not the pinned one: 176", PELNET_SMTP_tlsStartTlsRequired,
       pin(ca.SelfSigned().Sha256), refusedCertificate(ca.Localhost()),
       PELNET_SMTP_ERROR_TlsPinMismatch, ca.Localhost().Sha256, Client::NoMore, false},
      {"Self-signed with a wrong pin: 176 names the one seen", PELNET_SMTP_tlsStartTlsRequired,
       pin(ca.Localhost().Sha256), refusedCertificate(ca.SelfSigned()),
       PELNET_SMTP_ERROR_TlsPinMismatch, ca.SelfSigned().Sha256, Client::NoMore, false},
      {"TlsVerify False takes a self-signed certificate", PELNET_SMTP_tlsStartTlsRequired,
       [](SmtpCoreClient &c) { ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_TlsVerify, 0), 0); },
       sendOverTls(ca.SelfSigned()), 0, "", Client::Exact, true},
      {"Missing TlsCAFile: 177 names it", PELNET_SMTP_tlsStartTlsRequired,
       setText(PELNET_SMTP_PROP_TlsCAFile, missingCa), refusedCertificate(ca.Localhost()),
       PELNET_SMTP_ERROR_TlsCAFile, missingCa, Client::Anything, false},
      {"Empty TlsCAFile: 177 names it", PELNET_SMTP_tlsStartTlsRequired,
       setText(PELNET_SMTP_PROP_TlsCAFile, emptyCa), refusedCertificate(ca.Localhost()),
       PELNET_SMTP_ERROR_TlsCAFile, emptyCa, Client::Anything, false},
  };
}

void checkTlsCase(const TlsCase &k, const std::function<void(SmtpCoreClient &)> &during = nullptr) {
  SmtpCoreClient c;
  ScriptedPeer peer(k.script);
  setUpMessage(c, peer.port(), k.mode);
  if (k.setup) k.setup(c);
  if (during) during(c);
  const auto started = std::chrono::steady_clock::now();
  const int code = c.call(PELNET_SMTP_METHOD_Send);
  const auto took = std::chrono::steady_clock::now() - started;
  const std::string text = c.lastError();
  c.setInt(PELNET_SMTP_PROP_Connected, 0);
  if (k.client == Client::Anything) poke(peer.port());
  const std::string failure = peer.finish();

  EXPECT_EQ(code, k.code) << text;
  if (!k.text.empty()) {
    EXPECT_NE(text.find(k.text), std::string::npos) << text;
  }
  EXPECT_LT(took, std::chrono::seconds(k.maxSeconds));
  if (!k.reply.empty()) {
    EXPECT_EQ(c.getText(PELNET_SMTP_PROP_LastReply), k.reply);
  }
  // A client may turn a certificate down in the handshake or right after it: either is fine
  // as long as it sends nothing over the session (checked below).
  const bool mayRefuse = std::any_of(k.script.begin(), k.script.end(), [](const PeerStep &s) {
    return s.kind == PeerStep::StartTls && s.count == smtptest::kClientMayRefuse;
  });
  if (!mayRefuse) {
    EXPECT_EQ(peer.tlsEstablished(), k.tls) << peer.tlsDescription();
  }
  const std::string expected = clientBytes(k.script);
  const std::string &got = peer.received();
  switch (k.client) {
    case Client::Exact:
      EXPECT_EQ(failure, "");
      EXPECT_EQ(got, expected);
      break;
    case Client::NoMore: {
      EXPECT_EQ(failure, "");
      ASSERT_TRUE(startsWith(got, expected)) << got;
      const std::string rest = got.substr(expected.size());
      for (const char *word : {"EHLO", "HELO", "STARTTLS", "AUTH", "MAIL", "RCPT", "DATA"})
        EXPECT_EQ(rest.find(word), std::string::npos) << "after the failure: " << rest;
      break;
    }
    case Client::Anything:
      for (const char *word : {"AUTH", "MAIL", "RCPT", "DATA"})
        EXPECT_EQ(got.find(word), std::string::npos) << got;
      break;
  }
  const auto notes = c.trail(PELNET_SMTP_dirInformation);
  const bool started_ = std::any_of(notes.begin(), notes.end(), [](const std::string &n) {
    return startsWith(n, "TLS started: ") && n.find(", ") != std::string::npos;
  });
  EXPECT_EQ(started_, k.tls);
  // The session ended with TLS's close alert before the connection closed.
  if (k.tls && k.code == 0) {
    EXPECT_TRUE(peer.closeAlertReceived());
  }
  // Nothing the server sent before the handshake but the 220 was taken for a reply.
  for (const std::string &reply : c.trail(PELNET_SMTP_dirServerToClient))
    EXPECT_EQ(reply.find("injected"), std::string::npos) << reply;
}

class SmtpTlsCorners : public testing::TestWithParam<TlsCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(testCa().Ok()) << testCa().Why(); }
};

TEST_P(SmtpTlsCorners, EndsAsTheScriptSays) { checkTlsCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Table, SmtpTlsCorners, testing::ValuesIn(tlsCases()),
                         [](const testing::TestParamInfo<TlsCase> &info) {
                           std::string n;
                           for (char ch : std::string(info.param.name))
                             if (std::isalnum(static_cast<unsigned char>(ch))) n += ch;
                           return n;
                         });

TEST(SmtpTlsInterrupt, AStalledHandshakeEndsByInterruptFromATimer) {
  ASSERT_TRUE(testCa().Ok()) << testCa().Why();
  const PeerStep stall{PeerStep::Stall, "", 20000};
  TlsCase k{"interrupt",
            PELNET_SMTP_tlsStartTlsRequired,
            nullptr,
            greeting() + ehloOffering({"STARTTLS"}) +
                Script{C("STARTTLS\r\n"), S("220 2.0.0 Ready to start TLS\r\n"), stall},
            301,
            "",
            Client::NoMore,
            false};
  std::unique_ptr<InterruptTimer> timer;
  checkTlsCase(k, [&](SmtpCoreClient &c) { timer = std::make_unique<InterruptTimer>(c, 500); });
  EXPECT_TRUE(timer->fired());
}

// ---------------------------------------------------------------- what TlsCAFile names

// How a Send in a child process ended.
struct ChildSend {
  bool ended = false;  // the child reported before the bound
  int code = 0;
  std::string text;
  std::chrono::steady_clock::duration took{};
};

// Runs a Send with implicit TLS (the CA file is read right after the
// connect) and `caFile` in a child process whose address space may grow by
// at most 512 MiB, killed after `boundSeconds`: a file read without end or
// a read that blocks fails the test instead of the machine or the run.
ChildSend sendInChild(const std::string &caFile, int boundSeconds) {
  ChildSend out;
  int result[2];
  if (::pipe2(result, O_CLOEXEC) != 0) return out;
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(result[0]);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                         (rlim_t{512} << 20);
    const rlimit memory{limit, limit};
    ::setrlimit(RLIMIT_AS, &memory);
    std::string report;
    {
      SmtpCoreClient c;
      ScriptedPeer peer({ClientCloses()});
      setUpMessage(c, peer.port(), PELNET_SMTP_tlsImplicit);
      c.setText(PELNET_SMTP_PROP_TlsCAFile, caFile);
      const int code = c.call(PELNET_SMTP_METHOD_Send);
      report = std::to_string(code) + "\n" + c.lastError();
      c.setInt(PELNET_SMTP_PROP_Connected, 0);
      peer.finish();
    }
    const ssize_t written = ::write(result[1], report.data(), report.size());
    ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  ::close(result[1]);
  if (child < 0) {
    ::close(result[0]);
    return out;
  }
  std::string report;
  const auto bound = started + std::chrono::seconds(boundSeconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        bound - std::chrono::steady_clock::now());
    pollfd p{result[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(result[0], buffer, sizeof buffer);
    if (n <= 0) {
      out.ended = !report.empty();
      break;
    }
    report.append(buffer, static_cast<size_t>(n));
  }
  out.took = std::chrono::steady_clock::now() - started;
  ::close(result[0]);
  if (!out.ended) ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  const size_t lineEnd = report.find('\n');
  if (out.ended && lineEnd != std::string::npos) {
    out.code = std::stoi(report.substr(0, lineEnd));
    out.text = report.substr(lineEnd + 1);
  } else {
    out.ended = false;
  }
  return out;
}

// Whatever TlsCAFile names is refused at once with its reason when it is not
// a regular file of a CA bundle's size: a FIFO without a writer would block
// the handshake for ever, a device like /dev/zero never ends.
TEST(SmtpTlsCaFile, WhatIsNotASmallRegularFileIsRefusedAtOnceWithItsReason) {
  ASSERT_TRUE(testCa().Ok()) << testCa().Why();
  const std::string fifo = testCa().Folder() + "/ca-fifo.pem";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Sparse: nothing but its size is written.
  const std::string huge = testCa().Folder() + "/huge-ca.pem";
  {
    std::ofstream(huge).flush();
    ASSERT_EQ(::truncate(huge.c_str(), (off_t{8} << 20) + 1), 0);
  }
  const struct {
    const char *name;
    std::string path;
    std::string reason;
  } rows[] = {
      {"a FIFO", fifo, "it is a FIFO, not a file."},
      {"/dev/zero", "/dev/zero", "it is a character device, not a file."},
      {"a folder", testCa().Folder(), "it is a directory, not a file."},
      {"a file over the cap", huge, "it is larger than 8 MiB."},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    const ChildSend sent = sendInChild(r.path, 20);
    EXPECT_TRUE(sent.ended) << "the Send neither ended nor reported within 20 s";
    if (!sent.ended) continue;
    EXPECT_EQ(sent.code, PELNET_SMTP_ERROR_TlsCAFile) << sent.text;
    EXPECT_EQ(sent.text, "The TLS CA file " + r.path + " cannot be used: " + r.reason);
    EXPECT_LT(sent.took, std::chrono::seconds(5));
  }
  ::unlink(fifo.c_str());
  ::unlink(huge.c_str());
}

// ---------------------------------------------------------------- AUTH automatic

struct AuthCase {
  const char *name;
  bool tls;
  std::string offer;  // the AUTH keyword line of the EHLO reply
  std::string sent;   // the AUTH line the client must send, "" for none (179)
};

TEST(SmtpTlsAuth, AutomaticPicksByTheOfferAndTls) {
  ASSERT_TRUE(testCa().Ok()) << testCa().Why();
  const std::string plain = "AUTH PLAIN " + b64(std::string(1, '\0') + kUser + '\0' + kPassword);
  const AuthCase cases[] = {
      {"TLS, all three", true, "AUTH CRAM-MD5 LOGIN PLAIN", plain},
      {"TLS, LOGIN and CRAM-MD5", true, "AUTH CRAM-MD5 LOGIN", "AUTH LOGIN"},
      {"TLS, CRAM-MD5 alone", true, "AUTH CRAM-MD5", "AUTH CRAM-MD5"},
      {"TLS, lower case", true, "AUTH login plain", plain},
      {"TLS, none usable", true, "AUTH XOAUTH2 OTHER-MECH", ""},
      {"plaintext, all three", false, "AUTH PLAIN LOGIN CRAM-MD5", "AUTH CRAM-MD5"},
      {"plaintext, PLAIN and LOGIN", false, "AUTH LOGIN PLAIN", plain},
      {"plaintext, LOGIN alone", false, "AUTH LOGIN", "AUTH LOGIN"},
      {"plaintext, none usable", false, "AUTH XOAUTH2 OTHER-MECH", ""},
  };
  for (const AuthCase &k : cases) {
    SCOPED_TRACE(k.name);
    const Script opening = k.tls ? greeting() + ehloOffering({"STARTTLS"}) +
                                       startTls(Handshake(testCa().Localhost())) +
                                       ehloOffering({k.offer})
                                 : greeting() + ehloOffering({k.offer});
    const Script script =
        opening + (k.sent.empty()
                       ? Script{ClientCloses()}
                       : Script{C(k.sent + "\r\n"), S("535 5.7.8 no\r\n"), ClientCloses()});
    SmtpCoreClient c;
    ScriptedPeer peer(script);
    setUpMessage(c, peer.port(), k.tls ? PELNET_SMTP_tlsStartTlsRequired : PELNET_SMTP_tlsNone);
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_AuthScheme, PELNET_SMTP_asAutomatic), 0);
    ASSERT_EQ(c.setText(PELNET_SMTP_PROP_User, kUser), 0);
    ASSERT_EQ(c.setText(PELNET_SMTP_PROP_Password, kPassword), 0);
    const int code = c.call(PELNET_SMTP_METHOD_Connect);
    const std::string text = c.lastError();
    c.setInt(PELNET_SMTP_PROP_Connected, 0);
    EXPECT_EQ(peer.finish(), "");
    EXPECT_EQ(peer.tlsEstablished(), k.tls);
    const std::string expected = clientBytes(script);
    ASSERT_TRUE(startsWith(peer.received(), expected)) << peer.received();
    const std::string rest = peer.received().substr(expected.size());
    EXPECT_EQ(rest.find("AUTH"), std::string::npos) << rest;
    if (k.sent.empty()) {
      EXPECT_EQ(code, PELNET_SMTP_ERROR_NoAuthMechanism) << text;
      // The text lists what the server offers.
      EXPECT_NE(text.find("XOAUTH2"), std::string::npos) << text;
      EXPECT_NE(text.find("OTHER-MECH"), std::string::npos) << text;
    } else {
      EXPECT_EQ(code, PELNET_SMTP_ERROR_ProtocolReply) << text;
    }
  }
}

// ---------------------------------------------------------------- a thousand sessions

size_t openDescriptors() {
  size_t n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

long residentKilobytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(SmtpTlsLeak, AThousandStartTlsSessionsLeaveDescriptorsAndMemoryFlat) {
  ASSERT_TRUE(testCa().Ok()) << testCa().Why();
  constexpr int kSessions = 1000, kWarmUp = 100;
  // A bound for a slow (sanitizer) build; the comparison needs most of the run.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(200);
  const Script script = upToTls(testCa().Localhost()) + quit();
  size_t fdsAfterWarmUp = 0;
  long rssAfterWarmUp = 0;
  int done = 0;
  for (; done < kSessions && std::chrono::steady_clock::now() < deadline; ++done) {
    // Measured between sessions, when neither the client nor the peer holds a socket.
    if (done == kWarmUp) {
      fdsAfterWarmUp = openDescriptors();
      rssAfterWarmUp = residentKilobytes();
    }
    SmtpCoreClient c;
    ScriptedPeer peer(script);
    setUpMessage(c, peer.port(), PELNET_SMTP_tlsStartTlsRequired);
    const int code = c.call(PELNET_SMTP_METHOD_Connect);
    ASSERT_EQ(code, 0) << "session " << done << ": " << c.lastError();
    ASSERT_EQ(c.call(PELNET_SMTP_METHOD_Disconnect), 0) << c.lastError();
    ASSERT_EQ(peer.finish(), "") << "session " << done;
    ASSERT_TRUE(peer.tlsEstablished());
  }
  ASSERT_GE(done, 3 * kWarmUp) << "too few sessions in the time bound for a comparison";
  EXPECT_EQ(openDescriptors(), fdsAfterWarmUp);
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's quarantine holds freed memory back: only descriptors tell here.
  const long allowedKilobytes = 512 * 1024;
#else
  // A session's TLS state is tens of kilobytes: a leak of it per session shows far above this.
  const long allowedKilobytes = 4 * 1024;
#endif
  EXPECT_LT(residentKilobytes() - rssAfterWarmUp, allowedKilobytes)
      << done << " sessions, " << rssAfterWarmUp << " kB after " << kWarmUp;
}

}  // namespace
