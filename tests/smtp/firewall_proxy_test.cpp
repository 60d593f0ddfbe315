// The mail connection through scripted firewalls on loopback, in namespaces of
// the test's own: the answers real proxies rarely give (refusals, every SOCKS
// reply code, a proxy that answers a byte at a time with pauses or closes in
// the middle of a reply), with the connection's events and results; and the
// firewall properties of the mail core (defaults by type, the host read back
// as its address, cut user names, auto-detection from the environment and
// from GNOME's settings).
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "isolation.h"
#include "pelnet/smtp_ids.h"
#include "scripted_peer.h"
#include "smtp_core_client.h"
#include "connection/line_stage.h"
#include "connection/tcp_client_port.h"
#include "connection/wait_handle.h"
#include "proxy/proxy_text.h"
#include "proxy/proxy_tunnel.h"

using pelnet::smtp::LineListener;
using pelnet::smtp::TcpClientPort;
using smtptest::PeerStep;
using smtptest::ScriptedPeer;
using smtptest::SmtpCoreClient;
using namespace std::string_literals;

namespace {

struct Recorder : LineListener {
  std::vector<std::string> events;
  std::string line;
  std::vector<std::string> lines;
  void onLinePiece(std::string_view bytes, bool lineEnd) override {
    line += bytes;
    if (lineEnd) {
      lines.push_back(line);
      line.clear();
    }
  }
  void onConnectionStatus(const std::string &e, int code, const std::string &d) override {
    events.push_back("status " + e + " " + std::to_string(code) + " " + d);
  }
  void onNote(const std::string &text) override { events.push_back("note " + text); }
  void onError(int code, const std::string &text) override {
    events.push_back("error " + std::to_string(code) + " " + text);
  }
};

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out += static_cast<char>(b);
  return out;
}

const std::string kGreeting = "220 mail.test ready\r\n";
// 127.0.1.2:2525, as the SOCKS requests carry them.
const std::string kSocks4Request = bytes({4, 1, 0x09, 0xDD, 127, 0, 1, 2}) + "ident"s + '\0';
const std::string kSocks5Connect = bytes({5, 1, 0, 1, 127, 0, 1, 2, 0x09, 0xDD});
const std::string kSocks5Ok = bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x30, 0x39});

struct Round {
  std::string request, reply;
};

enum class End { Connected, Refused, Failed };

struct Row {
  std::string name;
  int type;
  std::string user, password;
  std::vector<Round> rounds;
  End end;
  std::string text;   // the connect's result text (and the OnError 118 text for SOCKS)
  std::string event;  // the OnError 118 text of an HTTP refusal
  bool closeMidReply = false;
};

