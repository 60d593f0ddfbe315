// A scripted server for the connection tests: it listens on loopback, takes
// one client and plays its script (send, expect, close, reset, flood) on a
// thread of its own, so the client under test runs its wait steps on the main
// thread as it would in the application.  Every blocking step gives up after
// a bounded time, so a broken client fails its test instead of hanging it.
#pragma once

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace smtptest {

struct PeerStep {
  enum Kind {
    Send,              // `bytes` in one send
    SendBytewise,      // `bytes` one byte per send, without Nagle, `count` ms apart
    Expect,            // reads until it holds exactly `bytes` (a mismatch is reported)
    ExpectThrough,     // reads whatever comes until it ends with `bytes` (checked by the test)
    ExpectClose,       // reads until the client closes; what arrives is kept
    Close,             // closes the connection gracefully
    Reset,             // closes with a reset (linger 0)
    Flood,             // sends `bytes` over and over until `count` bytes went or the client is gone
    StartTls,          // the server's handshake with `cert` and `key` (PEM files); a failure is
                       // reported unless `count` is kClientMayRefuse (a certificate the client
                       // should turn down), and then the script goes on in plaintext
    Garbage,           // waits for the client's hello and answers with `bytes` in plaintext
    Stall,             // reads nothing and sends nothing until the client closes or `count` ms pass
    CloseInHandshake,  // waits for the client's hello, then closes without an answer
    Drip,  // waits for the client's hello, then sends `bytes` one byte every `count` ms until
           // all went or the client has gone (a client that gives up is no failure)
  } kind;
  std::string bytes;
  size_t count = 0;
  std::string cert = {}, key = {};
};

// The `count` of a StartTls step that the client is expected to break off.
constexpr size_t kClientMayRefuse = 1;

// The bytes the client must have sent by a script: every Expect step's, in order.
inline std::string clientBytes(const std::vector<PeerStep> &script) {
  std::string all;
  for (const PeerStep &s : script)
    if (s.kind == PeerStep::Expect) all += s.bytes;
  return all;
}

class ScriptedPeer {
 public:
  // `address` is numeric IPv4 or IPv6 text.
  explicit ScriptedPeer(std::vector<PeerStep> script, const char *address = "127.0.0.1");
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer &) = delete;
  ScriptedPeer &operator=(const ScriptedPeer &) = delete;

  int port() const { return port_; }
  // Waits for the script's end; "" when every step went as written, else what went wrong.
  std::string finish();
  // Every byte read from the client.
  const std::string &received() const { return received_; }
  // Bytes sent by Flood steps.
  size_t flooded() const { return flooded_; }
  // The numeric address the client connected from (after finish()).
  const std::string &clientAddress() const { return clientAddress_; }
  // After finish(): whether a StartTls handshake went through, and the offset
  // in received() where the bytes that came over TLS begin (npos without TLS).
  bool tlsEstablished() const { return tlsAt_ != std::string::npos; }
  size_t tlsAt() const { return tlsAt_; }
  // The TLS version and cipher the handshake agreed, "" without one.
  const std::string &tlsDescription() const { return tlsDescription_; }
  // Whether the client ended the TLS session with a close alert before it closed.
  bool closeAlertReceived() const { return closeAlert_; }

 private:
  struct Channel;
  void run(std::vector<PeerStep> script);
  bool readSome(Channel &ch, int timeoutMs);

  int listenFd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string failure_;
  std::string received_;
  size_t flooded_ = 0;
  std::string clientAddress_;
  size_t tlsAt_ = std::string::npos;
  std::string tlsDescription_;
  bool closeAlert_ = false;
  bool finished_ = false;
};

// A port on loopback where nothing listens (bound, never listening, so no one else takes it).
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace smtptest
