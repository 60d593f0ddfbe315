// Composition of the header block: the application's message, the header
// order, Date and Message-Id, OtherHeaders, ResetHeaders and the body rules.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compose/body_text.h"
#include "compose/message.h"
#include "compose/message_date.h"
#include "compose/message_id.h"
#include "compose/other_headers.h"

using namespace pelsmtp;

namespace {

std::vector<std::string> fieldsOf(const Message &m) {
  std::vector<std::string> f;
  for (const HeaderField &h : m.headers()) f.push_back(h.field);
  return f;
}

// Seconds since the epoch of a generated Date text, or -1.
long long parseDate(const std::string &text) {
  std::tm tm{};
  const char *end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  if (!end || *end) return -1;
  return static_cast<long long>(timegm(&tm));
}

// The four numbers of a generated identifier "<AAl.BBlCClDDl@domain>", or
// nothing when the text has any other form.
std::optional<std::array<std::string, 4>> generatedIdNumbers(std::string_view id,
                                                             std::string_view domain) {
  const std::string tail = "l@" + std::string(domain) + ">";
  if (!id.starts_with('<') || !id.ends_with(tail) || id.size() < 1 + tail.size()) {
    return std::nullopt;
  }
  std::string_view rest = id.substr(1, id.size() - 1 - tail.size());
  const std::string_view after[] = {"l.", "l", "l", ""};
  std::array<std::string, 4> numbers;
  for (size_t i = 0; i < numbers.size(); ++i) {
    size_t digits = 0;
    while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits]))) {
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    numbers[i] = std::string(rest.substr(0, digits));
    rest.remove_prefix(digits);
    if (!rest.starts_with(after[i])) return std::nullopt;
    rest.remove_prefix(after[i].size());
  }
  if (!rest.empty()) return std::nullopt;
  return numbers;
}

TEST(Composition, ApplicationMessageIsExactlyFiveHeaders) {
  Message m;
  m.setFrom("monitor@site.example");
  m.setRecipients(RecipientType::To, "ops@site.example, admin@site.example");
  m.setSubject("Check results");
  m.setMessageText("All devices answered.\r\n");
  const long long before = std::time(nullptr);
  ASSERT_EQ(m.compose(), 0);
  const long long after = std::time(nullptr);

  ASSERT_EQ(m.headerCount(), 5u);
  EXPECT_EQ(fieldsOf(m), (std::vector<std::string>{"To", "From", "Subject", "Date", "Message-Id"}));
  EXPECT_EQ(m.headerValue(0), "ops@site.example, admin@site.example");
  EXPECT_EQ(m.headerValue(1), "monitor@site.example");
  EXPECT_EQ(m.headerValue(2), "Check results");
  const long long date = parseDate(m.headerValue(3));
  EXPECT_GE(date, before);
  EXPECT_LE(date, after);
  EXPECT_TRUE(generatedIdNumbers(m.headerValue(4), "site.example")) << m.headerValue(4);
  EXPECT_EQ(m.headerBlock(), "To: " + m.headerValue(0) + "\r\nFrom: " + m.headerValue(1) +
                                 "\r\nSubject: " + m.headerValue(2) +
                                 "\r\nDate: " + m.headerValue(3) +
                                 "\r\nMessage-Id: " + m.headerValue(4) + "\r\n\r\n");
}