// What one connection through the scripted firewall gave.
struct Outcome {
  int rc = -1;
  std::string text;
  std::vector<std::string> events;
  std::vector<std::string> lines;
  bool socketOpen = false;
  bool connected = false;
  std::string peer;
  bool operator==(const Outcome &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
  os << "rc " << o.rc << " text " << o.text << " open " << o.socketOpen << " connected "
     << o.connected << " peer " << o.peer << "\n";
  for (const std::string &e : o.events) os << "  " << e << "\n";
  for (const std::string &l : o.lines) os << "  line " << l << "\n";
  return os;
}

Outcome throughFirewall(const Row &r, bool slow) {
  std::vector<PeerStep> script;
  for (const Round &round : r.rounds) {
    script.push_back({PeerStep::Expect, round.request});
    if (slow)
      script.push_back({PeerStep::SendBytewise, round.reply, 3});
    else
      script.push_back({PeerStep::Send, round.reply});
  }
  if (r.closeMidReply)
    script.push_back({PeerStep::Close, ""});
  else if (r.end == End::Connected)
    script.push_back({PeerStep::Send, kGreeting});
  if (!r.closeMidReply) script.push_back({PeerStep::ExpectClose, ""});
  ScriptedPeer proxy(script);

  Recorder rec;
  pelnet::smtp::ProxyTunnel tunnel;
  TcpClientPort port;
  port.setTunnel(&tunnel);
  pelnet::smtp::WaitHandle waits(port);
  pelnet::smtp::LineStage lines(port, waits, rec);
  port.msFlag = true;
  port.setTimeout(20000);
  tunnel.target().type = r.type;
  EXPECT_EQ(pelnet::resolveRemote("127.0.0.1", false, false, tunnel.target().host), 0);
  tunnel.target().port = proxy.port();
  tunnel.target().user = r.user;
  tunnel.target().password = r.password;
  EXPECT_EQ(port.setRemoteHost("127.0.1.2"), 0);
  EXPECT_EQ(port.setRemotePort(2525), 0);
  port.armDeadline();
  Outcome o;
  EXPECT_EQ(port.open(), 0);
  o.rc = port.waitForConnection();
  o.text = port.lastErrorText;
  if (o.rc == 0) {
    EXPECT_EQ(lines.waitForLine(), 0);
  }
  o.socketOpen = port.socketExists();
  o.connected = port.connected();
  port.close();
  o.events = rec.events;
  o.lines = rec.lines;
  o.peer = proxy.finish();
  // A refusal is judged by its first bytes, and the connection closes: a slow
  // proxy may then fail to send the rest of its reply.
  if (r.end != End::Connected && o.peer.find("send failed") != std::string::npos) o.peer.clear();
  return o;
}

std::vector<std::string> expectedEvents(const Row &r) {
  std::vector<std::string> e = {"status Firewall connection complete. 0 OK"};
  const std::vector<std::string> closing = {"status Firewall host disconnected. 0 OK",
                                            "status Remote host disconnected. 0 OK",
                                            "note Disconnected."};
  switch (r.end) {
    case End::Connected:
      e.push_back("status Remote host connection complete. 0 OK");
      e.push_back("note Connected.");
      break;
    case End::Refused:
      e.push_back("error 118 " + r.event);
      e.push_back("error 162 Failed to connect: " + r.text);
      break;
    case End::Failed:
      e.push_back("error 118 " + r.text);
      e.push_back("error 162 Failed to connect: " + r.text);
      break;
  }
  e.insert(e.end(), closing.begin(), closing.end());
  return e;
}

std::vector<Row> scriptedRows() {
  std::vector<Row> rows = {
      {"tunnel",
       pelnet::smtp::kFirewallTunnel,
       "",
       "",
       {{"CONNECT 127.0.1.2:2525 HTTP/1.0\r\n\r\n",
         "HTTP/1.0 200 Connection established\r\nProxy-agent: scripted\r\n\r\n"}},
       End::Connected,
       "",
       ""},
      {"tunnel with Basic",
       pelnet::smtp::kFirewallTunnel,
       "user",
       "",
       {{"CONNECT 127.0.1.2:2525 HTTP/1.0\r\nProxy-Authorization: Basic dXNlcjo=\r\n\r\n",
         "HTTP/1.1 200 OK\r\n\r\n"}},
       End::Connected,
       "",
       ""},
      {"tunnel refused",
       pelnet::smtp::kFirewallTunnel,
       "",
       "",
       {{"CONNECT 127.0.1.2:2525 HTTP/1.0\r\n\r\n",
         "HTTP/1.0 403 Forbidden\r\nContent-Length: 0\r\n\r\n"}},
       End::Refused,
       "Firewall error. HTTP/1.0 403 Forbidden.",
       "HTTP/1.0 403 Forbidden"},
      {"socks4",
       pelnet::smtp::kFirewallSocks4,
       "ident",
       "",
       {{kSocks4Request, bytes({0, 90, 0, 0, 0, 0, 0, 0})}},
       End::Connected,
       "",
       ""},
      {"socks5 with user and password",
       pelnet::smtp::kFirewallSocks5,
       "user",
       "secret",
       {{bytes({5, 2, 0, 2}), bytes({5, 2})},
        {bytes({1, 4}) + "user" + bytes({6}) + "secret", bytes({1, 0})},
        {kSocks5Connect, kSocks5Ok}},
       End::Connected,
       "",
       ""},
      {"socks5 method 255",
       pelnet::smtp::kFirewallSocks5,
       "",
       "",
       {{bytes({5, 1, 0}), bytes({5, 255})}},
       End::Failed,
       "no acceptable firewall authentication methods",
       ""},
      {"socks5 authentication failure",
       pelnet::smtp::kFirewallSocks5,
       "user",
       "bad",
       {{bytes({5, 2, 0, 2}), bytes({5, 2})},
        {bytes({1, 4}) + "user" + bytes({3}) + "bad", bytes({1, 1})}},
       End::Failed,
       "firewall authentication failed: 1",
       ""},
      {"closed mid-reply",
       pelnet::smtp::kFirewallSocks5,
       "",
       "",
       {{bytes({5, 1, 0}), bytes({5, 0})}, {kSocks5Connect, bytes({5, 0, 0})}},
       End::Failed,
       "the firewall closed the connection during the negotiation",
       "",
       true},
  };
  const std::pair<int, const char *> socks4[] = {
      {91, "firewall request rejected or failed"},
      {92, "firewall request rejected because identd is not available"},
      {93, "firewall request rejected because identd reports different user"},
      {17, "unknown firewall error: 17"}};
  for (const auto &[code, text] : socks4)
    rows.push_back({"socks4 " + std::to_string(code),
                    pelnet::smtp::kFirewallSocks4,
                    "ident",
                    "",
                    {{kSocks4Request, bytes({0, code, 0, 0, 0, 0, 0, 0})}},
                    End::Failed,
                    text,
                    ""});
  // The texts from the core's own table; the table's last code is 8, so 9 is unknown.
  const auto &socks5 = pelnet::smtp::kTextSocks5Replies;
  for (int code = 1; code <= 9; ++code)
    rows.push_back({"socks5 reply " + std::to_string(code),
                    pelnet::smtp::kFirewallSocks5,
                    "",
                    "",
                    {{bytes({5, 1, 0}), bytes({5, 0})},
                     {kSocks5Connect, bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0})}},
                    End::Failed,
                    code <= 8 ? socks5[code] : "unknown firewall error: 9",
                    ""});
  return rows;
}

