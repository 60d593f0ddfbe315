// The byte stream between the stages of the mail connection: what a stage
// asks of the stage below it (ByteStage) and what the stage below hands up to
// it (ByteReceiver).  The socket is a byte stage; the line stage
// (line_stage.h) sits on one and knows nothing else of what is below.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "connection/connection_stage.h"

namespace pelnet::smtp {

// The stage above a byte stage, as the byte stage sees it.  Received bytes
// are read straight into the room the stage above lends (no second copy),
// and the stage above hands on what it holds when asked to.
class ByteReceiver {
 public:
  virtual ~ByteReceiver() = default;

  // ---- the room received bytes are read into ----
  // Where the next bytes go (held bytes may move to the front first); after
  // it, roomSize() is 0 only when the stage above is full.
  virtual char *room() = 0;
  virtual size_t roomSize() const = 0;
  // Takes `n` bytes read into room().
  virtual void commit(size_t n) = 0;
  // Full: reading waits until the stage above has handed bytes on.
  virtual bool full() const = 0;
  // A new size of the room (emptied); 0 or the out-of-memory code.
  virtual int resizeRoom(size_t capacity) = 0;
  // Whether the bytes held are cut at line ends (the stage above's business).
  virtual void splitLines(bool on) = 0;

  // ---- handing on ----
  // The stage above would hand something on without more bytes arriving.
  virtual bool holdsDeliverable() = 0;
  // The stage above takes what it holds now.
  virtual bool accepting() const = 0;
  // Hands on what it holds while it accepts.
  virtual void deliver() = 0;
  // A new stream starts: whatever is held from the last one is dropped.
  virtual void streamStarts() = 0;
  // The stages below stand after a connect; and the connection is gone.
  virtual void stagesStand() = 0;
  virtual void disconnected() = 0;

  // ---- what the stages below report ----
  // OnConnectionStatus (ConnectionEvent, StatusCode, Description).
  virtual void onConnectionStatus(const std::string &connectionEvent, int statusCode,
                                  const std::string &description) = 0;
  // OnPITrail with direction 2: the connection's own notes ("Connected.", "Disconnected.").
  virtual void onNote(const std::string &text) = 0;
  // OnError: 162 with "Failed to connect: ..." or "Disconnected ...", or a receive failure.
  virtual void onError(int code, const std::string &text) = 0;
};

// A byte stream below: send, receive, close, and whether it stands.
class ByteStage {
 public:
  virtual ~ByteStage() = default;

  // The stage above that takes the received bytes and the reports; null for none.
  virtual void setReceiver(ByteReceiver *receiver) = 0;

  // ---- the stream ----
  // Connects and waits until every stage below stands: 0 or the failure's code.
  virtual int connect() = 0;
  // Sends every byte: 0 or the failure's code.
  virtual int send(std::string_view bytes) = 0;
  // Closes the stream (error 0 for a local close).
  virtual int close(int error) = 0;
  // Every stage below stands: bytes can pass ("it stands").
  virtual bool connected() const = 0;
  // The transport is up, whether or not the stages above it stand yet.
  virtual bool transportUp() const = 0;

  // ---- receiving ----
  // Bytes may be handed up now: the stream is open and no close is pending.
  virtual bool receiving() const = 0;
  // The stage above takes bytes again: whatever is waiting below (bytes, or
  // the stream's end) is read and handed up now.
  virtual void resume() = 0;
  // Reads what arrived and hands it up, as a notification would.
  virtual void poll() = 0;

  // ---- what passes through ----
  // Holds back partial segments until endHold(); the token of the hold.
  virtual int beginHold() = 0;
  virtual void endHold(int token) = 0;
  // Puts a record layer (TLS) in below the stage above; 0 or the failure's code.
  virtual int startRecordLayer(const RecordLayerMaker &make) = 0;
  virtual bool recordLayerActive() const = 0;
  // "TLS1.3, AES-256-GCM" while the record layer carries the stream.
  virtual std::string recordLayerSummary() const = 0;
  // While set, bytes sent under the record layer show in the traffic record
  // with their credentials masked.
  virtual void maskRecordedSends(bool on) = 0;
};

// Holds back partial segments of a byte stage while it lives.
class SegmentHold {
 public:
  explicit SegmentHold(ByteStage &stage) : stage_(stage), token_(stage.beginHold()) {}
  ~SegmentHold() { stage_.endHold(token_); }
  SegmentHold(const SegmentHold &) = delete;
  SegmentHold &operator=(const SegmentHold &) = delete;

 private:
  ByteStage &stage_;
  int token_;
};

}  // namespace pelnet::smtp
