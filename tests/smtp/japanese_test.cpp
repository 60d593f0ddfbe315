// The Japanese mode, checked against glibc's iconv (SHIFT_JIS and UTF-8 to
// ISO-2022-JP) and GLib's base64 as encoders independent of the core's.
#include <glib.h>
#include <gtest/gtest.h>
#include <iconv.h>

#include <clocale>
#include <locale.h>
#include <string>

#include "compose/header_folding.h"
#include "compose/iso2022jp.h"
#include "compose/message.h"

using namespace pelsmtp;

namespace {

// Whole-text conversion; nullopt-like empty result with ok=false on failure.
bool convert(const char *from, const char *to, const std::string &in, std::string &out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(in.size() * 4 + 16, '\0');
  char *src = const_cast<char *>(in.data());
  size_t srcLeft = in.size();
  char *dst = out.data();
  size_t dstLeft = out.size();
  bool ok = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &dst, &dstLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  out.resize(out.size() - dstLeft);
  return ok;
}

std::string utf8ToSjis(const std::string &utf8) {
  std::string out;
  EXPECT_TRUE(convert("UTF-8", "SHIFT_JIS", utf8, out)) << utf8;
  return out;
}

std::string utf8ToJis(const std::string &utf8) {
  std::string out;
  EXPECT_TRUE(convert("UTF-8", "ISO-2022-JP", utf8, out)) << utf8;
  return out;
}

std::string glibBase64(const std::string &bytes) {
  gchar *b = g_base64_encode(reinterpret_cast<const guchar *>(bytes.data()), bytes.size());
  std::string s(b);
  g_free(b);
  return s;
}

// The encoded word of a UTF-8 text as an independent encoder makes it
// (short texts only: no line breaks inside the base64).
std::string jisWord(const std::string &utf8) {
  return "=?ISO-2022-JP?B?" + glibBase64(utf8ToJis(utf8)) + "?=";
}

TEST(JapanesePairs, EveryPairAgreesWithIconv) {
  int checked = 0;
  for (int lead = 0x81; lead <= 0xEF; ++lead) {
    if (!isSjisLead(static_cast<unsigned char>(lead))) continue;
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      if (trail == 0x7F) continue;
      const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
      std::string want;
      if (!convert("SHIFT_JIS", "ISO-2022-JP", pair, want)) continue;  // unassigned in JIS X 0208
      ASSERT_EQ(want.size(), 8u);
      unsigned char got[2];
      sjisPairToJis(static_cast<unsigned char>(lead), static_cast<unsigned char>(trail), got);
      ASSERT_EQ(std::string(reinterpret_cast<char *>(got), 2), want.substr(3, 2))
          << std::hex << lead << " " << trail;
      EXPECT_EQ(sjisToIso2022jp(pair), want);
      ++checked;
    }
  }
  // JIS X 0208 has 6879 characters; all of them must have been compared.
  EXPECT_GE(checked, 6879);
}

TEST(JapaneseHalfWidthKana, EachKanaAgreesWithIconv) {
  // glibc's transliteration gives single half-width kana their full-width
  // forms, but turns the two sound marks standing alone into "?"; those are
  // checked through their full-width forms below.  The transliteration
  // table belongs to the locale: the "C" locale has none.
  locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  ASSERT_NE(utf8, locale_t{});
  const locale_t previous = uselocale(utf8);
  for (int kana = 0xA1; kana <= 0xDD; ++kana) {
    const std::string in(1, static_cast<char>(kana));
    std::string want;
    ASSERT_TRUE(convert("SHIFT_JIS", "ISO-2022-JP//TRANSLIT", in, want)) << std::hex << kana;
    ASSERT_EQ(want.size(), 8u) << std::hex << kana;
    EXPECT_EQ(sjisToIso2022jp(in), want) << std::hex << kana;
  }
  uselocale(previous);
  freelocale(utf8);
}

