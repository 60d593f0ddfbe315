#include "proxy/firewall_negotiation.h"

#include <algorithm>
#include <cstdio>

#include "connection/reply_reader.h"
#include "proxy/proxy_text.h"

namespace pelnet::smtp {

namespace {

constexpr const char *kTextAuthTunnelRefused = "Firewall error: ";
constexpr const char *kTextClosedDuringNegotiation =
    "the firewall closed the connection during the negotiation";
constexpr const char *kTextReplyTooLong = "the firewall's reply is too long";
constexpr const char *kTextNameTooLong =
    "the mail server's name is too long for the SOCKS5 firewall (at most 255 bytes)";
constexpr const char *kTextBadServerText =
    "the mail server's name must not contain CR, LF or NUL characters for a firewall";
constexpr const char *kTextBadChunkSize = "the firewall sent an invalid chunk size";
constexpr const char *kTextBadContentLength = "the firewall sent an invalid Content-Length";
constexpr const char *kTextNoToken = "the firewall authentication token could not be computed";
constexpr const char *kTextUnknownType = "unknown firewall type: %d";

bool sameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view v) {
  while (!v.empty() && isBlank(v.front())) v.remove_prefix(1);
  while (!v.empty() && isBlank(v.back())) v.remove_suffix(1);
  return v;
}

const char *packageOf(int type) { return type == kFirewallTunnelNtlm ? "NTLM" : "Negotiate"; }

}  // namespace

int firewallDefaultPort(int type) {
  switch (type) {
    case kFirewallTunnel:
    case kFirewallTunnelNtlm:
    case kFirewallTunnelNegotiate:
      return 80;
    case kFirewallSocks4:
    case kFirewallSocks5:
      return 1080;
    default:
      return 0;
  }
}

// ---------------------------------------------------------------- HTTP pieces

StatusLine splitStatusLine(std::string_view line) {
  StatusLine out;
  size_t i = 0;
  auto word = [&](std::string &to) {
    while (i < line.size() && line[i] == ' ') ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    to = line.substr(start, i - start);
  };
  word(out.version);
  word(out.status);
  while (i < line.size() && line[i] == ' ') ++i;
  out.reason = line.substr(i);
  return out;
}

std::optional<HeaderLine> splitHeaderLine(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  return HeaderLine{trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1))};
}

std::optional<uint64_t> readChunkSize(std::string_view line) {
  size_t i = 0;
  if (i < line.size() && line[i] == '+') ++i;
  uint64_t n = 0;
  size_t digits = 0;
  for (; i < line.size(); ++i, ++digits) {
    const char ch = line[i];
    int d;
    if (ch >= '0' && ch <= '9')
      d = ch - '0';
    else if (ch >= 'a' && ch <= 'f')
      d = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F')
      d = ch - 'A' + 10;
    else
      break;
    if (n > (UINT64_C(1) << 59)) return std::nullopt;
    n = n * 16 + static_cast<uint64_t>(d);
  }
  if (digits == 0) return std::nullopt;
  return n;
}

std::optional<uint64_t> readContentLength(std::string_view value) {
  value = trimmed(value);
  if (value.empty()) return std::nullopt;
  uint64_t n = 0;
  for (const char ch : value) {
    if (ch < '0' || ch > '9') return std::nullopt;
    if (n > (UINT64_C(1) << 59)) return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(ch - '0');
  }
  return n;
}