TEST(FirewallScripted, EachAnswerEndsTheConnectAsItShouldFastOrSlow) {
  REQUIRE_ISOLATION();
  for (const Row &r : scriptedRows()) {
    Outcome expected;
    expected.rc = r.end == End::Connected ? 0 : 118;
    expected.text = r.text;
    expected.events = expectedEvents(r);
    if (r.end == End::Connected) expected.lines = {"220 mail.test ready"};
    // An HTTP refusal leaves the socket open (and not connected) until it is closed.
    expected.socketOpen = r.end != End::Failed;
    expected.connected = r.end == End::Connected;
    expected.peer = "";
    const Outcome fast = throughFirewall(r, false);
    EXPECT_EQ(fast, expected) << r.name;
    // A byte at a time, with pauses: the same result.
    EXPECT_EQ(throughFirewall(r, true), expected) << r.name << " (slow)";
  }
}

TEST(FirewallScripted, UnreachableFirewallFailsWithItsOwnStatus) {
  REQUIRE_ISOLATION();
  smtptest::ClosedPort closed;
  Recorder rec;
  pelnet::smtp::ProxyTunnel tunnel;
  TcpClientPort port;
  port.setTunnel(&tunnel);
  pelnet::smtp::WaitHandle waits(port);
  pelnet::smtp::LineStage lines(port, waits, rec);
  port.setTimeout(20000);
  tunnel.target().type = pelnet::smtp::kFirewallSocks5;
  ASSERT_EQ(pelnet::resolveRemote("127.0.0.1", false, false, tunnel.target().host), 0);
  tunnel.target().port = closed.port();
  ASSERT_EQ(port.setRemoteHost("mail.test"), 0);
  port.armDeadline();
  ASSERT_EQ(port.open(), 0);
  EXPECT_EQ(port.waitForConnection(), 10061);
  EXPECT_EQ(rec.events, (std::vector<std::string>{
                            "status Firewall connection failed. 10061 [10061] Connection refused",
                            "error 162 Failed to connect: [10061] Connection refused"}));
}

// ---------------------------------------------------------------- the core's firewall properties

TEST(FirewallProperties, TypeSetsThePortDefaultAndLaterWritesStay) {
  SmtpCoreClient c;
  const std::pair<int, int> defaults[] = {{1, 80}, {2, 1080}, {3, 1080}, {4, 80},
                                          {5, 80}, {0, 0},    {9, 0}};
  for (const auto &[type, port] : defaults) {
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallPort, 4321), 0);
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallType, type), 0);
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallPort), port) << type;
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallPort, 3128), 0);
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallPort), 3128) << type;
    // The configuration setting follows the same rule.
    ASSERT_EQ(c.config("FirewallType=" + std::to_string(type)), 0);
    EXPECT_EQ(c.query("FirewallPort"), std::to_string(port)) << type;
  }
}

