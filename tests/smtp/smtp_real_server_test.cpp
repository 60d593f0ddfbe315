// TpelSMTP against a real mail server (aiosmtpd, started by the test on a
// loopback port): what the server stores is the composed header block and the
// body with its doubled dots undone, and a second Send on an open connection
// goes through the server's RSET.
#include <glib.h>
#include <gtest/gtest.h>

#include <QString>

#include <memory>
#include <string>
#include <vector>

#include "component_fixture.h"
#include "pelsmtp.h"
#include "report_peers.h"

namespace {

const QString kDate = "Thu, 10 Dec 2026 12:00:00 GMT";

// Decodes the "=?charset?B?...?=" words of a header value as a mail reader
// does: base64 words decoded, folding (CR LF before a blank) removed, and
// blanks between two encoded words dropped.
std::string decodeWords(std::string value) {
  for (size_t at; (at = value.find("\r\n")) != std::string::npos;) value.erase(at, 2);
  std::string out;
  bool lastWasEncoded = false;
  size_t i = 0;
  while (i < value.size()) {
    const size_t start = value.find("=?", i);
    const size_t q1 = start == std::string::npos ? start : value.find('?', start + 2);
    const size_t end = q1 == std::string::npos || q1 + 3 > value.size() ? std::string::npos
                                                                        : value.find("?=", q1 + 3);
    const std::string plain =
        value.substr(i, start == std::string::npos ? std::string::npos : start - i);
    if (!plain.empty()) {
      const bool onlyBlanks = plain.find_first_not_of(" \t") == std::string::npos;
      if (!(onlyBlanks && lastWasEncoded && end != std::string::npos)) {
        out += plain;
        lastWasEncoded = false;
      }
    }
    if (end == std::string::npos) {
      if (start != std::string::npos) out += value.substr(start);
      break;
    }
    // Only B words are written by the core: "=?charset?B?" then base64.
    const std::string base64 = value.substr(q1 + 3, end - (q1 + 3));
    gsize n = 0;
    guchar *bytes = g_base64_decode(base64.c_str(), &n);
    out.append(reinterpret_cast<const char *>(bytes), n);
    g_free(bytes);
    lastWasEncoded = true;
    i = end + 2;
  }
  return out;
}

// A body of `size` bytes or a little more: lines of at most 78 characters, every
// seventh one beginning with a dot and some made of a dot alone.
std::string largeBody(size_t size) {
  std::string body;
  for (int i = 0; body.size() < size; ++i) {
    if (i % 13 == 0)
      body += ".\r\n";
    else if (i % 7 == 0)
      body += ".line " + std::to_string(i) + " begins with a dot\r\n";
    else
      body += "line " + std::to_string(i) + std::string(60, 'a' + i % 26) + "\r\n";
  }
  return body;
}

std::string utf8(const QString &s) { return s.toUtf8().toStdString(); }

class SmtpRealServer : public testsupport::ComponentTest<> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sink.Ok()) << sink.Why();
    smtp = std::make_unique<TpelSMTP>();
    smtp->Config("Hello=client.test");
    smtp->Config("CodePage=65001");
    smtp->setMailServer("127.0.0.1");
    smtp->setMailPort(sink.Port());
    smtp->setTimeout(60);
    smtp->setMessageDate(kDate);
    smtp->setOnPITrail([this](QObject *, int direction, const QString &line) {
      if (direction == PELNET_SMTP_dirClientToServer) commands.push_back(utf8(line));
    });
  }

  reportpeers::SmtpSink sink;
  std::unique_ptr<TpelSMTP> smtp;
  std::vector<std::string> commands;
};

struct MessageCase {
  const char *name;
  QString charset;  // the Charset setting, "" for none
  QString from, to, cc, bcc, subject;
  std::string body;         // as written to MessageText
  std::string headerBlock;  // the expected header block; "" to take MessageHeadersString alone
  std::vector<std::string> envelopeTo;
};

std::vector<MessageCase> messageCases() {
  return {
      {"PlainText",
       "",
       "from@test",
       "one@test, \"Two, Second\" <two@test>",
       "cc@test",
       "hidden@test",
       "Plain report",
       "All 3 devices reachable.\r\nNothing else to say.\r\n",
       "To: one@test, \"Two, Second\" <two@test>\r\n"
       "From: from@test\r\n"
       "Subject: Plain report\r\n"
       "Date: Thu, 10 Dec 2026 12:00:00 GMT\r\n"
       "Message-Id: <PlainText@test>\r\n"
       "Cc: cc@test\r\n"
       "\r\n",
       {"one@test", "two@test", "cc@test", "hidden@test"}},
      {"LinesStartingWithDots",
       "",
       "from@test",
       "to@test",
       "",
       "",
       "Dots",
       ".one dot\r\n..two dots\r\n.\r\nafter a lone dot\r\n...\r\n.",
       "To: to@test\r\nFrom: from@test\r\nSubject: Dots\r\n"
       "Date: Thu, 10 Dec 2026 12:00:00 GMT\r\nMessage-Id: <LinesStartingWithDots@test>\r\n\r\n",
       {"to@test"}},
      {"OneMegabyteBody",
       "",
       "from@test",
       "to@test",
       "",
       "",
       "Large",
       largeBody(1 << 20),
       "",
       {"to@test"}},
      {"NonAsciiWithCharset",
       "UTF-8",
       QString::fromUtf8("J\u00fcrgen M\u00fcller <from@test>"),
       "to@test",
       "",
       "",
       QString::fromUtf8("Gr\u00fc\u00dfe aus K\u00f6ln"),
       "Gr\u00f6\u00dfe: 5 \u20ac\r\nZ\u00fcrich, S\u00e3o Paulo, \u6771\u4eac\r\n",
       "",
       {"to@test"}},
  };
}

