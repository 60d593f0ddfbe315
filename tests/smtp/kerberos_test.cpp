// SMTP AUTH GSSAPI end to end: a Kerberos realm of the test's own (an MIT KDC
// on loopback with a temporary database and configuration, a user and an
// "SMTP/mail.test" service), a mail server that accepts with python3-gssapi,
// and the mail core reaching the system's GSS-API library the way a core
// image does (loaded at image start).  Runs in the isolated network; skipped
// with the reason when the KDC programs are not installed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "file_text.h"
#include "isolation.h"
#include "temp_folder.h"
#include "loopback_ports.h"
#include "pelnet/runtime/core_base.h"
#include "pelnet/runtime/gss_library.h"
#include "pelnet/smtp_ids.h"
#include "auth/security_context.h"
#include "smtp_core.h"
#include "smtp_core_client.h"

namespace {

using smtptest::SmtpCoreClient;

const char *const kRealm = "PELORIN.TEST";
const char *const kKdc = "/usr/sbin/krb5kdc";
const char *const kDbUtil = "/usr/sbin/kdb5_util";
const char *const kAdmin = "/usr/sbin/kadmin.local";
// The user's password lives only in this process and in the KDC's database;
// it goes to kadmin.local on its standard input.
const std::string kUserPassword = "Kdc-User-Pw-7";

// Starts argv with stdin from `in` ("" for /dev/null) and stdout/stderr to
// `log`, or stdout into a pipe when `outPipe` is given.
pid_t spawn(const std::vector<std::string> &argv, const std::string &in, const std::string &log,
            int *outPipe = nullptr) {
  int fds[2] = {-1, -1};
  if (outPipe != nullptr && pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    const int i = open(in.empty() ? "/dev/null" : in.c_str(), O_RDONLY);
    const int o = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(i, 0);
    dup2(outPipe != nullptr ? fds[1] : o, 1);
    dup2(o, 2);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (outPipe != nullptr) {
    close(fds[1]);
    *outPipe = fds[0];
  }
  return pid;
}

// Runs argv to its end with the file `in` ("" for none) on its standard input;
// both outputs are added to `log`. The exit status, -1 when it did not end.
int runToEnd(const std::vector<std::string> &argv, const std::string &in, const std::string &log) {
  const testsupport::ProcessResult r =
      testsupport::runProcess(argv, in.empty() ? "" : testsupport::readFileText(in));
  std::ofstream(log, std::ios::app) << r.Out << r.Err;
  return r.Status;
}

// One line from `fd` within `timeoutMs` ("" on time-out or end).
std::string readLine(int fd, int timeoutMs) {
  std::string line;
  char ch = 0;
  while (line.size() < 64) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return "";
    if (read(fd, &ch, 1) != 1 || ch == '\n') break;
    line += ch;
  }
  return line;
}

class KerberosRealm : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    why_.clear();
    if (!testsupport::isolationFailure().empty()) {
      why_ = "needs its own namespaces: " + testsupport::isolationFailure();
      return;
    }
    for (const char *tool : {kKdc, kDbUtil, kAdmin, "/usr/bin/python3"}) {
      if (access(tool, X_OK) != 0) {
        why_ = std::string(tool) + " is not installed (krb5-kdc, krb5-admin-server)";
        return;
      }
    }
    if (runToEnd({"/usr/bin/python3", "-c", "import gssapi"}, "", "/dev/null") != 0) {
      why_ = "python3-gssapi is not installed";
      return;
    }
    folder_ = std::make_unique<testsupport::TempFolder>();
    if (folder_->path().empty()) {
      why_ = "no temporary directory";
      return;
    }
    dir_ = folder_->path();
    log_ = dir_ + "/log";
    ASSERT_TRUE(testsupport::writeHosts("127.0.0.1 localhost mail.test\n::1 localhost\n"));
    kdcPort_ = testsupport::FreeLoopbackPort();
    ASSERT_GT(kdcPort_, 0);
    const std::string port = std::to_string(kdcPort_);
    ASSERT_TRUE(testsupport::writeFileText(
        dir_ + "/krb5.conf", std::string("[libdefaults]\n default_realm = ") + kRealm +
                                 "\n dns_lookup_kdc = false\n dns_lookup_realm = false\n"
                                 " rdns = false\n dns_canonicalize_hostname = false\n"
                                 " default_ccache_name = FILE:" +
                                 dir_ +
                                 "/ccache\n"
                                 "[realms]\n " +
                                 kRealm + " = {\n  kdc = 127.0.0.1:" + port +
                                 "\n }\n[domain_realm]\n .test = " + kRealm + "\n"));
    ASSERT_TRUE(testsupport::writeFileText(
        dir_ + "/kdc.conf",
        "[kdcdefaults]\n kdc_ports = " + port + "\n kdc_tcp_ports = " + port + "\n[realms]\n " +
            kRealm + " = {\n  database_name = " + dir_ + "/principal\n  key_stash_file = " + dir_ +
            "/stash\n  acl_file = " + dir_ + "/kadm5.acl\n  kdc_ports = " + port +
            "\n  kdc_tcp_ports = " + port + "\n }\n[logging]\n kdc = FILE:" + dir_ + "/kdc.log\n"));
    ASSERT_TRUE(testsupport::writeFileText(dir_ + "/kadm5.acl", ""));
    setenv("KRB5_CONFIG", (dir_ + "/krb5.conf").c_str(), 1);
    setenv("KRB5_KDC_PROFILE", (dir_ + "/kdc.conf").c_str(), 1);
    setenv("KRB5_KTNAME", ("FILE:" + dir_ + "/smtp.keytab").c_str(), 1);
    setenv("KRB5CCNAME", ("FILE:" + dir_ + "/ccache").c_str(), 1);

