// The SMTP dialogue of the mail core against a scripted server on loopback.
// Each case reads as a script: the lines the server sends, the exact bytes the
// client must send, and the code and text the operation ends with.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "file_text.h"
#include "pelnet/smtp_ids.h"
#include "scripted_peer.h"
#include "smtp_core_client.h"

namespace {

using smtptest::clientBytes;
using smtptest::ClosedPort;
using smtptest::EventRecord;
using smtptest::PeerStep;
using smtptest::ScriptedPeer;
using smtptest::SmtpCoreClient;

// ---------------------------------------------------------------- script pieces

PeerStep S(const std::string &lines) { return {PeerStep::Send, lines, 0}; }
PeerStep C(const std::string &bytes) { return {PeerStep::Expect, bytes, 0}; }
PeerStep Bytewise(const std::string &lines) { return {PeerStep::SendBytewise, lines, 0}; }
PeerStep ClientCloses() { return {PeerStep::ExpectClose, "", 0}; }
PeerStep ServerCloses() { return {PeerStep::Close, "", 0}; }

using Script = std::vector<PeerStep>;

Script operator+(Script a, const Script &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::string kDate = "Thu, 10 Dec 2026 12:00:00 GMT";
const std::string kMessageId = "<fixed@test>";
const std::string kBody = "Hello\r\n";

std::string headerBlock(const std::string &to = "to@test", const std::string &from = "from@test",
                        const std::string &cc = "") {
  std::string h;
  if (!to.empty()) h += "To: " + to + "\r\n";
  h += "From: " + from + "\r\nSubject: Hi\r\nDate: " + kDate + "\r\nMessage-Id: " + kMessageId +
       "\r\n";
  if (!cc.empty()) h += "Cc: " + cc + "\r\n";
  return h + "\r\n";
}

Script greeting() { return {S("220 mail.test ESMTP\r\n")}; }
Script ehlo() { return {C("EHLO client.test\r\n"), S("250-mail.test\r\n250 8BITMIME\r\n")}; }
Script ok(const std::string &command) { return {C(command + "\r\n"), S("250 OK\r\n")}; }
Script data(const std::string &header = headerBlock(), const std::string &body = kBody) {
  return {C("DATA\r\n"), S("354 go ahead\r\n"), C(header + body + "\r\n.\r\n"),
          S("250 queued\r\n")};
}
Script quit() { return {C("QUIT\r\n"), S("221 bye\r\n"), ClientCloses()}; }
Script transaction(const std::string &to = "to@test") {
  return ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<" + to + ">") + data();
}

// A core set up as the mail report sets it, with a fixed date and message id
// so that the header block is known in advance.
void setUpMessage(SmtpCoreClient &c, int port) {
  smtptest::setUpTestMessage(c, port, "Hi", kBody, kDate, kMessageId);
}

// Runs `op` against a peer playing `script`, closes a connection the
// operation left open, and checks that the client sent exactly the script's bytes.
struct Outcome {
  int code = 0;
  std::string text;
  bool connectedAfter = false;
};

Outcome play(SmtpCoreClient &c, const Script &script,
             const std::function<void(SmtpCoreClient &, int port)> &setup,
             const std::function<int(SmtpCoreClient &)> &op) {
  ScriptedPeer peer(script);
  setUpMessage(c, peer.port());
  if (setup) setup(c, peer.port());
  Outcome o;
  o.code = op(c);
  o.text = c.lastError();
  o.connectedAfter = c.getInt(PELNET_SMTP_PROP_Connected) != 0;
  c.setInt(PELNET_SMTP_PROP_Connected, 0);
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.received(), clientBytes(script));
  return o;
}

int sendMail(SmtpCoreClient &c) { return c.call(PELNET_SMTP_METHOD_Send); }

// ---------------------------------------------------------------- the Send dialogue, as a table

struct SendCase {
  const char *name;
  std::function<void(SmtpCoreClient &, int port)> setup;
  Script script;
  int code;
  const char *text;
  bool connectedAfter;
  std::function<void(SmtpCoreClient &)> check;
};

std::vector<SendCase> sendCases() {
  const auto none = [](SmtpCoreClient &, int) {};
  const auto setText = [](int id, const std::string &v) {
    return [id, v](SmtpCoreClient &c, int) { ASSERT_EQ(c.setText(id, v), 0); };
  };
  const std::string refusal = "550 5.1.1 <a@test>: Recipient address rejected";
  const auto twoRecipients = [](SmtpCoreClient &c, int) {
    ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, "a@test, b@test"), 0);
  };
  const Script twoRecipientsHead = greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") +
                                   Script{C("RCPT TO:<a@test>\r\n"), S(refusal + "\r\n")};
  return {
      {"WholeDialogueFromGreetingToQuit", none, greeting() + ehlo() + transaction() + quit(), 0, "",
       false, nullptr},
      {"EhloRefusedThenHelo", none,
       greeting() +
           Script{C("EHLO client.test\r\n"), S("502 5.5.1 EHLO not implemented\r\n"),
                  C("HELO client.test\r\n"), S("250 mail.test\r\n")} +
           transaction() + quit(),
       0, "", false, nullptr},
      {"WithoutExtensionsOnlyHelo",
       [](SmtpCoreClient &c, int) { ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_AllowExtensions, 0), 0); },
       greeting() + Script{C("HELO client.test\r\n"), S("250 mail.test\r\n")} + transaction() +
           quit(),
       0, "", false, nullptr},
      {"MultiLineGreetingReadBeforeEhlo", none,
       Script{S("220-mail.test first\r\n220-second\r\n220 third\r\n")} + ehlo() + transaction() +
           quit(),
       0, "", false, nullptr},
      {"CodeOnlyReplyIsSuccess", none,
       greeting() + Script{C("EHLO client.test\r\n"), S("250\r\n")} + transaction() + quit(), 0, "",
       false, nullptr},
      {"InformationalLineSkipped", none,
       greeting() + ehlo() + ok("RSET") +
           Script{C("MAIL FROM: <from@test>\r\n"), S("150 hold on\r\n250 OK\r\n")} +
           ok("RCPT TO:<to@test>") + data() + quit(),
       0, "", false, nullptr},
      {"LfOnlyReplies", none,
       Script{S("220 mail.test\n"), C("EHLO client.test\r\n"), S("250-mail.test\n250 OK\n"),
              C("RSET\r\n"), S("250 OK\n"), C("MAIL FROM: <from@test>\r\n"), S("250 OK\n"),
              C("RCPT TO:<to@test>\r\n"), S("250 OK\n"), C("DATA\r\n"), S("354 go\n"),
              C(headerBlock() + kBody + "\r\n.\r\n"), S("250 queued\n"), C("QUIT\r\n"),
              S("221 bye\n"), ClientCloses()},
       0, "", false, nullptr},
      {"RepliesOneByteAtATime", none,
       Script{Bytewise("220-mail.test\r\n220 ESMTP\r\n"), C("EHLO client.test\r\n"),
              Bytewise("250-mail.test\r\n250 8BITMIME\r\n"), C("RSET\r\n"), Bytewise("250 OK\r\n"),
              C("MAIL FROM: <from@test>\r\n"), Bytewise("250 OK\n"), C("RCPT TO:<to@test>\r\n"),
              Bytewise("250 OK\r\n"), C("DATA\r\n"), Bytewise("354 go\r\n"),
              C(headerBlock() + kBody + "\r\n.\r\n"), Bytewise("250 queued\r\n")} +
           quit(),
       0, "", false, nullptr},
      {"ZeroBytesInsideAReplyLine", none,
       greeting() +
           Script{C("EHLO client.test\r\n"), S(std::string("250-a\0b\r\n250 o\0k\r\n", 18))} +
           transaction() + quit(),
       0, "", false, nullptr},
      {"RefusedFirstRecipientStopsTheTransaction", twoRecipients,
       twoRecipientsHead + Script{ClientCloses()}, 161,
       "SMTP protocol error. 550 5.1.1 <a@test>: Recipient address rejected.", true,
       [](SmtpCoreClient &c) {
         EXPECT_TRUE(c.eventsOf(PELNET_SMTP_EVENT_Error).empty());
         EXPECT_EQ(c.getText(PELNET_SMTP_PROP_LastReply),
                   "550 5.1.1 <a@test>: Recipient address rejected");
       }},
      {"RefusedFirstRecipientGoesOnWhenToErrorsDoNotStop",
       [](SmtpCoreClient &c, int) {
         ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, "a@test, b@test"), 0);
         ASSERT_EQ(c.config("StopOnToErrors=False"), 0);
       },
       twoRecipientsHead + ok("RCPT TO:<b@test>") + data(headerBlock("a@test, b@test")) + quit(), 0,
       "", false,
       [](SmtpCoreClient &c) {
         const auto errors = c.eventsOf(PELNET_SMTP_EVENT_Error);
         ASSERT_EQ(errors.size(), 1u);
         EXPECT_EQ(errors[0].ints.at(0), 161);
         EXPECT_EQ(errors[0].texts.at(0),
                   "SMTP protocol error. 550 5.1.1 <a@test>: Recipient address rejected.");
       }},
      {"RefusedBlindCopyNeverStops", setText(PELNET_SMTP_PROP_BCc, "hidden@test"),
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<to@test>") +
           Script{C("RCPT TO:<hidden@test>\r\n"), S("550 no\r\n")} + data() + quit(),
       0, "", false,
       [](SmtpCoreClient &c) { EXPECT_EQ(c.eventsOf(PELNET_SMTP_EVENT_Error).size(), 1u); }},
      {"EmptyFromFailsAfterEhloWithoutRset", setText(PELNET_SMTP_PROP_From, ""),
       greeting() + ehlo() + Script{ClientCloses()}, 164, "Please specify a sender (From).", true,
       nullptr},
      {"NoToRecipient", setText(PELNET_SMTP_PROP_SendTo, ""),
       greeting() + ehlo() + Script{ClientCloses()}, 165, "Please specify a recipient (To).", true,
       nullptr},
      {"AllowEmptyToWithOnlyCc",
       [](SmtpCoreClient &c, int) {
         ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, ""), 0);
         ASSERT_EQ(c.setText(PELNET_SMTP_PROP_Cc, "cc@test"), 0);
         ASSERT_EQ(c.config("AllowEmptyTo=True"), 0);
       },
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<cc@test>") +
           data(headerBlock("", "from@test", "cc@test")) + quit(),
       0, "", false, nullptr},
      {"ReturnPathReplacesTheMailFromAddressOnly",
       setText(PELNET_SMTP_PROP_ReturnPath, "bounce@test"),
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <bounce@test>") + ok("RCPT TO:<to@test>") +
           data() + quit(),
       0, "", false, nullptr},
      {"FromWithDisplayNameGivesItsAddress",
       setText(PELNET_SMTP_PROP_From, "\"The Sender\" <from@test>"),
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<to@test>") +
           data(headerBlock("to@test", "\"The Sender\" <from@test>")) + quit(),
       0, "", false, nullptr},
      {"FromInBracketsKeepsOnePair", setText(PELNET_SMTP_PROP_From, "<from@test>"),
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<to@test>") +
           data(headerBlock("to@test", "<from@test>")) + quit(),
       0, "", false, nullptr},
      {"RecipientOptionsFollowTheAddress",
       [](SmtpCoreClient &c, int) {
         ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageRecipientOptions, "NOTIFY=NEVER", 0), 0);
       },
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") +
           ok("RCPT TO:<to@test> NOTIFY=NEVER") + data() + quit(),
       0, "", false, nullptr},
      {"MessageTextLineWithDotGoesOutDoubled",
       setText(PELNET_SMTP_PROP_MessageText, ".one\r\ntwo\r\n"),
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<to@test>") +
           data(headerBlock(), "..one\r\ntwo\r\n") + quit(),
       0, "", false, nullptr},
      {"MessageBytesGoOutUnchanged",
       [](SmtpCoreClient &c, int) {
         ASSERT_EQ(c.setBytes(PELNET_SMTP_PROP_Message, "x\r\n.y"), 0);
       },
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<to@test>") +
           data(headerBlock(), "x\r\n.y") + quit(),
       0, "", false, nullptr},
      {"EmptyBodyStillEndsWithTheEndOfDataLine",
       [](SmtpCoreClient &c, int) { ASSERT_EQ(c.setBytes(PELNET_SMTP_PROP_Message, ""), 0); },
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<to@test>") +
           data(headerBlock(), "") + quit(),
       0, "", false,
       [](SmtpCoreClient &c) { EXPECT_TRUE(c.eventsOf(PELNET_SMTP_EVENT_StartTransfer).empty()); }},
      {"DataRefused", none,
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<to@test>") +
           Script{C("DATA\r\n"), S("554 5.5.1 no valid recipients\r\n"), ClientCloses()},
       161, "SMTP protocol error. 554 5.5.1 no valid recipients.", true, nullptr},
      {"MessageRefusedAfterTheEndOfData", none,
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<to@test>") +
           Script{C("DATA\r\n"), S("354 go\r\n"), C(headerBlock() + kBody + "\r\n.\r\n"),
                  S("552 too big\r\n"), ClientCloses()},
       161, "SMTP protocol error. 552 too big.", true, nullptr},
      {"PeerClosesWhileTheMailReplyIsAwaited", none,
       greeting() + ehlo() + ok("RSET") + Script{C("MAIL FROM: <from@test>\r\n"), ServerCloses()},
       301, "Interrupted.", false,
       [](SmtpCoreClient &c) {
         EXPECT_EQ(c.trail(PELNET_SMTP_dirInformation).back(), "Disconnected.");
       }},
      {"QuitRefusedForcesTheDisconnection", none,
       greeting() + ehlo() + transaction() +
           Script{C("QUIT\r\n"), S("500 no quitting\r\n"), ClientCloses()},
       161, "SMTP protocol error. 500 no quitting.", false,
       [](SmtpCoreClient &c) {
         const auto notes = c.trail(PELNET_SMTP_dirInformation);
         EXPECT_NE(std::find(notes.begin(), notes.end(), "Forcing disconnection from mail server."),
                   notes.end());
       }},
  };
}

