// The line layer between the mail connection and the dialogue: command lines
// go out whole, reply lines come in one at a time from the line stage
// (line_stage.h), assembled from its pieces into a bounded reply line, and a
// reply is read up to the line its protocol calls final.  It knows the
// stages below only as a byte stage (byte_stage.h).
//
// The protocol above decides what a line means (continuation, final,
// refusal); this layer keeps what every line protocol shares: the cap on a
// line, the out-of-memory report, and the deadline rule for long replies.
// Every line that arrives re-arms the deadline, so a reply of endless
// continuation lines would never end; the lines before the final one share
// the deadline the reply started with.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "connection/byte_stage.h"
#include "connection/line_stage.h"
#include "connection/reply_reader.h"
#include "connection/wait_handle.h"

namespace pelnet::smtp {

// What the connection reports besides lines, passed on to the dialogue.
class ConnectionNotes {
 public:
  virtual ~ConnectionNotes() = default;
  virtual void onConnectionStatus(const std::string &connectionEvent, int statusCode,
                                  const std::string &description) = 0;
  virtual void onNote(const std::string &text) = 0;
  virtual void onError(int code, const std::string &text) = 0;
};

class LineChannel final : private LineListener {
 public:
  // What a judge answers for a line that does not end the reply.
  static constexpr int kMoreLines = -1;
  // Judges one reply line: kMoreLines, or the reply's result (0 or a code).
  using LineJudge = std::function<int(const std::string &line)>;
  // Where bytes go instead of the connection (the queue writer); returns 0 or a code.
  using Diversion = std::function<int(std::string_view)>;

  LineChannel(ByteStage &below, WaitHandle &wait, ConnectionNotes &notes);
  ~LineChannel() override;
  LineChannel(const LineChannel &) = delete;
  LineChannel &operator=(const LineChannel &) = delete;

  // ---- out ----
  // The bytes as they stand (a piece of the message), to the connection or the diversion.
  int send(std::string_view bytes);
  // One command line, followed by CR LF, in one send.
  int sendLine(std::string_view line);
  // While set, everything sent goes to `out` and no reply is read; null ends it.
  void divert(const Diversion *out) { diversion_ = out; }
  bool diverted() const { return diversion_ != nullptr; }

  // ---- the stack below ----
  // Connects and waits until every stage below stands: 0 or the failure's code.
  int connect() { return stage_.connect(); }
  // Closes the stack (error 0 for a local close).
  int close(int error = 0) { return below().close(error); }
  // Every stage below stands: the dialogue's bytes can pass.
  bool connected() const { return below().connected(); }
  // The transport is up, whether or not the stages above it stand yet.
  bool transportUp() const { return below().transportUp(); }
  // Puts a record layer (TLS) in below the lines; 0 or the failure's code.
  int startRecordLayer(const RecordLayerMaker &make) { return stage_.startRecordLayer(make); }
  bool recordLayerActive() const { return below().recordLayerActive(); }
  // "TLS1.3, AES-256-GCM" while the record layer carries the dialogue.
  std::string recordLayerSummary() const { return below().recordLayerSummary(); }
  // While set, lines sent under the record layer show in the traffic record
  // with their credentials masked.
  void maskRecordedSends(bool on) { below().maskRecordedSends(on); }
  // Holds back partial segments while the returned guard lives.
  [[nodiscard]] SegmentHold holdSegments() { return SegmentHold(below()); }

  // ---- in ----
  // Drops a part line left from an earlier connection.
  void reset() { line_.clear(); }
  // Reads lines until `judge` answers other than kMoreLines and returns that
  // answer; 301 when a wait ends (the wait handle holds the text), or when
  // the reply's deadline passes between its lines ("Timeout.").
  int awaitReply(const LineJudge &judge);

 private:
  ByteStage &below() { return stage_.below(); }
  const ByteStage &below() const { return stage_.below(); }

  void onLinePiece(std::string_view bytes, bool lineEnd) override;
  void onConnectionStatus(const std::string &connectionEvent, int statusCode,
                          const std::string &description) override;
  void onNote(const std::string &text) override;
  void onError(int code, const std::string &text) override;

  WaitHandle &wait_;
  ConnectionNotes &notes_;
  ReplyLine line_;
  const Diversion *diversion_ = nullptr;
  // Last: it hands pieces to this channel from its construction on.
  LineStage stage_;
};

}  // namespace pelnet::smtp