    ASSERT_TRUE(testsupport::writeFileText(dir_ + "/master", "Master-Pw-1\nMaster-Pw-1\n"));
    ASSERT_EQ(runToEnd({kDbUtil, "create", "-s", "-r", kRealm}, dir_ + "/master", log_), 0)
        << "kdb5_util create failed; see " << log_;
    ASSERT_TRUE(
        testsupport::writeFileText(dir_ + "/kadmin", "addprinc -pw " + kUserPassword +
                                                         " alice\n"
                                                         "addprinc -randkey SMTP/mail.test\n"
                                                         "ktadd -k " +
                                                         dir_ + "/smtp.keytab SMTP/mail.test\n"));
    ASSERT_EQ(runToEnd({kAdmin, "-r", kRealm}, dir_ + "/kadmin", log_), 0)
        << "kadmin.local failed; see " << log_;
    unlink((dir_ + "/kadmin").c_str());
    kdcPid_ = spawn({kKdc, "-n", "-r", kRealm}, "", log_);
    ASSERT_GT(kdcPid_, 0);
    // The KDC is up when its TCP port takes a connection (bounded: 10 s).
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
      up = testsupport::LoopbackPortAccepts(kdcPort_);
      if (!up) usleep(50 * 1000);
    }
    ASSERT_TRUE(up) << "the KDC did not start; see " << log_;
    // The image start of a core: the GSS-API library is looked up here.
    pelnet::staticInit(nullptr);
  }

  static void TearDownTestSuite() {
    pelnet::staticDestroy();
    if (kdcPid_ > 0) {
      kill(kdcPid_, SIGTERM);
      waitpid(kdcPid_, nullptr, 0);
      kdcPid_ = -1;
    }
    folder_.reset();
  }

  void SetUp() override {
    if (!why_.empty()) GTEST_SKIP() << why_;
    ASSERT_GT(kdcPid_, 0);
  }

  static std::unique_ptr<testsupport::TempFolder> folder_;  // the realm's files
  static std::string why_, dir_, log_;
  static int kdcPort_;
  static pid_t kdcPid_;
};

std::unique_ptr<testsupport::TempFolder> KerberosRealm::folder_;
std::string KerberosRealm::why_, KerberosRealm::dir_, KerberosRealm::log_;
int KerberosRealm::kdcPort_ = 0;
pid_t KerberosRealm::kdcPid_ = -1;

