// The mail connection is a stack of stages, each knowing only the one below:
//
//   socket (TcpClientPort) -> tunnel (ProxyTunnel) -> record layer (RecordLayer, TLS)
//   -> lines (LineStage, LineChannel) -> session (SmtpSession)
//
// The socket reads and writes the stream and hands the tunnel's bytes to the
// tunnel until it stands, the record layer's to the record layer once one is
// put in, and the rest up as a byte stage (byte_stage.h) to the line stage,
// which keeps the line buffer and cuts the lines; it knows the stages above
// it only by these interfaces.  The core stacks them when it connects.  The
// session speaks to the line stage, waits through its wait handle
// (wait_handle.h), and reads the connection's settings through
// ConnectionFacts, never the socket's fields.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "pelnet/runtime/resolve.h"

namespace pelnet {
class SocketObject;
}  // namespace pelnet

namespace pelnet::smtp {

// What the dialogue and the tunnel's tokens name from the connection's
// settings: the server as written and its address, and the local security
// settings.
class ConnectionFacts {
 public:
  virtual ~ConnectionFacts() = default;
  // The dotted address ("" for none), or with a firewall the text as written.
  virtual std::string remoteHost() const = 0;
  // The server text as written.
  virtual const std::string &remoteText() const = 0;
  // The Kerberos service name: KerberosSPN when set, else `prefix` and the server text.
  virtual std::string servicePrincipal(std::string_view prefix) const = 0;
  virtual bool systemSecurity() const = 0;
  virtual int textCodePage() const = 0;
};

// What a stage may do with the stage below it while it sets itself up: one
// send of as many bytes as go at once.
class StageBelow {
 public:
  virtual ~StageBelow() = default;
  // 0 with `sent` set to the bytes that went, or the platform's code.
  virtual int sendOnce(std::string_view bytes, size_t &sent) = 0;
};

// What one step of the tunnel came to.
struct TunnelStep {
  enum Kind {
    Negotiating,  // wait for more of the proxy's bytes
    Open,         // the tunnel stands; `rest` is the server's first bytes
    Refused,      // the proxy said no: `event` for OnError 118, `text` the connect's
                  // result; the socket stays open
    Failed,       // `event` for OnError 118 and `text` (may be empty); the connection closes
  } kind = Negotiating;
  std::string event;
  std::string text;
  std::string rest;
};

// The tunnel, between the socket and the record layer: a firewall or proxy
// that the socket connects to instead of the server and that is set up
// through the socket's sends (StageBelow) before the dialogue's bytes may
// pass.  The socket drives it through this interface only; the proxy tunnel
// (proxy/proxy_tunnel.h) is the one kind there is, given by the core.
class Tunnel {
 public:
  virtual ~Tunnel() = default;
  // A tunnel is to be set up: the socket connects to viaHost():viaPort().
  virtual bool configured() const = 0;
  virtual const HostAddress &viaHost() const = 0;
  virtual int viaPort() const = 0;
  // True from the connect until the tunnel stands (and while a refused one
  // keeps its socket): no dialogue runs on it.
  virtual bool negotiating() const = 0;
  virtual bool finished() const = 0;
  // Before the connect: whatever the tunnel must know of the server, in
  // `waiter`'s wait steps.  301 when the wait ends, else 0.
  virtual int lookUpServer(const std::string &server, SocketObject *waiter) = 0;
  // The socket stands: the tunnel is being set up from now on.
  virtual void begin() = 0;
  // Sends the first request towards `server`:`serverPort` through `below`.
  virtual TunnelStep open(StageBelow &below, const std::string &server, int serverPort) = 0;
  // Bytes from below; the stream below ended before the tunnel stood.
  virtual TunnelStep receive(std::string_view bytes) = 0;
  virtual TunnelStep peerClosed() = 0;
  // The socket is gone (or never stood).
  virtual void close() = 0;
};

// The record layer, between the tunnel and the lines: it starts once the
// tunnel stands, takes the bytes that arrive from below (feed) and gives the
// plain bytes they carry (read), and turns the dialogue's plain bytes into
// records (write) that the stage below sends from outgoing().  The socket
// drives it through this interface only; TLS (tls/tls_session.h) is the one
// kind there is, made by the dialogue when it asks for TLS.
class RecordLayer {
 public:
  enum class Step { Done, More, Failed };
  enum class Read { Data, More, Closed, Failed };

  virtual ~RecordLayer() = default;

  // Bytes from the stage below; the end of its stream.
  virtual void feed(std::string_view bytes) = 0;
  virtual void endOfInput() = 0;
  virtual bool inputEnded() const = 0;
  // Bytes fed and not yet taken.
  virtual size_t unread() const = 0;

  // One round of setting itself up.  More: waits for bytes; Failed: a code and `text`.
  virtual Step handshake(int &code, std::string &text) = 0;
  // True once records can carry the dialogue's bytes ("it stands").
  virtual bool established() const = 0;

  // Plain bytes into `out`, at most `room`; Data sets `got`.
  virtual Read read(char *out, size_t room, size_t &got, std::string &text) = 0;
  // Plain bytes wait inside for room to go to.
  virtual bool plainWaiting() const = 0;

  // The dialogue's plain bytes as records in outgoing(); 0 or a code with `text`.
  virtual int write(std::string_view plain, std::string &text) = 0;
  // The records written and not yet sent; the stage below takes them from the front.
  virtual std::string &outgoing() = 0;
  // Writes the closing records into outgoing(), without waiting for the peer's.
  virtual void bye() = 0;

  // A short name of what carries the records ("TLS1.3, AES-256-GCM") and the
  // full description, once established.
  virtual std::string summary() const = 0;
  virtual std::string info() const = 0;
};

// Makes a record layer when the stages below it stand: 0 with `layer` set,
// or a code with `text`.
using RecordLayerMaker = std::function<int(std::unique_ptr<RecordLayer> &layer, std::string &text)>;

}  // namespace pelnet::smtp