TEST(FirewallProperties, UserAndPasswordAreCutTo255Bytes) {
  SmtpCoreClient c;
  for (int id : {PELNET_SMTP_PROP_FirewallUser, PELNET_SMTP_PROP_FirewallPassword}) {
    ASSERT_EQ(c.setText(id, std::string(300, 'x')), 0);
    EXPECT_EQ(c.getText(id), std::string(255, 'x'));
    ASSERT_EQ(c.setText(id, "short"), 0);
    EXPECT_EQ(c.getText(id), "short");
  }
  ASSERT_EQ(c.config("FirewallUser=" + std::string(256, 'y')), 0);
  EXPECT_EQ(c.query("FirewallUser"), std::string(255, 'y'));
}

TEST(FirewallProperties, HostReadsBackItsAddressAndMailServerItsName) {
  REQUIRE_ISOLATION();
  ASSERT_TRUE(testsupport::writeHosts("127.0.0.1 localhost\n127.0.7.7 proxy.test\n"));
  SmtpCoreClient c;
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_FirewallHost, "proxy.test"), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_FirewallHost), "127.0.7.7");
  EXPECT_EQ(c.query("FirewallHost"), "127.0.7.7");
  EXPECT_EQ(c.setText(PELNET_SMTP_PROP_FirewallHost, "nosuch.test"), 11001);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_FirewallHost), "");
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_FirewallHost, ""), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_FirewallHost), "");
  // With a firewall the server's name goes to it as written, unresolved.
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallType, PELNET_SMTP_fwSOCKS5), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MailServer, "unknown.mail.test"), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MailServer), "unknown.mail.test");
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallType, PELNET_SMTP_fwNone), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MailServer, "proxy.test"), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MailServer), "127.0.7.7");
}

// The environment and the desktop's settings of one auto-detection case; both
// are restored afterwards (the GSettings backend of this process is the memory one).
class AutoDetect : public testing::Test {
 protected:
  static constexpr const char *kVariables[] = {"all_proxy",   "ALL_PROXY",  "https_proxy",
                                               "HTTPS_PROXY", "http_proxy", "HTTP_PROXY"};
  void SetUp() override {
    for (const char *name : kVariables) unsetenv(name);
  }
  void TearDown() override {
    for (const char *name : kVariables) unsetenv(name);
    if (GSettings *p = proxySettings("org.gnome.system.proxy")) {
      g_settings_reset(p, "mode");
      g_object_unref(p);
    }
  }
  static GSettings *proxySettings(const char *id) {
    GSettingsSchemaSource *src = g_settings_schema_source_get_default();
    GSettingsSchema *schema = src ? g_settings_schema_source_lookup(src, id, TRUE) : nullptr;
    if (!schema) return nullptr;
    GSettings *s = g_settings_new_full(schema, nullptr, nullptr);
    g_settings_schema_unref(schema);
    return s;
  }
};

TEST_F(AutoDetect, EnvironmentSetsSocks5HostAndPort) {
  struct Case {
    const char *name, *value;
    int type;
    const char *host;
    int port;
  };
  const Case cases[] = {
      {"all_proxy", "socks5://127.0.0.1:1080", PELNET_SMTP_fwSOCKS5, "127.0.0.1", 1080},
      {"ALL_PROXY", "socks5h://u:p@127.0.0.9:9050/", PELNET_SMTP_fwSOCKS5, "127.0.0.9", 9050},
      // Port 0 sets the type and host but leaves the port as it was.
      {"all_proxy", "socks://127.0.0.3:0", PELNET_SMTP_fwSOCKS5, "127.0.0.3", 2222},
      // An HTTP proxy is a CONNECT tunnel, from any of the variables.
      {"all_proxy", "http://127.0.0.4:3128", PELNET_SMTP_fwTunnel, "127.0.0.4", 3128},
      {"https_proxy", "http://127.0.0.5:8080/", PELNET_SMTP_fwTunnel, "127.0.0.5", 8080},
      {"HTTP_PROXY", "http://user:pw@127.0.0.6:3128", PELNET_SMTP_fwTunnel, "127.0.0.6", 3128},
      {"http_proxy", "socks5://127.0.0.7:1080", PELNET_SMTP_fwSOCKS5, "127.0.0.7", 1080},
      // No scheme this client speaks: nothing changes but the cleared host.
      {"https_proxy", "https://127.0.0.8:443", PELNET_SMTP_fwTunnel, "", 2222},
  };
  for (const Case &k : cases) {
    SmtpCoreClient c;
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallType, PELNET_SMTP_fwTunnel), 0);
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallPort, 2222), 0);
    ASSERT_EQ(c.setText(PELNET_SMTP_PROP_FirewallHost, "127.0.0.200"), 0);
    ASSERT_EQ(setenv(k.name, k.value, 1), 0);
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallAutoDetect, 1), 0) << k.value;
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallAutoDetect), 1);
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallType), k.type) << k.value;
    EXPECT_EQ(c.getText(PELNET_SMTP_PROP_FirewallHost), k.host) << k.value;
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallPort), k.port) << k.value;
    unsetenv(k.name);
    // False only clears the host.
    ASSERT_EQ(c.setText(PELNET_SMTP_PROP_FirewallHost, "127.0.0.200"), 0);
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallAutoDetect, 0), 0);
    EXPECT_EQ(c.getText(PELNET_SMTP_PROP_FirewallHost), "");
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallType), k.type);
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallPort), k.port);
  }
}

