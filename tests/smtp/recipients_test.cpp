// Recipient texts: how SendTo / Cc / BCc writes split into entries and how
// the entries read back.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compose/message.h"
#include "compose/recipients.h"

using namespace pelsmtp;

namespace {

struct Entry {
  std::string name;
  std::string address;
};

struct ParseCase {
  const char *what;
  std::string text;
  std::vector<Entry> entries;
  std::string readBack;
};

const ParseCase kParseCases[] = {
    {"bare address", "a@x.org", {{"", "a@x.org"}}, "a@x.org"},
    {"display name and angle address",
     "John Smith <john@x.org>",
     {{"John Smith", "john@x.org"}},
     "\"John Smith\" <john@x.org>"},
    {"semicolon, then a quoted name holding a comma",
     "first@x.org; \"Smith, John\" <john@y.org>",
     {{"", "first@x.org"}, {"Smith, John", "john@y.org"}},
     "first@x.org, \"Smith, John\" <john@y.org>"},
    {"trailing comma adds nothing", "a@x.org,", {{"", "a@x.org"}}, "a@x.org"},
    {"double comma gives an empty middle entry",
     "a@x.org,,b@x.org",
     {{"", "a@x.org"}, {"", ""}, {"", "b@x.org"}},
     "a@x.org, , b@x.org"},
    {"comma and blank give a second, empty entry",
     "a@x.org, ",
     {{"", "a@x.org"}, {"", ""}},
     "a@x.org, "},
    {"blanks around the pieces are trimmed",
     "  a@x.org  ,\tb@x.org ",
     {{"", "a@x.org"}, {"", "b@x.org"}},
     "a@x.org, b@x.org"},
    {"escaped quotes inside a quoted name do not end it",
     "\"Q \\\"x, y\\\" R\" <q@x.org>, r@x.org",
     {{"Q \\\"x, y\\\" R", "q@x.org"}, {"", "r@x.org"}},
     "\"Q \\\"x, y\\\" R\" <q@x.org>, r@x.org"},
    {"semicolon inside quotes is ordinary",
     "\"A; B\" <ab@x.org>",
     {{"A; B", "ab@x.org"}},
     "\"A; B\" <ab@x.org>"},
    {"a line break ends the name",
     "Mary\r\n <m@x.org>",
     {{"Mary", "m@x.org"}},
     "\"Mary\" <m@x.org>"},
    {"angle brackets inside quotes are ordinary",
     "\"a <b>\" <c@x.org>",
     {{"a <b>", "c@x.org"}},
     "\"a <b>\" <c@x.org>"},
    {"a text without @ is a name", "Nobody", {{"Nobody", ""}}, "\"Nobody\" <>"},
    {"unterminated quote runs to the end",
     "\"Open name, still",
     {{"Open name, still", ""}},
     "\"Open name, still\" <>"},
};

class RecipientParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RecipientParse, EntriesAndReadBack) {
  const ParseCase &c = GetParam();
  Message m;
  ASSERT_EQ(m.setRecipients(RecipientType::To, c.text), 0);
  ASSERT_EQ(m.recipientCount(), c.entries.size());
  for (size_t i = 0; i < c.entries.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(m.recipient(i).name, c.entries[i].name);
    EXPECT_EQ(m.recipient(i).address, c.entries[i].address);
    EXPECT_EQ(m.recipient(i).options, "");
    EXPECT_EQ(m.recipient(i).type, RecipientType::To);
  }
  std::string read;
  ASSERT_EQ(m.recipients(RecipientType::To, read), 0);
  EXPECT_EQ(read, c.readBack);
}

