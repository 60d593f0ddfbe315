// The pure readers of one firewall reply (SOCKS4, SOCKS5, the answer to an
// HTTP CONNECT): each looks only at the bytes collected so far.
#include <iterator>

#include "connection/reply_reader.h"
#include "proxy/firewall_negotiation.h"
#include "proxy/proxy_text.h"

namespace pelnet::smtp {

namespace {

constexpr const char *kTextSocks4Rejected = "firewall request rejected or failed";
constexpr const char *kTextSocks4NoIdentd =
    "firewall request rejected because identd is not available";
constexpr const char *kTextSocks4IdentdUser =
    "firewall request rejected because identd reports different user";
constexpr const char *kTextUnknownFirewallError = "unknown firewall error: %d";
constexpr const char *kTextNoAcceptableMethods = "no acceptable firewall authentication methods";
constexpr const char *kTextUnknownMethod = "unknown firewall authentication method";
constexpr const char *kTextAuthFailed = "firewall authentication failed: %d";
constexpr const char *kTextTunnelRefused = "Firewall error. ";

ReplyVerdict refused(std::string text, int code) {
  ReplyVerdict v;
  v.kind = ReplyVerdict::Refused;
  v.code = code;
  v.text = std::move(text);
  return v;
}

ReplyVerdict accepted(size_t used, int code) {
  ReplyVerdict v;
  v.kind = ReplyVerdict::Accepted;
  v.used = used;
  v.code = code;
  return v;
}

// The end of an HTTP head (after CR LF CR LF or LF LF, a lone LF also ending
// a line that began with CR LF), or nullopt.
std::optional<size_t> headEnd(const ByteReader &c) {
  size_t lineStart = 0;
  for (size_t i = 0; c.has(i, 1); ++i) {
    if (*c.u8(i) != '\n') continue;
    const size_t lineLen = i - lineStart;
    // An empty line: nothing, or only a CR, before its LF.
    if (lineStart > 0 && (lineLen == 0 || (lineLen == 1 && *c.u8(lineStart) == '\r'))) return i + 1;
    lineStart = i + 1;
  }
  return std::nullopt;
}

}  // namespace

ReplyVerdict readSocks4Reply(std::string_view bytes) {
  const ByteReader c(bytes);
  if (!c.has(0, 8)) return {};
  const int code = *c.u8(1);
  switch (code) {
    case 90:
      return accepted(8, code);
    case 91:
      return refused(kTextSocks4Rejected, code);
    case 92:
      return refused(kTextSocks4NoIdentd, code);
    case 93:
      return refused(kTextSocks4IdentdUser, code);
    default:
      return refused(withNumber(kTextUnknownFirewallError, code), code);
  }
}

ReplyVerdict readSocks5MethodReply(std::string_view bytes) {
  const ByteReader c(bytes);
  if (!c.has(0, 2)) return {};
  const int method = *c.u8(1);
  if (method == 0 || method == 2) return accepted(2, method);
  if (method == 255) return refused(kTextNoAcceptableMethods, method);
  return refused(kTextUnknownMethod, method);
}

ReplyVerdict readSocks5AuthReply(std::string_view bytes) {
  const ByteReader c(bytes);
  if (!c.has(0, 2)) return {};
  const int status = *c.u8(1);
  if (status == 0) return accepted(2, 0);
  return refused(withNumber(kTextAuthFailed, status), status);
}

ReplyVerdict readSocks5ConnectReply(std::string_view bytes) {
  const ByteReader c(bytes);
  if (!c.has(0, 2)) return {};
  const int code = *c.u8(1);
  if (code != 0) {
    // A refusal needs no more than its code; the proxy may close right after it.
    const bool listed = code < static_cast<int>(std::size(kTextSocks5Replies));
    return refused(listed ? kTextSocks5Replies[code] : withNumber(kTextUnknownFirewallError, code),
                   code);
  }
  if (!c.has(0, 5)) return {};
  size_t address = 0;
  switch (*c.u8(3)) {
    case 3:
      address = 1 + static_cast<size_t>(*c.u8(4));
      break;
    case 4:
      address = 16;
      break;
    default:  // 1, and whatever else a proxy sends, as the common IPv4 form
      address = 4;
      break;
  }
  const size_t total = 4 + address + 2;
  if (!c.has(0, total)) return {};
  return accepted(total, 0);
}

ReplyVerdict readTunnelReply(std::string_view bytes) {
  const ByteReader c(bytes);
  const std::optional<size_t> lineEnd = c.findFirstOf(kLineEndBytes, 0);
  if (!lineEnd || !c.has(*lineEnd, 1)) return {};
  // The first LF after the status line also completes a CR LF.
  std::optional<size_t> lf;
  for (size_t i = *lineEnd; c.has(i, 1) && !lf; ++i)
    if (*c.u8(i) == '\n') lf = i;
  if (!lf) return {};
  const std::string_view line = *c.bytes(0, *lineEnd);
  // The status is the second word.
  size_t i = 0;
  while (i < line.size() && line[i] != ' ') ++i;
  while (i < line.size() && line[i] == ' ') ++i;
  const bool success = i < line.size() && line[i] == '2';
  if (!success) {
    ReplyVerdict v = refused(kTextTunnelRefused, i < line.size() ? line[i] : 0);
    v.text += line;
    if (line.empty() || line.back() != '.') v.text += '.';
    v.reply = line;
    return v;
  }
  const std::optional<size_t> end = headEnd(c);
  if (!end) return {};
  return accepted(*end, '2');
}

}  // namespace pelnet::smtp