class SendScript : public testing::TestWithParam<SendCase> {};

TEST_P(SendScript, PlaysAsWritten) {
  const SendCase &k = GetParam();
  SmtpCoreClient c;
  const Outcome o = play(c, k.script, k.setup, sendMail);
  EXPECT_EQ(o.code, k.code);
  if (k.code != 0) {
    EXPECT_EQ(o.text, k.text);
  }
  EXPECT_EQ(o.connectedAfter, k.connectedAfter);
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Idle), 1);
  // Every command line that went out was reported, in the order sent.
  const std::string sent = clientBytes(k.script);
  size_t from = 0;
  for (const std::string &line : c.trail(PELNET_SMTP_dirClientToServer)) {
    const size_t at = sent.find(line + "\r\n", from);
    EXPECT_NE(at, std::string::npos) << line;
    if (at != std::string::npos) from = at + line.size();
  }
  if (k.check) k.check(c);
}

INSTANTIATE_TEST_SUITE_P(Smtp, SendScript, testing::ValuesIn(sendCases()),
                         [](const testing::TestParamInfo<SendCase> &i) { return i.param.name; });

// Exactly what the mail report sets: no Hello, a generated Date and Message-Id.
TEST(SmtpSend, TheMailReportsDialogueByteForByte) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const std::string hello = std::string(host).substr(0, 98);
  const Script script = {S("220 mail.test ESMTP\r\n"),
                         C("EHLO " + hello + "\r\n"),
                         S("250-mail.test\r\n250 8BITMIME\r\n"),
                         C("RSET\r\n"),
                         S("250 OK\r\n"),
                         C("MAIL FROM: <from@test>\r\n"),
                         S("250 OK\r\n"),
                         C("RCPT TO:<one@test>\r\n"),
                         S("250 OK\r\n"),
                         C("RCPT TO:<two@test>\r\n"),
                         S("250 OK\r\n"),
                         C("DATA\r\n"),
                         S("354 go ahead\r\n"),
                         {PeerStep::ExpectThrough, "\r\n.\r\n", 0},
                         S("250 queued\r\n"),
                         C("QUIT\r\n"),
                         S("221 bye\r\n"),
                         ClientCloses()};
  ScriptedPeer peer(script);
  SmtpCoreClient c;
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MailServer, "127.0.0.1"), 0);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, peer.port()), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, "one@test, two@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_From, "from@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_Subject, "Check results"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageText, "All 3 devices reachable.\r\n"), 0);
  ASSERT_EQ(c.call(PELNET_SMTP_METHOD_Send), 0) << c.lastError();
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MessageDate), "*");  // the next message gets a new date
  ASSERT_EQ(peer.finish(), "");
  const std::string &wire = peer.received();
  const size_t start = wire.find("DATA\r\n") + 6;
  const size_t end = wire.find("QUIT\r\n");
  ASSERT_LT(start, end);
  const std::regex message(
      "To: one@test, two@test\r\n"
      "From: from@test\r\n"
      "Subject: Check results\r\n"
      "Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
      "GMT\r\n"
      "Message-Id: <[0-9]+l\\.[0-9]+l[0-9]+l[0-9]+l@test>\r\n"
      "\r\n"
      "All 3 devices reachable\\.\r\n"
      "\r\n"
      "\\.\r\n");
  EXPECT_TRUE(std::regex_match(wire.substr(start, end - start), message))
      << wire.substr(start, end - start);
}

