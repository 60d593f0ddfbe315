// The line layer of the mail connection, without sockets: the line buffer
// that turns received bytes into line pieces, and the bounded reply line the
// dialogue collects those pieces into.
//
// A hostile or broken server decides how long a line is.  The line buffer
// holds at most MaxLineLength bytes (a longer line leaves in several pieces),
// and the reply line keeps the first kReplyLineKeep bytes of a line and only
// counts the rest, so memory stays bounded however long a line runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pelnet/runtime/byte_reader.h"

namespace pelnet::smtp {

// The bytes that end a reply line, alone or as a pair.
inline constexpr std::string_view kLineEndBytes = "\r\n";

// One delivery of the line buffer: bytes without the line end, and whether they end a line.
struct LinePiece {
  std::string_view bytes;
  bool lineEnd = false;
};

// The received bytes not yet delivered, in a buffer of fixed capacity.
//
// Split mode: a line ends at CR, at LF, or at a CR LF or LF CR pair, the pair
// counting as one end, also when its second byte arrives in a later read.  A
// full buffer that holds no line end is delivered as it stands, without the
// end-of-line mark.  Without split mode the bytes are delivered as they come
// and no piece ever ends a line.
class LineBuffer {
 public:
  static constexpr size_t kDefaultCapacity = 2048;

  LineBuffer();
  // Empties the buffer and gives it a new capacity (at least 1); 0 or 200 when
  // the memory cannot be had (the buffer then keeps its old capacity, emptied).
  int reset(size_t capacity);
  // Drops the content and the half-seen line end pair.
  void clear();
  // Drops the content and answers how many bytes it held beyond the last
  // delivered line (its line end's second byte does not count).
  size_t dropHeld();
  size_t capacity() const { return storage_.size(); }
  size_t size() const { return end_ - start_; }
  bool full() const { return size() == capacity(); }

  bool splitLines = true;

  // Room to read into (the content moves to the front when the tail has none);
  // after it, spaceSize() is 0 only when the buffer is full.
  char *space();
  size_t spaceSize() const { return capacity() - end_; }
  void compact();
  // Takes `n` bytes read into space(); more than there is room for are ignored.
  void commit(size_t n);

  // The next piece to deliver: a complete line (split mode), the content of a
  // full buffer, or (without split mode) whatever is held.  The view stays
  // valid until the buffer changes.
  std::optional<LinePiece> next();
  // True when next() would deliver something without more bytes arriving.
  bool hasDeliverable();

 private:
  // Drops the second byte of a line end pair when it is the next byte.
  void skipPairTail();

  std::vector<char> storage_;
  size_t start_ = 0, end_ = 0;
  size_t scanned_ = 0;  // held bytes already known to hold no line end
  char pairTail_ = 0;   // the byte that would complete the last line end's pair, 0 = none
};

// The reply line the dialogue collects from line pieces.  It keeps the first
// kReplyLineKeep bytes of a line and drops the rest up to the line end; a
// piece that ends the line completes it.
class ReplyLine {
 public:
  static constexpr size_t kReplyLineKeep = 65536;

  // Starts a new line.
  void clear();
  // Adds one piece; returns false only when the memory for the kept part
  // could not be had (the line is then complete with what it kept).
  bool append(std::string_view piece, bool lineEnd);
  const std::string &text() const { return text_; }
  bool complete() const { return complete_; }
  // Bytes of the current line that were dropped beyond the kept part.
  uint64_t dropped() const { return dropped_; }

 private:
  std::string text_;
  bool complete_ = false;
  uint64_t dropped_ = 0;
};

}  // namespace pelnet::smtp
