// The negotiation with a firewall or proxy that stands between the mail
// connection and its server: an HTTP proxy's CONNECT tunnel (without
// authentication, with Basic, or with NTLM or Negotiate rounds), SOCKS4, and
// SOCKS5 with or without a user name and password.
//
// Everything here works on bytes only, without a socket: the connection feeds
// what it receives and sends what a step asks for.  The readers of the proxy's
// replies are pure functions over the bytes collected so far and only ever
// look at what is there (ByteReader), so a reply that arrives in one read, in
// several or a byte at a time gives the same result, and a hostile proxy can
// neither make them read past its bytes nor grow the collection beyond
// kMaxReplyBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pelnet/smtp_setting_rules.h"

namespace pelnet::smtp {

enum FirewallType : int {
  kFirewallNone = 0,
  kFirewallTunnel = 1,  // HTTP CONNECT, Basic when a user or password is set
  kFirewallSocks4 = 2,
  kFirewallSocks5 = 3,
  kFirewallTunnelNtlm = 4,       // HTTP CONNECT with NTLM proxy authentication
  kFirewallTunnelNegotiate = 5,  // HTTP CONNECT with Negotiate proxy authentication
};

// The port a firewall type starts with: 80 for the HTTP tunnels, 1080 for SOCKS, else 0.
int firewallDefaultPort(int type);

// User names and passwords of the firewall are kept to this many bytes (one
// length byte in the SOCKS5 user name and password request).
inline constexpr size_t kFirewallFieldMax = rules::kProxyFieldMax;
// At most this many bytes of one reply (or of one HTTP header line) are collected.
inline constexpr size_t kMaxReplyBytes = 16384;

// What a reader made of the bytes collected so far.
struct ReplyVerdict {
  enum Kind { NeedMore, Accepted, Refused } kind = NeedMore;
  size_t used = 0;    // Accepted: the length of the reply; the bytes after it are the server's
  int code = 0;       // the proxy's code (SOCKS reply byte, chosen method, HTTP status digit)
  std::string text;   // Refused: why, as the connection reports it
  std::string reply;  // Refused by an HTTP proxy: its status line
};

// ---- pure readers of one reply ----
// SOCKS4: 8 bytes, the second one 90 when granted.
ReplyVerdict readSocks4Reply(std::string_view bytes);
// SOCKS5 method selection: 2 bytes; Accepted with code 0 (none) or 2 (user name and password).
ReplyVerdict readSocks5MethodReply(std::string_view bytes);
// SOCKS5 user name and password verdict: 2 bytes, the second one 0 when accepted.
ReplyVerdict readSocks5AuthReply(std::string_view bytes);
// SOCKS5 connect reply: 4 bytes, then the bound address by its type (IPv4 4
// bytes, a name with its length byte, IPv6 16 bytes), then 2 bytes of port.
ReplyVerdict readSocks5ConnectReply(std::string_view bytes);
// The answer of an HTTP proxy to CONNECT: refused as soon as its status line
// is complete and the status does not begin with "2"; accepted once the head
// (status line and header lines) has ended with an empty line.
ReplyVerdict readTunnelReply(std::string_view bytes);

// ---- pieces of the HTTP rounds ----
struct StatusLine {
  std::string version, status, reason;
};
// "version status reason" split at the first two runs of spaces.
StatusLine splitStatusLine(std::string_view line);
struct HeaderLine {
  std::string_view name, value;  // value without the blanks around it
};
// "name: value"; nullopt without a colon.
std::optional<HeaderLine> splitHeaderLine(std::string_view line);
// Hexadecimal digits after an optional "+" up to the first other byte
// (chunk extensions); nullopt without a digit, with a "-" or past 2^63.
std::optional<uint64_t> readChunkSize(std::string_view line);
// Decimal digits, blanks around allowed; nullopt otherwise or past 2^63.
std::optional<uint64_t> readContentLength(std::string_view value);
// RFC 4648 base64 with padding, on one line.
std::string base64Encode(std::string_view bytes);

// The security context that computes the proxy authentication tokens of the
// NTLM and Negotiate tunnels (base64 tokens, as they travel in the headers).
class ProxyTokens {
 public:
  virtual ~ProxyTokens() = default;
  virtual int initialise(std::string_view package, std::string_view user,
                         std::string_view password) = 0;
  virtual int firstToken(std::string_view target, std::string &base64Token) = 0;
  virtual int nextToken(std::string_view target, std::string_view base64Challenge,
                        std::string &base64Token) = 0;
  virtual const std::string &errorText() const = 0;
};

// What the negotiation asks of the connection after a start or a feed.
struct NegotiationStep {
  enum Outcome {
    Continue,  // send `send` (when not empty) and wait for more bytes
    Complete,  // send `send` when not empty; the tunnel stands; `rest` is the server's
    Refused,   // an HTTP proxy said no: `event` for OnError 118, `text` the connect's
               // result text; the socket stays open
    Failed,    // `event` for OnError 118 and `text` (may be empty); the connection closes
  } outcome = Continue;
  std::string send;
  std::string event;
  std::string text;
  std::string rest;
};

struct NegotiationSettings {
  int type = kFirewallNone;
  std::string user, password;  // at most kFirewallFieldMax bytes each
  std::string server;  // MailServer as written ("*name": SOCKS5 leaves the name to the proxy)
  int serverPort = 25;
  // SOCKS4, and SOCKS5 without "*": the server's IPv4 address, network byte order.
  uint32_t serverAddress = 0;
};

class FirewallNegotiation {
 public:
  // True when the type needs the server's address resolved before the start.
  static bool needsServerAddress(const NegotiationSettings &s);

