// The line stage of the mail connection: it sits on a byte stage (any
// stream: the socket, or a test's bytes in memory), keeps the received bytes
// in the line buffer and cuts them into line pieces for the stage above, one
// line at a time.
//
// The stage above takes a line after waitForLine() returns and starts its
// next line then: a line is never followed by the next one before that, so
// the next stays buffered (and reading pauses once the buffer is full).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "connection/byte_stage.h"
#include "connection/reply_reader.h"
#include "connection/wait_handle.h"

namespace pelnet::smtp {

// What the line stage hands to the stage above it.
class LineListener {
 public:
  virtual ~LineListener() = default;
  // One piece of a received line, without its line end; `lineEnd` marks the
  // piece that completes the line.  The view is valid during the call only.
  virtual void onLinePiece(std::string_view bytes, bool lineEnd) = 0;
  // The reports of the stages below, passed on as they come.
  virtual void onConnectionStatus(const std::string &connectionEvent, int statusCode,
                                  const std::string &description) = 0;
  virtual void onNote(const std::string &text) = 0;
  virtual void onError(int code, const std::string &text) = 0;
};

class LineStage final : public ByteReceiver {
 public:
  LineStage(ByteStage &below, WaitHandle &wait, LineListener &above);
  ~LineStage() override;
  LineStage(const LineStage &) = delete;
  LineStage &operator=(const LineStage &) = delete;

  ByteStage &below() { return below_; }
  const ByteStage &below() const { return below_; }

  // Connects the stages below (the line buffer starts empty with the new
  // stream): 0 or the failure's code.
  int connect() { return below_.connect(); }
  // Runs wait steps until a piece that ends a line has been delivered since
  // the last successful wait (a line that arrived before the wait began, such
  // as a greeting that came with the connection, counts).  0, or 301 when a
  // wait step stops or the connection is found closed.
  int waitForLine();
  // Puts a record layer in below: whatever came in plaintext after the
  // go-ahead is not protected by it (an attacker may have put it there), so
  // it is dropped with a note, never read as a line.  0 or the failure's code.
  int startRecordLayer(const RecordLayerMaker &make);
  // Received lines are handed on; off from a line's end until the next wait.
  bool acceptingData() const { return accepting_; }

 private:
  // ByteReceiver: what the stage below sees of this one, and nothing else sees.
  char *room() override { return buffer_.space(); }
  size_t roomSize() const override { return buffer_.spaceSize(); }
  void commit(size_t n) override { buffer_.commit(n); }
  bool full() const override { return buffer_.full(); }
  int resizeRoom(size_t capacity) override { return buffer_.reset(capacity); }
  void splitLines(bool on) override { buffer_.splitLines = on; }
  bool holdsDeliverable() override { return buffer_.hasDeliverable(); }
  bool accepting() const override { return accepting_; }
  void deliver() override;
  void streamStarts() override;
  void stagesStand() override;
  void disconnected() override { accepting_ = true; }
  void onConnectionStatus(const std::string &connectionEvent, int statusCode,
                          const std::string &description) override;
  void onNote(const std::string &text) override;
  void onError(int code, const std::string &text) override;

  ByteStage &below_;
  WaitHandle &wait_;
  LineListener &above_;
  LineBuffer buffer_;
  bool accepting_ = true;
  bool lineArrived_ = false;
};

}  // namespace pelnet::smtp