// all_proxy wins over https_proxy, which wins over http_proxy.
TEST_F(AutoDetect, TheCatchAllVariableComesFirst) {
  ASSERT_EQ(setenv("http_proxy", "http://127.0.0.11:3128", 1), 0);
  ASSERT_EQ(setenv("https_proxy", "http://127.0.0.12:3128", 1), 0);
  SmtpCoreClient c;
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallAutoDetect, 1), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_FirewallHost), "127.0.0.12");
  ASSERT_EQ(setenv("all_proxy", "socks5://127.0.0.13:1080", 1), 0);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallAutoDetect, 1), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_FirewallHost), "127.0.0.13");
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallType), PELNET_SMTP_fwSOCKS5);
}

TEST_F(AutoDetect, GnomeManualSocksSettingIsTaken) {
  GSettings *proxy = proxySettings("org.gnome.system.proxy");
  GSettings *socks = proxySettings("org.gnome.system.proxy.socks");
  if (!proxy || !socks) GTEST_SKIP() << "GNOME's proxy schemas are not installed";
  ASSERT_TRUE(g_settings_set_string(socks, "host", "127.0.0.5"));
  ASSERT_TRUE(g_settings_set_int(socks, "port", 1085));
  struct Case {
    const char *mode;
    int type;
    const char *host;
    int port;
  };
  const Case cases[] = {{"manual", PELNET_SMTP_fwSOCKS5, "127.0.0.5", 1085},
                        {"none", PELNET_SMTP_fwNone, "", 0},
                        {"auto", PELNET_SMTP_fwNone, "", 0}};
  for (const Case &k : cases) {
    ASSERT_TRUE(g_settings_set_string(proxy, "mode", k.mode));
    SmtpCoreClient c;
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallAutoDetect, 1), 0);
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallType), k.type) << k.mode;
    EXPECT_EQ(c.getText(PELNET_SMTP_PROP_FirewallHost), k.host) << k.mode;
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallPort), k.port) << k.mode;
  }
  // The environment comes first.
  ASSERT_TRUE(g_settings_set_string(proxy, "mode", "manual"));
  ASSERT_EQ(setenv("all_proxy", "socks5://127.0.0.6:1086", 1), 0);
  SmtpCoreClient c;
  ASSERT_EQ(c.config("FirewallAutoDetect=True"), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_FirewallHost), "127.0.0.6");
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_FirewallPort), 1086);
  g_settings_reset(socks, "host");
  g_settings_reset(socks, "port");
  g_object_unref(socks);
  g_object_unref(proxy);
}

// ---------------------------------------------------------------- NTLM and Negotiate tunnels

std::string le16(uint16_t v) { return bytes({v & 0xFF, v >> 8}); }
std::string le32(uint32_t v) {
  return bytes({static_cast<int>(v & 0xFF), static_cast<int>(v >> 8 & 0xFF),
                static_cast<int>(v >> 16 & 0xFF), static_cast<int>(v >> 24)});
}

// A CHALLENGE as a proxy sends it (Unicode, NTLM, extended session security), base64.
std::string ntlmChallenge() {
  std::string m = "NTLMSSP"s + '\0' + le32(2);
  m += le16(0) + le16(0) + le32(48);  // no target name
  m += le32(0x00080201);
  m += bytes({1, 35, 69, 103, 137, 171, 205, 239});  // the server's challenge
  m += std::string(8, '\0');
  m += le16(0) + le16(0) + le32(48);  // no target information
  return pelnet::smtp::base64Encode(m);
}

