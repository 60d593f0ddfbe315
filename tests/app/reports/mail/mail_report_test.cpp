// The mail report of the main window (offscreen), delivered to a real mail
// server on loopback: subject and body byte for byte, the guard, failures in
// panel 0, and the automatic sequence with the mail switch.
#include "start/application.h"
#include "start/auto_mode.h"
#include "child_process.h"
#include "core_units.h"
#include "window/form_main.h"
#include "window/framework_ops.h"
#include "isolation.h"
#include "loopback_ports.h"
#include "pelsmtp.h"
#include "report_peers.h"
#include "scripted_peer.h"
#include "test_ca.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using reportpeers::Mail;
using reportpeers::SmtpSink;

bool M_HasMimeHeaders(const Mail &M) {
  return !M.Header("MIME-Version").empty() || !M.Header("Content-Type").empty() ||
         !M.Header("Content-Transfer-Encoding").empty();
}

// The message as a mail reader sees it, through Python's email parser:
// subject and body decoded by the charset the message declares.
struct TDecodedMail {
  QString Subject, Charset, Body;
  bool Ok = false;
};
TDecodedMail DecodeWithPython(const std::string &Raw) {
  const testsupport::ProcessResult Python = testsupport::runProcess(
      {"/usr/bin/python3", "-c",
       "import email, email.policy, json, sys\n"
       "m = email.message_from_bytes(sys.stdin.buffer.read(), policy=email.policy.default)\n"
       "print(json.dumps({'subject': str(m['subject']), 'charset': m.get_content_charset() or "
       "'',"
       " 'body': m.get_content()}))\n"},
      Raw, 20000);
  TDecodedMail Decoded;
  if (Python.Status != 0) return Decoded;
  const QJsonObject Object =
      QJsonDocument::fromJson(QByteArray::fromStdString(Python.Out)).object();
  Decoded.Subject = Object.value(QStringLiteral("subject")).toString();
  Decoded.Charset = Object.value(QStringLiteral("charset")).toString();
  Decoded.Body = Object.value(QStringLiteral("body")).toString();
  Decoded.Ok = true;
  return Decoded;
}

// The subjects of the messages Server took since the first Delivered ones;
// Delivered then counts them all.
std::vector<std::string> NewSubjects(const SmtpSink &Server, size_t &Delivered) {
  const std::vector<Mail> Mails = Server.Messages();
  std::vector<std::string> Subjects;
  for (size_t I = Delivered; I < Mails.size(); ++I) Subjects.push_back(Mails[I].Header("Subject"));
  Delivered = Mails.size();
  return Subjects;
}

struct TDeviceRow {
  const char *Name, *Address;
  TDeviceStatus Status;
};

class MailReport : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    // The user's date and time format in the body: a German locale writes
    // 09.12.26 14:05:31.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    ASSERT_FALSE(Dir.path().empty());
    ASSERT_TRUE(Sink.Ok()) << Sink.Why();
  }
  void TearDown() override {
    Form.reset();
    QLocale::setDefault(QLocale::c());
  }

  // Writes the settings file and opens the window over it.
  void Open(const std::vector<TDeviceRow> &Devices,
            const QString &Host = QStringLiteral("127.0.0.1"), int Port = -1,
            const QStringList &Arguments = {}, const QString &ExtraSMTP = QString(),
            QFileDevice::Permissions Mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ReadGroup | QFileDevice::ReadOther) {
    QString Lines;
    for (const auto &D : Devices) Lines += QStringLiteral("%1=%2\n").arg(D.Name, D.Address);
    QFile Ini(Dir.file(QStringLiteral("dervik.ini")));
    ASSERT_TRUE(Ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    Ini.write(
        QStringLiteral("[Ping]\nTimes=1\nTimeout=1\n[SMTP]\nHostAddress=%1\nPort=%2\n"
                       "Recipients=ops@dervik.test, lab@dervik.test\nSender=dervik@dervik.test\n"
                       "%4[Devices]\n%3")
            .arg(Host)
            .arg(Port < 0 ? Sink.Port() : Port)
            .arg(Lines, ExtraSMTP)
            .toUtf8());
    Ini.close();
    ASSERT_TRUE(Ini.setPermissions(Mode));
    Form = std::make_unique<TFormMain>(
        TFormMain::TStartup{Dir.file(QStringLiteral("dervik")), Arguments});
    ASSERT_EQ(Form->Settings().Devices().size(), Devices.size());
    RunDevices = Devices;
  }
  // Statuses as a run leaves them (set directly: the run is not under test
  // here), stamped 9 December 2026, 14:05:31.
  void FinishRun(const QString &Summary) {
    auto &Devices = Form->Settings().Devices();
    for (size_t I = 0; I < Devices.size(); ++I) {
      const TDeviceStatus S = RunDevices[I].Status;
      Devices[I]->SetPinged(4);
      Devices[I]->SetPingedOK(S == dsOK ? 4 : S == dsOKPartial ? 2 : 0);
      if (S == dsHostLookupFailed) Devices[I]->SetDeviceHostAddress(QString());
      Devices[I]->SetDeviceStatus(S);
      Devices[I]->SetDeviceStatusCategory(DeviceStatusCategoryOf(S));
    }
    Form->Settings().SetLastCheckDT(QDateTime(QDate(2026, 12, 9), QTime(14, 5, 31)));
    Form->Settings().SetLastCheckResult(Summary);
  }
  void ClickSend() {
    Form->SetStatusPanelText(0, QStringLiteral("before"));
    Form->ClickMenuItem(Form->MenuItemSendToSMTP);
  }

  testsupport::TempFolder Dir;
  SmtpSink Sink;
  std::unique_ptr<TFormMain> Form;
  std::vector<TDeviceRow> RunDevices;
};