TEST(SmtpSend, OtherVerbsReplaceMailInTheMailFromLine) {
  const struct {
    int method;
    const char *verb;
  } verbs[] = {{PELNET_SMTP_METHOD_SendToTerminalAndEmail, "SAML"},
               {PELNET_SMTP_METHOD_SendToTerminalOnly, "SEND"},
               {PELNET_SMTP_METHOD_SendToTerminalOrEmail, "SOML"}};
  for (const auto &v : verbs) {
    SmtpCoreClient c;
    const Script script = greeting() + ehlo() + ok("RSET") +
                          ok(std::string(v.verb) + " FROM: <from@test>") + ok("RCPT TO:<to@test>") +
                          data() + quit();
    const Outcome o =
        play(c, script, nullptr, [&](SmtpCoreClient &cc) { return cc.call(v.method); });
    EXPECT_EQ(o.code, 0) << v.verb << ": " << o.text;
  }
}

TEST(SmtpSend, StatesFollowTheDialogue) {
  SmtpCoreClient c;
  std::vector<std::string> states;
  c.core().session().traceState = [&](pelnet::smtp::SmtpState, pelnet::smtp::SmtpState to) {
    states.push_back(pelnet::smtp::stateName(to));
  };
  const Outcome o = play(c, greeting() + ehlo() + transaction() + quit(), nullptr, sendMail);
  ASSERT_EQ(o.code, 0) << o.text;
  const std::vector<std::string> expected = {"Connecting", "Greeting", "Ehlo", "Auth", "Idle",
                                             "Rset",       "Mail",     "Rcpt", "Data", "Body",
                                             "Dot",        "Quit",     "Idle", "Idle"};
  EXPECT_EQ(states, expected);
}