struct AuthRow {
  const char *name;
  int type;
  std::string body;    // the 407 answer's framing headers and body
  std::string second;  // the answer to the second CONNECT
  int code;
  std::string text;
};

TEST(FirewallAuthenticatedTunnel, NtlmAndNegotiateRoundsThroughTheCore) {
  REQUIRE_ISOLATION();
  const std::string granted = "HTTP/1.1 200 Connection established\r\n\r\n";
  const AuthRow rows[] = {
      {"NTLM, Content-Length", pelnet::smtp::kFirewallTunnelNtlm,
       "Content-Length: 13\r\n\r\nAccess denied", granted, 0, ""},
      {"Negotiate, chunked", pelnet::smtp::kFirewallTunnelNegotiate,
       "Transfer-Encoding: chunked\r\n\r\n6\r\nAccess\r\n7\r\n denied\r\n0\r\n\r\n", granted, 0,
       ""},
      {"NTLM refused in the second round", pelnet::smtp::kFirewallTunnelNtlm,
       "Content-Length: 0\r\n\r\n", "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", 118,
       "Firewall error: 407 Proxy Authentication Required"},
  };
  for (const AuthRow &r : rows) {
    for (const bool slow : {false, true}) {
      const std::string package =
          r.type == pelnet::smtp::kFirewallTunnelNtlm ? "NTLM" : "Negotiate";
      const std::string answer =
          "HTTP/1.1 407 Proxy Authentication Required\r\n"
          "Proxy-Authenticate: " +
          package + " " + ntlmChallenge() + "\r\n" + r.body;
      std::vector<PeerStep> script = {{PeerStep::ExpectThrough, "\r\n\r\n"}};
      script.push_back({slow ? PeerStep::SendBytewise : PeerStep::Send, answer, slow ? 1u : 0u});
      script.push_back({PeerStep::ExpectThrough, "\r\n\r\n"});
      script.push_back({PeerStep::Send, r.second});
      if (r.code == 0) {
        script.push_back({PeerStep::Send, kGreeting});
        script.push_back({PeerStep::ExpectThrough, "\r\n"});  // EHLO
        script.push_back({PeerStep::Send, "250 mail.test\r\n"});
      }
      script.push_back({PeerStep::ExpectClose, ""});
      ScriptedPeer proxy(script);
      SmtpCoreClient c;
      // The built-in NTLM: it answers the CHALLENGE for either package.
      ASSERT_EQ(c.config("UseSystemSSPI=False"), 0);
      ASSERT_EQ(c.config("Hello=client.test"), 0);
      ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallType, r.type), 0);
      ASSERT_EQ(c.setText(PELNET_SMTP_PROP_FirewallHost, "127.0.0.1"), 0);
      ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_FirewallPort, proxy.port()), 0);
      ASSERT_EQ(c.setText(PELNET_SMTP_PROP_FirewallUser, "DOMAIN\\alice"), 0);
      ASSERT_EQ(c.setText(PELNET_SMTP_PROP_FirewallPassword, "secret"), 0);
      ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MailServer, "mail.test"), 0);
      ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, 2525), 0);
      ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_Timeout, 20), 0);
      const int rc = c.setInt(PELNET_SMTP_PROP_Connected, 1);
      EXPECT_EQ(rc, r.code) << r.name << ": " << c.lastError();
      if (r.code != 0) {
        EXPECT_EQ(c.lastError(), r.text) << r.name;
      }
      EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), r.code == 0 ? 1 : 0) << r.name;
      c.setInt(PELNET_SMTP_PROP_Connected, 0);
      EXPECT_EQ(proxy.finish(), "") << r.name;
      // Two CONNECTs: the NEGOTIATE message, then the AUTHENTICATE one.
      const std::string &got = proxy.received();
      const std::string first =
          "CONNECT mail.test:2525 HTTP/1.0\r\nProxy-Authorization: " + package +
          " TlRMTVNTUAABAAAA";
      const size_t second = got.find("\r\n\r\n") + 4;
      EXPECT_EQ(got.substr(0, first.size()), first) << r.name;
      EXPECT_NE(got.find("Proxy-Connection: Keep-Alive\r\n\r\n"), std::string::npos);
      const std::string next =
          "CONNECT mail.test:2525 HTTP/1.0\r\nProxy-Authorization: " + package +
          " TlRMTVNTUAADAAAA";
      ASSERT_LT(second, got.size()) << r.name;
      EXPECT_EQ(got.substr(second, next.size()), next) << r.name;
    }
  }
}

}  // namespace