TEST_F(MailReport, ComponentBelongsToTheWindow) {
  Open({});
  ASSERT_NE(Form->pelSMTP1, nullptr);
  EXPECT_EQ(Form->pelSMTP1->objectName(), "pelSMTP1");
  EXPECT_EQ(Form->pelSMTP1->parent(), Form.get());
  EXPECT_TRUE(Form->pelSMTP1->OnError());
}

// Each run's subject and body as the server receives them, byte for byte.
TEST_F(MailReport, SubjectAndBodyByteForByte) {
  const struct {
    const char *Name;
    std::vector<TDeviceRow> Devices;
    const char *Summary;
    const char *Body;
  } Rows[] = {
      {"example run",
       {{"A", "10.0.0.1", dsOK}, {"B", "10.0.0.2", dsNoConnection}, {"C", "10.0.0.3", dsOKPartial}},
       "Some connections were OK (1 failed - 2 OK)",
       "Connection check results as of 09.12.26 14:05:31:\r\n"
       "\r\n"
       "Devices with no connection at all:\r\n"
       "- B (10.0.0.2): No connection at all\r\n"
       "\r\n"
       "Devices with OK connection:\r\n"
       "- A (10.0.0.1): OK\r\n"
       "- C (10.0.0.3): OK (50%)\r\n"
       "\r\n"},
      {"all OK",
       {{"A", "10.0.0.1", dsOK}, {"B", "10.0.0.2", dsOK}},
       "All connections OK",
       "Connection check results as of 09.12.26 14:05:31:\r\n"
       "\r\n"
       "Devices with OK connection:\r\n"
       "- A (10.0.0.1): OK\r\n"
       "- B (10.0.0.2): OK\r\n"
       "\r\n"},
      {"no devices",
       {},
       "",
       "Connection check results as of 09.12.26 14:05:31:\r\n"
       "\r\n"},
      {"not pinged and not found",
       {{"E", "10.0.0.5", dsNone}, {"D", "", dsHostLookupFailed}, {"F", "10.0.0.6", dsOK}},
       "Some connections were OK (1 failed - 1 OK)",
       "Connection check results as of 09.12.26 14:05:31:\r\n"
       "\r\n"
       "Devices with no connection at all:\r\n"
       "- D (): Unable to lookup host address\r\n"
       "\r\n"
       "Devices with unknown results:\r\n"
       "- E (10.0.0.5): \r\n"
       "\r\n"
       "Devices with OK connection:\r\n"
       "- F (10.0.0.6): OK\r\n"
       "\r\n"},
  };
  size_t Sent = 0;
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Open(R.Devices);
    FinishRun(QString::fromLatin1(R.Summary));
    ClickSend();
    EXPECT_EQ(Form->LastSMTPReport(), rrSent) << Form->StatusPanelText(0).toStdString();
    // Once sent, the "Sending" text gives way to the report's destination
    // and the time it went.
    const QString Panel = Form->StatusPanelText(0);
    const QString Lead = QStringLiteral("Mail report sent to 127.0.0.1:%1. (").arg(Sink.Port());
    EXPECT_TRUE(Panel.startsWith(Lead) && Panel.endsWith(u')') && Panel.size() > Lead.size() + 1)
        << Panel.toStdString();
    EXPECT_FALSE(M_HasMimeHeaders(Sink.Messages().back()))
        << "a report of ASCII carries no MIME headers";
    const std::vector<Mail> Mails = Sink.Messages();
    ASSERT_EQ(Mails.size(), ++Sent);
    const Mail &M = Mails.back();
    // The session ends the data with CR LF before the "." line even after a
    // body that ends with one, so the message as received ends in one more
    // empty line than the body the report composed.
    EXPECT_EQ(M.Body, std::string(R.Body) + "\r\n");
    EXPECT_EQ(M.Header("Subject"), std::string("Dervik: ") + R.Summary);
    EXPECT_NE(M.Headers.find("\r\nSubject: Dervik: " + std::string(R.Summary) + "\r\n"),
              std::string::npos)
        << M.Headers;
    EXPECT_EQ(M.From, "dervik@dervik.test");
    EXPECT_EQ(M.To, (std::vector<std::string>{"ops@dervik.test", "lab@dervik.test"}));
    EXPECT_EQ(Form->pelSMTP1->MessageText().toStdString(), R.Body);
    EXPECT_EQ(Form->pelSMTP1->Subject(), QStringLiteral("Dervik: ") + R.Summary);
  }
}