TEST(JapaneseHalfWidthKana, SoundMarksCombineWhereTheKanaTakesThem) {
  struct Case {
    const char *halfWidth;  // UTF-8
    const char *fullWidth;  // UTF-8
  } cases[] = {
      {"ｶﾞ", "ガ"},
      {"ﾄﾞ", "ド"},
      {"ｻﾞｼﾞ", "ザジ"},
      {"ﾊﾞﾊﾟ", "バパ"},
      {"ﾎﾟ", "ポ"},
      {"ｳﾞ", "ヴ"},
      {"ｱﾞ", "ア゛"},
      {"ｶﾟ", "カ゜"},
      {"ﾅﾞ", "ナ゛"},
      {"ﾞ", "゛"},
      {"ﾟ", "゜"},
      {"ｰ｡｢｣､･", "ー。「」、・"},
      {"ﾜｦﾝ", "ワヲン"},
      {"ｧｨｩｪｫｬｭｮｯ", "ァィゥェォャュョッ"},
      {"ｱｲｳｴｵｶｷｸｹｺｻｼｽｾｿﾀﾁﾂﾃﾄﾅﾆﾇﾈﾉﾊﾋﾌﾍﾎﾏﾐﾑﾒﾓﾔﾕﾖﾗﾘﾙﾚﾛ",
       "アイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホマミムメモヤユヨラリルレロ"},
      {"ﾃﾞｰﾀ ok", "データ ok"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(sjisToIso2022jp(utf8ToSjis(c.halfWidth)), utf8ToJis(c.fullWidth)) << c.halfWidth;
  }
}

TEST(JapaneseText, MixedTextAgreesWithIconv) {
  const char *texts[] = {
      "日本語のテキスト",  "Report: 3 devices\r\n応答なし: router\r\n",
      "ASCII only",        "前\r\n\r\n後",
      "全角とASCII mixed", "ＡＢＣ１２３",
  };
  for (const char *t : texts) {
    EXPECT_EQ(sjisToIso2022jp(utf8ToSjis(t)), utf8ToJis(t)) << t;
  }
}

TEST(JapaneseText, BrokenInputIsHandledWithoutReadingPastTheEnd) {
  // A lead byte at the end is dropped; a lead byte with a trail outside
  // 0x40..0xFC is copied with it.
  EXPECT_EQ(sjisToIso2022jp("a\x93"), "a");
  EXPECT_EQ(sjisToIso2022jp("\x93\xFA\x93"), "\x1B$BF|\x1B(B");
  EXPECT_EQ(sjisToIso2022jp("\x93\x20x"), "\x93\x20x");
  EXPECT_EQ(sjisToIso2022jp("\xB6"), "\x1B$B%+\x1B(B");
}

TEST(JapaneseAddress, RunsAndQuotedNamesBecomeWords) {
  struct Case {
    std::string text;  // UTF-8, converted to Shift_JIS for the call
    std::string want;  // made with the independent encoder
  } cases[] = {
      {"\"山田\" <y@x.org>", jisWord("山田") + " <y@x.org>"},
      {"山田 <y@x.org>", jisWord("山田") + " <y@x.org>"},
      {"\"Yamada\" 山 <y@x.org>", "\"Yamada\" " + jisWord("山") + " <y@x.org>"},
      {"\"山田 <y@x.org>", jisWord("山田 <y@x.org>")},
      {"y@x.org", "y@x.org"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(encodeJapaneseAddress(utf8ToSjis(c.text)), c.want) << c.text;
  }
}

TEST(JapaneseAddress, FromIsEncodedThenFoldedOnlyInTheJapaneseMode) {
  const std::string from = utf8ToSjis("\"山田 太郎\" <taro@x.org>");
  Message m;
  m.setCharsetMode(0);
  m.setFrom(from);
  EXPECT_EQ(m.from(), from);
  m.setCharsetMode(1);
  m.setFrom(from);
  EXPECT_EQ(m.from(), jisWord("山田 太郎") + " <taro@x.org>");
  // Folding follows the encoding: the blank after the word is past byte 10.
  m.setMaxHeaderLength(10);
  m.setReplyTo(from);
  EXPECT_EQ(m.replyTo(), jisWord("山田 太郎") + "\r\n <taro@x.org>");
}

TEST(JapaneseSubject, SegmentsOfTheWidthBecomeWords) {
  const std::string twelve = "日本語日本語日本語日本語";
  struct Case {
    unsigned maxLength;
    std::string text;
    std::string want;
  } cases[] = {
      {72, "日本語", jisWord("日本語")},
      {72, "abc " + twelve + " def", "abc " + jisWord(twelve) + "\r\n\tdef"},
      {72, twelve + "本", jisWord(twelve) + "\r\n\t" + jisWord("本")},
      // Width 10 at MaxHeaderLength 50 or less: a word closes once it is
      // longer than 10 bytes, so six characters fill one.
      {50, "日本語日本語日", jisWord("日本語日本語") + "\r\n\t" + jisWord("日")},
      {0, "日本語日本語日", jisWord("日本語日本語") + "\r\n\t" + jisWord("日")},
      {60, "日本語日本語日", jisWord("日本語日本語") + "\r\n\t" + jisWord("日")},
      {62, "日本語日本語日", jisWord("日本語日本語日")},
      {72, "Status 日本", "Status " + jisWord("日本")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(encodeJapaneseSubject(utf8ToSjis(c.text), c.maxLength), c.want);
    EXPECT_EQ(foldSubject(utf8ToSjis(c.text), c.maxLength, 1), c.want);
  }
}

TEST(JapaneseMode, BodyConvertedAndContentTypeAdded) {
  Message m;
  m.setCharsetMode(1);
  m.setMessageDate("");
  m.setMessageId("");
  ASSERT_EQ(m.setMessageText(utf8ToSjis("本文\n.点\r\n")), 0);
  EXPECT_EQ(m.body(), utf8ToJis("本文\r\n..点\r\n"));
  m.setSubject(utf8ToSjis("件名"));
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerBlock(), "Subject: " + jisWord("件名") +
                                 "\r\nContent-Type: text/plain; charset=iso-2022-jp\r\n\r\n");

  // Only a field spelled exactly "Content-Type" stops the added one.
  m.setOtherHeaders("content-type: text/plain");
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerField(m.headerCount() - 1), "Content-Type");
  m.setOtherHeaders("Content-Type: text/plain; charset=utf-8");
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerField(m.headerCount() - 1), "Content-Type");
  EXPECT_EQ(m.headerValue(m.headerCount() - 1), "text/plain; charset=utf-8");
  EXPECT_EQ(m.headerCount(), 2u);

  // Other modes add nothing and keep the body bytes.
  m.setCharsetMode(2);
  m.setOtherHeaders("");
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerCount(), 1u);
  ASSERT_EQ(m.setMessageText(utf8ToSjis("本文")), 0);
  EXPECT_EQ(m.body(), utf8ToSjis("本文"));
}

}  // namespace
