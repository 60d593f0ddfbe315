// TpelSMTP with TLS against a real mail server (aiosmtpd with a certificate
// from the test's own CA, tests/support's report peers): STARTTLS that the
// server insists on before AUTH and MAIL, TLS from the first byte on an
// implicit port, the same through a real SOCKS5 proxy (danted), and the queue
// delivered over TLS.  What the server stored is compared byte for byte, and
// the server's own record says the message came over TLS and who logged in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QString>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "component_fixture.h"
#include "isolation.h"
#include "pelsmtp.h"
#include "real_proxy.h"
#include "report_peers.h"
#include "temp_folder.h"
#include "test_ca.h"

namespace {

using reportpeers::Mail;
using reportpeers::SmtpSink;
using reportpeers::SmtpSinkOptions;

const QString kDate = "Thu, 10 Dec 2026 12:00:00 GMT";
const std::string kUser = "reporter";
const std::string kPassword = "s3cret-Pass";

const testsupport::TestCa &testCa() {
  static const testsupport::TestCa ca;
  return ca;
}

SmtpSinkOptions sinkOptions(bool implicit) {
  SmtpSinkOptions o = reportpeers::TlsSinkOptions(testCa().Localhost(), implicit);
  o.User = kUser;
  o.Password = kPassword;
  return o;
}

// A body whose bytes a broken record layer would show: dots at line starts,
// a dot alone, 8-bit text and, for `size` well above a TLS record, many records.
std::string bodyOf(const std::string &name, size_t size) {
  std::string body = "Report " + name + "\r\n.\r\n..two dots\r\nK\xc3\xb6ln \xe2\x82\xac\r\n";
  for (int i = 0; body.size() < size; ++i)
    body += (i % 5 == 0 ? "." : "") + std::string(70, static_cast<char>('a' + i % 26)) + "\r\n";
  return body;
}

std::string utf8(const QString &s) { return s.toUtf8().toStdString(); }

class SmtpTlsRealServer : public testsupport::ComponentTest<> {
 protected:
  void SetUp() override { ASSERT_TRUE(testCa().Ok()) << testCa().Why(); }

  // A component set up for the sink at `port` with TLS `mode` and AUTH `scheme`.
  std::unique_ptr<TpelSMTP> component(int port, TpelsmtpTlsModes mode, TpelsmtpAuthSchemes scheme) {
    auto smtp = std::make_unique<TpelSMTP>();
    smtp->Config("Hello=client.test");
    smtp->Config("CodePage=65001");
    smtp->setMailServer("127.0.0.1");
    smtp->setMailPort(port);
    smtp->setTimeout(10);
    smtp->setMessageDate(kDate);
    smtp->setFrom("from@test");
    smtp->setSendTo("to@test");
    smtp->setTlsMode(mode);
    smtp->setTlsCAFile(QString::fromStdString(testCa().CaFile()));
    smtp->setAuthScheme(scheme);
    smtp->setUser(QString::fromStdString(kUser));
    smtp->setPassword(QString::fromStdString(kPassword));
    smtp->setOnPITrail([this](QObject *, int direction, const QString &line) {
      if (direction == PELNET_SMTP_dirInformation) notes.push_back(utf8(line));
      if (direction == PELNET_SMTP_dirClientToServer) commands.push_back(utf8(line));
    });
    return smtp;
  }

  // Sends one message named `name` and returns what the server should have stored.
  static std::string sendOne(TpelSMTP &smtp, const std::string &name, size_t size) {
    const std::string body = bodyOf(name, size);
    smtp.setSubject(QString::fromStdString(name));
    smtp.setMessageId(QString::fromStdString("<" + name + "@test>"));
    smtp.setMessageText(QString::fromUtf8(body.data(), static_cast<int>(body.size())));
    const std::string headers = utf8(smtp.MessageHeadersString());
    smtp.Send();
    return headers + body + "\r\n";
  }

  int tlsStartedNotes() const {
    int n = 0;
    for (const std::string &line : notes) n += line.rfind("TLS started: ", 0) == 0 ? 1 : 0;
    return n;
  }

