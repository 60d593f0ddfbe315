// The one reader of received bytes for every core: ICMP answers, mail and
// proxy replies, NTLM messages, and the program's own version note.
//
// Every fetch is checked against what is left and says whether the bytes
// were there, so no offset or length taken from the wire can reach past the
// end. Offsets are checked as `off <= size && n <= size - off`, never as
// `off + n <= size`, which wraps for lengths near SIZE_MAX.
//
// Two ways to read: by offset (u8, be16, le32, bytes, ...), for formats whose
// fields sit at fixed places or at offsets the message names; and in order
// from a position (fetch..., skip), with tag and rewind to go back to a place
// when a longer form turns out not to fit. A fetch that fails leaves the
// position where it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace pelnet {

class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const void *data, size_t len) : p_(static_cast<const uint8_t *>(data)), len_(len) {}
  ByteReader(std::string_view s)
      : ByteReader(s.data(), s.size()) {}  // NOLINT: views convert freely

  size_t size() const { return len_; }
  std::string_view view() const { return {reinterpret_cast<const char *>(p_), len_}; }
  bool has(size_t off, size_t n) const { return off <= len_ && n <= len_ - off; }

  // ------------------------------------------------------------ by offset

  std::optional<uint8_t> u8(size_t off) const {
    if (!has(off, 1)) return std::nullopt;
    return p_[off];
  }
  std::optional<uint16_t> be16(size_t off) const {
    return narrow<uint16_t>(unsignedAt(off, 2, true));
  }
  std::optional<uint16_t> le16(size_t off) const {
    return narrow<uint16_t>(unsignedAt(off, 2, false));
  }
  std::optional<uint32_t> be32(size_t off) const {
    return narrow<uint32_t>(unsignedAt(off, 4, true));
  }
  std::optional<uint32_t> le32(size_t off) const {
    return narrow<uint32_t>(unsignedAt(off, 4, false));
  }
  // Four bytes in this machine's order, as a process stamps its own data.
  std::optional<uint32_t> host32(size_t off) const {
    if (!has(off, 4)) return std::nullopt;
    uint32_t v;
    std::memcpy(&v, p_ + off, 4);
    return v;
  }
  // An unsigned integer of `width` bytes (1 to 8) in either byte order.
  std::optional<uint64_t> unsignedAt(size_t off, size_t width, bool bigEndian) const {
    if (width == 0 || width > 8 || !has(off, width)) return std::nullopt;
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = v << 8 | p_[off + (bigEndian ? i : width - 1 - i)];
    return v;
  }
  // The `n` bytes at `off`, or nothing when they are not all there.
  std::optional<std::string_view> bytes(size_t off, size_t n) const {
    if (!has(off, n)) return std::nullopt;
    return std::string_view(reinterpret_cast<const char *>(p_) + off, n);
  }
  // The bytes from `off` to the end (none when off is past the end).
  ByteReader from(size_t off) const {
    if (off >= len_) return ByteReader(p_ + len_, 0);
    return ByteReader(p_ + off, len_ - off);
  }
  // Offset of the first byte at or after `start` that is one of `set`.
  std::optional<size_t> findFirstOf(std::string_view set, size_t start = 0) const {
    for (size_t i = start; i < len_; ++i)
      if (set.find(static_cast<char>(p_[i])) != std::string_view::npos) return i;
    return std::nullopt;
  }

  // ------------------------------------------------------------ in order

  size_t position() const { return pos_; }
  size_t remaining() const { return len_ - pos_; }
  // Moves to `off`; false (and no move) past the end.
  bool seek(size_t off) {
    if (off > len_) return false;
    pos_ = off;
    return true;
  }
  bool skip(size_t n) { return has(pos_, n) && seek(pos_ + n); }
  std::optional<uint8_t> fetchU8() { return advance(u8(pos_), 1); }
  std::optional<uint16_t> fetchBe16() { return advance(be16(pos_), 2); }
  std::optional<uint16_t> fetchLe16() { return advance(le16(pos_), 2); }
  std::optional<uint32_t> fetchBe32() { return advance(be32(pos_), 4); }
  std::optional<uint32_t> fetchLe32() { return advance(le32(pos_), 4); }
  std::optional<std::string_view> fetchBytes(size_t n) { return advance(bytes(pos_, n), n); }
  // Remembers the position; rewind goes back to it.
  void tag() { tag_ = pos_; }
  void rewind() { pos_ = tag_; }

 private:
  template <typename T>
  static std::optional<T> narrow(std::optional<uint64_t> v) {
    if (!v) return std::nullopt;
    return static_cast<T>(*v);
  }
  template <typename T>
  std::optional<T> advance(std::optional<T> v, size_t n) {
    if (v) pos_ += n;
    return v;
  }

  const uint8_t *p_ = nullptr;
  size_t len_ = 0;
  size_t pos_ = 0;
  size_t tag_ = 0;
};

}  // namespace pelnet