// A report with a device name beyond ASCII declares UTF-8, so that a mail
// reader decodes it to the exact text; the subject goes as encoded words. A
// report of ASCII after it goes out as ever, without MIME headers.
TEST_F(MailReport, TextBeyondAsciiIsDeclaredAsUtf8) {
  const struct {
    const char *Name;
    std::vector<TDeviceRow> Devices;
    QString Summary;
    bool Utf8;
    QString Body;
  } Rows[] = {
      {"a device name with an umlaut",
       {{"Drucker B\u00fcro", "10.0.0.7", dsNoConnection}, {"Router", "10.0.0.1", dsOK}},
       QStringLiteral("Some connections were OK (1 failed - 1 OK)"),
       true,
       QStringLiteral("Connection check results as of 09.12.26 14:05:31:\r\n"
                      "\r\n"
                      "Devices with no connection at all:\r\n"
                      "- Drucker B\u00fcro (10.0.0.7): No connection at all\r\n"
                      "\r\n"
                      "Devices with OK connection:\r\n"
                      "- Router (10.0.0.1): OK\r\n"
                      "\r\n")},
      {"ASCII again",
       {{"Router", "10.0.0.1", dsOK}},
       QStringLiteral("All connections OK"),
       false,
       QStringLiteral("Connection check results as of 09.12.26 14:05:31:\r\n"
                      "\r\n"
                      "Devices with OK connection:\r\n"
                      "- Router (10.0.0.1): OK\r\n"
                      "\r\n")},
      {"a subject beyond ASCII, a device name in CJK with an emoji",
       {{"\u30d7\u30ea\u30f3\u30bf \U0001F5A8", "10.0.0.8", dsOK}},
       QStringLiteral("Pr\u00fcfung OK"),
       true,
       QStringLiteral("Connection check results as of 09.12.26 14:05:31:\r\n"
                      "\r\n"
                      "Devices with OK connection:\r\n"
                      "- \u30d7\u30ea\u30f3\u30bf \U0001F5A8 (10.0.0.8): OK\r\n"
                      "\r\n")},
  };
  size_t Sent = 0;
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Open(R.Devices);
    FinishRun(R.Summary);
    ClickSend();
    ASSERT_EQ(Form->LastSMTPReport(), rrSent) << Form->StatusPanelText(0).toStdString();
    const std::vector<Mail> Mails = Sink.Messages();
    ASSERT_EQ(Mails.size(), ++Sent);
    const Mail &M = Mails.back();
    if (R.Utf8) {
      EXPECT_EQ(M.Header("MIME-Version"), "1.0");
      EXPECT_EQ(M.Header("Content-Type"), "text/plain; charset=UTF-8");
      EXPECT_EQ(M.Header("Content-Transfer-Encoding"), "8bit");
    } else {
      EXPECT_FALSE(M_HasMimeHeaders(M)) << M.Headers;
      EXPECT_EQ(M.Body, R.Body.toStdString() + "\r\n") << "byte for byte as ever";
      EXPECT_NE(M.Headers.find("\r\nSubject: Dervik: " + R.Summary.toStdString() + "\r\n"),
                std::string::npos)
          << M.Headers;
    }
    // The body's bytes are UTF-8 whatever the declaration says.
    EXPECT_EQ(M.Body, R.Body.toStdString() + "\r\n");
    const TDecodedMail Decoded = DecodeWithPython(M.Raw);
    ASSERT_TRUE(Decoded.Ok) << "python3 could not parse the message";
    EXPECT_EQ(Decoded.Charset, R.Utf8 ? QStringLiteral("utf-8") : QString());
    EXPECT_EQ(Decoded.Subject, QStringLiteral("Dervik: ") + R.Summary);
    // The parser ends lines as the platform does; the text between is exact.
    QString Expected = R.Body + QStringLiteral("\r\n");
    Expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QString Got = Decoded.Body;
    Got.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_EQ(Got, Expected);
  }
}

TEST_F(MailReport, GuardSendsNothingAndShowsNothing) {
  const struct {
    const char *Name;
    QString Host;
    bool Run;
  } Rows[] = {{"no run yet", "127.0.0.1", false},
              {"host empty", "", true},
              {"host 0.0.0.0", "0.0.0.0", true}};
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Open({{"A", "10.0.0.1", dsNoConnection}}, R.Host);
    if (R.Run) FinishRun(QStringLiteral("No connections were OK"));
    const QString ServerBefore = Form->pelSMTP1->MailServer(),
                  SubjectBefore = Form->pelSMTP1->Subject();
    ClickSend();
    EXPECT_EQ(Form->StatusPanelText(0), "before");
    EXPECT_EQ(Form->LastSMTPReport(), rrNotSent);
    EXPECT_TRUE(Sink.Messages().empty());
    EXPECT_EQ(Form->pelSMTP1->MailServer(), ServerBefore) << "the component is not even configured";
    EXPECT_EQ(Form->pelSMTP1->Subject(), SubjectBefore);
  }
}

TEST_F(MailReport, UnreachableServerLeavesTheComponentsMessageAndTheToolReady) {
  const int Closed = testsupport::FreeLoopbackPort();
  Open({{"A", "10.0.0.1", dsOK}}, QStringLiteral("127.0.0.1"), Closed);
  FinishRun(QStringLiteral("All connections OK"));
  ClickSend();
  EXPECT_EQ(Form->LastSMTPReport(), rrFailed);
  const QString Shown = Form->StatusPanelText(0);
  // The component's own message for this failure, as it raises it.
  QString Raised;
  try {
    Form->pelSMTP1->Send();
  } catch (const EPelnet &E) {
    Raised = E.Message();
  }
  EXPECT_FALSE(Raised.isEmpty());
  EXPECT_EQ(Shown, Raised);
  EXPECT_TRUE(Shown.startsWith(QStringLiteral("10061: "))) << Shown.toStdString();
  EXPECT_TRUE(Sink.Messages().empty());
  // Ready: commands enabled, and the next report reaches a server.
  EXPECT_TRUE(Form->MenuItemSendToSMTP->isEnabled());
  EXPECT_TRUE(Form->MenuItemRun->isEnabled());
  Form->Settings().SetSMTPPort(Sink.Port());
  ClickSend();
  EXPECT_EQ(Form->LastSMTPReport(), rrSent);
  EXPECT_EQ(Sink.Messages().size(), 1u);
}

TEST_F(MailReport, ErrorEventShowsInPanelZero) {
  Open({});
  const TErrorEvent Handler = Form->pelSMTP1->OnError();
  ASSERT_TRUE(Handler);
  const struct {
    int Code;
    const char *Description, *Panel;
  } Rows[] = {
      {10054, "Connection reset by peer.", "SMTP error 10054: Connection reset by peer."},
      {301, "Timeout.", "SMTP error 301: Timeout."},
      {0, "", "SMTP error 0: "},
  };
  for (const auto &R : Rows) {
    Handler(Form->pelSMTP1, R.Code, QString::fromLatin1(R.Description));
    EXPECT_EQ(Form->StatusPanelText(0), R.Panel);
  }
}

