// Feeds arbitrary proxy bytes to the firewall negotiation, cut into reads of
// arbitrary sizes, and checks what the connection relies on: the negotiation
// ends the same way whether the bytes come at once or piece by piece (the
// same outcome, texts, requests sent and server bytes left over), the bytes
// left over are the tail of what the proxy sent, and nothing is taken after
// the end.  The readers of single replies run on the same bytes.
//
// Input: one byte of firewall type (value % 5 + 1), one byte seeding the read
// sizes, then the proxy's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "proxy/firewall_negotiation.h"

using pelnet::smtp::FirewallNegotiation;
using pelnet::smtp::NegotiationSettings;
using pelnet::smtp::NegotiationStep;
using pelnet::smtp::ProxyTokens;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Tokens that depend only on what the proxy sent: the answer names the challenge.
class EchoTokens : public ProxyTokens {
 public:
  int initialise(std::string_view, std::string_view, std::string_view) override { return 0; }
  int firstToken(std::string_view, std::string &token) override {
    token = "Zmlyc3Q=";
    return 0;
  }
  int nextToken(std::string_view, std::string_view challenge, std::string &token) override {
    token = "re:" + std::string(challenge);
    return 0;
  }
  const std::string &errorText() const override { return error_; }

 private:
  std::string error_;
};

struct Run {
  NegotiationStep last;
  std::string sent;
  size_t fedAfterEnd = 0;
};

Run run(int type, std::string_view bytes, uint32_t seed) {
  EchoTokens tokens;
  FirewallNegotiation n;
  NegotiationSettings s;
  s.type = type;
  s.user = "user";
  s.password = "secret";
  s.server = type == 3 ? "*mail.test" : "mail.test";
  s.serverAddress = 0x0100007F;
  Run r;
  r.last = n.start(s, &tokens);
  r.sent = r.last.send;
  size_t off = 0;
  while (off < bytes.size() && !n.finished()) {
    size_t len = bytes.size() - off;
    if (seed != 0) {
      seed = seed * 1103515245u + 12345u;
      len = std::min<size_t>(len, 1 + (seed >> 16) % 7);
    }
    r.last = n.feed(bytes.substr(off, len));
    r.sent += r.last.send;
    off += len;
  }
  // Once ended, the rest of a read is the server's (in `rest`); later reads are not taken.
  if (n.finished()) {
    const NegotiationStep after = n.feed(bytes);
    check(after.outcome == NegotiationStep::Continue && after.send.empty());
    r.fedAfterEnd = bytes.size() - off;
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const int type = data[0] % 5 + 1;
  const uint32_t seed = data[1];
  const std::string_view bytes(reinterpret_cast<const char *>(data) + 2, size - 2);

  pelnet::smtp::readSocks4Reply(bytes);
  pelnet::smtp::readSocks5MethodReply(bytes);
  pelnet::smtp::readSocks5AuthReply(bytes);
  pelnet::smtp::readSocks5ConnectReply(bytes);
  pelnet::smtp::readTunnelReply(bytes);

  const Run whole = run(type, bytes, 0);
  const Run pieces = run(type, bytes, seed | 1);
  check(whole.last.outcome == pieces.last.outcome);
  check(whole.last.text == pieces.last.text);
  check(whole.last.event == pieces.last.event);
  check(whole.sent == pieces.sent);
  if (whole.last.outcome == NegotiationStep::Complete) {
    // The whole input came in one read, so what is left over is its tail.
    check(whole.last.rest.size() <= bytes.size());
    check(bytes.substr(bytes.size() - whole.last.rest.size()) == whole.last.rest);
    // In pieces, the leftover is the tail of the last read, and the reads after it are untouched.
    check(pieces.last.rest.size() + pieces.fedAfterEnd == whole.last.rest.size());
  }
  return 0;
}