// ---------------------------------------------------------------- the queue writer's form

TEST(SmtpQueueMode, TheTransactionIsWrittenWithoutRsetRepliesOrTransferEvents) {
  SmtpCoreClient c;
  ClosedPort closed;  // no connection is made: nothing listens here
  setUpMessage(c, closed.port());
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_BCc, "hidden@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageDate, "*"), 0);
  std::string file;
  const std::function<int(std::string_view)> out = [&](std::string_view b) {
    file.append(b);
    return 0;
  };
  ASSERT_EQ(c.core().session().queueTransaction(out), 0) << c.lastError();
  const std::string head =
      "MAIL FROM: <from@test>\r\nRCPT TO:<to@test>\r\n"
      "RCPT TO:<hidden@test>\r\nDATA\r\nTo: to@test\r\n";
  EXPECT_EQ(file.substr(0, head.size()), head);
  const std::string tail = "\r\n\r\n" + kBody + "\r\n.\r\n";
  ASSERT_GE(file.size(), tail.size());
  EXPECT_EQ(file.substr(file.size() - tail.size()), tail);
  EXPECT_EQ(c.trail(PELNET_SMTP_dirClientToServer),
            (std::vector<std::string>{"MAIL FROM: <from@test>", "RCPT TO:<to@test>",
                                      "RCPT TO:<hidden@test>", "DATA", "."}));
  EXPECT_TRUE(c.eventsOf(PELNET_SMTP_EVENT_Transfer).empty());
  EXPECT_TRUE(c.eventsOf(PELNET_SMTP_EVENT_Error).empty());
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MessageDate), "*");
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), 0);
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Idle), 1);

  // The checks of a Send hold, and a failed write ends the transaction with its code.
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, ""), 0);
  EXPECT_EQ(c.core().session().queueTransaction(out), 165);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, "to@test"), 0);
  const std::function<int(std::string_view)> failing = [](std::string_view) { return 7; };
  EXPECT_EQ(c.core().session().queueTransaction(failing), 7);
}

// ---------------------------------------------------------------- the open connection

TEST(SmtpSend, SecondSendOnTheOpenConnectionStartsWithRset) {
  SmtpCoreClient c;
  const Script script = greeting() + ehlo() + ok("RSET") +
                        Script{C("MAIL FROM: <from@test>\r\n"), S("451 try again\r\n")} +
                        transaction() + Script{ClientCloses()};
  ScriptedPeer peer(script);
  setUpMessage(c, peer.port());
  EXPECT_EQ(c.call(PELNET_SMTP_METHOD_Send), 161);
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), 1);
  EXPECT_EQ(c.call(PELNET_SMTP_METHOD_Send), 0) << c.lastError();
  // A Send on a connection it did not open leaves it open.
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), 1);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_Connected, 0), 0);
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.received(), clientBytes(script));
}

TEST(SmtpConnect, ConnectGreetsAndDisconnectQuits) {
  SmtpCoreClient c;
  const Script script = greeting() + ehlo() + quit();
  ScriptedPeer peer(script);
  setUpMessage(c, peer.port());
  ASSERT_EQ(c.call(PELNET_SMTP_METHOD_Connect), 0) << c.lastError();
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), 1);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_LastReply), "250 8BITMIME");
  // Connect on a connection that is up greets no more.
  ASSERT_EQ(c.call(PELNET_SMTP_METHOD_Connect), 0);
  ASSERT_EQ(c.call(PELNET_SMTP_METHOD_Disconnect), 0) << c.lastError();
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), 0);
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.received(), clientBytes(script));
  const auto info = c.trail(PELNET_SMTP_dirInformation);
  ASSERT_GE(info.size(), 3u);
  EXPECT_EQ(info.front(), "Connecting to mail server.");
  EXPECT_EQ(info[1], "Connected.");
  EXPECT_EQ(info.back(), "Disconnected.");
  const auto status = c.eventsOf(PELNET_SMTP_EVENT_ConnectionStatus);
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front().texts.at(0), "Remote host connection complete.");
}