TEST_F(KerberosRealm, GssapiLoginWithTheSecurityLayerExchange) {
  ASSERT_NE(pelnet::gssFunctions(), nullptr) << "the image start found no GSS-API library";
  struct Case {
    const char *what;
    std::string mailServer, spn, user, password, mode;
    int code;
    std::string text;   // the failure text begins with this
    std::string reply;  // the final reply of a login
  } cases[] = {
      {"service from the server name", "mail.test", "", "alice", kUserPassword, "accept", 0, "",
       "235 2.7.0 Authenticated alice@PELORIN.TEST as alice"},
      {"service from KerberosSPN", "127.0.0.1", "SMTP/mail.test", "alice", kUserPassword, "accept",
       0, "", "235 2.7.0 Authenticated alice@PELORIN.TEST as alice"},
      {"realm given as the domain", "mail.test", "", "PELORIN.TEST\\alice", kUserPassword, "accept",
       0, "", "235 2.7.0 Authenticated alice@PELORIN.TEST as PELORIN.TEST\\alice"},
      {"wrong password", "mail.test", "", "alice", "not-the-password", "accept", 880,
       "Could not acquire security credentials (0x", ""},
      {"unknown user", "mail.test", "", "mallory", kUserPassword, "accept", 880,
       "Could not acquire security credentials (0x", ""},
      {"unknown service", "mail.test", "SMTP/nowhere.test", "alice", kUserPassword, "accept", 882,
       "Could not initialize security context (0x", ""},
      {"offer that is no wrapped message", "mail.test", "", "alice", kUserPassword, "bad-offer",
       885, "Could not decrypt message data (0x", ""},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    int out = -1;
    const pid_t server =
        spawn({"/usr/bin/python3", GSSAPI_SERVER_SCRIPT, "SMTP@mail.test", k.mode}, "", log_, &out);
    ASSERT_GT(server, 0);
    const int port = std::atoi(readLine(out, 30000).c_str());
    ASSERT_GT(port, 0) << "the mail server did not start; see " << log_;

    SmtpCoreClient c;
    ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MailServer, k.mailServer), 0);
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, port), 0);
    ASSERT_EQ(c.config("Hello=client.test"), 0);
    ASSERT_EQ(c.config("KerberosSPN=" + k.spn), 0);
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_Timeout, 30), 0);
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_AuthScheme, PELNET_SMTP_asKerberos), 0);
    ASSERT_EQ(c.setText(PELNET_SMTP_PROP_User, k.user), 0);
    ASSERT_EQ(c.setText(PELNET_SMTP_PROP_Password, k.password), 0);
    const int rc = c.call(PELNET_SMTP_METHOD_Connect);
    const std::string text = c.lastError();
    EXPECT_EQ(rc, k.code) << text;
    if (k.code == 0) {
      EXPECT_EQ(c.getText(PELNET_SMTP_PROP_LastReply), k.reply);
    } else {
      EXPECT_EQ(text.rfind(k.text, 0), 0u) << text;
      // The library's own words follow the status.
      EXPECT_GT(text.size(), k.text.size() + 4) << text;
    }
    for (int direction : {0, 1, 2})
      for (const std::string &t : c.trail(direction))
        EXPECT_EQ(t.find(k.password), std::string::npos) << "OnPITrail: " << t;
    EXPECT_EQ(text.find(k.password), std::string::npos);
    EXPECT_NE(c.getInt(PELNET_SMTP_PROP_Connected), 0);
    // The server saw no command it did not expect: QUIT gets its 221.
    EXPECT_EQ(c.call(PELNET_SMTP_METHOD_Disconnect), 0) << c.lastError();
    const auto sent = c.trail(0);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "QUIT");
    // AUTH goes out only when the credentials and the first token were had.
    const bool authSent = sent.size() >= 2 && sent[1].rfind("AUTH GSSAPI ", 0) == 0;
    EXPECT_EQ(authSent, k.code == 0 || k.code == 885);
    close(out);
    int status = 0;
    ASSERT_EQ(waitpid(server, &status, 0), server);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "see " << log_;
  }
}

}  // namespace

// The token machinery as the proxy tunnels use it: Negotiate wraps the
// Kerberos token in SPNEGO; wrap and unwrap need an established context.
TEST_F(KerberosRealm, NegotiateTokensAndWrapWithoutAContext) {
  ASSERT_NE(pelnet::gssFunctions(), nullptr);
  pelnet::smtp::SecurityContext ctx;
  ASSERT_EQ(ctx.initialise("Negotiate", "alice", kUserPassword), 0) << ctx.errorText();
  std::string token, bytes;
  ASSERT_EQ(ctx.firstToken("SMTP/mail.test", token), 0) << ctx.errorText();
  ASSERT_TRUE(pelnet::smtp::decodeBase64(token, bytes));
  // An initial context token (0x60) naming the SPNEGO mechanism 1.3.6.1.5.5.2.
  ASSERT_GT(bytes.size(), 8u);
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0x60);
  EXPECT_NE(bytes.find(std::string("\x06\x06\x2b\x06\x01\x05\x05\x02", 8)), std::string::npos);
  EXPECT_LE(bytes.size(), pelnet::smtp::SecurityContext::kMaxToken);

  pelnet::smtp::SecurityContext fresh;
  ASSERT_EQ(fresh.initialise("Kerberos", "alice", kUserPassword), 0) << fresh.errorText();
  std::string out;
  EXPECT_EQ(fresh.wrap("x", out), 884);
  EXPECT_EQ(fresh.errorText().rfind("Could not encrypt data (0x", 0), 0u) << fresh.errorText();
  EXPECT_EQ(fresh.unwrap("x", out), 885);
  EXPECT_EQ(fresh.errorText().rfind("Could not decrypt message data (0x", 0), 0u)
      << fresh.errorText();
  // A challenge before any first token: the continuation has no context.
  EXPECT_EQ(fresh.nextToken("SMTP/mail.test", "AAAA", out), 881);
  EXPECT_EQ(fresh.errorText().rfind("Error consuming security token (0x", 0), 0u)
      << fresh.errorText();
}
