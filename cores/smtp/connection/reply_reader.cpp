#include "connection/reply_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "pelnet/runtime/errors.h"

namespace pelnet::smtp {

// ---------------------------------------------------------------- LineBuffer

LineBuffer::LineBuffer() : storage_(kDefaultCapacity) {}

int LineBuffer::reset(size_t capacity) {
  clear();
  capacity = std::max<size_t>(capacity, 1);
  if (capacity == storage_.size()) return 0;
  try {
    std::vector<char> fresh(capacity);
    storage_.swap(fresh);
  } catch (const std::bad_alloc &) {
    return kOutOfMemory;
  }
  return 0;
}

void LineBuffer::clear() {
  start_ = end_ = 0;
  scanned_ = 0;
  pairTail_ = 0;
}

size_t LineBuffer::dropHeld() {
  skipPairTail();
  const size_t held = size();
  clear();
  return held;
}

void LineBuffer::compact() {
  if (start_ == 0) return;
  const size_t n = size();
  if (n > 0) std::memmove(storage_.data(), storage_.data() + start_, n);
  start_ = 0;
  end_ = n;
}

char *LineBuffer::space() {
  // Moving the held bytes to the front only when the tail has no room keeps a
  // peer that sends a byte at a time from costing a move per read.
  if (start_ == end_)
    start_ = end_ = 0;
  else if (end_ == capacity())
    compact();
  return storage_.data() + end_;
}

void LineBuffer::commit(size_t n) { end_ += std::min(n, spaceSize()); }

void LineBuffer::skipPairTail() {
  if (pairTail_ == 0 || size() == 0) return;
  if (storage_[start_] == pairTail_) ++start_;
  pairTail_ = 0;
}

bool LineBuffer::hasDeliverable() {
  skipPairTail();
  if (size() == 0) return false;
  if (!splitLines || full()) return true;
  const ByteReader held(storage_.data() + start_, size());
  if (held.findFirstOf(kLineEndBytes, scanned_)) return true;
  scanned_ = size();
  return false;
}

std::optional<LinePiece> LineBuffer::next() {
  skipPairTail();
  const size_t held = size();
  if (held == 0) return std::nullopt;
  const ByteReader cursor(storage_.data() + start_, held);
  if (!splitLines) {
    LinePiece piece{*cursor.bytes(0, held), false};
    start_ = end_ = 0;
    scanned_ = 0;
    return piece;
  }
  // Bytes already searched are not searched again: a peer that sends a long
  // line a byte at a time costs one pass over it, not one per byte.
  if (std::optional<size_t> at = cursor.findFirstOf(kLineEndBytes, scanned_)) {
    LinePiece piece{*cursor.bytes(0, *at), true};
    pairTail_ = storage_[start_ + *at] == '\r' ? '\n' : '\r';
    start_ += *at + 1;
    scanned_ = 0;
    return piece;
  }
  scanned_ = held;
  if (held == capacity()) {
    // A line longer than the buffer leaves in pieces; the buffer never grows.
    LinePiece piece{*cursor.bytes(0, held), false};
    start_ = end_ = 0;
    scanned_ = 0;
    return piece;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- ReplyLine

void ReplyLine::clear() {
  text_.clear();
  complete_ = false;
  dropped_ = 0;
}

bool ReplyLine::append(std::string_view piece, bool lineEnd) {
  if (complete_) clear();
  const size_t room = kReplyLineKeep - std::min(text_.size(), kReplyLineKeep);
  const size_t kept = std::min(piece.size(), room);
  bool ok = true;
  try {
    text_.append(piece.data(), kept);
  } catch (const std::bad_alloc &) {
    ok = false;
    lineEnd = true;
  }
  dropped_ += piece.size() - (ok ? kept : 0);
  if (lineEnd) complete_ = true;
  return ok;
}

}  // namespace pelnet::smtp