TEST(Composition, HeaderOrderWithEveryProperty) {
  Message m;
  m.setRecipients(RecipientType::BCc, "hidden@x.org");
  m.setRecipients(RecipientType::Cc, "copy@x.org");
  m.setRecipients(RecipientType::To, "to@x.org");
  m.setOtherHeaders("X-Mailer: test");
  m.setSensitivity(kEsPrivate);
  m.setImportance(kMiLow);
  m.setPriority(kEpUrgent);
  m.setDeliveryNotificationTo("dn@x.org");
  m.setReadReceiptTo("rr@x.org");
  m.setMessageId("<fixed@x.org>");
  m.setMessageDate("Mon, 1 Jun 2026 10:00:00 GMT");
  m.setReplyTo("reply@x.org");
  m.setSubject("All of them");
  m.setFrom("from@x.org");
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerBlock(),
            "To: to@x.org\r\n"
            "From: from@x.org\r\n"
            "Subject: All of them\r\n"
            "Reply-To: reply@x.org\r\n"
            "Date: Mon, 1 Jun 2026 10:00:00 GMT\r\n"
            "Message-Id: <fixed@x.org>\r\n"
            "Cc: copy@x.org\r\n"
            "Disposition-Notification-To: rr@x.org\r\n"
            "Return-Receipt-To: dn@x.org\r\n"
            "Priority: Urgent\r\n"
            "Importance: Low\r\n"
            "Sensitivity: Private\r\n"
            "X-Mailer: test\r\n"
            "\r\n");
  // The blind copies are in the list but never in the block.
  EXPECT_EQ(m.recipientCount(), 3u);
  EXPECT_EQ(m.headerBlock().find("hidden"), std::string::npos);
}

TEST(Composition, EnumerationHeaders) {
  struct Case {
    int value;
    const char *priority;
    const char *importance;
    const char *sensitivity;
  } cases[] = {
      {0, nullptr, nullptr, nullptr},     {1, "Normal", "High", "Personal"},
      {2, "Urgent", "Normal", "Private"}, {3, "Non-Urgent", "Low", "Company-Confidential"},
      {4, nullptr, nullptr, nullptr},     {-1, nullptr, nullptr, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    Message m;
    m.setMessageDate("");
    m.setMessageId("");
    m.setPriority(c.value);
    m.setImportance(c.value);
    m.setSensitivity(c.value);
    ASSERT_EQ(m.compose(), 0);
    std::vector<HeaderField> want;
    if (c.priority) want.push_back({"Priority", c.priority});
    if (c.importance) want.push_back({"Importance", c.importance});
    if (c.sensitivity) want.push_back({"Sensitivity", c.sensitivity});
    EXPECT_EQ(m.headers(), want);
  }
}

TEST(Composition, EmptyMessageHasOnlyTheEmptyLine) {
  Message m;
  m.setMessageDate("");
  m.setMessageId("");
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerCount(), 0u);
  EXPECT_EQ(m.headerBlock(), "\r\n");
}

TEST(MessageDateText, FormatsWithEnglishNamesAndNoLeadingZeroDay) {
  struct Case {
    time_t when;
    const char *text;
  } cases[] = {
      {0, "Thu, 1 Jan 1970 00:00:00 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {1772694489, "Thu, 5 Mar 2026 07:08:09 GMT"},
      {4102444799, "Thu, 31 Dec 2099 23:59:59 GMT"},
  };
  for (const Case &c : cases) {
    std::tm utc{};
    gmtime_r(&c.when, &utc);
    EXPECT_EQ(formatMessageDate(utc), c.text);
  }
}

TEST(MessageDateText, GeneratedOnceAndKeptUntilRenewed) {
  Message m;
  EXPECT_EQ(m.messageDate(), "*");
  ASSERT_EQ(m.compose(), 0);
  const std::string first = m.headerValue(0);
  EXPECT_GT(parseDate(first), 0);
  EXPECT_EQ(m.storedMessageDate(), "*" + first);
  EXPECT_EQ(m.messageDate(), first);
  // A second composition keeps the generated date.
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerValue(0), first);
  // After a transaction the date is asked for again.
  m.renewGeneratedDate();
  EXPECT_EQ(m.messageDate(), "*");
  // A caller's date is kept as written, and renewal leaves it alone.
  m.setMessageDate("Sat, 6 Jun 2026 12:00:00 GMT");
  m.renewGeneratedDate();
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerValue(0), "Sat, 6 Jun 2026 12:00:00 GMT");
  // A text behind a star is used as it stands.
  m.setMessageDate("*Fixed text");
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerValue(0), "Fixed text");
  EXPECT_EQ(m.messageDate(), "Fixed text");
}

