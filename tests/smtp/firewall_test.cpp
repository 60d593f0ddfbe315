// The firewall negotiation without sockets: the readers of single proxy
// replies, the requests each type sends, whole conversations fed at once, a
// byte at a time and in odd pieces (same result every way), the NTLM and
// Negotiate rounds with Content-Length and chunked bodies, and the reading of
// the desktop's SOCKS proxy setting.
#include <glib.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "proxy/firewall_negotiation.h"
#include "file_text.h"
#include "proxy/proxy_autodetect.h"

#ifndef SMTP_FIREWALL_CORPUS_DIR
#error "SMTP_FIREWALL_CORPUS_DIR must name the firewall reply fuzz target's seed corpus"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

using namespace pelnet::smtp;
using namespace std::string_literals;

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out += static_cast<char>(b);
  return out;
}

const char *kindName(ReplyVerdict::Kind k) {
  switch (k) {
    case ReplyVerdict::NeedMore:
      return "more";
    case ReplyVerdict::Accepted:
      return "accepted";
    default:
      return "refused";
  }
}

struct ReaderRow {
  ReplyVerdict (*reader)(std::string_view);
  std::string in;
  const char *kind;
  size_t used;  // when accepted
  std::string text;
};

TEST(FirewallReplyReaders, JudgeEachReplyByItsBytesOnly) {
  const std::string granted4 = bytes({0, 90, 0, 25, 127, 0, 0, 1});
  const std::string ok5 = bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 25});
  const ReaderRow rows[] = {
      // SOCKS4: 8 bytes, the second the verdict.
      {readSocks4Reply, "", "more", 0, ""},
      {readSocks4Reply, granted4.substr(0, 7), "more", 0, ""},
      {readSocks4Reply, granted4, "accepted", 8, ""},
      {readSocks4Reply, granted4 + "220", "accepted", 8, ""},
      {readSocks4Reply, bytes({0, 91, 0, 0, 0, 0, 0, 0}), "refused", 0,
       "firewall request rejected or failed"},
      {readSocks4Reply, bytes({0, 92, 0, 0, 0, 0, 0, 0}), "refused", 0,
       "firewall request rejected because identd is not available"},
      {readSocks4Reply, bytes({0, 93, 0, 0, 0, 0, 0, 0}), "refused", 0,
       "firewall request rejected because identd reports different user"},
      {readSocks4Reply, bytes({0, 94, 0, 0, 0, 0, 0, 0}), "refused", 0,
       "unknown firewall error: 94"},
      {readSocks4Reply, bytes({0, 0, 0, 0, 0, 0, 0, 0}), "refused", 0, "unknown firewall error: 0"},
      // SOCKS5 method selection.
      {readSocks5MethodReply, bytes({5}), "more", 0, ""},
      {readSocks5MethodReply, bytes({5, 0}), "accepted", 2, ""},
      {readSocks5MethodReply, bytes({5, 2}), "accepted", 2, ""},
      {readSocks5MethodReply, bytes({5, 255}), "refused", 0,
       "no acceptable firewall authentication methods"},
      {readSocks5MethodReply, bytes({5, 1}), "refused", 0,
       "unknown firewall authentication method"},
      // SOCKS5 user name and password verdict.
      {readSocks5AuthReply, bytes({1}), "more", 0, ""},
      {readSocks5AuthReply, bytes({1, 0}), "accepted", 2, ""},
      {readSocks5AuthReply, bytes({1, 1}), "refused", 0, "firewall authentication failed: 1"},
      {readSocks5AuthReply, bytes({1, 255}), "refused", 0, "firewall authentication failed: 255"},
      // SOCKS5 connect reply by its address type.
      {readSocks5ConnectReply, ok5.substr(0, 9), "more", 0, ""},
      {readSocks5ConnectReply, ok5, "accepted", 10, ""},
      {readSocks5ConnectReply, ok5 + "220 x", "accepted", 10, ""},
      {readSocks5ConnectReply, bytes({5, 0, 0, 3, 4}) + "abcd" + bytes({0, 25}), "accepted", 11,
       ""},
      {readSocks5ConnectReply, bytes({5, 0, 0, 3, 4}) + "abcd" + bytes({0}), "more", 0, ""},
      {readSocks5ConnectReply, bytes({5, 0, 0, 4}) + std::string(16, '\1') + bytes({0, 25}),
       "accepted", 22, ""},
      // HTTP CONNECT answers.
      {readTunnelReply, "HTTP/1.0 200 Connection established\r\n", "more", 0, ""},
      {readTunnelReply, "HTTP/1.0 200 Connection established\r\n\r\n", "accepted", 39, ""},
      {readTunnelReply, "HTTP/1.1 200 OK\r\nVia: p\r\n\r\n220 hi\r\n", "accepted", 27, ""},
      {readTunnelReply, "HTTP/1.1 200 OK\n\n220", "accepted", 17, ""},
      {readTunnelReply, "HTTP/1.0 403 Forbidden", "more", 0, ""},
      {readTunnelReply, "HTTP/1.0 403 Forbidden\r", "more", 0, ""},
      {readTunnelReply, "HTTP/1.0 403 Forbidden\r\n", "refused", 0,
       "Firewall error. HTTP/1.0 403 Forbidden."},
      {readTunnelReply, "HTTP/1.0   407 Denied.\r\nX: y\r\n", "refused", 0,
       "Firewall error. HTTP/1.0   407 Denied."},
      {readTunnelReply, "\r\n", "refused", 0, "Firewall error. ."},
  };
  for (const ReaderRow &r : rows) {
    const ReplyVerdict v = r.reader(r.in);
    EXPECT_STREQ(kindName(v.kind), r.kind) << testing::PrintToString(r.in);
    if (v.kind == ReplyVerdict::Accepted) {
      EXPECT_EQ(v.used, r.used) << testing::PrintToString(r.in);
    }
    EXPECT_EQ(v.text, r.text) << testing::PrintToString(r.in);
  }
}

