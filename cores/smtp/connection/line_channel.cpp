#include "connection/line_channel.h"

#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"
#include "smtp_errors.h"

namespace pelnet::smtp {

LineChannel::LineChannel(ByteStage &below, WaitHandle &wait, ConnectionNotes &notes)
    : wait_(wait), notes_(notes), stage_(below, wait, *this) {}

LineChannel::~LineChannel() = default;

int LineChannel::send(std::string_view bytes) {
  return diversion_ != nullptr ? (*diversion_)(bytes) : below().send(bytes);
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
    if (stage_.waitForLine() != 0) return kWaitEnded;
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
