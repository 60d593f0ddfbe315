// Feeds arbitrary server bytes through the line layer the way the connection
// reads them, cut into reads of arbitrary sizes, and checks what the dialogue
// relies on: no piece is longer than the line buffer, split mode never hands
// over a line end, the reply line stays within its bound, and a slow peer
// gives the same lines as a fast one.
//
// Input: two bytes of line buffer capacity (1..4096), one byte of mode (bit 0:
// no split mode; the rest seeds the sizes of the reads), then the server's bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "connection/reply_reader.h"

using pelnet::smtp::LineBuffer;
using pelnet::smtp::ReplyLine;

namespace {

struct Outcome {
  std::vector<std::string> lines;  // the kept text of every completed line
  std::vector<uint64_t> dropped;   // and what each dropped
  std::string open;                // the pieces of the line not yet ended
  uint64_t delivered = 0;
};

void check(bool ok) {
  if (!ok) std::abort();
}

// Reads of the sizes the seed gives (1..cap bytes each); seed 0 reads as much as fits.
Outcome run(std::string_view bytes, size_t capacity, bool split, uint32_t seed) {
  LineBuffer buffer;
  check(buffer.reset(capacity) == 0);
  buffer.splitLines = split;
  ReplyLine line;
  Outcome out;
  size_t off = 0;
  while (off < bytes.size()) {
    size_t want = bytes.size() - off;
    if (seed != 0) {
      seed = seed * 1103515245u + 12345u;
      want = std::min<size_t>(want, 1 + (seed >> 16) % 7);
    }
    char *room = buffer.space();
    const size_t n = std::min(want, buffer.spaceSize());
    check(n > 0);  // a full buffer is always emptied below before the next read
    std::memcpy(room, bytes.data() + off, n);
    buffer.commit(n);
    off += n;
    while (auto piece = buffer.next()) {
      check(piece->bytes.size() <= capacity);
      if (split)
        check(piece->bytes.find_first_of("\r\n") == std::string_view::npos);
      else
        check(!piece->lineEnd);
      out.delivered += piece->bytes.size();
      check(line.append(piece->bytes, piece->lineEnd));
      check(line.text().size() <= ReplyLine::kReplyLineKeep);
      if (line.complete()) {
        out.lines.push_back(line.text());
        out.dropped.push_back(line.dropped());
        line.clear();
      }
    }
    check(!buffer.full());
  }
  out.open = line.text();
  check(out.delivered + buffer.size() <= bytes.size());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const size_t capacity = 1 + ((data[0] | (data[1] << 8)) % 4096);
  const bool split = (data[2] & 1) == 0;
  const uint32_t seed = data[2] >> 1;
  const std::string_view bytes(reinterpret_cast<const char *>(data) + 3, size - 3);

  const Outcome fast = run(bytes, capacity, split, 0);
  const Outcome slow = run(bytes, capacity, split, seed | 1);
  // Lines end at the same bytes whatever the reads; only where a line longer
  // than the buffer is cut into pieces may differ, and that is not visible in the lines.
  if (split) {
    check(fast.lines == slow.lines);
    check(fast.dropped == slow.dropped);
  } else {
    check(fast.lines.empty() && slow.lines.empty());
  }
  return 0;
}
