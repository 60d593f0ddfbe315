// The mail component through real proxies from Debian's packages, started by
// the test on loopback ports with configuration files of its own, to a real
// mail server behind them (aiosmtpd, tests/support's report peers): danted
// for SOCKS4 and SOCKS5 (without and with a user name and password) and
// tinyproxy for HTTP CONNECT (without and with Basic authentication).
//
// danted checks user names and passwords against the system's password
// files.  The test runs in mount and network namespaces of its own, so it
// mounts its own copies of /etc/passwd and /etc/shadow with a test user over
// the real ones; they vanish with the namespace when the test ends.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "component_fixture.h"
#include "child_process.h"
#include "file_text.h"
#include "isolation.h"
#include "loopback_ports.h"
#include "pelsmtp.h"
#include "real_proxy.h"
#include "report_peers.h"
#include "temp_folder.h"

namespace {

using testsupport::readFileText;
using testsupport::writeFileText;

using smtptest::dantedConfig;
using smtptest::kDanted;
using smtptest::RealProxy;

constexpr const char *kTinyproxy = "/usr/bin/tinyproxy";
constexpr const char *kTestUser = "pelproxy";
constexpr const char *kTestPassword = "proxy-secret";

std::string tinyproxyConfig(int mailPort, bool basic) {
  std::string c =
      "Port @PORT@\n"
      "Listen 127.0.0.1\n"
      "Timeout 30\n"
      "MaxClients 4\n"
      "Allow 127.0.0.1\n"
      "User nobody\n"
      "Group nogroup\n"
      "LogLevel Info\n"
      "LogFile \"@DIR@/proxy.log\"\n"
      "ConnectPort " +
      std::to_string(mailPort) + "\n";
  if (basic) c += std::string("BasicAuth ") + kTestUser + " " + kTestPassword + "\n";
  return c;
}

// The password files of the namespace, with the test user added, mounted
// over the system's; the mounts end with the test (and with the namespace).
class TestUser {
 public:
  bool add() {
    if (dir_.path().empty()) return false;
    const testsupport::ProcessResult hashed = testsupport::runProcess(
        {"/usr/bin/python3", "-W", "ignore", "-c",
         "import crypt,sys; "
         "print(crypt.crypt(sys.argv[1], crypt.mksalt(crypt.METHOD_SHA512)))",
         "proxy-secret"});
    std::string h = hashed.Out;
    while (!h.empty() && (h.back() == '\n' || h.back() == '\r')) h.pop_back();
    if (hashed.Status != 0 || h.size() < 10) return false;
    const std::string passwd = readFileText("/etc/passwd") + kTestUser +
                               ":x:54321:54321:proxy test:/nonexistent:/usr/sbin/nologin\n";
    const std::string shadow =
        readFileText("/etc/shadow") + kTestUser + ":" + h + ":19000:0:99999:7:::\n";
    for (const auto &[name, text] : {std::pair{"passwd", passwd}, std::pair{"shadow", shadow}}) {
      const std::string copy = dir_.file(name), target = std::string("/etc/") + name;
      if (!writeFileText(copy, text)) return false;
      if (mount(copy.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
      mounted_.push_back(target);
    }
    return true;
  }
  ~TestUser() {
    for (const std::string &m : mounted_) umount2(m.c_str(), MNT_DETACH);
  }

 private:
  testsupport::TempFolder dir_;  // removed once the destructor has ended the mounts
  std::vector<std::string> mounted_;
};

enum class Proxy { DantedNone, DantedUser, Tinyproxy, TinyproxyBasic };

struct Case {
  const char *name;
  Proxy proxy;
  int type;
  QString user, password;
  QString server;  // MailServer as written
  int code;        // 0: the message arrives
  QString text;    // the start of the error's text
};

class FirewallRealProxy : public testsupport::ComponentTest<> {};

TEST_F(FirewallRealProxy, MessagesGoThroughDantedAndTinyproxy) {
  REQUIRE_ISOLATION();
  ASSERT_EQ(access(kDanted, X_OK), 0) << "dante-server is not installed (scripts/install-deps.sh)";
  ASSERT_EQ(access(kTinyproxy, X_OK), 0) << "tinyproxy is not installed (scripts/install-deps.sh)";
  reportpeers::SmtpSink sink;
  ASSERT_TRUE(sink.Ok()) << sink.Why();
  TestUser user;
  ASSERT_TRUE(user.add()) << "cannot mount the test's password files";

  RealProxy dantedNone, dantedUser, tiny, tinyBasic;
  ASSERT_TRUE(dantedNone.start(dantedConfig("none"), {kDanted, "-f", "@CONF@"}))
      << dantedNone.failure();
  ASSERT_TRUE(dantedUser.start(dantedConfig("username"), {kDanted, "-f", "@CONF@"}))
      << dantedUser.failure();
  ASSERT_TRUE(tiny.start(tinyproxyConfig(sink.Port(), false), {kTinyproxy, "-d", "-c", "@CONF@"}))
      << tiny.failure();
  ASSERT_TRUE(
      tinyBasic.start(tinyproxyConfig(sink.Port(), true), {kTinyproxy, "-d", "-c", "@CONF@"}))
      << tinyBasic.failure();
  auto proxyOf = [&](Proxy p) -> RealProxy & {
    switch (p) {
      case Proxy::DantedNone:
        return dantedNone;
      case Proxy::DantedUser:
        return dantedUser;
      case Proxy::Tinyproxy:
        return tiny;
      default:
        return tinyBasic;
    }
  };

  const Case cases[] = {
      {"socks4", Proxy::DantedNone, fwSOCKS4, "", "", "127.0.0.1", 0, ""},
      {"socks5", Proxy::DantedNone, fwSOCKS5, "", "", "127.0.0.1", 0, ""},
      {"socks5, name resolved by the proxy", Proxy::DantedNone, fwSOCKS5, "", "", "*localhost", 0,
       ""},
      {"socks5 with user and password", Proxy::DantedUser, fwSOCKS5, kTestUser, kTestPassword,
       "127.0.0.1", 0, ""},
      {"socks5 with a wrong password", Proxy::DantedUser, fwSOCKS5, kTestUser, "wrong", "127.0.0.1",
       118, "firewall authentication failed"},
      {"socks5 without the user the proxy wants", Proxy::DantedUser, fwSOCKS5, "", "", "127.0.0.1",
       118, "no acceptable firewall authentication methods"},
      {"http tunnel", Proxy::Tinyproxy, fwTunnel, "", "", "127.0.0.1", 0, ""},
      {"http tunnel with Basic", Proxy::TinyproxyBasic, fwTunnel, kTestUser, kTestPassword,
       "127.0.0.1", 0, ""},
      {"http tunnel without the Basic credentials", Proxy::TinyproxyBasic, fwTunnel, "", "",
       "127.0.0.1", 118, "Firewall error. HTTP/1.0 407 "},
  };
  size_t delivered = 0;
  for (const Case &k : cases) {
    RealProxy &proxy = proxyOf(k.proxy);
    TpelSMTP smtp;
    smtp.Config("Hello=client.test");
    smtp.setTimeout(20);
    smtp.setFirewallType(static_cast<TpelsmtpFirewallTypes>(k.type));
    smtp.setFirewallHost("127.0.0.1");
    smtp.setFirewallPort(proxy.port());
    smtp.setFirewallUser(k.user);
    smtp.setFirewallPassword(k.password);
    smtp.setMailServer(k.server);
    smtp.setMailPort(sink.Port());
    smtp.setFrom("from@test");
    smtp.setSendTo("to@test");
    smtp.setSubject(QString("through %1").arg(k.name));
    smtp.setMessageText(QString("sent %1\r\n").arg(k.name));
    int code = 0;
    QString text;
    try {
      smtp.Send();
    } catch (const EPelnet &e) {
      code = e.Code();
      text = e.Message();
    }
    EXPECT_EQ(code, k.code) << k.name << ": " << text.toStdString() << "\n" << proxy.log();
    if (k.code != 0) {
      EXPECT_TRUE(text.contains(k.text)) << k.name << ": " << text.toStdString();
      continue;
    }
    ++delivered;
    const std::vector<reportpeers::Mail> mails = sink.Messages();
    ASSERT_EQ(mails.size(), delivered) << k.name;
    EXPECT_EQ(mails.back().Header("Subject"), std::string("through ") + k.name);
    EXPECT_EQ(mails.back().To, std::vector<std::string>{"to@test"});
  }
}

}  // namespace