TEST(FirewallReplyReaders, EverySocks5ReplyCodeHasItsText) {
  const char *texts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                         "network unreachable",          "host unreachable",
                         "connection refused",           "TTL expired",
                         "command not supported",        "address type not supported"};
  for (int code = 1; code <= 10; ++code) {
    // A refusal needs only its code: a proxy may close right after it.
    const ReplyVerdict v = readSocks5ConnectReply(bytes({5, code}));
    EXPECT_EQ(v.kind, ReplyVerdict::Refused) << code;
    EXPECT_EQ(v.code, code);
    EXPECT_EQ(v.text, code <= 8 ? std::string(texts[code - 1])
                                : "unknown firewall error: " + std::to_string(code));
  }
}

TEST(FirewallHttpPieces, SplitLinesAndNumbers) {
  const StatusLine st = splitStatusLine("HTTP/1.1  407 Proxy Authentication Required");
  EXPECT_EQ(st.version, "HTTP/1.1");
  EXPECT_EQ(st.status, "407");
  EXPECT_EQ(st.reason, "Proxy Authentication Required");
  EXPECT_EQ(splitStatusLine("HTTP/1.0").status, "");

  const auto h = splitHeaderLine("Proxy-Authenticate:  NTLM abc= ");
  ASSERT_TRUE(h);
  EXPECT_EQ(h->name, "Proxy-Authenticate");
  EXPECT_EQ(h->value, "NTLM abc=");
  EXPECT_FALSE(splitHeaderLine("no colon"));

  struct Num {
    const char *text;
    std::optional<uint64_t> chunk, length;
  };
  const Num nums[] = {
      {"0", 0, 0},
      {"1a", 26, std::nullopt},
      {"+ff;name=v", 255, std::nullopt},
      {"FF", 255, std::nullopt},
      {" 12 ", std::nullopt, 12},
      {"12", 18, 12},
      {"-5", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"x", std::nullopt, std::nullopt},
      {"ffffffffffffffffff", std::nullopt, std::nullopt},
      {"99999999999999999999", std::nullopt, std::nullopt},
  };
  for (const Num &n : nums) {
    EXPECT_EQ(readChunkSize(n.text), n.chunk) << n.text;
    EXPECT_EQ(readContentLength(n.text), n.length) << n.text;
  }
}

