// TpelSMTP over its embedded core: creation, the property and index rules as
// the component raises them, events through std::function handlers, and the
// mail report's Send against a scripted server.
#include <QMetaProperty>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "component_fixture.h"
#include "pelsmtp.h"
#include "scripted_peer.h"

using smtptest::PeerStep;
using smtptest::ScriptedPeer;

namespace {

class SmtpComponent : public testsupport::ComponentTest<> {
 protected:
  void SetUp() override { smtp = std::make_unique<TpelSMTP>(); }

  // Runs `f`, expecting EpelSMTP with `code` and "code: text".
  template <class F>
  void expectError(F f, int code, const QString &text) {
    try {
      f();
      ADD_FAILURE() << "no exception, expected " << code;
    } catch (const EpelSMTP &e) {
      EXPECT_EQ(e.Code(), code);
      EXPECT_EQ(e.Message(), QString::number(code) + ": " + text);
    }
  }

  std::unique_ptr<TpelSMTP> smtp;
};

TEST_F(SmtpComponent, NewComponentReadsItsDefaults) {
  EXPECT_EQ(smtp->MailPort(), 25);
  EXPECT_EQ(smtp->Timeout(), 60);
  EXPECT_TRUE(smtp->AllowExtensions());
  EXPECT_TRUE(smtp->Idle());
  EXPECT_FALSE(smtp->Connected());
  EXPECT_EQ(smtp->MessageDate(), "*");
  EXPECT_EQ(smtp->MessageId(), "*");
  EXPECT_EQ(smtp->MessageRecipientCount(), 0);
  EXPECT_EQ(smtp->FirewallType(), fwNone);
  EXPECT_EQ(smtp->Importance(), miUnspecified);
  EXPECT_EQ(smtp->Config("StopOnBCCErrors"), "False");
  EXPECT_EQ(smtp->Config("StopOnToErrors"), "True");
  EXPECT_EQ(smtp->Config("MaxHeaderLength"), "72");
}

TEST_F(SmtpComponent, PublishedPropertiesInTheirOrder) {
  const char *published[] = {"BCc",
                             "Cc",
                             "DeliveryNotificationTo",
                             "FirewallAutoDetect",
                             "FirewallType",
                             "FirewallHost",
                             "FirewallPassword",
                             "FirewallPort",
                             "FirewallUser",
                             "From",
                             "Idle",
                             "Importance",
                             "LastReply",
                             "LocalHost",
                             "MailServer",
                             "Message",
                             "MessageHeadersString",
                             "MessageText",
                             "Priority",
                             "ReadReceiptTo",
                             "ReplyTo",
                             "ReturnPath",
                             "SendTo",
                             "Sensitivity",
                             "Subject",
                             "Timeout"};
  const QMetaObject *mo = smtp->metaObject();
  const int first = TpelCore::staticMetaObject.propertyCount();
  ASSERT_EQ(mo->propertyCount() - first, int(std::size(published)));
  for (int i = 0; i < int(std::size(published)); ++i)
    EXPECT_STREQ(mo->property(first + i).name(), published[i]);
  for (const char *reported : {"Idle", "LastReply", "LocalHost", "MessageHeadersString"})
    EXPECT_FALSE(mo->property(mo->indexOfProperty(reported)).isStored()) << reported;
}

TEST_F(SmtpComponent, IndexedReadsRaise280WithThePropertyName) {
  expectError([&] { smtp->MessageRecipientAddress(0); }, 280,
              "Invalid array index value for MessageRecipientAddress");
  expectError([&] { smtp->MessageHeaderField(0); }, 280,
              "Invalid array index value for MessageHeaderField");
  expectError([&] { smtp->MessageRecipientType(3); }, 280,
              "Invalid array index value for MessageRecipientType");
  // A write with a bad index is refused by the core itself.
  expectError([&] { smtp->setMessageRecipientName(0, "x"); }, 432,
              "[432] (no description available)");
  smtp->setSendTo("a@test");
  EXPECT_EQ(smtp->MessageRecipientAddress(0), "a@test");
  EXPECT_EQ(smtp->MessageRecipientType(0), rtTo);
}

TEST_F(SmtpComponent, ReportedPropertiesIgnoreWrites) {
  smtp->setIdle(false);
  smtp->setLastReply("x");
  smtp->setMessageHeadersString("x");
  EXPECT_TRUE(smtp->Idle());
  EXPECT_EQ(smtp->LastReply(), "");
  EXPECT_TRUE(smtp->setProperty("Idle", false));
  EXPECT_TRUE(smtp->Idle());
}

TEST_F(SmtpComponent, MessageTextAndMessageShareOneBody) {
  smtp->setMessageText("a\r\n.b\r\n");
  EXPECT_EQ(smtp->MessageText(), "a\r\n..b\r\n");
  smtp->setMessage("a\r\n.b\r\n");
  EXPECT_EQ(smtp->Message(), "a\r\n.b\r\n");
  const char bytes[] = {'x', '\0', 'y'};
  smtp->SetMessage(bytes, 3);
  EXPECT_EQ(smtp->MessageB(), QByteArray(bytes, 3));
  smtp->setMessageB("plain");
  EXPECT_EQ(smtp->MessageText(), "plain");
}

TEST_F(SmtpComponent, UnknownSettingRaisesMinusOne) {
  expectError([&] { smtp->Config("NoSuchSetting=1"); }, -1, "Unknown config setting.");
}

TEST_F(SmtpComponent, TheMailReportSendsFromGreetingToQuit) {
  using K = PeerStep::Kind;
  std::vector<PeerStep> script = {
      {K::Send, "220 mail.test ESMTP\r\n", 0},
      {K::Expect, "EHLO client.test\r\n", 0},
      {K::Send, "250 mail.test\r\n", 0},
      {K::Expect, "RSET\r\n", 0},
      {K::Send, "250 OK\r\n", 0},
      {K::Expect, "MAIL FROM: <from@test>\r\n", 0},
      {K::Send, "250 OK\r\n", 0},
      {K::Expect, "RCPT TO:<to@test>\r\n", 0},
      {K::Send, "250 OK\r\n", 0},
      {K::Expect, "DATA\r\n", 0},
      {K::Send, "354 go\r\n", 0},
      {K::Expect,
       "To: to@test\r\nFrom: from@test\r\nSubject: Report\r\nDate: Thu, 10 Dec 2026 12:00:00 "
       "GMT\r\nMessage-Id: <r@test>\r\n\r\nAll reachable.\r\n\r\n.\r\n",
       0},
      {K::Send, "250 queued\r\n", 0},
      {K::Expect, "QUIT\r\n", 0},
      {K::Send, "221 bye\r\n", 0},
      {K::ExpectClose, "", 0},
  };
  ScriptedPeer peer(script);
  std::vector<QString> trail;
  std::vector<QObject *> senders;
  smtp->setOnPITrail([&](QObject *sender, int direction, const QString &message) {
    senders.push_back(sender);
    trail.push_back(QString::number(direction) + " " + message);
  });
  smtp->Config("Hello=client.test");
  smtp->setMailServer("127.0.0.1");
  smtp->setMailPort(peer.port());
  smtp->setSendTo("to@test");
  smtp->setFrom("from@test");
  smtp->setSubject("Report");
  smtp->setMessageText("All reachable.\r\n");
  smtp->setMessageDate("Thu, 10 Dec 2026 12:00:00 GMT");
  smtp->setMessageId("<r@test>");
  smtp->Send();
  EXPECT_FALSE(smtp->Connected());
  EXPECT_EQ(peer.finish(), "");
  ASSERT_FALSE(trail.empty());
  EXPECT_EQ(trail.front(), "2 Connecting to mail server.");
  EXPECT_NE(std::find(trail.begin(), trail.end(), "0 MAIL FROM: <from@test>"), trail.end());
  EXPECT_NE(std::find(trail.begin(), trail.end(), "1 221 bye"), trail.end());
  for (QObject *s : senders) EXPECT_EQ(s, smtp.get());
}

TEST_F(SmtpComponent, FailuresRaiseEpelSMTPAndOnErrorReportsConnectFailures) {
  smtp->setMailServer("");
  expectError([&] { smtp->Send(); }, 102, "The RemoteHost address is invalid (0.0.0.0).");
  std::vector<int> codes;
  smtp->setOnError([&](QObject *, int code, const QString &) { codes.push_back(code); });
  smtp->setMailServer("127.0.0.1");
  smtptest::ClosedPort closed;
  smtp->setMailPort(closed.port());
  expectError([&] { smtp->Connect(); }, 10061, "[10061] Connection refused");
  EXPECT_EQ(codes, std::vector<int>{162});
}

}  // namespace