  std::vector<std::string> notes, commands;
};

// The last message the sink stored came over TLS, authenticated with `mechanism`, intact.
void expectStored(const SmtpSink &sink, size_t count, const std::string &raw,
                  const std::string &mechanism) {
  const std::vector<Mail> mails = sink.Messages();
  ASSERT_EQ(mails.size(), count);
  const Mail &m = mails.back();
  EXPECT_EQ(m.From, "from@test");
  EXPECT_EQ(m.To, std::vector<std::string>{"to@test"});
  EXPECT_EQ(m.Tls.rfind("TLSv1.", 0), 0u) << "the server saw no TLS: '" << m.Tls << "'";
  EXPECT_EQ(m.AuthMechanism, mechanism);
  EXPECT_EQ(m.AuthUser, kUser);
  ASSERT_EQ(m.Raw.size(), raw.size());
  EXPECT_TRUE(m.Raw == raw) << m.Raw.substr(0, 500);
}

struct TlsCase {
  const char *name;
  bool implicit;  // the sink's implicit port, else STARTTLS required by the sink
  TpelsmtpTlsModes mode;
  TpelsmtpAuthSchemes scheme;
  const char *mechanism;  // the one the server records
};

const TlsCase kCases[] = {
    {"starttls-login", false, tlsStartTlsRequired, asLogin, "LOGIN"},
    {"starttls-plain", false, tlsStartTlsRequired, asPlain, "PLAIN"},
    {"starttls-automatic", false, tlsStartTlsRequired, asAutomatic, "PLAIN"},
    {"starttls-when-offered", false, tlsStartTlsOptional, asPlain, "PLAIN"},
    {"implicit-login", true, tlsImplicit, asLogin, "LOGIN"},
    {"implicit-plain", true, tlsImplicit, asPlain, "PLAIN"},
};

TEST_F(SmtpTlsRealServer, MessagesArriveIntactOverStartTlsAndImplicitTls) {
  SmtpSink starttls(sinkOptions(false)), implicit(sinkOptions(true));
  ASSERT_TRUE(starttls.Ok()) << starttls.Why();
  ASSERT_TRUE(implicit.Ok()) << implicit.Why();
  size_t stored[2] = {0, 0};
  for (const TlsCase &k : kCases) {
    SCOPED_TRACE(k.name);
    notes.clear();
    commands.clear();
    SmtpSink &sink = k.implicit ? implicit : starttls;
    auto smtp = component(sink.Port(), k.mode, k.scheme);
    std::string raw;
    try {
      // Larger than a TLS record many times over.
      raw = sendOne(*smtp, k.name, 200000);
    } catch (const EPelnet &e) {
      ADD_FAILURE() << e.Code() << " " << e.Message().toStdString();
      continue;
    }
    expectStored(sink, ++stored[k.implicit ? 1 : 0], raw, k.mechanism);
    EXPECT_EQ(tlsStartedNotes(), 1);
    // STARTTLS came before any AUTH and MAIL; the implicit port never sees it.
    const auto find = [&](const std::string &prefix) {
      for (size_t i = 0; i < commands.size(); ++i)
        if (commands[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
      return -1;
    };
    if (k.implicit) {
      EXPECT_EQ(find("STARTTLS"), -1);
    } else {
      ASSERT_GE(find("STARTTLS"), 0);
      EXPECT_LT(find("STARTTLS"), find("AUTH"));
    }
    EXPECT_GE(find("AUTH"), 0);
    EXPECT_FALSE(smtp->Connected());
  }
}

TEST_F(SmtpTlsRealServer, ConnectShowsTheSessionInTlsInfoAndDisconnectEndsIt) {
  SmtpSink sink(sinkOptions(false));
  ASSERT_TRUE(sink.Ok()) << sink.Why();
  auto smtp = component(sink.Port(), tlsStartTlsRequired, asPlain);
  EXPECT_EQ(smtp->TlsInfo(), "");
  smtp->Connect();
  EXPECT_TRUE(smtp->Connected());
  const std::string info = utf8(smtp->TlsInfo());
  EXPECT_NE(info.find("TLS"), std::string::npos) << info;
  // The fingerprint of the certificate the server showed is in the info (colons and case aside).
  std::string bare;
  for (char ch : info + " " + utf8(smtp->TlsInfo().toUpper()))
    if (ch != ':') bare += ch;
  std::string pin = testCa().Localhost().Sha256;
  pin.erase(std::remove(pin.begin(), pin.end(), ':'), pin.end());
  EXPECT_NE(bare.find(pin), std::string::npos) << info;
  smtp->Disconnect();
  EXPECT_FALSE(smtp->Connected());
  // A second session on the same object goes through again.
  const std::string raw = sendOne(*smtp, "after-reconnect", 1000);
  expectStored(sink, 1, raw, "PLAIN");
}

TEST_F(SmtpTlsRealServer, ThroughARealSocks5Proxy) {
  REQUIRE_ISOLATION();
  ASSERT_EQ(access(smtptest::kDanted, X_OK), 0)
      << "dante-server is not installed (scripts/install-deps.sh)";
  SmtpSink starttls(sinkOptions(false)), implicit(sinkOptions(true));
  ASSERT_TRUE(starttls.Ok()) << starttls.Why();
  ASSERT_TRUE(implicit.Ok()) << implicit.Why();
  smtptest::RealProxy danted;
  ASSERT_TRUE(danted.start(smtptest::dantedConfig("none"), {smtptest::kDanted, "-f", "@CONF@"}))
      << danted.failure();
  const TlsCase cases[] = {
      {"socks5-starttls", false, tlsStartTlsRequired, asPlain, "PLAIN"},
      {"socks5-implicit", true, tlsImplicit, asLogin, "LOGIN"},
  };
  for (const TlsCase &k : cases) {
    SCOPED_TRACE(k.name);
    SmtpSink &sink = k.implicit ? implicit : starttls;
    auto smtp = component(sink.Port(), k.mode, k.scheme);
    smtp->setFirewallType(fwSOCKS5);
    smtp->setFirewallHost("127.0.0.1");
    smtp->setFirewallPort(danted.port());
    try {
      const std::string raw = sendOne(*smtp, k.name, 50000);
      expectStored(sink, 1, raw, k.mechanism);
    } catch (const EPelnet &e) {
      ADD_FAILURE() << e.Code() << " " << e.Message().toStdString() << "\n" << danted.log();
    }
  }
}

TEST_F(SmtpTlsRealServer, ProcessQueueDeliversOverTls) {
  SmtpSink sink(sinkOptions(false));
  ASSERT_TRUE(sink.Ok()) << sink.Why();
  testsupport::TempFolder q;
  auto smtp = component(sink.Port(), tlsStartTlsRequired, asLogin);
  const std::vector<std::pair<std::string, size_t>> messages = {
      {"queued-small", 100}, {"queued-medium", 20000}, {"queued-large", 300000}};
  std::vector<std::string> bodies;
  for (const auto &[name, size] : messages) {
    bodies.push_back(bodyOf(name, size));
    smtp->setSubject(QString::fromStdString(name));
    smtp->setMessageId(QString::fromStdString("<" + name + "@test>"));
    smtp->setMessageText(
        QString::fromUtf8(bodies.back().data(), static_cast<int>(bodies.back().size())));
    smtp->Queue(QString::fromStdString(q.path()));
  }
  ASSERT_EQ(q.names().size(), messages.size());
  smtp->ProcessQueue(QString::fromStdString(q.path()));
  EXPECT_TRUE(q.names().empty());
  const std::vector<Mail> mails = sink.Messages();
  ASSERT_EQ(mails.size(), messages.size());
  for (size_t i = 0; i < mails.size(); ++i) {
    SCOPED_TRACE(messages[i].first);
    EXPECT_EQ(mails[i].Header("Subject"), messages[i].first);
    EXPECT_EQ(mails[i].Tls.rfind("TLSv1.", 0), 0u) << mails[i].Tls;
    EXPECT_EQ(mails[i].AuthMechanism, "LOGIN");
    EXPECT_TRUE(mails[i].Body == bodies[i] + "\r\n") << mails[i].Body.substr(0, 300);
  }
}

}  // namespace