TEST(FirewallHttpPieces, Base64AgreesWithGLib) {
  for (const std::string &in : {""s, "a"s, "ab"s, "abc"s, "user:secret"s, "\xff\x00\x80"s,
                                std::string(255, 'u') + ":" + std::string(255, '\xfe')}) {
    gchar *ref = g_base64_encode(reinterpret_cast<const guchar *>(in.data()), in.size());
    EXPECT_EQ(base64Encode(in), ref) << testing::PrintToString(in);
    g_free(ref);
  }
}

// ---------------------------------------------------------------- conversations

// Tokens that show what they were given: the first names the package and the
// user, the next one echoes the server's challenge.
class RecordingTokens : public ProxyTokens {
 public:
  int initialise(std::string_view package, std::string_view user, std::string_view) override {
    calls.push_back("init " + std::string(package) + " " + std::string(user));
    return failInit ? 1 : 0;
  }
  int firstToken(std::string_view target, std::string &token) override {
    calls.push_back("first " + std::string(target));
    token = "T1";
    return 0;
  }
  int nextToken(std::string_view, std::string_view challenge, std::string &token) override {
    calls.push_back("next " + std::string(challenge));
    token = "T2";
    return failNext ? 1 : 0;
  }
  const std::string &errorText() const override { return error; }
  std::vector<std::string> calls;
  bool failInit = false, failNext = false;
  std::string error = "no credentials";
};

