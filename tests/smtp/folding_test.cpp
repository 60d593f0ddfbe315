// Plain folding of header values, encoded words and the stored forms of the
// header properties.
#include <gtest/gtest.h>

#include <string>

#include "compose/encoded_words.h"
#include "compose/header_folding.h"
#include "compose/message.h"

using namespace pelsmtp;

namespace {

struct FoldCase {
  const char *what;
  unsigned maxLength;
  std::string text;
  std::string folded;
};

const std::string k70(70, 'a');
const std::string k71(71, 'a');
const std::string k100(100, 'a');

const FoldCase kFoldCases[] = {
    {"100 letters without a blank stay whole", 72, k100, k100},
    {"the first blank at byte 72 or later breaks", 72, k70 + " bb cc", k70 + " bb\r\n cc"},
    {"a blank that is exactly byte 72 breaks", 72, k71 + " x", k71 + "\r\n x"},
    {"a comma stays before the break, its blank follows", 72, k71 + ", b", k71 + ",\r\n  b"},
    {"line ends inside a value become blanks", 72, "ab\r\ncd", "ab  cd"},
    {"a TAB breaks like a blank", 3, "ab\tc", "ab\r\n c"},
    {"the count starts again on each new line", 5, "aaaaa bbbbb ccc", "aaaaa\r\n bbbbb\r\n ccc"},
    {"a final blank at the break is dropped", 5, "abcd ", "abcd"},
    {"a final comma at the break is kept", 5, "abcd,", "abcd,"},
    {"blanks before the break are kept", 72, "a b c", "a b c"},
    {"length 0 keeps line ends", 0, "ab\r\ncd", "ab\r\ncd"},
    {"length 0 keeps long values", 0, k100 + " " + k100, k100 + " " + k100},
    {"empty text", 72, "", ""},
};

class PlainFolding : public ::testing::TestWithParam<FoldCase> {};

TEST_P(PlainFolding, Folds) {
  const FoldCase &c = GetParam();
  EXPECT_EQ(foldPlain(c.text, c.maxLength), c.folded) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Cases, PlainFolding, ::testing::ValuesIn(kFoldCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

TEST(StoredHeaderTexts, FoldedWithTheLengthAtTheTimeOfTheWrite) {
  const std::string longSubject = k71 + " tail";
  Message m;
  ASSERT_EQ(m.setSubject(longSubject), 0);
  ASSERT_EQ(m.setFrom("Sender Name\r\n <s@x.org>"), 0);
  ASSERT_EQ(m.setReplyTo(k71 + " r@x.org"), 0);
  ASSERT_EQ(m.setMessageDate(k71 + " date"), 0);
  EXPECT_EQ(m.subject(), k71 + "\r\n tail");
  EXPECT_EQ(m.from(), "Sender Name   <s@x.org>");
  EXPECT_EQ(m.replyTo(), k71 + "\r\n r@x.org");
  EXPECT_EQ(m.messageDate(), k71 + "\r\n date");

  // Changing the length later does not refold what is stored.
  m.setMaxHeaderLength(0);
  EXPECT_EQ(m.subject(), k71 + "\r\n tail");
  ASSERT_EQ(m.setSubject(longSubject + "\r\nnext"), 0);
  EXPECT_EQ(m.subject(), longSubject + "\r\nnext");

  // Texts stored as written, whatever the length.
  m.setMaxHeaderLength(5);
  ASSERT_EQ(m.setReadReceiptTo("rr@x.org and more"), 0);
  ASSERT_EQ(m.setDeliveryNotificationTo("dn@x.org and more"), 0);
  ASSERT_EQ(m.setMessageId("id with blanks"), 0);
  EXPECT_EQ(m.readReceiptTo(), "rr@x.org and more");
  EXPECT_EQ(m.deliveryNotificationTo(), "dn@x.org and more");
  EXPECT_EQ(m.messageId(), "id with blanks");
}

TEST(StoredHeaderTexts, ToAndCcFoldAtComposition) {
  Message m;
  m.setMaxHeaderLength(20);
  m.setRecipients(RecipientType::To, "first.person@x.org, second.person@x.org");
  m.setRecipients(RecipientType::Cc, "copy.one@x.org, copy.two@x.org");
  m.setMessageDate("");
  m.setMessageId("");
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerBlock(),
            "To: first.person@x.org,\r\n second.person@x.org\r\n"
            "Cc: copy.one@x.org, copy.two@x.org\r\n\r\n");
}

// Base64 of the test texts, from an independent encoder.
struct WordCase {
  const char *what;
  std::string charset;
  std::string value;
  std::string encoded;
};

const WordCase kWordCases[] = {
    {"no charset: bytes as they are", "",
     "Gr\xC3\xBC\xC3\x9F"
     "e",
     "Gr\xC3\xBC\xC3\x9F"
     "e"},
    {"plain value unchanged", "UTF-8", "Plain\tvalue\r\n folded", "Plain\tvalue\r\n folded"},
    {"first and last word encoded, plain middle word folds before the last", "UTF-8",
     "Gr\xC3\xBC\xC3\x9F"
     "e mid K\xC3\xA4se",
     "=?UTF-8?B?R3LDvMOfZSA=?=mid\r\n =?UTF-8?B?S8Okc2U=?="},
    {"an encoded word after a plain one starts a new line", "UTF-8", "Hello K\xC3\xA4se",
     "Hello\r\n =?UTF-8?B?S8Okc2U=?="},
    {"an encoded word after a non-blank starts a line with a TAB", "ISO-8859-1",
     "\"J\xC3\xBCrgen\" <j@x.org>", "\"\r\n\t=?ISO-8859-1?B?SsO8cmdlbg==?=\" <j@x.org>"},
    {"a fold after an encoded word is restored", "UTF-8", "K\xC3\xA4se\r\n\tmore",
     "=?UTF-8?B?S8Okc2U=?=\r\n\tmore"},
    {"words over 48 bytes break after 64 characters", "UTF-8",
     [] {
       std::string s;
       for (int i = 0; i < 30; ++i) s += "\xC3\xA4";
       return s;
     }(),
     "=?UTF-8?B?w6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOk\r\n"
     "w6TDpMOkw6TDpMOk?="},
};

class EncodedWords : public ::testing::TestWithParam<WordCase> {};

TEST_P(EncodedWords, Encode) {
  const WordCase &c = GetParam();
  EXPECT_EQ(encodeHeaderValue(c.charset, c.value), c.encoded) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Cases, EncodedWords, ::testing::ValuesIn(kWordCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

TEST(EncodedWords, Base64LineBreaksOnlyForLongInput) {
  EXPECT_EQ(base64Lines(""), "");
  EXPECT_EQ(base64Lines("a"), "YQ==");
  EXPECT_EQ(base64Lines("ab"), "YWI=");
  EXPECT_EQ(base64Lines("abc"), "YWJj");
  // 48 bytes give one line of 64 characters, 49 bytes a break after 64.
  const std::string b48 = base64Lines(std::string(48, 'x'));
  EXPECT_EQ(b48.size(), 64u);
  EXPECT_EQ(b48.find('\r'), std::string::npos);
  const std::string b49 = base64Lines(std::string(49, 'x'));
  EXPECT_EQ(b49.size(), 64u + 2 + 4);
  EXPECT_EQ(b49.substr(64, 2), "\r\n");
  // 96 bytes fill two whole lines: no line end after the last one.
  const std::string b96 = base64Lines(std::string(96, 'x'));
  EXPECT_EQ(b96.size(), 128u + 2);
  EXPECT_FALSE(b96.ends_with("\r\n"));
}

TEST(EncodedWords, SubjectExampleThroughComposition) {
  Message m;
  ASSERT_EQ(m.setCharset("UTF-8"), 0);
  m.setSubject(
      "Gr\xC3\xBC\xC3\x9F"
      "e mid K\xC3\xA4se");
  m.setMessageDate("");
  m.setMessageId("");
  ASSERT_EQ(m.compose(), 0);
  ASSERT_EQ(m.headerCount(), 1u);
  EXPECT_EQ(m.headerField(0), "Subject");
  EXPECT_EQ(m.headerValue(0), "=?UTF-8?B?R3LDvMOfZSA=?=mid\r\n =?UTF-8?B?S8Okc2U=?=");
  // The stored Subject keeps its bytes; only the header is encoded.
  EXPECT_EQ(m.subject(),
            "Gr\xC3\xBC\xC3\x9F"
            "e mid K\xC3\xA4se");
}

}  // namespace
