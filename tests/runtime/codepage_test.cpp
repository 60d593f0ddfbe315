// Code pages: names, conversions both ways, and texts that cannot be converted.
#include <gtest/gtest.h>

#include <string>

#include "pelnet/runtime/codepage.h"

namespace {
using namespace pelnet;
using namespace std::string_literals;

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

// Zero bytes are characters like any other: a text is converted to its end.
TEST(CodePages, ZeroBytesAreKept) {
  for (int codePage : {65001, 1252, 932}) {
    SCOPED_TRACE(codePage);
    std::u16string wide;
    ASSERT_TRUE(narrowToUtf16("a\0b\0"s, codePage, wide));
    EXPECT_EQ(wide, u"a\0b\0"s);
    EXPECT_EQ(narrowToUtf16Lossy("a\0b\0"s, codePage), u"a\0b\0"s);
    std::string narrow;
    ASSERT_TRUE(utf16ToNarrow(u"\0a\0\0b\0"s, codePage, narrow));
    EXPECT_EQ(narrow, "\0a\0\0b\0"s);
  }
  std::string narrow;
  EXPECT_FALSE(utf16ToNarrow(u"a\0"s + char16_t(0xDC00), 65001, narrow))
      << "checked after a zero too";
}

// Received texts: valid characters survive, each byte that is not part of
// one becomes one U+FFFD.
struct LossyCase {
  const char *name;
  int codePage;
  std::string narrow;
  std::u16string wide;
};

TEST(CodePages, LossyReplacesEachInvalidByte) {
  const LossyCase cases[] = {
      {"valid_multibyte", 65001, "h\xC3\xA9 \xE6\x97\xA5 \xF0\x9D\x84\x9E",
       u"h\u00E9 \u65E5 \U0001D11E"},
      {"invalid_first", 65001, "\xFFh\xC3\xA9llo", u"\uFFFDh\u00E9llo"},
      {"invalid_middle", 65001, "h\xC3\xA9llo\xFF w\xC3\xB6rld", u"h\u00E9llo\uFFFD w\u00F6rld"},
      {"cut_at_the_end", 65001, "caf\xC3\xA9\xE2\x82", u"caf\u00E9\uFFFD\uFFFD"},
      {"cut_before_ascii", 65001,
       "\xE2\x82"
       "A",
       u"\uFFFD\uFFFDA"},
      {"stray_continuation", 65001,
       "\x80\xBF"
       "a",
       u"\uFFFD\uFFFDa"},
      {"overlong_2", 65001, "\xC0\xAF\xC1\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"overlong_3", 65001, "\xE0\x80\xAF.", u"\uFFFD\uFFFD\uFFFD."},
      {"overlong_4", 65001, "\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"surrogates", 65001, "\xED\xA0\x80\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"last_before_surrogates", 65001, "\xED\x9F\xBF", u"\uD7FF"},
      {"above_10FFFF", 65001, "\xF4\x90\x80\x80\xF5", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"largest", 65001, "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"zero_and_invalid", 65001, "\0\xFF\0"s, u"\0\uFFFD\0"s},
      {"locale_is_utf8", 0, "\xC3\xA4\xFF", u"\u00E4\uFFFD"},
      {"ascii", 20127,
       "a\x80"
       "b",
       u"a\uFFFDb"},
      {"latin1_has_no_invalid_byte", 28591, "\xE9\xFF", u"\u00E9\u00FF"},
      {"cp932_bad_trail", 932, "\x93\xFA\x93 x", u"\u65E5\uFFFD x"},
      {"cp932_cut_lead", 932, "\x93\xFA\x93", u"\u65E5\uFFFD"},
      {"iso2022jp_keeps_its_shift", 50220,
       "\x1B$BF|\x80"
       "F|\x1B(Ba",
       u"\u65E5\uFFFD\u65E5a"},
      {"utf16le_odd_byte", 1200, "a\0b\0c"s, u"ab\uFFFD"},
      {"unknown_code_page", 4242, "a\xC3\xA4", u"a\uFFFD\uFFFD"},
      {"empty", 65001, "", u""},
  };
  for (const LossyCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(narrowToUtf16Lossy(c.narrow, c.codePage), c.wide);
    // The strict conversion agrees where nothing is replaced and refuses the rest.
    std::u16string strict;
    const bool clean = c.wide.find(u'\uFFFD') == std::u16string::npos && c.codePage != 4242;
    EXPECT_EQ(narrowToUtf16(c.narrow, c.codePage, strict), clean);
    if (clean) {
      EXPECT_EQ(strict, c.wide);
    }
  }
}

TEST(CodePages, Names) {
  EXPECT_STREQ(codePageCharset(932), "CP932");
  EXPECT_STREQ(codePageCharset(65001), "UTF-8");
  EXPECT_STREQ(codePageCharset(28591), "ISO-8859-1");
  EXPECT_EQ(codePageCharset(4242), nullptr);
  EXPECT_EQ(localeCodePage(), 65001);
}

}  // namespace