std::string base64Encode(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[v >> 18 & 63];
    out += kDigits[v >> 12 & 63];
    out += kDigits[v >> 6 & 63];
    out += kDigits[v & 63];
  }
  const size_t left = bytes.size() - i;
  if (left > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (left == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kDigits[v >> 18 & 63];
    out += kDigits[v >> 12 & 63];
    out += left == 2 ? kDigits[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

// ---------------------------------------------------------------- the negotiation

bool FirewallNegotiation::needsServerAddress(const NegotiationSettings &s) {
  return s.type == kFirewallSocks4 ||
         (s.type == kFirewallSocks5 && (s.server.empty() || s.server[0] != '*'));
}

NegotiationStep FirewallNegotiation::fail(std::string text) {
  NegotiationStep step;
  step.outcome = NegotiationStep::Failed;
  step.event = text;
  step.text = std::move(text);
  phase_ = Phase::Done;
  collected_.clear();
  return step;
}

std::string FirewallNegotiation::connectLine() const {
  return "CONNECT " + s_.server + ":" + std::to_string(s_.serverPort) + " HTTP/1.0\r\n";
}

std::string FirewallNegotiation::socks5ConnectRequest(std::string *why) const {
  std::string r = {5, 1, 0};
  if (!s_.server.empty() && s_.server[0] == '*') {
    const std::string_view name = std::string_view(s_.server).substr(1);
    // One length byte: a longer name would reach the proxy cut, as another name.
    if (name.size() > 255) {
      *why = kTextNameTooLong;
      return {};
    }
    r += static_cast<char>(3);
    r += static_cast<char>(name.size());
    r += name;
  } else {
    r += static_cast<char>(1);
    const uint32_t a = s_.serverAddress;  // network byte order: the bytes as they are
    r.append(reinterpret_cast<const char *>(&a), 4);
  }
  r += static_cast<char>(s_.serverPort >> 8 & 0xFF);
  r += static_cast<char>(s_.serverPort & 0xFF);
  return r;
}

NegotiationStep FirewallNegotiation::start(const NegotiationSettings &settings,
                                           ProxyTokens *tokens) {
  s_ = settings;
  s_.user.resize(std::min(s_.user.size(), kFirewallFieldMax));
  s_.password.resize(std::min(s_.password.size(), kFirewallFieldMax));
  tokens_ = tokens;
  collected_.clear();
  remaining_ = 0;
  chunked_ = false;
  challenge_.clear();
  NegotiationStep step;
  const bool httpTunnel = s_.type == kFirewallTunnel || s_.type == kFirewallTunnelNtlm ||
                          s_.type == kFirewallTunnelNegotiate;
  // The name goes into a request line: a line break would add lines of its own.
  if (httpTunnel && s_.server.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    return fail(kTextBadServerText);
  switch (s_.type) {
    case kFirewallTunnel:
      step.send = connectLine();
      if (!s_.user.empty() || !s_.password.empty())
        step.send +=
            "Proxy-Authorization: Basic " + base64Encode(s_.user + ":" + s_.password) + "\r\n";
      step.send += "\r\n";
      phase_ = Phase::Tunnel;
      return step;
    case kFirewallSocks4: {
      step.send = {4, 1};
      step.send += static_cast<char>(s_.serverPort >> 8 & 0xFF);
      step.send += static_cast<char>(s_.serverPort & 0xFF);
      const uint32_t a = s_.serverAddress;
      step.send.append(reinterpret_cast<const char *>(&a), 4);
      // The user id ends at its first zero byte on the proxy's side.
      step.send += s_.user.substr(0, s_.user.find('\0'));
      step.send += '\0';
      phase_ = Phase::Socks4;
      return step;
    }
    case kFirewallSocks5:
      if (s_.user.empty() || s_.password.empty())
        step.send = {5, 1, 0};
      else
        step.send = {5, 2, 0, 2};
      phase_ = Phase::Socks5Method;
      return step;
    case kFirewallTunnelNtlm:
    case kFirewallTunnelNegotiate: {
      if (tokens_ == nullptr) return fail(kTextNoToken);
      std::string token;
      if (tokens_->initialise(packageOf(s_.type), s_.user, s_.password) != 0 ||
          tokens_->firstToken(s_.server, token) != 0)
        return fail(tokens_->errorText().empty() ? kTextNoToken : tokens_->errorText());
      phase_ = Phase::AuthStatus;
      return authRound(std::move(token), true);
    }
    default:
      return fail(withNumber(kTextUnknownType, s_.type));
  }
}

NegotiationStep FirewallNegotiation::authRound(std::string &&token, bool first) {
  NegotiationStep step;
  step.send = connectLine() + "Proxy-Authorization: " + packageOf(s_.type) + " " + token +
              "\r\nProxy-Connection: Keep-Alive\r\n\r\n";
  phase_ = first ? Phase::AuthStatus : Phase::AuthSecondStatus;
  return step;
}

NegotiationStep FirewallNegotiation::peerClosed() {
  if (phase_ == Phase::Done || phase_ == Phase::Idle) return {};
  return fail(kTextClosedDuringNegotiation);
}

ReplyVerdict FirewallNegotiation::readReply() const {
  // Replies are judged on at most kMaxReplyBytes, however the bytes came in,
  // so a reply too long fails alike whether it came at once or in pieces.
  const std::string_view judged =
      std::string_view(collected_).substr(0, std::min(collected_.size(), kMaxReplyBytes));
  switch (phase_) {
    case Phase::Tunnel:
      return readTunnelReply(judged);
    case Phase::Socks4:
      return readSocks4Reply(judged);
    case Phase::Socks5Method:
      return readSocks5MethodReply(judged);
    case Phase::Socks5Auth:
      return readSocks5AuthReply(judged);
    case Phase::Socks5Connect:
      return readSocks5ConnectReply(judged);
    default:
      return {};
  }
}

NegotiationStep FirewallNegotiation::refusedBy(std::string event, std::string text) {
  NegotiationStep step;
  step.outcome = NegotiationStep::Refused;
  step.event = std::move(event);
  step.text = std::move(text);
  phase_ = Phase::Done;
  collected_.clear();
  return step;
}

NegotiationStep FirewallNegotiation::feed(std::string_view bytes) {
  if (phase_ == Phase::Done || phase_ == Phase::Idle) return {};
  collected_.append(bytes);
  // An HTTP answer moves on only at a line end: without a new one there is
  // nothing to judge again (a proxy sending a byte at a time costs no rescans).
  const bool httpLines =
      phase_ == Phase::Tunnel || (phase_ >= Phase::AuthStatus && phase_ != Phase::AuthBody);
  if (httpLines && bytes.find('\n') == std::string_view::npos) {
    if (collected_.size() >= kMaxReplyBytes) return fail(kTextReplyTooLong);
    return {};
  }
  if (phase_ >= Phase::AuthStatus) return feedAuth();
  ReplyVerdict v = readReply();
  if (v.kind == ReplyVerdict::NeedMore) {
    if (collected_.size() >= kMaxReplyBytes) return fail(kTextReplyTooLong);
    return {};
  }
  if (v.kind == ReplyVerdict::Refused) {
    if (phase_ != Phase::Tunnel) return fail(std::move(v.text));
    // An HTTP refusal is an answer, not a broken connection: it stays open.
    return refusedBy(std::move(v.reply), std::move(v.text));
  }
  // Accepted: what follows the reply belongs to the next one, or to the server.
  std::string rest = collected_.substr(std::min(v.used, collected_.size()));
  collected_.clear();
  NegotiationStep step;
  switch (phase_) {
    case Phase::Socks5Method:
      if (v.code == 2) {
        step.send = {1};
        step.send += static_cast<char>(s_.user.size());
        step.send += s_.user;
        step.send += static_cast<char>(s_.password.size());
        step.send += s_.password;
        phase_ = Phase::Socks5Auth;
        break;
      }
      [[fallthrough]];
    case Phase::Socks5Auth: {
      std::string why;
      step.send = socks5ConnectRequest(&why);
      if (!why.empty()) return fail(why);
      phase_ = Phase::Socks5Connect;
      break;
    }
    default:  // the tunnel stands
      step.outcome = NegotiationStep::Complete;
      step.rest = std::move(rest);
      phase_ = Phase::Done;
      return step;
  }
  // A proxy that answered ahead in the same read: the next reply is judged now
  // (each pass moves on by a phase, so this ends).
  if (rest.empty()) return step;
  NegotiationStep next = feed(rest);
  next.send = step.send + next.send;
  return next;
}

std::optional<std::string> FirewallNegotiation::takeLine() {
  const size_t lf = collected_.find('\n');
  if (lf == std::string::npos || lf >= kMaxReplyBytes) return std::nullopt;
  std::string line = collected_.substr(0, lf);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  collected_.erase(0, lf + 1);
  return line;
}

// The NTLM and Negotiate rounds: the 401/407 answer with the server's
// challenge (its body skipped by Content-Length or by chunks), the second
// CONNECT with the answer to it, and the final status.
NegotiationStep FirewallNegotiation::feedAuth() {
  // Each pass takes a line or body bytes off the collection, so the loop ends with it.
  while (phase_ != Phase::Done) {
    if (phase_ == Phase::AuthBody) {
      if (remaining_ > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining_, collected_.size()));
        collected_.erase(0, n);
        remaining_ -= n;
        if (remaining_ > 0) return {};
      }
      if (!chunked_) return answerChallenge();
      phase_ = Phase::AuthChunkEnd;
      continue;
    }
    std::optional<std::string> line = takeLine();
    if (!line) {
      if (collected_.size() >= kMaxReplyBytes) return fail(kTextReplyTooLong);
      return {};
    }
    if (std::optional<NegotiationStep> step = onAuthLine(*line)) return std::move(*step);
  }
  return {};
}

NegotiationStep FirewallNegotiation::answerChallenge() {
  std::string token;
  if (tokens_->nextToken(s_.server, challenge_, token) != 0)
    return fail(tokens_->errorText().empty() ? kTextNoToken : tokens_->errorText());
  NegotiationStep step = authRound(std::move(token), false);
  // Whatever else came belongs to the answer to the second request.
  if (!collected_.empty()) {
    NegotiationStep more = feedAuth();
    more.send = step.send + more.send;
    return more;
  }
  return step;
}

std::optional<NegotiationStep> FirewallNegotiation::onAuthLine(const std::string &line) {
  switch (phase_) {
    case Phase::AuthStatus:
    case Phase::AuthSecondStatus:
      return onAuthStatusLine(line);
    case Phase::AuthHeaders:
      if (line.empty()) {
        phase_ = chunked_ ? Phase::AuthChunkSize : Phase::AuthBody;
        return std::nullopt;
      }
      return onAuthHeaderLine(line);
    case Phase::AuthChunkSize: {
      const std::optional<uint64_t> n = readChunkSize(line);
      if (!n) return fail(kTextBadChunkSize);
      remaining_ = *n;
      phase_ = *n == 0 ? Phase::AuthTrailer : Phase::AuthBody;
      return std::nullopt;
    }
    case Phase::AuthChunkEnd:
      if (!line.empty()) return fail(kTextBadChunkSize);
      phase_ = Phase::AuthChunkSize;
      return std::nullopt;
    case Phase::AuthTrailer:
      if (line.empty()) {
        chunked_ = false;  // the body has ended: the next pass sends the answer
        remaining_ = 0;
        phase_ = Phase::AuthBody;
      }
      return std::nullopt;
    case Phase::AuthSecondHeaders:
      if (line.empty()) {
        NegotiationStep step;
        step.outcome = NegotiationStep::Complete;
        step.rest = std::move(collected_);
        collected_.clear();
        phase_ = Phase::Done;
        return step;
      }
      return std::nullopt;
    default:
      return NegotiationStep{};
  }
}

std::optional<NegotiationStep> FirewallNegotiation::onAuthStatusLine(const std::string &line) {
  const StatusLine st = splitStatusLine(line);
  const bool first = phase_ == Phase::AuthStatus;
  const bool challenge = first && (st.status == "401" || st.status == "407");
  const bool granted = !first && !st.status.empty() && st.status[0] == '2';
  if (!challenge && !granted)
    return refusedBy(line, kTextAuthTunnelRefused + st.status + " " + st.reason);
  remaining_ = 0;
  chunked_ = false;
  phase_ = first ? Phase::AuthHeaders : Phase::AuthSecondHeaders;
  return std::nullopt;
}

std::optional<NegotiationStep> FirewallNegotiation::onAuthHeaderLine(const std::string &line) {
  const std::optional<HeaderLine> h = splitHeaderLine(line);
  if (!h) return std::nullopt;
  if (sameNoCase(h->name, "Content-Length")) {
    const std::optional<uint64_t> n = readContentLength(h->value);
    if (!n) return fail(kTextBadContentLength);
    remaining_ = *n;
  } else if (sameNoCase(h->name, "Transfer-Encoding")) {
    chunked_ = sameNoCase(h->value, "chunked");
  } else if (sameNoCase(h->name, "Proxy-Authenticate")) {
    // Several schemes may be offered; the token is the one of ours.
    const std::string_view scheme = h->value.substr(0, h->value.find(' '));
    if (sameNoCase(scheme, packageOf(s_.type)))
      challenge_ = trimmed(h->value.substr(scheme.size()));
  }
  return std::nullopt;
}

}  // namespace pelnet::smtp
