#include "connection/line_channel.h"

#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"
#include "smtp_errors.h"

namespace pelnet::smtp {

LineChannel::LineChannel(TcpClientPort &port, WaitHandle &wait, ConnectionNotes &notes)
    : port_(port), wait_(wait), notes_(notes) {
  port_.setListener(this);
}

LineChannel::~LineChannel() { port_.setListener(nullptr); }

int LineChannel::connect() {
  if (int rc = port_.open()) return rc;
  return port_.waitForConnection();
}

int LineChannel::send(std::string_view bytes) {
  return diversion_ != nullptr ? (*diversion_)(bytes) : port_.sendAll(bytes);
}

int LineChannel::sendLine(std::string_view line) {
  std::string wire(line);
  wire += "\r\n";
  return send(wire);
}

int LineChannel::awaitReply(const LineJudge &judge) {
  // Lines that are already buffered come without a wait step, so the
  // deadline is checked here too.
  const uint32_t replyDeadline = wait_.armedDeadline();
  for (;;) {
    if (port_.waitForLine() != 0) return kWaitEnded;
    const std::string line = line_.text();
    line_.clear();
    const int verdict = judge(line);
    if (verdict != kMoreLines) return verdict;
    if (replyDeadline == 0) continue;
    wait_.restoreDeadline(replyDeadline);
    if (tickPassed(tickCount(), replyDeadline)) return wait_.fail(kWaitEnded, kTextTimeout);
  }
}

void LineChannel::onLinePiece(std::string_view bytes, bool lineEnd) {
  if (!line_.append(bytes, lineEnd)) notes_.onError(kOutOfMemory, kTextOutOfMemoryInDataIn);
}

void LineChannel::onConnectionStatus(const std::string &connectionEvent, int statusCode,
                                     const std::string &description) {
  notes_.onConnectionStatus(connectionEvent, statusCode, description);
}

void LineChannel::onNote(const std::string &text) { notes_.onNote(text); }

void LineChannel::onError(int code, const std::string &text) { notes_.onError(code, text); }

}  // namespace pelnet::smtp