struct Result {
  NegotiationStep::Outcome outcome;
  std::string sent, event, text, rest;
  bool operator==(const Result &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Result &r) {
  return os << "outcome " << r.outcome << " sent " << testing::PrintToString(r.sent) << " event "
            << testing::PrintToString(r.event) << " text " << testing::PrintToString(r.text)
            << " rest " << testing::PrintToString(r.rest);
}

using O = NegotiationStep::Outcome;

// Runs one negotiation, the proxy's bytes cut into reads of `piece` bytes (0: all at once).
Result converse(const NegotiationSettings &s, const std::string &proxy, size_t piece,
                RecordingTokens *tokens = nullptr, bool closeAtEnd = false) {
  RecordingTokens own;
  FirewallNegotiation n;
  NegotiationStep step = n.start(s, tokens ? tokens : &own);
  Result r{step.outcome, step.send, step.event, step.text, step.rest};
  size_t off = 0;
  while (off < proxy.size() && !n.finished()) {
    const size_t len = piece == 0 ? proxy.size() - off : std::min(piece, proxy.size() - off);
    step = n.feed(std::string_view(proxy).substr(off, len));
    r = {step.outcome, r.sent + step.send, step.event, step.text, step.rest};
    off += len;
  }
  // After the end the connection reads for the server: later reads are its too.
  if (n.finished() && r.outcome == O::Complete) r.rest += proxy.substr(off);
  if (closeAtEnd && !n.finished()) {
    step = n.peerClosed();
    r = {step.outcome, r.sent, step.event, step.text, step.rest};
  }
  return r;
}

NegotiationSettings settingsFor(int type, std::string user = "", std::string password = "") {
  NegotiationSettings s;
  s.type = type;
  s.user = std::move(user);
  s.password = std::move(password);
  s.server = "mail.test";
  s.serverPort = 2525;
  s.serverAddress = htonl(0x7F000102);  // 127.0.1.2
  return s;
}

TEST(FirewallNegotiationTest, ConversationsEndAlikeHoweverTheBytesCome) {
  const std::string socks4Request = bytes({4, 1, 0x09, 0xDD, 127, 0, 1, 2}) + "ident"s + '\0';
  const std::string socks5Connect = bytes({5, 1, 0, 1, 127, 0, 1, 2, 0x09, 0xDD});
  const std::string socks5Named = bytes({5, 1, 0, 3, 9}) + "mail.test" + bytes({0x09, 0xDD});
  const std::string ok5 = bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x12, 0x34});
  NegotiationSettings named = settingsFor(kFirewallSocks5, "u", "p");
  named.server = "*mail.test";
  struct Row {
    const char *name;
    NegotiationSettings settings;
    std::string proxy;
    Result expected;
    bool closeAtEnd = false;
  };
  const Row rows[] = {
      {"tunnel",
       settingsFor(kFirewallTunnel),
       "HTTP/1.0 200 Connection established\r\n\r\n220 mail ready\r\n",
       {O::Complete, "CONNECT mail.test:2525 HTTP/1.0\r\n\r\n", "", "", "220 mail ready\r\n"}},
      {"tunnel with Basic",
       settingsFor(kFirewallTunnel, "user", "secret"),
       "HTTP/1.1 200 OK\r\nProxy-Agent: p\r\n\r\n",
       {O::Complete,
        "CONNECT mail.test:2525 HTTP/1.0\r\nProxy-Authorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\n",
        "", "", ""}},
      {"tunnel refused",
       settingsFor(kFirewallTunnel),
       "HTTP/1.0 403 Forbidden\r\nContent-Length: 3\r\n\r\nno\n",
       {O::Refused, "CONNECT mail.test:2525 HTTP/1.0\r\n\r\n", "HTTP/1.0 403 Forbidden",
        "Firewall error. HTTP/1.0 403 Forbidden.", ""}},
      {"socks4 granted",
       settingsFor(kFirewallSocks4, "ident"),
       bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "220 hi\r\n",
       {O::Complete, socks4Request, "", "", "220 hi\r\n"}},
      {"socks4 identd",
       settingsFor(kFirewallSocks4, "ident"),
       bytes({0, 92, 0, 0, 0, 0, 0, 0}),
       {O::Failed, socks4Request, "firewall request rejected because identd is not available",
        "firewall request rejected because identd is not available", ""}},
      {"socks5 without credentials",
       settingsFor(kFirewallSocks5, "only-user"),
       bytes({5, 0}) + ok5 + "220 x\r\n",
       {O::Complete, bytes({5, 1, 0}) + socks5Connect, "", "", "220 x\r\n"}},
      {"socks5 with credentials",
       settingsFor(kFirewallSocks5, "user", "secret"),
       bytes({5, 2, 1, 0}) + ok5,
       {O::Complete,
        bytes({5, 2, 0, 2}) + bytes({1, 4}) + "user" + bytes({6}) + "secret" + socks5Connect, "",
        "", ""}},
      {"socks5 name left to the proxy",
       named,
       bytes({5, 2, 1, 0}) + ok5,
       {O::Complete, bytes({5, 2, 0, 2, 1, 1}) + "u" + bytes({1}) + "p" + socks5Named, "", "", ""}},
      {"socks5 password refused",
       settingsFor(kFirewallSocks5, "user", "bad"),
       bytes({5, 2, 1, 1}),
       {O::Failed, bytes({5, 2, 0, 2, 1, 4}) + "user" + bytes({3}) + "bad",
        "firewall authentication failed: 1", "firewall authentication failed: 1", ""}},
      {"socks5 no method",
       settingsFor(kFirewallSocks5),
       bytes({5, 255}),
       {O::Failed, bytes({5, 1, 0}), "no acceptable firewall authentication methods",
        "no acceptable firewall authentication methods", ""}},
      {"socks5 host unreachable",
       settingsFor(kFirewallSocks5),
       bytes({5, 0, 5, 4, 0, 1, 0, 0, 0, 0, 0, 0}),
       {O::Failed, bytes({5, 1, 0}) + socks5Connect, "host unreachable", "host unreachable", ""}},
      {"socks5 closed mid-reply",
       settingsFor(kFirewallSocks5),
       bytes({5, 0, 5, 0, 0}),
       {O::Failed, bytes({5, 1, 0}) + socks5Connect,
        "the firewall closed the connection during the negotiation",
        "the firewall closed the connection during the negotiation", ""},
       true},
      {"tunnel closed mid-head",
       settingsFor(kFirewallTunnel),
       "HTTP/1.0 200 OK\r\nVia",
       {O::Failed, "CONNECT mail.test:2525 HTTP/1.0\r\n\r\n",
        "the firewall closed the connection during the negotiation",
        "the firewall closed the connection during the negotiation", ""},
       true},
      {"tunnel head too long",
       settingsFor(kFirewallTunnel),
       "HTTP/1.0 200 OK\r\nX: " + std::string(kMaxReplyBytes, 'x') + "\r\n\r\n",
       {O::Failed, "CONNECT mail.test:2525 HTTP/1.0\r\n\r\n", "the firewall's reply is too long",
        "the firewall's reply is too long", ""}},
  };
  for (const Row &r : rows) {
    for (size_t piece : {0, 1, 2, 3, 7}) {
      EXPECT_EQ(converse(r.settings, r.proxy, piece, nullptr, r.closeAtEnd), r.expected)
          << r.name << ", pieces of " << piece;
    }
  }
}