class SmtpRealServerMessages : public SmtpRealServer,
                               public testing::WithParamInterface<MessageCase> {};

TEST_P(SmtpRealServerMessages, TheServerStoresTheComposedMessage) {
  const MessageCase &k = GetParam();
  if (!k.charset.isEmpty()) smtp->Config("Charset=" + k.charset);
  smtp->setMessageId(QString("<%1@test>").arg(k.name));
  smtp->setFrom(k.from);
  smtp->setSendTo(k.to);
  smtp->setCc(k.cc);
  smtp->setBCc(k.bcc);
  smtp->setSubject(k.subject);
  smtp->setMessageText(QString::fromStdString(k.body));
  smtp->Send();
  EXPECT_FALSE(smtp->Connected());

  const auto mails = sink.Messages();
  ASSERT_EQ(mails.size(), 1u);
  const reportpeers::Mail &mail = mails[0];
  EXPECT_EQ(mail.From, "from@test");
  EXPECT_EQ(mail.To, k.envelopeTo);

  // The same properties compose the same block again (the date and id are fixed).
  const std::string composed = utf8(smtp->MessageHeadersString());
  if (!k.headerBlock.empty()) {
    EXPECT_EQ(composed, k.headerBlock);
  }
  ASSERT_GE(composed.size(), 4u);
  // What the server stored: the header block, then the body as written, then the
  // CR LF the client puts before the end-of-data line.
  const std::string expected = composed + k.body + "\r\n";
  ASSERT_EQ(mail.Raw.size(), expected.size());
  EXPECT_TRUE(mail.Raw == expected) << mail.Raw.substr(0, 2000);
  EXPECT_EQ(mail.Raw.find("hidden@test"), std::string::npos);

  if (!k.charset.isEmpty()) {
    // Header values are 7-bit with encoded words that give back the texts.
    for (unsigned char ch : composed) ASSERT_LT(ch, 0x80) << composed;
    EXPECT_EQ(decodeWords(mail.Header("Subject")), utf8(k.subject));
    EXPECT_EQ(decodeWords(mail.Header("From")), utf8(k.from));
    EXPECT_NE(mail.Header("Subject").find("=?UTF-8?B?"), std::string::npos);
  }
  const std::vector<std::string> dialogue = {"EHLO client.test", "RSET", "MAIL FROM: <from@test>"};
  ASSERT_GE(commands.size(), dialogue.size());
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 3), dialogue);
  EXPECT_EQ(commands.back(), "QUIT");
}

INSTANTIATE_TEST_SUITE_P(Smtp, SmtpRealServerMessages, testing::ValuesIn(messageCases()),
                         [](const testing::TestParamInfo<MessageCase> &i) { return i.param.name; });

TEST_F(SmtpRealServer, ASecondSendOnTheOpenConnectionStartsWithRset) {
  smtp->setFrom("from@test");
  smtp->setSendTo("to@test");
  smtp->Connect();
  ASSERT_TRUE(smtp->Connected());
  for (const char *subject : {"first", "second"}) {
    smtp->setSubject(subject);
    smtp->setMessageText(QString("Body of the %1 message.\r\n").arg(subject));
    smtp->Send();
    EXPECT_TRUE(smtp->Connected()) << subject;
  }
  smtp->Disconnect();
  EXPECT_FALSE(smtp->Connected());

  const std::vector<std::string> transaction = {"RSET", "MAIL FROM: <from@test>",
                                                "RCPT TO:<to@test>", "DATA", "."};
  std::vector<std::string> expected = {"EHLO client.test"};
  expected.insert(expected.end(), transaction.begin(), transaction.end());
  expected.insert(expected.end(), transaction.begin(), transaction.end());
  expected.push_back("QUIT");
  EXPECT_EQ(commands, expected);

  const auto mails = sink.Messages();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].Header("Subject"), "first");
  EXPECT_EQ(mails[0].Body, "Body of the first message.\r\n\r\n");
  EXPECT_EQ(mails[1].Header("Subject"), "second");
  EXPECT_EQ(mails[1].Body, "Body of the second message.\r\n\r\n");
  // Each message got its own identifier.
  EXPECT_NE(mails[0].Header("Message-Id"), mails[1].Header("Message-Id"));
}

}  // namespace