TEST(SmtpConnect, EmptyHelloTakesTheHostName) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const std::string name = std::string(host).substr(0, 98);
  SmtpCoreClient c;
  const Script script = greeting() + Script{C("EHLO " + name + "\r\n"), S("250 ok\r\n")} + quit();
  ScriptedPeer peer(script);
  setUpMessage(c, peer.port());
  ASSERT_EQ(c.config("Hello="), 0);
  ASSERT_EQ(c.call(PELNET_SMTP_METHOD_Connect), 0) << c.lastError();
  EXPECT_EQ(c.query("Hello"), name);
  ASSERT_EQ(c.call(PELNET_SMTP_METHOD_Disconnect), 0);
  EXPECT_EQ(peer.finish(), "");
}

// ---------------------------------------------------------------- Expand, Verify, Command

TEST(SmtpExpand, EveryReplyLineFiresOnExpand) {
  SmtpCoreClient c;
  const Script script = greeting() + ehlo() +
                        Script{C("EXPN staff@test\r\n"),
                               S("250-First <a@test>\r\n250 Second <b@test>\r\n"), ClientCloses()};
  const Outcome o = play(c, script, nullptr, [](SmtpCoreClient &cc) {
    return cc.call(PELNET_SMTP_METHOD_Expand, "staff@test");
  });
  ASSERT_EQ(o.code, 0) << o.text;
  EXPECT_TRUE(o.connectedAfter);
  const auto expands = c.eventsOf(PELNET_SMTP_EVENT_Expand);
  ASSERT_EQ(expands.size(), 2u);
  EXPECT_EQ(expands[0].texts.at(0), "First <a@test>");
  EXPECT_EQ(expands[1].texts.at(0), "Second <b@test>");
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_SendTo), "staff@test");
}

TEST(SmtpVerify, TheAnswerBecomesOneMoreRecipient) {
  SmtpCoreClient c;
  const Script script = greeting() + ehlo() +
                        Script{C("VRFY v@test\r\n"), S("250 Val Ue <v@test>\r\n"), ClientCloses()};
  const Outcome o = play(c, script, nullptr, [](SmtpCoreClient &cc) {
    return cc.call(PELNET_SMTP_METHOD_Verify, "v@test");
  });
  ASSERT_EQ(o.code, 0) << o.text;
  EXPECT_TRUE(c.eventsOf(PELNET_SMTP_EVENT_Expand).empty());
  ASSERT_EQ(c.getInt(PELNET_SMTP_PROP_MessageRecipientCount), 2);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MessageRecipientAddress, 0), "v@test");
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MessageRecipientAddress, 1), "Val Ue <v@test>");
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_MessageRecipientType, 1), PELNET_SMTP_rtTo);
}

TEST(SmtpCommand, WritingCommandSendsOneLineAndWaitsForTheReply) {
  SmtpCoreClient c;
  const Script script =
      greeting() + ehlo() + Script{C("NOOP\r\n"), S("250 2.0.0 Ok\r\n"), ClientCloses()};
  const Outcome o = play(c, script, nullptr, [](SmtpCoreClient &cc) {
    return cc.setText(PELNET_SMTP_PROP_Command, "NOOP");
  });
  ASSERT_EQ(o.code, 0) << o.text;
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_LastReply), "250 2.0.0 Ok");
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_Command), "NOOP");
}

// ---------------------------------------------------------------- arguments that would inject
// commands

TEST(SmtpArguments, LineBreaksInCommandArgumentsAreRefusedBeforeAnythingIsSent) {
  struct Case {
    const char *name;
    std::function<int(SmtpCoreClient &)> op;
  };
  const auto sendAfter = [](std::function<void(SmtpCoreClient &)> set) {
    return [set](SmtpCoreClient &c) {
      set(c);
      return c.call(PELNET_SMTP_METHOD_Send);
    };
  };
  const Case cases[] = {
      {"From", sendAfter([](SmtpCoreClient &c) {
         ASSERT_EQ(c.config("MaxHeaderLength=0"), 0);  // stored as written, line breaks kept
         ASSERT_EQ(c.setText(PELNET_SMTP_PROP_From, "\a<a@test>\r\nRCPT TO:<x@evil>"), 0);
       })},
      {"ReturnPath", sendAfter([](SmtpCoreClient &c) {
         ASSERT_EQ(c.setText(PELNET_SMTP_PROP_ReturnPath, "a@test>\r\nRCPT TO:<x@evil"), 0);
       })},
      {"ReturnPathWithNul", sendAfter([](SmtpCoreClient &c) {
         c.core().message().setReturnPath(std::string("a@test\0x", 8));
       })},
      {"RecipientAddress", sendAfter([](SmtpCoreClient &c) {
         ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageRecipientAddress, "a@test>\nDATA", 0), 0);
       })},
      {"RecipientOptions", sendAfter([](SmtpCoreClient &c) {
         ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageRecipientOptions, "X\rQUIT", 0), 0);
       })},
      {"Hello",
       [](SmtpCoreClient &c) {
         EXPECT_EQ(c.config("Hello=client\r\nRSET"), 0);
         return c.call(PELNET_SMTP_METHOD_Connect);
       }},
      {"Command",
       [](SmtpCoreClient &c) { return c.setText(PELNET_SMTP_PROP_Command, "NOOP\r\nQUIT"); }},
  };
  // Nothing listens on the port: a client that went on would fail with 10061 instead.
  ClosedPort closed;
  for (const Case &k : cases) {
    SmtpCoreClient c;
    setUpMessage(c, closed.port());
    EXPECT_EQ(k.op(c), 167) << k.name;
    EXPECT_EQ(c.lastError(), "A command argument must not contain CR, LF or NUL characters.")
        << k.name;
    EXPECT_TRUE(c.trail(PELNET_SMTP_dirClientToServer).empty()) << k.name;
    EXPECT_TRUE(c.eventsOf(PELNET_SMTP_EVENT_Error).empty()) << k.name;
  }
}