TEST(FirewallNegotiationTest, RequestsThatCannotBeSentFailBeforeAnyByte) {
  NegotiationSettings longName = settingsFor(kFirewallSocks5);
  longName.server = "*" + std::string(256, 'n');
  // The request only goes out after the method reply; a 255-byte name is the largest.
  Result r = converse(longName, bytes({5, 0}), 0);
  EXPECT_EQ(r.outcome, O::Failed);
  EXPECT_EQ(r.sent, bytes({5, 1, 0}));
  EXPECT_EQ(r.text,
            "the mail server's name is too long for the SOCKS5 firewall (at most 255 bytes)");
  longName.server.pop_back();
  r = converse(longName, bytes({5, 0}), 0);
  EXPECT_EQ(r.outcome, O::Continue);
  EXPECT_EQ(r.sent, bytes({5, 1, 0, 5, 1, 0, 3, 255}) + std::string(255, 'n') + bytes({9, 0xDD}));

  NegotiationSettings injected = settingsFor(kFirewallTunnel);
  injected.server = "mail.test:25 HTTP/1.0\r\nX-Evil: 1\r\n";
  r = converse(injected, "", 0);
  EXPECT_EQ(r.outcome, O::Failed);
  EXPECT_EQ(r.sent, "");

  // Users and passwords longer than a length byte are cut, never wrapped.
  r = converse(settingsFor(kFirewallSocks5, std::string(300, 'u'), std::string(300, 'p')),
               bytes({5, 2}), 0);
  EXPECT_EQ(r.sent, bytes({5, 2, 0, 2, 1, 255}) + std::string(255, 'u') + bytes({255}) +
                        std::string(255, 'p'));
}

