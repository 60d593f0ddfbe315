// The reader of received bytes: nothing past the end, whatever the offset
// and length (including the ones whose sum wraps), in both byte orders, and
// a failed fetch that leaves the position where it was.
#include "pelnet/runtime/byte_reader.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using pelnet::ByteReader;

TEST(ByteReader, ReadsOnlyWhatIsThere) {
  const ByteReader c("ab\ncd", 5);
  EXPECT_TRUE(c.has(5, 0));
  EXPECT_FALSE(c.has(6, 0));
  EXPECT_FALSE(c.has(4, 2));
  EXPECT_FALSE(c.has(1, SIZE_MAX));  // off + n would wrap
  EXPECT_FALSE(c.has(SIZE_MAX, 1));
  EXPECT_EQ(c.u8(4), 'd');
  EXPECT_FALSE(c.u8(5).has_value());
  EXPECT_EQ(c.findFirstOf("\r\n", 0), 2u);
  EXPECT_FALSE(c.findFirstOf("\r\n", 3).has_value());
  EXPECT_FALSE(c.findFirstOf("\r\n", 9).has_value());
  EXPECT_FALSE(c.bytes(3, 3).has_value());
  EXPECT_EQ(c.bytes(3, 2), "cd");
  EXPECT_EQ(c.from(3).view(), "cd");
  EXPECT_EQ(c.from(9).size(), 0u);
}

TEST(ByteReader, IntegersInBothOrders) {
  const uint8_t Bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
  const ByteReader r(Bytes, sizeof Bytes);
  const struct {
    const char *Name;
    std::optional<uint64_t> Got, Want;
  } Rows[] = {
      {"be16", r.be16(0), 0x0102},
      {"le16", r.le16(0), 0x0201},
      {"be32", r.be32(1), 0x02030405},
      {"le32", r.le32(1), 0x05040302},
      {"be64", r.unsignedAt(1, 8, true), 0x0203040506070809},
      {"le64", r.unsignedAt(0, 8, false), 0x0807060504030201},
      {"be24", r.unsignedAt(6, 3, true), 0x070809},
      {"be16 at the last byte", r.be16(8), std::nullopt},
      {"le32 past the end", r.le32(6), std::nullopt},
      {"width 0", r.unsignedAt(0, 0, true), std::nullopt},
      {"width 9", r.unsignedAt(0, 9, true), std::nullopt},
      {"offset near SIZE_MAX", r.unsignedAt(SIZE_MAX - 1, 4, true), std::nullopt},
  };
  for (const auto &Row : Rows) {
    SCOPED_TRACE(Row.Name);
    EXPECT_EQ(Row.Got, Row.Want);
  }
  uint32_t Host;
  std::memcpy(&Host, Bytes + 2, 4);
  EXPECT_EQ(r.host32(2), Host);
  EXPECT_FALSE(r.host32(6).has_value());
}

TEST(ByteReader, FetchesInOrderWithTagAndRewind) {
  const uint8_t Bytes[] = {0x00, 0x05, 'h', 'e', 'l', 'l', 'o', 0x2A};
  ByteReader r(Bytes, sizeof Bytes);
  EXPECT_EQ(r.fetchBe16(), 5);
  r.tag();
  EXPECT_EQ(r.fetchBytes(5), "hello");
  EXPECT_EQ(r.remaining(), 1u);
  // Not there: nothing is taken.
  EXPECT_FALSE(r.fetchLe16().has_value());
  EXPECT_FALSE(r.fetchBytes(2).has_value());
  EXPECT_FALSE(r.skip(2));
  EXPECT_EQ(r.position(), 7u);
  EXPECT_EQ(r.fetchU8(), 0x2A);
  EXPECT_FALSE(r.fetchU8().has_value());
  r.rewind();
  EXPECT_EQ(r.position(), 2u);
  EXPECT_TRUE(r.skip(5));
  EXPECT_FALSE(r.seek(9));
  EXPECT_TRUE(r.seek(8));
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_FALSE(r.fetchBytes(SIZE_MAX).has_value());
}

}  // namespace