// ---------------------------------------------------------------- the body and its events

TEST(SmtpTransfer, ABodyOf20000BytesReportsItsProgress) {
  SmtpCoreClient c;
  std::string body;
  for (int i = 0; body.size() < 20000; ++i) body += "line " + std::to_string(i) + "\r\n";
  body.resize(19998);
  body += "\r\n";
  ASSERT_EQ(body.size(), 20000u);
  const Script script = greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") +
                        ok("RCPT TO:<to@test>") + data(headerBlock(), body) + quit();
  int transfers = 0;
  c.onEvent = [&](SmtpCoreClient &cc, const EventRecord &e) {
    // An interrupt from here is cleared by the send that follows: no effect.
    if (e.id == PELNET_SMTP_EVENT_Transfer && ++transfers == 1) {
      EXPECT_EQ(cc.call(PELNET_SMTP_METHOD_Interrupt), 0);
    }
  };
  const Outcome o = play(
      c, script,
      [&](SmtpCoreClient &cc, int) { ASSERT_EQ(cc.setBytes(PELNET_SMTP_PROP_Message, body), 0); },
      sendMail);
  ASSERT_EQ(o.code, 0) << o.text;
  std::vector<std::string> seen;
  for (const EventRecord &e : c.records()) {
    if (e.id == PELNET_SMTP_EVENT_StartTransfer)
      seen.push_back("start " + std::to_string(e.ints[0]));
    if (e.id == PELNET_SMTP_EVENT_Transfer)
      seen.push_back("transfer " + std::to_string(e.ints[0]) + " " + std::to_string(e.ints[1]) +
                     " " + std::to_string(e.ints[2]));
    if (e.id == PELNET_SMTP_EVENT_EndTransfer) seen.push_back("end " + std::to_string(e.ints[0]));
  }
  const std::vector<std::string> expected = {"start 0", "transfer 0 8192 40", "transfer 0 16384 81",
                                             "transfer 0 20000 100", "end 0"};
  EXPECT_EQ(seen, expected);
}

// ---------------------------------------------------------------- busy, interrupt, deadline

TEST(SmtpBusy, AnOperationStartedFromAHandlerGets166) {
  SmtpCoreClient c;
  std::vector<int> nested;
  c.onEvent = [&](SmtpCoreClient &cc, const EventRecord &e) {
    if (e.id != PELNET_SMTP_EVENT_PITrail || e.ints[0] != PELNET_SMTP_dirServerToClient) return;
    if (!nested.empty()) return;
    EXPECT_EQ(cc.getInt(PELNET_SMTP_PROP_Idle), 0);
    nested.push_back(cc.call(PELNET_SMTP_METHOD_Send));
    nested.push_back(cc.call(PELNET_SMTP_METHOD_Connect));
    nested.push_back(cc.call(PELNET_SMTP_METHOD_ResetHeaders));
    nested.push_back(cc.setText(PELNET_SMTP_PROP_Command, "NOOP"));
    // Verify replaces the To entries before it finds the component busy.
    nested.push_back(cc.call(PELNET_SMTP_METHOD_Verify, "other@test"));
    EXPECT_EQ(cc.lastError(), "Busy performing current action.");
    EXPECT_EQ(cc.getText(PELNET_SMTP_PROP_SendTo), "other@test");
    ASSERT_EQ(cc.setText(PELNET_SMTP_PROP_SendTo, "to@test"), 0);
  };
  const Outcome o = play(c, greeting() + ehlo() + transaction() + quit(), nullptr, sendMail);
  EXPECT_EQ(o.code, 0) << o.text;
  EXPECT_EQ(nested, (std::vector<int>{166, 166, 166, 166, 166}));
}

TEST(SmtpInterrupt, FromTheTrailOfTheRsetReplyMailFailsWith301) {
  SmtpCoreClient c;
  c.onEvent = [](SmtpCoreClient &cc, const EventRecord &e) {
    if (e.id == PELNET_SMTP_EVENT_PITrail && e.ints[0] == PELNET_SMTP_dirServerToClient &&
        e.texts[0] == "250 OK") {
      EXPECT_EQ(cc.call(PELNET_SMTP_METHOD_Interrupt), 0);
    }
  };
  const Script script = greeting() + ehlo() + ok("RSET") + Script{ClientCloses()};
  const Outcome o = play(c, script, nullptr, sendMail);
  EXPECT_EQ(o.code, 301);
  EXPECT_EQ(o.text, "Interrupted.");
  EXPECT_TRUE(o.connectedAfter);
  const auto sent = c.trail(PELNET_SMTP_dirClientToServer);
  EXPECT_EQ(sent.back(), "RSET");
}

TEST(SmtpInterrupt, FromTheTrailOfAnOutgoingCommandHasNoEffect) {
  SmtpCoreClient c;
  c.onEvent = [](SmtpCoreClient &cc, const EventRecord &e) {
    if (e.id == PELNET_SMTP_EVENT_PITrail && e.ints[0] == PELNET_SMTP_dirClientToServer)
      cc.call(PELNET_SMTP_METHOD_Interrupt);
  };
  const Outcome o = play(c, greeting() + ehlo() + transaction() + quit(), nullptr, sendMail);
  EXPECT_EQ(o.code, 0) << o.text;
}