TEST(FirewallNegotiationTest, NtlmAndNegotiateRoundsReadTheChallengeAndSkipTheBody) {
  const std::string first407 =
      "HTTP/1.1 407 Proxy Authentication Required\r\n"
      "Proxy-Authenticate: Basic realm=\"x\"\r\n"
      "Proxy-Authenticate: %PKG% CHALLENGE==\r\n";
  const std::string granted = "HTTP/1.1 200 Connection established\r\nVia: p\r\n\r\n";
  struct Row {
    const char *name;
    int type;
    std::string headersAndBody;  // after first407
    std::string after;           // the answer to the second request
    O outcome;
    std::string text;
    std::string rest;
  };
  const Row rows[] = {
      {"content length", kFirewallTunnelNtlm, "Content-Length: 13\r\n\r\nAccess denied",
       granted + "220 ok\r\n", O::Complete, "", "220 ok\r\n"},
      {"content length with lines", kFirewallTunnelNegotiate,
       "content-length: 16\r\n\r\nline one\r\nline\n", granted, O::Complete, "", ""},
      {"no body", kFirewallTunnelNtlm, "Content-Length: 0\r\n\r\n", granted, O::Complete, "", ""},
      {"chunked", kFirewallTunnelNegotiate,
       "Transfer-Encoding: Chunked\r\n\r\n5\r\nhello\r\nA;ext=1\r\n0123456789\r\n0\r\n\r\n",
       granted, O::Complete, "", ""},
      {"chunked with trailer", kFirewallTunnelNtlm,
       "Transfer-Encoding: chunked\r\n\r\n4\r\n\r\n\r\n\r\n0\r\nX-T: 1\r\n\r\n", granted,
       O::Complete, "", ""},
      {"second answer refused", kFirewallTunnelNtlm, "Content-Length: 0\r\n\r\n",
       "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", O::Refused,
       "Firewall error: 407 Proxy Authentication Required", ""},
      {"bad chunk size", kFirewallTunnelNtlm, "Transfer-Encoding: chunked\r\n\r\nzz\r\n", "",
       O::Failed, "the firewall sent an invalid chunk size", ""},
      {"bad content length", kFirewallTunnelNtlm, "Content-Length: 1x\r\n\r\n", "", O::Failed,
       "the firewall sent an invalid Content-Length", ""},
  };
  for (const Row &r : rows) {
    const std::string pkg = r.type == kFirewallTunnelNtlm ? "NTLM" : "Negotiate";
    std::string challenge = first407;
    challenge.replace(challenge.find("%PKG%"), 5, pkg);
    for (size_t piece : {0, 1, 5}) {
      RecordingTokens tokens;
      const Result res = converse(settingsFor(r.type, "alice", "pw"),
                                  challenge + r.headersAndBody + r.after, piece, &tokens);
      EXPECT_EQ(res.outcome, r.outcome) << r.name << " " << piece << " " << res;
      EXPECT_EQ(res.text, r.text) << r.name;
      EXPECT_EQ(res.rest, r.rest) << r.name;
      const std::string request1 =
          "CONNECT mail.test:2525 HTTP/1.0\r\nProxy-Authorization: " + pkg +
          " T1\r\nProxy-Connection: Keep-Alive\r\n\r\n";
      const std::string request2 =
          "CONNECT mail.test:2525 HTTP/1.0\r\nProxy-Authorization: " + pkg +
          " T2\r\nProxy-Connection: Keep-Alive\r\n\r\n";
      if (r.outcome == O::Failed) {
        EXPECT_EQ(res.sent, request1) << r.name;
        continue;
      }
      EXPECT_EQ(res.sent, request1 + request2) << r.name << " " << piece;
      EXPECT_EQ(tokens.calls, (std::vector<std::string>{"init " + pkg + " alice", "first mail.test",
                                                        "next CHALLENGE=="}))
          << r.name;
    }
  }
}

TEST(FirewallNegotiationTest, AuthenticatedTunnelFailuresAndRefusals) {
  RecordingTokens failing;
  failing.failInit = true;
  Result r = converse(settingsFor(kFirewallTunnelNtlm), "", 0, &failing);
  EXPECT_EQ(r.outcome, O::Failed);
  EXPECT_EQ(r.text, "no credentials");
  EXPECT_EQ(r.sent, "");

  RecordingTokens noNext;
  noNext.failNext = true;
  noNext.error = "";
  r = converse(settingsFor(kFirewallTunnelNtlm),
               "HTTP/1.0 407 x\r\nProxy-Authenticate: NTLM abc\r\n\r\n", 1, &noNext);
  EXPECT_EQ(r.outcome, O::Failed);
  EXPECT_EQ(r.text, "the firewall authentication token could not be computed");

  // A first answer other than 401/407, success included, is a refusal of the tunnel.
  for (const char *line : {"HTTP/1.1 200 OK", "HTTP/1.1 403 Forbidden", "HTTP/1.0 502 Bad gw"}) {
    r = converse(settingsFor(kFirewallTunnelNegotiate), line + "\r\n\r\n"s, 0);
    EXPECT_EQ(r.outcome, O::Refused) << line;
    EXPECT_EQ(r.event, line);
    const StatusLine st = splitStatusLine(line);
    EXPECT_EQ(r.text, "Firewall error: " + st.status + " " + st.reason);
  }
}