// The automatic sequence with real peers: the mail switch sends exactly one
// message after a real run; the others send none.
TEST_F(MailReport, AutomaticSwitchesAndTheMail) {
  const struct {
    const char *Name;
    QStringList Arguments;
    size_t Mails;
  } Rows[] = {
      {"run and syslog: no mail", {"/AUTORUN", "/AUTOSYSLOG"}, 0},
      {"mail switch", {"/autosmtp"}, 1},
      {"all", {"/AUTO"}, 1},
  };
  size_t Total = 0;
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Open({{"A", "127.0.0.1", dsOK}}, QStringLiteral("127.0.0.1"), -1, R.Arguments);
    Form->show();
    const QDeadlineTimer Deadline(30000);
    while (Form->isVisible() && !Deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_FALSE(Form->isVisible()) << "closes by itself";
    Total += R.Mails;
    const std::vector<Mail> Mails = Sink.Messages();
    ASSERT_EQ(Mails.size(), Total);
    if (R.Mails > 0) {
      EXPECT_EQ(Mails.back().Header("Subject"), "Dervik: All connections OK");
      EXPECT_EQ(Mails.back().Body.rfind("Connection check results as of ", 0), 0u);
      EXPECT_NE(Mails.back().Body.find(
                    "\r\n\r\nDevices with OK connection:\r\n- A (127.0.0.1): OK\r\n\r\n"),
                std::string::npos);
    }
  }
}

