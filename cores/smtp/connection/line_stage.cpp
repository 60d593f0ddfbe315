#include "connection/line_stage.h"

#include <optional>

namespace pelnet::smtp {

namespace {

// Without a notification the stage below is still read once per this many wait steps.
constexpr int kStepsBetweenPolls = 1000;
constexpr const char *kTextDiscardedBeforeTls =
    " bytes received before the TLS handshake were discarded.";

}  // namespace

LineStage::LineStage(ByteStage &below, WaitHandle &wait, LineListener &above)
    : below_(below), wait_(wait), above_(above) {
  below_.setReceiver(this);
}

LineStage::~LineStage() { below_.setReceiver(nullptr); }

void LineStage::streamStarts() {
  lineArrived_ = false;
  buffer_.clear();
}

void LineStage::stagesStand() {
  if (!lineArrived_) accepting_ = true;
}

void LineStage::deliver() {
  // A line the stage above has not taken yet is never followed by the next one.
  while (accepting_ && !lineArrived_ && !wait_.interruptAsked() && below_.receiving()) {
    const std::optional<LinePiece> piece = buffer_.next();
    if (!piece) break;
    if (piece->lineEnd) {
      // One line at a time: the next stays buffered until the stage above waits again.
      accepting_ = false;
      lineArrived_ = true;
    }
    above_.onLinePiece(piece->bytes, piece->lineEnd);
  }
}

int LineStage::waitForLine() {
  wait_.dropInterrupt();
  if (!lineArrived_) {
    accepting_ = true;
    // Lines that were held back while the stage above judged the last one come first.
    below_.resume();
  }
  int steps = 0;
  while (!lineArrived_) {
    if (!below_.transportUp()) return wait_.ended();
    if (wait_.step() == SocketObject::Step::Stop) {
      if (lineArrived_) break;
      return wait_.ended();
    }
    if (++steps % kStepsBetweenPolls == 0 && !lineArrived_) below_.poll();
  }
  lineArrived_ = false;
  wait_.rearmOnTraffic();
  return 0;
}

int LineStage::startRecordLayer(const RecordLayerMaker &make) {
  wait_.dropInterrupt();
  if (below_.connected()) {
    const size_t dropped = buffer_.dropHeld();
    lineArrived_ = false;
    if (dropped > 0) above_.onNote(std::to_string(dropped) + kTextDiscardedBeforeTls);
  }
  return below_.startRecordLayer(make);
}

void LineStage::onConnectionStatus(const std::string &connectionEvent, int statusCode,
                                   const std::string &description) {
  above_.onConnectionStatus(connectionEvent, statusCode, description);
}

void LineStage::onNote(const std::string &text) { above_.onNote(text); }

void LineStage::onError(int code, const std::string &text) { above_.onError(code, text); }

}  // namespace pelnet::smtp
