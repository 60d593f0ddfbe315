// The mail connection is a stack of stages, each knowing only the one below:
//
//   socket (TcpClientPort) -> tunnel (ProxyTunnel) -> record layer -> lines (LineChannel)
//   -> session (SmtpSession)
//
// A stage sends through the narrow interface of the stage below it and is
// told when it stands ("connected"), what arrived and when it closes, so a
// stage can be put in without touching the others.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pelnet::smtp {

// What a stage may do with the stage below it while it sets itself up: one
// send of as many bytes as go at once.
class StageBelow {
 public:
  virtual ~StageBelow() = default;
  // 0 with `sent` set to the bytes that went, or the platform's code.
  virtual int sendOnce(std::string_view bytes, size_t &sent) = 0;
};

// The record layer's slot, between the tunnel and the lines.  None exists
// yet: the bytes pass between the socket and the line buffer as they are.
// A record layer (TLS) starts once the tunnel stands, sends its own records
// through the stage below, and turns received records into plain bytes for
// the lines and plain bytes from the dialogue into records.
class RecordLayer {
 public:
  virtual ~RecordLayer() = default;
  // Starts over a stream the tunnel has opened; 0 or a code.
  virtual int start(StageBelow &below) = 0;
  // True once records can carry the dialogue's bytes.
  virtual bool connected() const = 0;
  // Bytes from the stage below; the plain bytes they carry are appended to `plain`.
  virtual int receive(std::string_view bytes, std::string &plain) = 0;
  // Plain bytes from the dialogue, sent as records.
  virtual int send(std::string_view plain) = 0;
  // Ends the records (a close notice where the protocol has one).
  virtual void close() = 0;
};

}  // namespace pelnet::smtp