TEST(SmtpDeadline, ASilentServerEndsTheWaitWithTimeout) {
  SmtpCoreClient c;
  const Outcome o = play(
      c, Script{ClientCloses()},
      [](SmtpCoreClient &cc, int) {
        ASSERT_EQ(cc.config("TimeoutInMilliseconds=True"), 0);
        ASSERT_EQ(cc.setInt(PELNET_SMTP_PROP_Timeout, 300), 0);
      },
      sendMail);
  EXPECT_EQ(o.code, 301);
  EXPECT_EQ(o.text, "Timeout.");
  EXPECT_TRUE(o.connectedAfter);
}

// A server that never ends its reply: continuation lines without end, or
// one line that never gets its line end. Either ends at the deadline; the
// line that never ended is no reply line.
TEST(SmtpDeadline, AReplyThatNeverEndsEndsAtTheDeadline) {
  const struct {
    const char *name;
    PeerStep flood;
    bool onlyTheGreetingEnded;
  } rows[] = {
      {"endless continuation lines", {PeerStep::Flood, "250-more\r\n", 64u << 20}, false},
      {"a line without end", {PeerStep::Flood, "250 " + std::string(4092, 'y'), 40u << 20}, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    SmtpCoreClient c;
    const Script script = greeting() + Script{C("HELO client.test\r\n"), row.flood, ClientCloses()};
    const Outcome o = play(
        c, script,
        [](SmtpCoreClient &cc, int) {
          ASSERT_EQ(cc.config("TimeoutInMilliseconds=True"), 0);
          ASSERT_EQ(cc.setInt(PELNET_SMTP_PROP_Timeout, 500), 0);
          ASSERT_EQ(cc.setInt(PELNET_SMTP_PROP_AllowExtensions, 0), 0);
        },
        [](SmtpCoreClient &cc) { return cc.call(PELNET_SMTP_METHOD_Connect); });
    EXPECT_EQ(o.code, 301);
    EXPECT_EQ(o.text, "Timeout.");
    if (row.onlyTheGreetingEnded) {
      EXPECT_EQ(c.trail(PELNET_SMTP_dirServerToClient).size(), 1u);
    }
  }
}

// What an operation ended with, as values: the refusing reply's code (never
// QUIT's), the code of the last reply, and whether the deadline ended a wait.
TEST(SmtpOutcomeValues, RefusalReplyCodeAndDeadlineAreToldApart) {
  const auto refusedAt = [](const std::string &command, const std::string &reply) {
    return Script{C(command + "\r\n"), S(reply + "\r\n")};
  };
  const auto shortTimeout = [](SmtpCoreClient &cc, int) {
    ASSERT_EQ(cc.config("TimeoutInMilliseconds=True"), 0);
    ASSERT_EQ(cc.setInt(PELNET_SMTP_PROP_Timeout, 300), 0);
  };
  const auto connectThenSend = [](SmtpCoreClient &cc) {
    if (int rc = cc.call(PELNET_SMTP_METHOD_Connect)) return rc;
    return cc.call(PELNET_SMTP_METHOD_Send);
  };
  const struct {
    const char *name;
    std::function<void(SmtpCoreClient &, int)> setup;
    Script script;
    std::function<int(SmtpCoreClient &)> op;
    int code, refused, lastReplyCode, timedOut;
  } rows[] = {
      {"delivered", nullptr, greeting() + ehlo() + transaction() + quit(), sendMail, 0, 0, 221, 0},
      {"MAIL refused for now", nullptr,
       greeting() + ehlo() + ok("RSET") + refusedAt("MAIL FROM: <from@test>", "451 4.3.0 later") +
           Script{ClientCloses()},
       connectThenSend, 161, 451, 451, 0},
      {"RCPT refused for good", nullptr,
       greeting() + ehlo() + ok("RSET") + ok("MAIL FROM: <from@test>") +
           refusedAt("RCPT TO:<to@test>", "550 5.1.1 unknown") + Script{ClientCloses()},
       connectThenSend, 161, 550, 550, 0},
      // Disconnect's QUIT refused: its own failure, and no refusal of a step before it.
      {"QUIT refused", nullptr,
       greeting() + ehlo() + refusedAt("QUIT", "421 4.7.0 going") + Script{ClientCloses()},
       [](SmtpCoreClient &cc) {
         if (int rc = cc.call(PELNET_SMTP_METHOD_Connect)) return rc;
         return cc.call(PELNET_SMTP_METHOD_Disconnect);
       },
       161, 0, 421, 0},
      {"silent server", shortTimeout, Script{ClientCloses()}, sendMail, 301, 0, 0, 1},
      // A refusal that did not end the operation is none of its outcome.
      {"a later operation", nullptr,
       greeting() + ehlo() + ok("RSET") + refusedAt("MAIL FROM: <from@test>", "451 4.3.0 later") +
           transaction() + quit(),
       [](SmtpCoreClient &cc) {
         EXPECT_EQ(cc.call(PELNET_SMTP_METHOD_Send), 161);
         EXPECT_EQ(cc.getInt(PELNET_SMTP_PROP_RefusedReplyCode), 451);
         if (int rc = cc.call(PELNET_SMTP_METHOD_Send)) return rc;
         return cc.call(PELNET_SMTP_METHOD_Disconnect);
       },
       0, 0, 221, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    SmtpCoreClient c;
    intptr_t refused = -1, lastReplyCode = -1, timedOut = -1;
    const Outcome o = play(c, row.script, row.setup, [&](SmtpCoreClient &cc) {
      const int rc = row.op(cc);
      refused = cc.getInt(PELNET_SMTP_PROP_RefusedReplyCode);
      lastReplyCode = cc.getInt(PELNET_SMTP_PROP_LastReplyCode);
      timedOut = cc.getInt(PELNET_SMTP_PROP_TimedOut);
      return rc;
    });
    EXPECT_EQ(o.code, row.code) << o.text;
    EXPECT_EQ(refused, row.refused);
    EXPECT_EQ(lastReplyCode, row.lastReplyCode);
    EXPECT_EQ(timedOut, row.timedOut);
  }
}

TEST(SmtpConnection, ClosedByAHandlerTheNextCommandFailsCleanly) {
  SmtpCoreClient c;
  c.onEvent = [](SmtpCoreClient &cc, const EventRecord &e) {
    if (e.id == PELNET_SMTP_EVENT_PITrail && e.ints[0] == PELNET_SMTP_dirServerToClient &&
        e.texts[0] == "250 OK") {
      EXPECT_EQ(cc.setInt(PELNET_SMTP_PROP_Connected, 0), 0);
    }
  };
  const Outcome o =
      play(c, greeting() + ehlo() + ok("RSET") + Script{ClientCloses()}, nullptr, sendMail);
  EXPECT_EQ(o.code, 10057);
  EXPECT_EQ(o.text, "Socket is not connected");
  EXPECT_FALSE(o.connectedAfter);
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Idle), 1);
}