INSTANTIATE_TEST_SUITE_P(Cases, RecipientParse, ::testing::ValuesIn(kParseCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

TEST(RecipientSplit, SeparatorsOutsideQuotesOnly) {
  struct Case {
    std::string text;
    std::vector<std::string> pieces;
  } cases[] = {
      {"", {}},
      {",", {""}},
      {"a;b", {"a", "b"}},
      {"a,,", {"a", ""}},
      {"\"x,y\";z", {"\"x,y\"", "z"}},
      {"\"x\\\",y\",z", {"\"x\\\",y\"", "z"}},
      {"\"open, quote", {"\"open, quote"}},
      // A lone backslash at the end inside quotes must not read past the text.
      {"\"a\\", {"\"a\\"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> got;
    for (std::string_view p : splitRecipientText(c.text)) got.emplace_back(p);
    EXPECT_EQ(got, c.pieces);
  }
}

TEST(RecipientList, EachTypeIsItsOwnView) {
  Message m;
  ASSERT_EQ(m.setRecipients(RecipientType::To, "t1@x.org, t2@x.org"), 0);
  ASSERT_EQ(m.setRecipients(RecipientType::Cc, "c1@x.org"), 0);
  ASSERT_EQ(m.setRecipients(RecipientType::BCc, "b1@x.org"), 0);
  ASSERT_EQ(m.recipientCount(), 4u);

  // Writing Cc replaces only the Cc entries; the others keep their order.
  ASSERT_EQ(m.setRecipients(RecipientType::Cc, "c2@x.org; c3@x.org"), 0);
  std::string to, cc, bcc;
  m.recipients(RecipientType::To, to);
  m.recipients(RecipientType::Cc, cc);
  m.recipients(RecipientType::BCc, bcc);
  EXPECT_EQ(to, "t1@x.org, t2@x.org");
  EXPECT_EQ(cc, "c2@x.org, c3@x.org");
  EXPECT_EQ(bcc, "b1@x.org");
  ASSERT_EQ(m.recipientCount(), 5u);
  EXPECT_EQ(m.recipient(2).address, "b1@x.org");
  EXPECT_EQ(m.recipient(4).address, "c3@x.org");

  // Writing SendTo twice replaces the first list.
  ASSERT_EQ(m.setRecipients(RecipientType::To, "t3@x.org"), 0);
  m.recipients(RecipientType::To, to);
  EXPECT_EQ(to, "t3@x.org");
  EXPECT_EQ(m.recipientCount(), 4u);

  // An empty write removes the entries of its type.
  ASSERT_EQ(m.setRecipients(RecipientType::BCc, ""), 0);
  m.recipients(RecipientType::BCc, bcc);
  EXPECT_EQ(bcc, "");
  EXPECT_EQ(m.recipientCount(), 3u);
}

TEST(RecipientList, CountShortensOrExtendsWithEmptyToEntries) {
  Message m;
  m.setRecipients(RecipientType::Cc, "c@x.org");
  ASSERT_EQ(m.setRecipientCount(3), 0);
  ASSERT_EQ(m.recipientCount(), 3u);
  EXPECT_EQ(m.recipient(0).type, RecipientType::Cc);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(m.recipient(i), Recipient{});
    EXPECT_EQ(m.recipient(i).type, RecipientType::To);
  }
  // Indexed writes address the same entries the views read.
  m.recipient(1).address = "set@x.org";
  m.recipient(1).name = "Set";
  m.recipient(2).address = "opt@x.org";
  m.recipient(2).options = "NOTIFY=NEVER";
  std::string to;
  m.recipients(RecipientType::To, to);
  EXPECT_EQ(to, "\"Set\" <set@x.org>, opt@x.org");
  ASSERT_EQ(m.setRecipientCount(1), 0);
  EXPECT_EQ(m.recipientCount(), 1u);
  EXPECT_EQ(m.recipient(0).address, "c@x.org");
}

TEST(RecipientList, AbsurdCountIsRefusedAndKeepsTheList) {
  Message m;
  m.setRecipients(RecipientType::To, "a@x.org, b@x.org");
  for (size_t n : {Message::kMaxRecipientCount + 1, size_t{0x7FFFFFFF}, SIZE_MAX}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(m.setRecipientCount(n), 200);
    EXPECT_EQ(m.recipientCount(), 2u);
  }
  EXPECT_EQ(m.setRecipientCount(Message::kMaxRecipientCount), 0);
  EXPECT_EQ(m.recipientCount(), Message::kMaxRecipientCount);
  EXPECT_EQ(m.recipient(0).address, "a@x.org");
}

TEST(RecipientList, AddedEntryKeepsItsFields) {
  Message m;
  m.setRecipients(RecipientType::To, "a@x.org");
  ASSERT_EQ(m.addRecipient({"reply text", "", "", RecipientType::To}), 0);
  ASSERT_EQ(m.recipientCount(), 2u);
  std::string to;
  m.recipients(RecipientType::To, to);
  EXPECT_EQ(to, "a@x.org, reply text");
}

}  // namespace