  // The first request.  `tokens` is used by types 4 and 5 only and must outlive the negotiation.
  NegotiationStep start(const NegotiationSettings &settings, ProxyTokens *tokens);
  // Bytes the proxy sent.  After Complete, Refused or Failed nothing more is taken.
  NegotiationStep feed(std::string_view bytes);
  // The proxy closed the connection before the negotiation ended.
  NegotiationStep peerClosed();

  bool finished() const { return phase_ == Phase::Done; }

 private:
  enum class Phase {
    Idle,
    Tunnel,            // type 1: the answer to CONNECT
    Socks4,            // the 8-byte reply
    Socks5Method,      // the method selection
    Socks5Auth,        // the user name and password verdict
    Socks5Connect,     // the connect reply
    AuthStatus,        // types 4/5: the first status line
    AuthHeaders,       // the headers of the 401/407 answer
    AuthBody,          // its body, by Content-Length or by chunk
    AuthChunkEnd,      // the line end after a chunk's data
    AuthChunkSize,     // a chunk size line
    AuthTrailer,       // the trailer lines after the last chunk
    AuthSecondStatus,  // the answer to the second CONNECT
    AuthSecondHeaders,
    Done,
  };

  NegotiationStep fail(std::string text);
  std::string connectLine() const;
  std::string socks5ConnectRequest(std::string *why) const;
  NegotiationStep authRound(std::string &&token, bool first);
  // The reader of the current phase over what has been collected.
  ReplyVerdict readReply() const;
  // An HTTP proxy said no: its status line for OnError and the connect's text.
  NegotiationStep refusedBy(std::string event, std::string text);
  NegotiationStep feedAuth();
  // The challenge's body is over: the second CONNECT with the answer token.
  NegotiationStep answerChallenge();
  // One line of the authenticated tunnel's answers; nullopt: take the next one.
  std::optional<NegotiationStep> onAuthLine(const std::string &line);
  std::optional<NegotiationStep> onAuthStatusLine(const std::string &line);
  std::optional<NegotiationStep> onAuthHeaderLine(const std::string &line);
  // Takes one line (without its CR LF or LF) off the collection; nullopt when none is complete.
  std::optional<std::string> takeLine();

  NegotiationSettings s_;
  ProxyTokens *tokens_ = nullptr;
  Phase phase_ = Phase::Idle;
  std::string collected_;
  uint64_t remaining_ = 0;  // body bytes still to come (AuthBody)
  bool chunked_ = false;
  std::string challenge_;  // the server's token from Proxy-Authenticate
};

}  // namespace pelnet::smtp
