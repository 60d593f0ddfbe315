// The line stage with no socket at all: a byte stage in memory below it
// hands up scripted arrivals, cut as a network may cut them, and takes what
// is sent.  What the line stage and the line layer make of them is checked
// piece by piece.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "connection/byte_stage.h"
#include "connection/line_channel.h"
#include "connection/line_stage.h"
#include "connection/wait_handle.h"
#include "pelnet/runtime/socket_object.h"

namespace {

using pelnet::SocketObject;
using pelnet::smtp::ByteReceiver;
using pelnet::smtp::ByteStage;
using pelnet::smtp::ConnectionNotes;
using pelnet::smtp::LineChannel;
using pelnet::smtp::LineListener;
using pelnet::smtp::LineStage;
using pelnet::smtp::RecordLayer;
using pelnet::smtp::RecordLayerMaker;
using pelnet::smtp::WaitHandle;

// A byte stage in memory.  Every arrival is one read: it goes into the room
// the stage above lends, as much as fits, and the stage above hands on what
// it holds between reads, as the socket's read loop does.
class MemoryByteStage final : public ByteStage {
 public:
  std::deque<std::string> arrivals;
  std::vector<std::string> sent;
  bool up = false;
  int reads = 0;
  int recordLayersMade = 0;

  void setReceiver(ByteReceiver *receiver) override { above_ = receiver; }
  int connect() override {
    up = true;
    if (above_) {
      above_->streamStarts();
      above_->stagesStand();
    }
    return 0;
  }
  int send(std::string_view bytes) override {
    if (!up) return 10057;
    sent.emplace_back(bytes);
    return 0;
  }
  int close(int) override {
    up = false;
    if (above_) above_->disconnected();
    return 0;
  }
  bool connected() const override { return up; }
  bool transportUp() const override { return up; }
  bool receiving() const override { return up; }
  void resume() override { readAll(); }
  void poll() override { readAll(); }
  int beginHold() override { return 0; }
  void endHold(int) override {}
  int startRecordLayer(const RecordLayerMaker &make) override {
    std::unique_ptr<RecordLayer> layer;
    std::string text;
    ++recordLayersMade;
    return make(layer, text);
  }
  bool recordLayerActive() const override { return false; }
  std::string recordLayerSummary() const override { return {}; }
  void maskRecordedSends(bool) override {}

 private:
  void readAll() {
    while (above_ != nullptr && up) {
      above_->deliver();
      if (above_->full() || arrivals.empty()) return;
      std::string &next = arrivals.front();
      char *room = above_->room();
      const size_t n = std::min(above_->roomSize(), next.size());
      std::copy_n(next.data(), n, room);
      above_->commit(n);
      ++reads;
      next.erase(0, n);
      if (next.empty()) arrivals.pop_front();
    }
  }

