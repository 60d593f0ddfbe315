// Code pages: names, conversions both ways, and texts that cannot be converted.
#include <gtest/gtest.h>

#include "pelnet/runtime/codepage.h"

namespace {
using namespace pelnet;

struct RoundTrip {
  int codePage;
  std::u16string wide;
  std::string narrow;
};

TEST(CodePages, RoundTrips) {
  const RoundTrip cases[] = {
      {65001, u"Grüße ✓ 𝄞",
       "Gr\xC3\xBC\xC3\x9F"
       "e \xE2\x9C\x93 \xF0\x9D\x84\x9E"},
      {0, u"ä", "\xC3\xA4"},  // the test runs in the C locale, read as UTF-8
      {1252, u"é€", "\xE9\x80"},
      {28591, u"é", "\xE9"},
      {932, u"日本", "\x93\xFA\x96\x7B"},
      {1251, u"Д", "\xC4"},
      {20127, u"plain", "plain"},
      {65001, u"", ""},
  };
  for (const RoundTrip &c : cases) {
    SCOPED_TRACE(c.codePage);
    std::string narrow;
    ASSERT_TRUE(utf16ToNarrow(c.wide, c.codePage, narrow));
    EXPECT_EQ(narrow, c.narrow);
    std::u16string wide;
    ASSERT_TRUE(narrowToUtf16(c.narrow, c.codePage, wide));
    EXPECT_EQ(wide, c.wide);
  }
}

TEST(CodePages, Unconvertible) {
  std::string narrow;
  std::u16string wide;
  EXPECT_FALSE(utf16ToNarrow(u"ü", 20127, narrow));
  EXPECT_FALSE(utf16ToNarrow(u"日", 1252, narrow));
  EXPECT_FALSE(utf16ToNarrow(std::u16string(1, char16_t(0xDC00)), 65001, narrow));
  EXPECT_FALSE(narrowToUtf16("\xFF\xFE", 65001, wide));
  EXPECT_FALSE(narrowToUtf16("\x80", 20127, wide));
  EXPECT_FALSE(narrowToUtf16("a", 4242, wide));
  EXPECT_FALSE(utf16ToNarrow(u"a", 4242, narrow));
}

TEST(CodePages, Names) {
  EXPECT_STREQ(codePageCharset(932), "CP932");
  EXPECT_STREQ(codePageCharset(65001), "UTF-8");
  EXPECT_STREQ(codePageCharset(28591), "ISO-8859-1");
  EXPECT_EQ(codePageCharset(4242), nullptr);
  EXPECT_EQ(localeCodePage(), 65001);
}

}  // namespace