TEST(FirewallNegotiationTest, DefaultPortsByType) {
  const int expected[] = {0, 80, 1080, 1080, 80, 80, 0};
  for (int type = 0; type <= 6; ++type) EXPECT_EQ(firewallDefaultPort(type), expected[type]);
  EXPECT_EQ(firewallDefaultPort(-1), 0);
}

// ---------------------------------------------------------------- the desktop's setting

TEST(ProxyAutoDetect, ReadsSocksUrls) {
  struct Row {
    const char *url;
    std::optional<std::string> host;
    int port;
  };
  const Row rows[] = {
      {"socks5://127.0.0.1:1080", "127.0.0.1", 1080},
      {"SOCKS5H://proxy.test:9050/", "proxy.test", 9050},
      {"socks://user:pw@proxy.test:1081", "proxy.test", 1081},
      {"socks4://[::1]:1082", "::1", 1082},
      {"socks5://proxy.test:0", "proxy.test", 0},
      {"socks5://proxy.test:99999", "proxy.test", 0},
      {"socks5://proxy.test", std::nullopt, 0},
      {"socks5://:1080", std::nullopt, 0},
      {"socks5://proxy.test:", std::nullopt, 0},
      {"http://proxy.test:3128", std::nullopt, 0},
      {"proxy.test:1080", std::nullopt, 0},
      {"", std::nullopt, 0},
  };
  for (const Row &r : rows) {
    const std::optional<DetectedProxy> p = socksFromProxyUrl(r.url);
    EXPECT_EQ(p.has_value(), r.host.has_value()) << r.url;
    if (p && r.host) {
      EXPECT_EQ(p->host, *r.host) << r.url;
      EXPECT_EQ(p->port, r.port) << r.url;
    }
  }
}

// ---------------------------------------------------------------- the fuzz target's seeds

TEST(FirewallReplyCorpus, EverySeedReplaysAndEndsAsItsNameSays) {
  const std::pair<const char *, O> ends[] = {
      {"tunnel_ok", O::Complete},         {"tunnel_403", O::Refused},
      {"tunnel_lf_only", O::Complete},    {"socks4_granted", O::Complete},
      {"socks4_91", O::Failed},           {"socks5_none", O::Complete},
      {"socks5_auth", O::Complete},       {"socks5_refused", O::Failed},
      {"socks5_255", O::Failed},          {"ntlm_length", O::Complete},
      {"negotiate_chunked", O::Complete}, {"ntlm_second_407", O::Refused},
  };
  size_t seeds = 0;
  for (const auto &entry : std::filesystem::directory_iterator(SMTP_FIREWALL_CORPUS_DIR)) {
    const std::string seed = testsupport::readFileText(entry.path());
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(seed.data()), seed.size()),
              0);
    ++seeds;
  }
  EXPECT_GE(seeds, std::size(ends));
  for (const auto &[name, outcome] : ends) {
    const std::string seed =
        testsupport::readFileText(std::filesystem::path(SMTP_FIREWALL_CORPUS_DIR) / name);
    ASSERT_GE(seed.size(), 2u) << name;
    NegotiationSettings s = settingsFor(static_cast<unsigned char>(seed[0]) % 5 + 1, "u", "p");
    if (s.type == kFirewallSocks5) s.server = "*mail.test";
    EXPECT_EQ(converse(s, seed.substr(2), 1).outcome, outcome) << name;
  }
}

}  // namespace