  ByteReceiver *above_ = nullptr;
};

// The pieces as text ("|" after a piece that ends a line) and the reports.
struct Pieces final : LineListener {
  std::vector<std::string> pieces;
  std::vector<std::string> notes;
  void onLinePiece(std::string_view bytes, bool lineEnd) override {
    pieces.push_back(std::string(bytes) + (lineEnd ? "|" : ""));
  }
  void onConnectionStatus(const std::string &e, int code, const std::string &) override {
    notes.push_back("status " + e + " " + std::to_string(code));
  }
  void onNote(const std::string &text) override { notes.push_back("note " + text); }
  void onError(int code, const std::string &text) override {
    notes.push_back("error " + std::to_string(code) + " " + text);
  }
};

struct Notes final : ConnectionNotes {
  std::vector<std::string> seen;
  void onConnectionStatus(const std::string &e, int code, const std::string &) override {
    seen.push_back("status " + e + " " + std::to_string(code));
  }
  void onNote(const std::string &text) override { seen.push_back("note " + text); }
  void onError(int code, const std::string &text) override {
    seen.push_back("error " + std::to_string(code) + " " + text);
  }
};

// The object the waits run on, with a short time-out so that a line that
// never comes ends the wait quickly.
struct Waits {
  SocketObject object;
  WaitHandle handle{object};
  Waits() {
    object.msFlag = true;
    object.setTimeout(300);
    object.armDeadline();
  }
};

struct CutCase {
  const char *name;
  std::vector<std::string> arrivals;
  size_t capacity;
  std::vector<std::string> pieces;  // every piece, "|" after the one ending a line
};

std::vector<CutCase> cutCases() {
  return {
      {"a line split over several arrivals",
       {"220 mail.", "exam", "ple ready", "\r\n"},
       2048,
       {"220 mail.example ready|"}},
      {"several lines in one arrival",
       {"250-first\r\n250-second\r\n250 last\r\n"},
       2048,
       {"250-first|", "250-second|", "250 last|"}},
      {"a line end pair cut between arrivals",
       {"220 a\r", "\n250 b\r\n"},
       2048,
       {"220 a|", "250 b|"}},
      {"a CR without LF ends the line", {"220 a\r250 b\r\n"}, 2048, {"220 a|", "250 b|"}},
      {"a CR without LF at an arrival's end", {"220 a\r", "250 b\r\n"}, 2048, {"220 a|", "250 b|"}},
      {"an LF alone and an LF CR pair", {"220 a\n\r250 b\n"}, 2048, {"220 a|", "250 b|"}},
      {"an over-long line leaves in pieces of the buffer's size",
       {"0123456789", "abcdefghij\r\n"},
       8,
       {"01234567", "89abcdef", "ghij|"}},
      {"an over-long line cut exactly at the buffer's size",
       {"01234567", "89abcdef\r\n"},
       8,
       {"01234567", "89abcdef", "|"}},
      {"one byte at a time",
       {"2", "5", "0", " ", "o", "k", "\r", "\n", "2", "\r", "\n"},
       2048,
       {"250 ok|", "2|"}},
  };
}

TEST(LineStage, CutsLinesHoweverTheBytesArrive) {
  for (const CutCase &c : cutCases()) {
    SCOPED_TRACE(c.name);
    MemoryByteStage below;
    Waits waits;
    Pieces above;
    LineStage lines(below, waits.handle, above);
    // The core sizes the room from its MaxLineLength through this interface.
    ByteReceiver &room = lines;
    ASSERT_EQ(room.resizeRoom(c.capacity), 0);
    const size_t lineEnds =
        std::count_if(c.pieces.begin(), c.pieces.end(),
                      [](const std::string &p) { return !p.empty() && p.back() == '|'; });
    below.arrivals.assign(c.arrivals.begin(), c.arrivals.end());
    ASSERT_EQ(lines.connect(), 0);
    for (size_t i = 0; i < lineEnds; ++i) ASSERT_EQ(lines.waitForLine(), 0) << "line " << i;
    EXPECT_EQ(above.pieces, c.pieces);
    // Nothing more came: the next wait ends with the time-out.
    EXPECT_EQ(lines.waitForLine(), 301);
    EXPECT_EQ(waits.handle.lastError(), "Timeout.");
    EXPECT_EQ(above.pieces, c.pieces);
    EXPECT_TRUE(below.sent.empty());
  }
}

// A line is not followed by the next before the stage above waits again,
// and a full buffer stops the reading below until it is.
TEST(LineStage, HandsOnOneLineAtATimeAndReadsNoFurtherThanItsRoom) {
  MemoryByteStage below;
  Waits waits;
  Pieces above;
  LineStage lines(below, waits.handle, above);
  ByteReceiver &room = lines;
  ASSERT_EQ(room.resizeRoom(8), 0);
  below.arrivals = {"250-a\r\n", "250-b\r\n", "250 c\r\n", "trailing"};
  ASSERT_EQ(lines.connect(), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  EXPECT_EQ(above.pieces, std::vector<std::string>{"250-a|"});
  EXPECT_FALSE(lines.acceptingData());
  // The first line's LF (held until the next byte shows whether it pairs with
  // the CR) and "250-b\r\n" fill the eight bytes; the rest waits below.
  EXPECT_EQ(below.arrivals.size(), 2u);
  EXPECT_EQ(below.arrivals.front(), "250 c\r\n");
  below.poll();
  EXPECT_EQ(above.pieces, std::vector<std::string>{"250-a|"});
  ASSERT_EQ(lines.waitForLine(), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  EXPECT_EQ(above.pieces, (std::vector<std::string>{"250-a|", "250-b|", "250 c|"}));
}

// The line layer over the byte stage: what is sent goes down whole, and a
// reply is read up to its final line.
TEST(LineChannel, SendsWholeLinesAndReadsAReplyToItsFinalLine) {
  MemoryByteStage below;
  Waits waits;
  Notes notes;
  LineChannel channel(below, waits.handle, notes);
  below.arrivals = {"220 ready\r", "\n250-mail.exa", "mple\r\n250-SIZE\r\n250 ", "HELP\r\n"};
  ASSERT_EQ(channel.connect(), 0);
  const auto finalLine = [](const std::string &line) {
    return line.size() > 3 && line[3] == '-' ? LineChannel::kMoreLines : 0;
  };
  std::vector<std::string> seen;
  const auto collect = [&](const std::string &line) {
    seen.push_back(line);
    return finalLine(line);
  };
  ASSERT_EQ(channel.awaitReply(collect), 0);
  ASSERT_EQ(channel.sendLine("EHLO me"), 0);
  ASSERT_EQ(channel.send("DATA piece"), 0);
  ASSERT_EQ(channel.awaitReply(collect), 0);
  EXPECT_EQ(seen,
            (std::vector<std::string>{"220 ready", "250-mail.example", "250-SIZE", "250 HELP"}));
  EXPECT_EQ(below.sent, (std::vector<std::string>{"EHLO me\r\n", "DATA piece"}));
  EXPECT_TRUE(notes.seen.empty());
  // Closed below: nothing more is sent, and a wait ends at once.
  ASSERT_EQ(channel.close(), 0);
  EXPECT_EQ(channel.sendLine("QUIT"), 10057);
  EXPECT_EQ(channel.awaitReply(collect), 301);
  EXPECT_EQ(below.sent.size(), 2u);
}

// Bytes that came in the clear after the go-ahead are dropped when the record
// layer goes in, with a note, and never read as a reply.
TEST(LineChannel, DropsPlainBytesHeldWhenTheRecordLayerGoesIn) {
  MemoryByteStage below;
  Waits waits;
  Notes notes;
  LineChannel channel(below, waits.handle, notes);
  below.arrivals = {"220 go ahead\r\n250 injected\r\n"};
  ASSERT_EQ(channel.connect(), 0);
  std::vector<std::string> seen;
  const auto one = [&](const std::string &line) {
    seen.push_back(line);
    return 0;
  };
  ASSERT_EQ(channel.awaitReply(one), 0);
  const RecordLayerMaker make = [](std::unique_ptr<RecordLayer> &, std::string &) { return 0; };
  ASSERT_EQ(channel.startRecordLayer(make), 0);
  EXPECT_EQ(below.recordLayersMade, 1);
  EXPECT_EQ(notes.seen, std::vector<std::string>{
                            "note 14 bytes received before the TLS handshake were discarded."});
  EXPECT_EQ(channel.awaitReply(one), 301);
  EXPECT_EQ(seen, std::vector<std::string>{"220 go ahead"});
}

}  // namespace