// A server that repeats the login in its refusal shows none of it, and after
// the automatic sequence panel 0 still holds the mail report's failure beside
// the syslog report that followed it, with what to fix in its tooltip.
TEST_F(MailReport, AFailedMailReportStaysInPanelZeroWithoutItsSecret) {
  using smtptest::PeerStep;
  const std::string Secret = "s3cret-Pass";
  const std::string Login = std::string(1, '\0') + "reporter" + std::string(1, '\0') + Secret;
  const std::string Plain =
      QByteArray(Login.data(), qsizetype(Login.size())).toBase64().toStdString();
  smtptest::ScriptedPeer Peer({{PeerStep::Send, "220 mail.test\r\n"},
                               {PeerStep::ExpectThrough, "\r\n"},
                               {PeerStep::Send, "250-mail.test\r\n250 AUTH PLAIN LOGIN\r\n"},
                               {PeerStep::ExpectThrough, "\r\n"},
                               {PeerStep::Send, "535 5.7.8 refused: AUTH PLAIN " + Plain + "\r\n"},
                               {PeerStep::ExpectClose, ""}});
  const int Udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(Udp, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  ASSERT_EQ(bind(Udp, reinterpret_cast<sockaddr *>(&Address), sizeof Address), 0);
  ASSERT_EQ(getsockname(Udp, reinterpret_cast<sockaddr *>(&Address), &Length), 0);
  Open({{"A", "127.0.0.1", dsOK}}, QStringLiteral("127.0.0.1"), Peer.port(),
       {QStringLiteral("/AUTO")},
       QStringLiteral("Security=none\nUser=reporter\nPassword=%1\nAuthScheme=plain\n[Syslog]"
                      "\nHostAddress=127.0.0.1\n"
                      "Port=%2\n")
           .arg(QString::fromStdString(Secret))
           .arg(ntohs(Address.sin_port)),
       QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  Form->show();
  const QDeadlineTimer Deadline(30000);
  while (Form->isVisible() && !Deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  close(Udp);
  ASSERT_FALSE(Form->isVisible()) << "closes by itself";
  EXPECT_EQ(Peer.finish(), "");
  EXPECT_NE(Peer.received().find(Plain), std::string::npos) << "the refusal echoes what was sent";
  EXPECT_EQ(Form->LastSMTPReport(), rrFailed);
  EXPECT_EQ(Form->LastSysLogReport(), rrSent);
  const QString Panel = Form->StatusPanelText(0), ToolTip = Form->StatusPanelToolTip(0);
  EXPECT_TRUE(Panel.startsWith(
      QLatin1String("Mail report failed: 161: SMTP protocol error. 535 5.7.8 refused: "
                    "AUTH PLAIN ****")))
      << Panel.toStdString();
  EXPECT_TRUE(Panel.contains(QStringLiteral(" \u00b7 Syslog report sent to 127.0.0.1:")))
      << Panel.toStdString();
  EXPECT_TRUE(ToolTip.contains(QLatin1String("\nSyslog report sent to"))) << ToolTip.toStdString();
  EXPECT_TRUE(
      ToolTip.contains(QLatin1String("To fix the mail report: the server refused the login for "
                                     "reporter: check User and Password")))
      << ToolTip.toStdString();
  for (const QString &Shown : {Panel, ToolTip}) {
    EXPECT_FALSE(Shown.contains(QString::fromStdString(Plain)));
    EXPECT_FALSE(Shown.contains(QString::fromStdString(Secret)));
  }
}

// With QueueDir a report the server cannot take now waits in the folder (made
// when missing) and panel 0 says where; the next report delivers it first.
// A permanent refusal (5xx) is not kept: it would be refused again.
TEST_F(MailReport, QueueDirKeepsAReportTheServerCannotTakeNow) {
  using smtptest::PeerStep;
  const struct {
    const char *Name;
    const char *MailReply;  // the answer to MAIL; nullptr: no server listens
    TReportResult Result;
    const char *PanelStarts;
    const char *Host = "127.0.0.1";
  } Rows[] = {
      {"server down", nullptr, rrQueued, "Mail report queued as "},
      {"temporary refusal", "451 4.3.0 try again later", rrQueued, "Mail report queued as "},
      {"permanent refusal", "550 5.7.1 relaying denied", rrFailed,
       "161: SMTP protocol error. 550 5.7.1 relaying denied."},
      // The name server may know it at the next report (only /etc/hosts answers here).
      {"server name not found", nullptr, rrQueued, "Mail report queued as ", "mail.nowhere.test"},
  };
  size_t Delivered = 0;
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    testsupport::TempFolder Spool;
    const QString QueueDir = Spool.file(QStringLiteral("dervik/queue"));
    std::unique_ptr<smtptest::ScriptedPeer> Peer;
    if (R.MailReply != nullptr) {
      std::vector<PeerStep> Script{
          {PeerStep::Send, "220 mail.test\r\n"},
          {PeerStep::ExpectThrough, "\r\n"},  // EHLO and this machine's name
          {PeerStep::Send, "250 mail.test\r\n"},
          {PeerStep::Expect, "RSET\r\n"},
          {PeerStep::Send, "250 OK\r\n"},
          {PeerStep::Expect, "MAIL FROM: <dervik@dervik.test>\r\n"},
          {PeerStep::Send, std::string(R.MailReply) + "\r\n"},
      };
      // A queued report's connection is closed with QUIT; a refused one stays open.
      if (R.Result == rrQueued) {
        Script.push_back({PeerStep::Expect, "QUIT\r\n"});
        Script.push_back({PeerStep::Send, "221 bye\r\n"});
      }
      Script.push_back({PeerStep::ExpectClose, ""});
      Peer = std::make_unique<smtptest::ScriptedPeer>(std::move(Script));
    }
    Open({{"A", "10.0.0.1", dsOK}}, QString::fromLatin1(R.Host),
         Peer ? Peer->port() : testsupport::FreeLoopbackPort());
    Form->Settings().SetSMTPQueueDir(QueueDir);
    FinishRun(QStringLiteral("first"));
    ClickSend();
    EXPECT_EQ(Form->LastSMTPReport(), R.Result);
    const QString Panel = Form->StatusPanelText(0);
    EXPECT_TRUE(Panel.startsWith(QLatin1String(R.PanelStarts))) << Panel.toStdString();
    const QStringList Files = QDir(QueueDir).entryList(QDir::Files);
    ASSERT_EQ(Files.size(), R.Result == rrQueued ? 1 : 0) << Files.join(' ').toStdString();
    if (R.Result == rrQueued) {
      EXPECT_TRUE(Panel.contains(QDir(QueueDir).filePath(Files[0]))) << Panel.toStdString();
      EXPECT_FALSE(Form->pelSMTP1->Connected());
    }
    Form->pelSMTP1->setConnected(false);
    if (Peer) {
      EXPECT_EQ(Peer->finish(), "");
    }

    // The server is back: what waited goes first, then the new report.
    Form->Settings().SetSMTPHostAddress(QStringLiteral("127.0.0.1"));
    Form->Settings().SetSMTPPort(Sink.Port());
    FinishRun(QStringLiteral("second"));
    ClickSend();
    EXPECT_EQ(Form->LastSMTPReport(), rrSent) << Form->StatusPanelText(0).toStdString();
    EXPECT_TRUE(QDir(QueueDir).entryList(QDir::Files).isEmpty());
    const std::vector<std::string> Subjects = NewSubjects(Sink, Delivered);
    const std::vector<std::string> Expected =
        R.Result == rrQueued ? std::vector<std::string>{"Dervik: first", "Dervik: second"}
                             : std::vector<std::string>{"Dervik: second"};
    EXPECT_EQ(Subjects, Expected);
  }
}

// A queued report that the server refuses for now when it is delivered (the
// sink greylists its sender once) goes back in the queue, under its name, and
// a later report delivers it.
TEST_F(MailReport, AQueuedReportRefusedForNowWaitsForTheNextReport) {
  testsupport::TempFolder Spool;
  const QString QueueDir = Spool.file(QStringLiteral("queue"));
  Open({{"A", "10.0.0.1", dsOK}}, QStringLiteral("127.0.0.1"), testsupport::FreeLoopbackPort());
  Form->Settings().SetSMTPQueueDir(QueueDir);
  Form->Settings().SetSMTPSender(QStringLiteral("greylisted@dervik.test"));
  const auto Subjects = [this] {
    std::vector<std::string> All;
    for (const Mail &M : Sink.Messages()) All.push_back(M.Header("Subject"));
    return All;
  };

  FinishRun(QStringLiteral("first"));
  ClickSend();
  EXPECT_EQ(Form->LastSMTPReport(), rrQueued) << Form->StatusPanelText(0).toStdString();
  const QStringList Waiting = QDir(QueueDir).entryList(QDir::Files);
  ASSERT_EQ(Waiting.size(), 1);

  Form->Settings().SetSMTPPort(Sink.Port());
  FinishRun(QStringLiteral("second"));
  ClickSend();
  // The old report met the sender's first MAIL and was refused for now; this
  // report, from the same sender, then passed.
  EXPECT_EQ(Form->LastSMTPReport(), rrSent) << Form->StatusPanelText(0).toStdString();
  EXPECT_EQ(QDir(QueueDir).entryList(QDir::Files), Waiting);
  EXPECT_EQ(Subjects(), std::vector<std::string>{"Dervik: second"});

  FinishRun(QStringLiteral("third"));
  ClickSend();
  EXPECT_EQ(Form->LastSMTPReport(), rrSent) << Form->StatusPanelText(0).toStdString();
  EXPECT_TRUE(QDir(QueueDir).entryList(QDir::Files).isEmpty());
  EXPECT_EQ(Subjects(),
            (std::vector<std::string>{"Dervik: second", "Dervik: first", "Dervik: third"}));
}

// Names that would break the mail: one of 1,000 octets (a line over the 998
// a server takes refuses the whole report) and one holding a NUL from a
// UTF-16 settings file (it would end the text where it crosses into C).
// Every device reaches the server, every line within the limit.
TEST_F(MailReport, HostileDeviceNamesReachTheServerWithEveryDevice) {
  const QString Ini = QStringLiteral(
                          "[Ping]\nTimes=1\n[SMTP]\nHostAddress=127.0.0.1\nPort=%1\n"
                          "Recipients=ops@dervik.test\nSender=dervik@dervik.test\n"
                          "[Devices]\nBefore=10.0.0.1\n%2=10.0.0.2\nDrucker")
                          .arg(Sink.Port())
                          .arg(QString(1000, u'N')) +
                      QChar(0) + QStringLiteral("B\u00FCro=10.0.0.3\nAfter=10.0.0.4\n");
  QFile File(Dir.file(QStringLiteral("dervik.ini")));
  ASSERT_TRUE(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
  QByteArray Bytes("\xFF\xFE", 2);  // UTF-16LE with its byte-order mark
  for (const QChar C : Ini)
    Bytes.append(static_cast<char>(C.unicode() & 0xFF)).append(static_cast<char>(C.unicode() >> 8));
  File.write(Bytes);
  File.close();
  Form = std::make_unique<TFormMain>(TFormMain::TStartup{Dir.file(QStringLiteral("dervik")), {}});
  ASSERT_EQ(Form->Settings().Devices().size(), 4u);
  EXPECT_EQ(Form->Settings().Devices()[2]->DeviceName(),
            QString::fromUtf16(u"Drucker\0B\u00FCro", 12));
  RunDevices = {
      {"", "", dsNoConnection}, {"", "", dsNoConnection}, {"", "", dsNoConnection}, {"", "", dsOK}};
  FinishRun(QStringLiteral("Some connections were OK (3 failed - 1 OK)"));
  ClickSend();
  ASSERT_EQ(Form->LastSMTPReport(), rrSent) << Form->StatusPanelText(0).toStdString();
  const std::vector<Mail> Mails = Sink.Messages();
  ASSERT_EQ(Mails.size(), 1u);
  const std::string &Body = Mails[0].Body;
  for (size_t At = 0, End; (End = Body.find("\r\n", At)) != std::string::npos; At = End + 2)
    EXPECT_LE(End - At, 998u) << Body.substr(At, 40);
  EXPECT_NE(Body.find("\r\n- Before (10.0.0.1): No connection at all\r\n- NNNN"), std::string::npos)
      << Body;
  EXPECT_NE(Body.find("N\xE2\x80\xA6 (10.0.0.2): No connection at all\r\n"), std::string::npos);
  EXPECT_NE(Body.find("\r\n- Drucker\xEF\xBF\xBD"
                      "B\xC3\xBCro (10.0.0.3): No connection at all\r\n"),
            std::string::npos);
  EXPECT_NE(Body.find("\r\n- After (10.0.0.4): OK\r\n"), std::string::npos);
  // The window keeps the names whole.
  EXPECT_EQ(Form->Settings().Devices()[1]->DeviceName(), QString(1000, u'N'));
}

// Queued reports that the server refuses for good, and a damaged queue file,
// do not hold up the ones behind them or this report; each is named in panel
// 0, kept as ".failed" or set aside as ".bad".
TEST_F(MailReport, QueuedReportsRefusedForGoodAreNamedAndTheRestGo) {
  testsupport::TempFolder Spool;
  const QString QueueDir = Spool.file(QStringLiteral("queue"));
  Open({{"A", "10.0.0.1", dsOK}});
  Form->Settings().SetSMTPQueueDir(QueueDir);
  ASSERT_TRUE(QDir().mkpath(QueueDir));
  // A report cut short by a writer that was killed (no DATA, no end).
  QFile Cut(QDir(QueueDir).filePath(QStringLiteral("1l_1l0.queued")));
  ASSERT_TRUE(Cut.open(QIODevice::WriteOnly));
  Cut.write("MAIL FROM: <cut@dervik.test>\r\nRCPT TO:<ops@dervik.test>\r\n");
  Cut.close();
  TpelSMTP &Smtp = *Form->pelSMTP1;
  Smtp.setSendTo(QStringLiteral("ops@dervik.test"));
  Smtp.setMessageText(QStringLiteral("waiting\r\n"));
  for (const char *Sender : {"one@dervik.test", "refused-two@dervik.test", "three@dervik.test",
                             "refused-four@dervik.test", "five@dervik.test"}) {
    Smtp.setFrom(QString::fromLatin1(Sender));
    Smtp.setSubject(QString::fromLatin1(Sender));
    Smtp.Queue(QueueDir);
  }
  FinishRun(QStringLiteral("now"));
  ClickSend();
  EXPECT_EQ(Form->LastSMTPReport(), rrSent) << Form->StatusPanelText(0).toStdString();
  std::vector<std::string> Subjects;
  for (const Mail &M : Sink.Messages()) Subjects.push_back(M.Header("Subject"));
  EXPECT_EQ(Subjects, (std::vector<std::string>{"one@dervik.test", "three@dervik.test",
                                                "five@dervik.test", "Dervik: now"}));
  const QStringList Failed = QDir(QueueDir).entryList({QStringLiteral("*.failed")}, QDir::Files);
  ASSERT_EQ(Failed.size(), 2);
  EXPECT_TRUE(QDir(QueueDir).entryList({QStringLiteral("*.queued")}, QDir::Files).isEmpty());
  QStringList Lost = Form->LostQueuedMail();
  ASSERT_EQ(Lost.size(), 3);
  EXPECT_EQ(Lost.takeLast(), QDir(QueueDir).filePath(QStringLiteral("1l_1l0.bad")) +
                                 QStringLiteral(": not a whole queue file, set aside unsent"));
  EXPECT_TRUE(QFile::exists(QDir(QueueDir).filePath(QStringLiteral("1l_1l0.bad"))));
  for (const QString &L : Lost) {
    EXPECT_TRUE(L.endsWith(QStringLiteral(": 161: SMTP protocol error. 550 5.7.1 sender refused.")))
        << L.toStdString();
    EXPECT_TRUE(Failed.contains(QFileInfo(L.section(QStringLiteral(": "), 0, 0)).fileName()))
        << L.toStdString();
    EXPECT_TRUE(Form->StatusPanelText(0).contains(L)) << Form->StatusPanelText(0).toStdString();
  }
}

// Failures whose component text is generic say what happened, and a silent
// server is waited for no longer than the SMTP section's Timeout allows.
TEST_F(MailReport, GenericFailuresSayWhatHappened) {
  using smtptest::PeerStep;
  const struct {
    const char *Name;
    std::vector<PeerStep> Script;
    const char *PanelEnds;
  } Rows[] = {
      {"silent server", {{PeerStep::ExpectClose, ""}}, " (no answer within 2 s; [SMTP] Timeout)"},
      // EHLO and then HELO are each waited for.
      {"silent after its greeting",
       {{PeerStep::Send, "220 mail.test\r\n"}, {PeerStep::ExpectClose, ""}},
       " (no answer within 2 s; [SMTP] Timeout)"},
      {"closed at RSET",
       {{PeerStep::Send, "220 mail.test\r\n"},
        {PeerStep::ExpectThrough, "\r\n"},
        {PeerStep::Send, "250 mail.test\r\n"},
        {PeerStep::Expect, "RSET\r\n"},
        {PeerStep::Close, ""}},
       " (the server closed the connection)"},
      {"421 and reset",
       {{PeerStep::Send, "220 mail.test\r\n"},
        {PeerStep::ExpectThrough, "\r\n"},
        {PeerStep::Send, "421 4.3.2 closing down\r\n"},
        {PeerStep::Reset, ""}},
       " (the server closed the connection after \"421 4.3.2 closing down\")"},
  };
  // Without a queue folder the report fails; with one, where a report of an
  // earlier run waits, this one joins it.
  for (const bool Queue : {false, true})
    for (const auto &R : Rows) {
      SCOPED_TRACE(std::string(R.Name) + (Queue ? " with a queue" : ""));
      smtptest::ScriptedPeer Peer(R.Script);
      Open({{"A", "10.0.0.1", dsOK}}, QStringLiteral("127.0.0.1"), Peer.port());
      Form->Settings().SetSMTPTimeout(2);
      testsupport::TempFolder Spool;
      if (Queue) {
        Form->Settings().SetSMTPQueueDir(QString::fromStdString(Spool.path()));
        FinishRun(QStringLiteral("earlier"));
        Form->pelSMTP1->setFrom(QStringLiteral("dervik@dervik.test"));
        Form->pelSMTP1->setSendTo(QStringLiteral("ops@dervik.test"));
        Form->pelSMTP1->setMessageText(QStringLiteral("waiting\r\n"));
        Form->pelSMTP1->Queue(QString::fromStdString(Spool.path()));
      }
      FinishRun(QStringLiteral("All connections OK"));
      QElapsedTimer Took;
      Took.start();
      ClickSend();
      EXPECT_LT(Took.elapsed(), 3 * 2000 + 1500) << "bounded by the Timeout";
      EXPECT_EQ(Form->LastSMTPReport(), Queue ? rrQueued : rrFailed);
      EXPECT_TRUE(Form->StatusPanelText(0).endsWith(QLatin1String(R.PanelEnds)))
          << Form->StatusPanelText(0).toStdString();
      const qsizetype Waiting =
          QDir(QString::fromStdString(Spool.path())).entryList(QDir::Files).size();
      EXPECT_EQ(Waiting, Queue ? 2 : 0);
      Form->pelSMTP1->setConnected(false);
      Peer.finish();
    }
}

}  // namespace

namespace {

// The window's report takes the same connection settings as the unattended
// run: TLS with a login, the permission rule, the proxy; without the keys
// the component keeps its plaintext defaults.
TEST_F(MailReport, TheWindowConnectsWithTheTlsLoginAndProxySettings) {
  static const testsupport::TestCa Ca;
  ASSERT_TRUE(Ca.Ok()) << Ca.Why();
  reportpeers::SmtpSinkOptions Options = reportpeers::TlsSinkOptions(Ca.Localhost());
  Options.User = "reporter";
  Options.Password = "s3cret-Pass";
  SmtpSink Tls(Options);
  ASSERT_TRUE(Tls.Ok()) << Tls.Why();
  const int NoProxy = testsupport::FreeLoopbackPort();
  const QString Login =
      QStringLiteral("Security=starttls\nUser=reporter\nPassword=s3cret-Pass\nCAFile=%1\n")
          .arg(QString::fromStdString(Ca.CaFile()));
  const auto Private = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
  const auto Shared = Private | QFileDevice::ReadGroup | QFileDevice::ReadOther;
  const struct {
    const char *Name;
    SmtpSink *Server;
    QString Lines;
    QFileDevice::Permissions Mode;
    TReportResult Result;
    TpelsmtpTlsModes TlsMode;
    TpelsmtpFirewallTypes Firewall;
    const char *Panel;  // a part of panel 0
  } Rows[] = {
      {"starttls with login", &Tls, Login, Private, rrSent, tlsStartTlsRequired, fwNone,
       "Mail report sent to"},
      {"password others can read", &Tls, Login, Shared, rrFailed, tlsNone, fwNone, "run chmod 600"},
      {"a login with Security left empty goes over STARTTLS", &Tls,
       QString(Login).remove(QLatin1String("Security=starttls\n")), Private, rrSent,
       tlsStartTlsRequired, fwNone, "Mail report sent to"},
      {"plaintext to a server that demands TLS", &Tls,
       QStringLiteral("Security=none\nUser=reporter\nPassword=s3cret-Pass\n"), Private, rrFailed,
       tlsNone, fwNone, ""},
      {"through a proxy that is not there", &Sink,
       QStringLiteral("Proxy=socks5://127.0.0.1:%1\n").arg(NoProxy), Shared, rrFailed, tlsNone,
       fwSOCKS5, ""},
      {"none of the keys", &Sink, QString(), Shared, rrSent, tlsNone, fwNone,
       "Mail report sent to"},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    const size_t Before = R.Server->Messages().size();
    Open({{"A", "10.0.0.1", dsOK}}, QStringLiteral("127.0.0.1"), R.Server->Port(), {}, R.Lines,
         R.Mode);
    FinishRun(QStringLiteral("All connections OK"));
    ClickSend();
    const QString Panel = Form->StatusPanelText(0);
    EXPECT_EQ(Form->LastSMTPReport(), R.Result) << Panel.toStdString();
    EXPECT_TRUE(Panel.contains(QLatin1String(R.Panel))) << Panel.toStdString();
    EXPECT_FALSE(Panel.contains(QLatin1String("s3cret"))) << Panel.toStdString();
    const std::vector<Mail> Stored = R.Server->Messages();
    ASSERT_EQ(Stored.size(), Before + (R.Result == rrSent ? 1 : 0));
    if (R.Result == rrSent && R.Server == &Tls) {
      EXPECT_NE(Stored.back().Tls, "");
      EXPECT_EQ(Stored.back().AuthUser, "reporter");
    }
    if (Panel.contains(QLatin1String("chmod 600")))  // refused before the component was set up
      continue;
    EXPECT_EQ(Form->pelSMTP1->TlsMode(), R.TlsMode);
    EXPECT_EQ(Form->pelSMTP1->FirewallType(), R.Firewall);
    EXPECT_EQ(Form->pelSMTP1->User().isEmpty(), R.Lines.indexOf(QLatin1String("User=")) < 0);
  }
}

// With Security=starttls a 421 to EHLO, before STARTTLS or over TLS, is a
// refusal for now as it is in plaintext: the report waits in the queue
// folder with the server's reply as the reason, and the next report, to a
// server that takes it, delivers it first.
TEST_F(MailReport, A421ToEhloWithStartTlsRequiredIsQueuedAndDeliveredNextTime) {
  using smtptest::PeerStep;
  static const testsupport::TestCa Ca;
  ASSERT_TRUE(Ca.Ok()) << Ca.Why();
  reportpeers::SmtpSinkOptions Options = reportpeers::TlsSinkOptions(Ca.Localhost());
  SmtpSink Tls(Options);
  ASSERT_TRUE(Tls.Ok()) << Tls.Why();
  const std::string Closing = "421 4.3.2 closing down";
  const std::vector<PeerStep> UntilTls{
      {PeerStep::Send, "220 mail.test ESMTP\r\n"},
      {PeerStep::ExpectThrough, "\r\n"},  // EHLO and this machine's name
      {PeerStep::Send, "250-mail.test\r\n250 STARTTLS\r\n"},
      {PeerStep::Expect, "STARTTLS\r\n"},
      {PeerStep::Send, "220 2.0.0 go ahead\r\n"},
      {PeerStep::StartTls, "", 0, Ca.Localhost().Cert, Ca.Localhost().Key},
  };
  const std::vector<PeerStep> WaitsForQuit{
      {PeerStep::Expect, "QUIT\r\n"}, {PeerStep::Send, "221 bye\r\n"}, {PeerStep::ExpectClose, ""}};
  const std::vector<PeerStep> ClosesAtOnce{{PeerStep::Close, ""}};
  const struct {
    const char *Name;
    std::vector<PeerStep> Opening;  // up to the EHLO that is refused
    std::vector<PeerStep> AfterRefusal;
  } Rows[] = {
      {"421 to the first EHLO", {{PeerStep::Send, "220 mail.test ESMTP\r\n"}}, WaitsForQuit},
      {"421 and a close at the first EHLO",
       {{PeerStep::Send, "220 mail.test ESMTP\r\n"}},
       ClosesAtOnce},
      {"421 to the EHLO over TLS", UntilTls, WaitsForQuit},
      {"421 and a close at the EHLO over TLS", UntilTls, ClosesAtOnce},
  };
  size_t Delivered = 0;
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    std::vector<PeerStep> Script = R.Opening;
    Script.push_back({PeerStep::ExpectThrough, "\r\n"});  // EHLO and this machine's name
    Script.push_back({PeerStep::Send, Closing + "\r\n"});
    Script.insert(Script.end(), R.AfterRefusal.begin(), R.AfterRefusal.end());
    smtptest::ScriptedPeer Peer(Script);
    testsupport::TempFolder Spool;
    const QString QueueDir = Spool.file(QStringLiteral("queue"));
    Open({{"A", "10.0.0.1", dsOK}}, QStringLiteral("127.0.0.1"), Peer.port(), {},
         QStringLiteral("Security=starttls\nCAFile=%1\nQueueDir=%2\n")
             .arg(QString::fromStdString(Ca.CaFile()), QueueDir));
    FinishRun(QStringLiteral("first"));
    ClickSend();
    const QString Panel = Form->StatusPanelText(0);
    EXPECT_EQ(Form->LastSMTPReport(), rrQueued) << Panel.toStdString();
    EXPECT_TRUE(Panel.startsWith(QLatin1String("Mail report queued as "))) << Panel.toStdString();
    EXPECT_TRUE(Panel.contains(QString::fromStdString(Closing))) << Panel.toStdString();
    EXPECT_FALSE(Panel.contains(QLatin1String("STARTTLS"))) << Panel.toStdString();
    EXPECT_EQ(QDir(QueueDir).entryList(QDir::Files).size(), 1);
    EXPECT_EQ(Peer.finish(), "");

    Form->Settings().SetSMTPPort(Tls.Port());
    FinishRun(QStringLiteral("second"));
    ClickSend();
    EXPECT_EQ(Form->LastSMTPReport(), rrSent) << Form->StatusPanelText(0).toStdString();
    EXPECT_TRUE(QDir(QueueDir).entryList(QDir::Files).isEmpty());
    EXPECT_EQ(NewSubjects(Tls, Delivered),
              (std::vector<std::string>{"Dervik: first", "Dervik: second"}));
  }
}

}  // namespace