TEST(MessageIdText, FormatAndDomain) {
  EXPECT_EQ(formatMessageId(1, 2, 3, 4, "@x.org"), "<1l.2l3l4l@x.org>");
  EXPECT_EQ(formatMessageId(18446744073709551615ull, 4294967295u, 0, 1, ""),
            "<18446744073709551615l.4294967295l0l1l>");
  struct Case {
    const char *from;
    const char *domain;
  } cases[] = {
      {"me@x.org", "@x.org"},       {"Me <me@x.org>", "@x.org"},
      {"me@x.org other", "@x.org"}, {"me@x.org\tother", "@x.org"},
      {"no address", ""},           {"", ""},
      {"trailing@", "@"},
  };
  for (const Case &c : cases) EXPECT_EQ(fromDomain(c.from), c.domain) << c.from;
}

TEST(MessageIdText, NormalisedOnceThenKept) {
  struct Case {
    const char *id;
    const char *from;
    const char *value;
    bool stable;  // without a domain every composition appends another ">"
  } cases[] = {
      {"plainletters", "me@x.org", "<plainletters@x.org>", true},
      {"plainletters", "Me <me@x.org>", "<plainletters@x.org>", true},
      {"plainletters", "nobody", "<plainletters>", false},
      {"<abc@y.org>", "me@x.org", "<abc@y.org>", true},
      {"abc@y.org", "me@x.org", "<abc@y.org>", true},
      {"<abc@y.org", "me@x.org", "<abc@y.org>", true},
      {"abc@y.org>", "me@x.org", "<abc@y.org>", true},
      {"<abc", "me@x.org", "<abc@x.org>", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.id);
    Message m;
    m.setFrom(c.from);
    m.setMessageDate("");
    m.setMessageId(c.id);
    ASSERT_EQ(m.compose(), 0);
    ASSERT_EQ(m.headerField(1), "Message-Id");
    EXPECT_EQ(m.headerValue(1), c.value);
    EXPECT_EQ(m.messageId(), c.value);
    // Normalising again changes nothing.
    ASSERT_EQ(m.compose(), 0);
    if (c.stable) {
      EXPECT_EQ(m.headerValue(1), c.value);
    }
  }
}

TEST(MessageIdText, GeneratedAtEveryCompositionWithAGrowingSequence) {
  Message a;
  Message b;
  a.setFrom("a@x.org");
  b.setFrom("b@x.org");
  a.setMessageDate("");
  b.setMessageDate("");
  std::vector<std::string> ids;
  std::vector<unsigned long> sequence;
  std::vector<std::string> instance;
  for (Message *m : {&a, &b, &a}) {
    ASSERT_EQ(m->compose(), 0);
    const std::string id = m->headerValue(1);
    const auto numbers = generatedIdNumbers(id, "x.org");
    ASSERT_TRUE(numbers) << id;
    ids.push_back(id);
    instance.push_back((*numbers)[0]);
    sequence.push_back(std::stoul((*numbers)[3]));
    // The stored text keeps its star, so the next composition makes a new one.
    EXPECT_EQ(m->storedMessageId(), "*" + id);
    EXPECT_EQ(m->messageId(), id);
  }
  EXPECT_EQ(sequence[1], sequence[0] + 1);
  EXPECT_EQ(sequence[2], sequence[1] + 1);
  EXPECT_NE(instance[0], instance[1]);
  EXPECT_EQ(instance[0], instance[2]);
  EXPECT_NE(ids[0], ids[2]);
  // "*" followed by an old value still asks for a new identifier.
  a.setMessageId("*<old@x.org>");
  ASSERT_EQ(a.compose(), 0);
  EXPECT_TRUE(generatedIdNumbers(a.headerValue(1), "x.org")) << a.headerValue(1);
}

struct OtherCase {
  const char *what;
  std::string written;
  std::string rewritten;
  std::vector<HeaderField> headers;
};