// ---------------------------------------------------------------- connecting

TEST(SmtpConnect, RefusedConnectionReportsTheSocketCodeAndFiresOnError) {
  ClosedPort closed;
  SmtpCoreClient c;
  setUpMessage(c, closed.port());
  EXPECT_EQ(c.call(PELNET_SMTP_METHOD_Send), 10061);
  EXPECT_EQ(c.lastError(), "[10061] Connection refused");
  const auto errors = c.eventsOf(PELNET_SMTP_EVENT_Error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].ints.at(0), 162);
  EXPECT_EQ(errors[0].texts.at(0), "Failed to connect: [10061] Connection refused");
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), 0);
}

TEST(SmtpConnect, MissingAddressOrPortIsRefusedBeforeConnecting) {
  SmtpCoreClient c;
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MailServer, ""), 0);
  EXPECT_EQ(c.call(PELNET_SMTP_METHOD_Connect), 102);
  EXPECT_EQ(c.lastError(), "The RemoteHost address is invalid (0.0.0.0).");
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MailServer, "127.0.0.1"), 0);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, 0), 0);
  EXPECT_EQ(c.call(PELNET_SMTP_METHOD_Connect), 116);
  EXPECT_EQ(c.lastError(), "RemotePort can't be zero. Please specify a valid service port number.");
}

TEST(SmtpConnect, ServerSettingsAreRefusedWhileConnected) {
  SmtpCoreClient c;
  const Script script = greeting() + ehlo() + Script{ClientCloses()};
  const Outcome o = play(c, script, nullptr, [](SmtpCoreClient &cc) {
    int rc = cc.call(PELNET_SMTP_METHOD_Connect);
    EXPECT_EQ(cc.setInt(PELNET_SMTP_PROP_MailPort, 26), 100);
    EXPECT_EQ(cc.lastError(),
              "You cannot change the RemotePort at this time. A connection is in progress.");
    EXPECT_EQ(cc.setText(PELNET_SMTP_PROP_MailServer, "127.0.0.2"), 101);
    EXPECT_EQ(cc.lastError(),
              "You cannot change the RemoteHost at this time. A connection is in progress.");
    EXPECT_EQ(cc.config("MaxLineLength=4096"), 112);
    EXPECT_EQ(cc.lastError(),
              "You cannot change MaxLineLength at this time. A connection is in progress.");
    return rc;
  });
  EXPECT_EQ(o.code, 0) << o.text;
}

// ---------------------------------------------------------------- long lines and the record

TEST(SmtpReplies, A5000ByteLineWithMaxLineLength2048IsOneReply) {
  SmtpCoreClient c;
  const std::string longLine = "250 " + std::string(4996, 'x');
  const Script script =
      greeting() + Script{C("EHLO client.test\r\n"), S(longLine + "\r\n")} + quit();
  const Outcome o = play(c, script, nullptr, [](SmtpCoreClient &cc) {
    int rc = cc.call(PELNET_SMTP_METHOD_Connect);
    if (rc == 0) rc = cc.call(PELNET_SMTP_METHOD_Disconnect);
    return rc;
  });
  ASSERT_EQ(o.code, 0) << o.text;
  const auto replies = c.trail(PELNET_SMTP_dirServerToClient);
  ASSERT_EQ(replies.size(), 3u);  // greeting, the long line, the QUIT reply
  EXPECT_EQ(replies[1], longLine);
}

TEST(SmtpRecord, RecordToFileWritesTheDialogueAsAScript) {
  char path[] = "/tmp/smtp_record_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  SmtpCoreClient c;
  const Outcome o = play(
      c, greeting() + ehlo() + quit(),
      [&](SmtpCoreClient &cc, int) {
        ASSERT_EQ(cc.config(std::string("RecordToFile=") + path), 0);
      },
      [](SmtpCoreClient &cc) {
        int rc = cc.call(PELNET_SMTP_METHOD_Connect);
        if (rc == 0) rc = cc.call(PELNET_SMTP_METHOD_Disconnect);
        return rc;
      });
  ASSERT_EQ(o.code, 0) << o.text;
  const std::string record = testsupport::readFileText(path);
  unlink(path);
  const std::string greetingBlock = "\r\nsend -nonewline \"220 mail.test ESMTP\r\n\"\r\n";
  ASSERT_EQ(record.compare(0, greetingBlock.size(), greetingBlock), 0) << record;
  EXPECT_NE(record.find("\r\nexpect -exact \"EHLO client.test\r\n\"\r\n"), std::string::npos);
  EXPECT_NE(record.find("\r\nexpect -exact \"QUIT\r\n\"\r\n"), std::string::npos);
}

}  // namespace