const OtherCase kOtherCases[] = {
    {"one line", "X-A: 1", "X-A: 1\r\n", {{"X-A", "1"}}},
    {"trailing line ends reduced to one", "X-A: 1\r\n\r\n\r\n", "X-A: 1\r\n", {{"X-A", "1"}}},
    {"final bare LF made CR LF", "X-A: 1\n", "X-A: 1\r\n", {{"X-A", "1"}}},
    {"two lines", "X-A: 1\r\nX-B:2\r\n", "X-A: 1\r\nX-B:2\r\n", {{"X-A", "1"}, {"X-B", "2"}}},
    {"only one blank after the colon is skipped", "X-A:  1", "X-A:  1\r\n", {{"X-A", " 1"}}},
    {"empty value left out", "X-Empty:\r\nX-B: 2", "X-Empty:\r\nX-B: 2\r\n", {{"X-B", "2"}}},
    {"a line without colon continues the value",
     "X-A: 1\r\n\tmore",
     "X-A: 1\r\n\tmore\r\n",
     {{"X-A", "1\r\n\tmore"}}},
    {"a colon on a later line takes the line before into the field",
     "First line\r\nX-B: 2",
     "First line\r\nX-B: 2\r\n",
     {{"First line\r\nX-B", "2"}}},
    {"colons in the value stay",
     "X-Time: 10:20:30",
     "X-Time: 10:20:30\r\n",
     {{"X-Time", "10:20:30"}}},
};

class OtherHeadersCases : public ::testing::TestWithParam<OtherCase> {};

TEST_P(OtherHeadersCases, RewrittenAndParsed) {
  const OtherCase &c = GetParam();
  Message m;
  m.setMessageDate("");
  m.setMessageId("");
  m.setSubject("S");
  m.setOtherHeaders(c.written);
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.otherHeaders(), c.rewritten) << c.what;
  std::vector<HeaderField> want{{"Subject", "S"}};
  want.insert(want.end(), c.headers.begin(), c.headers.end());
  EXPECT_EQ(m.headers(), want) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Cases, OtherHeadersCases, ::testing::ValuesIn(kOtherCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

TEST(OtherHeaders, RawModeReplacesEveryStandardHeader) {
  Message m;
  m.setFrom("from@x.org");
  m.setRecipients(RecipientType::To, "to@x.org");
  m.setSubject("Ignored");
  m.setPriority(kEpUrgent);
  m.setCharsetMode(1);  // no Content-Type either
  m.setOtherHeaders("\r\nFrom: raw@x.org\r\nTo: raw-to@x.org\r\nX-Raw: yes");
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerBlock(), "From: raw@x.org\r\nTo: raw-to@x.org\r\nX-Raw: yes\r\n\r\n");
  EXPECT_EQ(m.otherHeaders(), "\r\nFrom: raw@x.org\r\nTo: raw-to@x.org\r\nX-Raw: yes\r\n");
  // Generated values are not touched in raw mode.
  EXPECT_EQ(m.messageDate(), "*");
  EXPECT_EQ(m.messageId(), "*");
}

TEST(OtherHeaders, ContinuationWithoutAnyHeaderIsDropped) {
  std::vector<HeaderField> list;
  appendOtherHeaders(list, "no colon here\r\n", "");
  EXPECT_TRUE(list.empty());
  list.push_back({"Subject", "S"});
  appendOtherHeaders(list, "no colon here\r\n", "");
  EXPECT_EQ(list, (std::vector<HeaderField>{{"Subject", "S\r\nno colon here"}}));
}

TEST(OtherHeaders, ValuesAreEncodedWithACharset) {
  Message m;
  m.setMessageDate("");
  m.setMessageId("");
  m.setCharset("UTF-8");
  m.setOtherHeaders("X-Name: K\xC3\xA4se");
  ASSERT_EQ(m.compose(), 0);
  EXPECT_EQ(m.headerBlock(), "X-Name: =?UTF-8?B?S8Okc2U=?=\r\n\r\n");
}

TEST(ResetHeaders, EmptiesMessageTextsAndKeepsSettings) {
  Message m;
  m.setMaxHeaderLength(40);
  m.setCharset("UTF-8");
  m.setCharsetMode(1);
  m.setRecipients(RecipientType::To, "to@x.org");
  m.setRecipients(RecipientType::BCc, "b@x.org");
  m.setFrom("from@x.org");
  m.setReplyTo("reply@x.org");
  m.setReturnPath("bounce@x.org");
  m.setSubject("Subject");
  m.setOtherHeaders("X-A: 1");
  m.setMessageText("Body");
  m.setReadReceiptTo("rr@x.org");
  m.setDeliveryNotificationTo("dn@x.org");
  m.setMessageDate("Mon, 1 Jun 2026 10:00:00 GMT");
  m.setMessageId("<id@x.org>");
  m.setPriority(kEpUrgent);
  m.setImportance(kMiHigh);
  m.setSensitivity(kEsPersonal);
  ASSERT_EQ(m.compose(), 0);
  const std::vector<HeaderField> headers = m.headers();
  ASSERT_FALSE(headers.empty());

  m.resetHeaders();
  EXPECT_EQ(m.recipientCount(), 0u);
  EXPECT_EQ(m.from(), "");
  EXPECT_EQ(m.replyTo(), "");
  EXPECT_EQ(m.returnPath(), "");
  EXPECT_EQ(m.subject(), "");
  EXPECT_EQ(m.otherHeaders(), "");
  EXPECT_EQ(m.body(), "");
  EXPECT_EQ(m.headerBlock(), "");
  EXPECT_EQ(m.readReceiptTo(), "");
  EXPECT_EQ(m.deliveryNotificationTo(), "");
  EXPECT_EQ(m.storedMessageDate(), "*");
  EXPECT_EQ(m.storedMessageId(), "*");
  EXPECT_EQ(m.priority(), 0);
  EXPECT_EQ(m.importance(), 0);
  EXPECT_EQ(m.sensitivity(), 0);
  // Settings and the header list of the last composition stay.
  EXPECT_EQ(m.maxHeaderLength(), 40);
  EXPECT_EQ(m.charset(), "UTF-8");
  EXPECT_EQ(m.charsetMode(), 1);
  EXPECT_EQ(m.headers(), headers);
}

struct BodyCase {
  const char *what;
  std::string written;
  std::string stored;
};

const BodyCase kTextCases[] = {
    {"second line starting with a dot", "one\r\n.two\r\n", "one\r\n..two\r\n"},
    {"dot at the very start", ".start", "..start"},
    {"a lone dot line", "a\r\n.\r\nb", "a\r\n..\r\nb"},
    {"dots not at a line start stay", "a.b\r\n x.", "a.b\r\n x."},
    {"bare LF becomes CR LF before the doubling", "one\n.two\n", "one\r\n..two\r\n"},
    {"bare CR becomes CR LF before the doubling", "one\r.two\r", "one\r\n..two\r\n"},
    {"CR CR LF", "a\r\r\nb", "a\r\n\r\nb"},
    {"LF CR is two line ends", "a\n\rb", "a\r\n\r\nb"},
    {"lone LF", "\n", "\r\n"},
    {"CR LF kept", "a\r\n\r\n", "a\r\n\r\n"},
    {"smuggled end of data is only a line", "x\n.\r\nMAIL FROM:<y>", "x\r\n..\r\nMAIL FROM:<y>"},
    {"empty", "", ""},
};

class MessageTextWrites : public ::testing::TestWithParam<BodyCase> {};

TEST_P(MessageTextWrites, StoredWithLineEndsMendedAndDotsDoubled) {
  const BodyCase &c = GetParam();
  Message m;
  ASSERT_EQ(m.setMessageText(c.written), 0);
  EXPECT_EQ(m.body(), c.stored) << c.what;
  // The same bytes through Message / MessageB / SetMessage stay as they are.
  ASSERT_EQ(m.setMessage(c.written), 0);
  EXPECT_EQ(m.body(), c.written) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Cases, MessageTextWrites, ::testing::ValuesIn(kTextCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

TEST(MessageTextWrites, BodyWithNulBytesKeepsThem) {
  const std::string bytes("a\0.b\n.c", 7);
  Message m;
  ASSERT_EQ(m.setMessage(bytes), 0);
  EXPECT_EQ(m.body(), bytes);
  ASSERT_EQ(m.setMessageText(bytes), 0);
  EXPECT_EQ(m.body(), std::string("a\0.b\r\n..c", 9));
}

}  // namespace
