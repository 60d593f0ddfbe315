// The message queue of the mail core: Queue writes the transaction to a file
// without touching the network; ProcessQueue replays the queued files over one
// connection to a scripted server on loopback, and the file names tell each
// file's state afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "queue/message_queue.h"
#include "pelnet/smtp_ids.h"
#include "queue/queue_file_form.h"
#include "scripted_peer.h"
#include "temp_folder.h"
#include "smtp_core_client.h"

namespace {

namespace fs = std::filesystem;
using pelnet::smtp::MessageQueue;
using smtptest::clientBytes;
using smtptest::ClosedPort;
using smtptest::PeerStep;
using smtptest::ScriptedPeer;
using smtptest::SmtpCoreClient;
using namespace std::string_literals;

// ---------------------------------------------------------------- script pieces

PeerStep S(const std::string &lines) { return {PeerStep::Send, lines, 0}; }
PeerStep C(const std::string &bytes) { return {PeerStep::Expect, bytes, 0}; }
PeerStep ClientCloses() { return {PeerStep::ExpectClose, "", 0}; }

using Script = std::vector<PeerStep>;

Script operator+(Script a, const Script &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Script greeting() {
  return {S("220 mail.test ESMTP\r\n"), C("EHLO client.test\r\n"), S("250 mail.test\r\n")};
}
Script ok(const std::string &command) { return {C(command + "\r\n"), S("250 OK\r\n")}; }
Script quit() { return {C("QUIT\r\n"), S("221 bye\r\n"), ClientCloses()}; }

const std::string kDate = "Thu, 10 Dec 2026 12:00:00 GMT";

// The header block the core composes for the messages of these tests.
std::string headerBlock(const std::string &subject, const std::string &cc = "") {
  std::string h = "To: to@test\r\nFrom: from@test\r\nSubject: " + subject + "\r\nDate: " + kDate +
                  "\r\nMessage-Id: <" + subject + "@test>\r\n";
  if (!cc.empty()) h += "Cc: " + cc + "\r\n";
  return h + "\r\n";
}

// The queue file of a message to to@test with that subject and stored body.
std::string queueFile(const std::string &subject, const std::string &storedBody) {
  return "MAIL FROM: <from@test>\r\nRCPT TO:<to@test>\r\nDATA\r\n" + headerBlock(subject) +
         storedBody + "\r\n.\r\n";
}

// The server's side of replaying such a file: each command line answered,
// the message taken whole, then its answer.
Script replayOf(const std::string &subject, const std::string &storedBody,
                const std::string &dataAnswer = "250 accepted\r\n") {
  return ok("RSET") + ok("MAIL FROM: <from@test>") + ok("RCPT TO:<to@test>") +
         Script{C("DATA\r\n"), S("354 go ahead\r\n"),
                C(headerBlock(subject) + storedBody + "\r\n.\r\n"), S(dataAnswer)};
}

using QueueFolder = testsupport::TempFolder;

void setUpMessage(SmtpCoreClient &c, int port, const std::string &subject = "Hi",
                  const std::string &body = "Hello\r\n") {
  smtptest::setUpTestMessage(c, port, subject, body, kDate, "<" + subject + "@test>");
}

// The file name Queue forms for this core at tick `tick` with suffix character `c`.
std::string queueName(SmtpCoreClient &c, uint32_t tick, char suffix) {
  return std::to_string(reinterpret_cast<uintptr_t>(&c.core())) + "l_" + std::to_string(tick) +
         "l" + suffix + ".queued";
}

int queue(SmtpCoreClient &c, const std::string &dir, std::string *name = nullptr) {
  testsupport::CallResult r;
  const int rc = c.call(PELNET_SMTP_METHOD_Queue, {dir}, &r);
  if (rc == 0 && name != nullptr) *name = r.text();
  return rc;
}

std::vector<std::string> informationNotes(const SmtpCoreClient &c) {
  return c.trail(PELNET_SMTP_dirInformation);
}

bool has(const std::vector<std::string> &v, const std::string &s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// ---------------------------------------------------------------- the folder name

TEST(QueueFolderName, SeparatorsAtTheEndsGiveOneTrailingSlash) {
  const struct {
    const char *text, *folder;
  } cases[] = {
      {"", "/"},
      {"/", "/"},
      {"///", "/"},
      {"/var/spool/q", "/var/spool/q/"},
      {"/var/spool/q/", "/var/spool/q/"},
      {"//var/spool/q//", "/var/spool/q/"},
      {"queue", "queue/"},
      {"queue///", "queue/"},
      {"a//b", "a//b/"},
  };
  for (const auto &k : cases) EXPECT_EQ(MessageQueue::directoryOf(k.text), k.folder) << k.text;
}

// ---------------------------------------------------------------- Queue

TEST(Queue, TheFileHoldsTheTransactionAndNothingGoesOnTheNetwork) {
  SmtpCoreClient c;
  QueueFolder q;
  ClosedPort closed;  // nothing listens: a connection attempt would fail with 10061
  setUpMessage(c, closed.port(), "Dots", ".first\r\nmiddle\r\n.\r\n");
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_Cc, "cc@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_BCc, "hidden@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageRecipientOptions, "NOTIFY=SUCCESS,FAILURE", 0), 0);
  c.core().queue().tick = [] { return 4242u; };

  std::string name;
  ASSERT_EQ(queue(c, q.path() + "/", &name), 0) << c.lastError();
  EXPECT_EQ(name, q.path() + "/" + queueName(c, 4242, '0'));
  const std::string expected =
      "MAIL FROM: <from@test>\r\n"
      "RCPT TO:<to@test> NOTIFY=SUCCESS,FAILURE\r\n"
      "RCPT TO:<cc@test>\r\n"
      "RCPT TO:<hidden@test>\r\n"
      "DATA\r\n" +
      headerBlock("Dots", "cc@test") + "..first\r\nmiddle\r\n..\r\n" + "\r\n.\r\n";
  EXPECT_EQ(q.read(queueName(c, 4242, '0')), expected);
  EXPECT_EQ(c.trail(PELNET_SMTP_dirClientToServer),
            (std::vector<std::string>{"MAIL FROM: <from@test>",
                                      "RCPT TO:<to@test> NOTIFY=SUCCESS,FAILURE",
                                      "RCPT TO:<cc@test>", "RCPT TO:<hidden@test>", "DATA", "."}));
  for (int id :
       {PELNET_SMTP_EVENT_StartTransfer, PELNET_SMTP_EVENT_Transfer, PELNET_SMTP_EVENT_EndTransfer,
        PELNET_SMTP_EVENT_ConnectionStatus, PELNET_SMTP_EVENT_Error})
    EXPECT_TRUE(c.eventsOf(id).empty()) << id;
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), 0);
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Idle), 1);
  // Written only for its owner: a report may say more than the folder's other readers should see.
  struct stat st {};
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Queue, NamesInOneTickDifferInTheLastCharacterUntilTheyRunOut) {
  SmtpCoreClient c;
  QueueFolder q;
  ClosedPort closed;
  setUpMessage(c, closed.port());
  c.core().queue().tick = [] { return 77u; };

  std::string first, second;
  ASSERT_EQ(queue(c, q.path(), &first), 0) << c.lastError();
  ASSERT_EQ(queue(c, q.path(), &second), 0) << c.lastError();
  EXPECT_EQ(first, q.path() + "/" + queueName(c, 77, '0'));
  EXPECT_EQ(second, q.path() + "/" + queueName(c, 77, 'a'));
  EXPECT_EQ(q.read(fs::path(first).filename()), q.read(fs::path(second).filename()));

  // The 24 names left ("b" to "y"), then none.
  for (char s = 'b'; s <= 'y'; ++s) {
    std::string name;
    ASSERT_EQ(queue(c, q.path(), &name), 0) << s;
    EXPECT_EQ(name, q.path() + "/" + queueName(c, 77, s));
  }
  ASSERT_EQ(q.names().size(), 26u);
  EXPECT_EQ(queue(c, q.path()), 302);
  const std::string text = c.lastError();
  EXPECT_EQ(text.rfind("Can't open queue file [", 0), 0u) << text;
  EXPECT_EQ(text.substr(text.size() - 2), "].") << text;
  EXPECT_NE(text.find(": File exists]."), std::string::npos) << text;  // the system's reason
  EXPECT_EQ(q.names().size(), 26u);
}

TEST(Queue, FailuresLeaveNoFile) {
  const struct {
    const char *name;
    std::function<void(SmtpCoreClient &)> change;
    int code;
    const char *text;
  } cases[] = {
      {"NoSender", [](SmtpCoreClient &c) { ASSERT_EQ(c.setText(PELNET_SMTP_PROP_From, ""), 0); },
       164, "Please specify a sender (From)."},
      {"NoRecipient",
       [](SmtpCoreClient &c) { ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, ""), 0); }, 165,
       "Please specify a recipient (To)."},
      {"LineBreakInRecipientOptions",
       [](SmtpCoreClient &c) {
         ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageRecipientOptions, "NOTIFY=NEVER\r\nRSET", 0),
                   0);
       },
       167, "A command argument must not contain CR, LF or NUL characters."},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    SmtpCoreClient c;
    QueueFolder q;
    ClosedPort closed;
    setUpMessage(c, closed.port());
    k.change(c);
    EXPECT_EQ(queue(c, q.path()), k.code);
    EXPECT_EQ(c.lastError(), k.text);
    EXPECT_TRUE(q.names().empty());
  }
}

TEST(Queue, AFolderThatCannotTakeTheFileGives302) {
  SmtpCoreClient c;
  QueueFolder q;
  ClosedPort closed;
  setUpMessage(c, closed.port());
  EXPECT_EQ(queue(c, q.path() + "/missing"), 302);
  const std::string text = c.lastError();
  EXPECT_EQ(text.rfind("Can't open queue file [" + q.path() + "/missing/", 0), 0u) << text;
  EXPECT_NE(text.find(": No such file or directory]."), std::string::npos) << text;
  EXPECT_TRUE(c.trail(PELNET_SMTP_dirClientToServer).empty());
}

// A file size limit makes the writes fail part way: 7, and the part written is removed.
TEST(Queue, AWriteThatFailsGives7AndRemovesThePart) {
  SmtpCoreClient c;
  QueueFolder q;
  ClosedPort closed;
  setUpMessage(c, closed.port(), "Big", std::string(20000, 'x') + "\r\n");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int rc = queue(c, q.path());
  const std::string text = c.lastError();
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &old, nullptr);
  EXPECT_EQ(rc, 7);
  // The file and the system's reason, not a bare code.
  EXPECT_EQ(text.rfind("Can't write queue file " + q.path() + "/.", 0), 0u) << text;
  EXPECT_EQ(text.substr(text.size() - 16), ": File too large") << text;
  EXPECT_TRUE(q.names().empty());
}

// ---------------------------------------------------------------- ProcessQueue

// Queues messages "M1", "M2", ... on their own ticks, so that their order is known.
std::vector<std::string> queueMessages(SmtpCoreClient &c, const QueueFolder &q, int count,
                                       const std::string &body) {
  std::vector<std::string> names;
  ClosedPort closed;
  for (int i = 1; i <= count; ++i) {
    setUpMessage(c, closed.port(), "M" + std::to_string(i), body);
    c.core().queue().tick = [i] { return 1000u + static_cast<uint32_t>(i); };
    std::string name;
    EXPECT_EQ(queue(c, q.path(), &name), 0) << c.lastError();
    names.push_back(fs::path(name).filename());
  }
  return names;
}

int processQueue(SmtpCoreClient &c, const std::string &dir) {
  return c.call(PELNET_SMTP_METHOD_ProcessQueue, dir);
}

// What the last ProcessQueue reports of each file it took up.
struct FileOutcome {
  std::string name;
  intptr_t outcome;
  std::string path;
  bool operator==(const FileOutcome &) const = default;
};

std::ostream &operator<<(std::ostream &os, const FileOutcome &f) {
  return os << "{" << f.name << ", " << f.outcome << ", " << f.path << "}";
}

std::vector<FileOutcome> outcomes(SmtpCoreClient &c) {
  std::vector<FileOutcome> out;
  const intptr_t count = c.getInt(PELNET_SMTP_PROP_QueueFileCount);
  for (int i = 0; i < count; ++i)
    out.push_back({c.getText(PELNET_SMTP_PROP_QueueFileName, i),
                   c.getInt(PELNET_SMTP_PROP_QueueFileOutcome, i),
                   c.getText(PELNET_SMTP_PROP_QueueFilePath, i)});
  return out;
}

TEST(ProcessQueue, OneConnectionDeliversEveryFileAndDeletesOrKeepsIt) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "KeepQueue" : "default");
    SmtpCoreClient c;
    QueueFolder q;
    const std::string body = ".dot\r\nline\r\n";
    const std::vector<std::string> names = queueMessages(c, q, 3, body);
    const Script script = greeting() + replayOf("M1", "..dot\r\nline\r\n") +
                          replayOf("M2", "..dot\r\nline\r\n") +
                          replayOf("M3", "..dot\r\nline\r\n") + quit();
    ScriptedPeer peer(script);
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, peer.port()), 0);
    ASSERT_EQ(c.config(keep ? "KeepQueue=True" : "KeepQueue=False"), 0);
    c.events.calls.clear();

    EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
    EXPECT_EQ(peer.finish(), "");
    EXPECT_EQ(peer.received(), clientBytes(script));
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), 0);

    std::vector<std::string> left;
    std::vector<std::string> notes;
    for (const std::string &n : names) {
      notes.push_back("Processing queued message file: " + n);
      notes.push_back("Queued message succesfully sent.");
      notes.push_back(keep ? "Queue file extension changed to .sent" : "Queue file deleted.");
      if (keep) left.push_back(n.substr(0, n.size() - 6) + "sent");
    }
    EXPECT_EQ(q.names(), left);
    std::vector<FileOutcome> expected;
    for (const std::string &n : names)
      expected.push_back({n, keep ? PELNET_SMTP_qoKept : PELNET_SMTP_qoDelivered,
                          keep ? q.path() + "/" + n.substr(0, n.size() - 6) + "sent" : ""});
    EXPECT_EQ(outcomes(c), expected);
    std::vector<std::string> got = informationNotes(c);
    // The connection's own notes come before and after the queue's, which follow in order.
    got.erase(got.begin(), std::find(got.begin(), got.end(), notes.front()));
    if (got.size() > notes.size()) got.resize(notes.size());
    EXPECT_EQ(got, notes);
    EXPECT_TRUE(c.eventsOf(PELNET_SMTP_EVENT_Transfer).empty());
  }
}

TEST(ProcessQueue, ARefusedFileFailsItStopsAndLeavesTheRestQueued) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "KeepQueue" : "default");
    SmtpCoreClient c;
    QueueFolder q;
    const std::vector<std::string> names = queueMessages(c, q, 3, "Hello\r\n");
    const std::string refusal = "550 5.7.1 sender refused";
    const Script script = greeting() + replayOf("M1", "Hello\r\n") + ok("RSET") +
                          Script{C("MAIL FROM: <from@test>\r\n"), S(refusal + "\r\n")} + quit();
    ScriptedPeer peer(script);
    ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, peer.port()), 0);
    ASSERT_EQ(c.config(keep ? "KeepQueue=True" : "KeepQueue=False"), 0);
    c.events.calls.clear();

    EXPECT_EQ(processQueue(c, q.path()), 161);
    EXPECT_EQ(c.lastError(), "SMTP protocol error. " + refusal + ".");
    EXPECT_EQ(peer.finish(), "");
    EXPECT_EQ(peer.received(), clientBytes(script));
    // The refusal's code, not that of the QUIT's reply that came after it.
    EXPECT_EQ(c.getText(PELNET_SMTP_PROP_LastReply), "221 bye");
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_RefusedReplyCode), 550);
    EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_TimedOut), 0);

    const auto stem = [](const std::string &n) { return n.substr(0, n.size() - 6); };
    EXPECT_EQ(outcomes(c),
              (std::vector<FileOutcome>{
                  {names[0], keep ? PELNET_SMTP_qoKept : PELNET_SMTP_qoDelivered,
                   keep ? q.path() + "/" + stem(names[0]) + "sent" : ""},
                  {names[1], PELNET_SMTP_qoFailed, q.path() + "/" + stem(names[1]) + "failed"}}));
    std::vector<std::string> left = {stem(names[1]) + "failed", names[2]};
    if (keep) left.push_back(stem(names[0]) + "sent");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(q.names(), left);
    // The failed file is the one that was queued, unchanged.
    EXPECT_EQ(q.read(stem(names[1]) + "failed"), queueFile("M2", "Hello\r\n"));
    const std::vector<std::string> notes = informationNotes(c);
    EXPECT_TRUE(has(notes, "Error while sending queued file."));
    EXPECT_FALSE(has(notes, "Processing queued message file: " + names[2]));
  }
}

// Nothing to deliver: 0 at once, without a connection (the server's port is closed).
TEST(ProcessQueue, NothingQueuedMeansNoConnection) {
  const struct {
    const char *name;
    std::vector<std::string> files;
    std::vector<std::string> folders;
  } cases[] = {
      {"EmptyFolder", {}, {}},
      {"OtherStatesOnly",
       {"1l_3l0.failed", "1l_4l0.sent", "1l_5l0.bad", ".1l_6l.AbCdEf.tmp", "notes.txt"},
       {}},
      {"AFolderNamedLikeAFile", {}, {"1l_5l0.queued"}},
      {"NameOnlyEndsAlike", {"1l_6l0.queuedx", "1l_7l0queued"}, {}},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    SmtpCoreClient c;
    QueueFolder q;
    ClosedPort closed;
    setUpMessage(c, closed.port());
    for (const std::string &f : k.files) q.write(f, "MAIL FROM: <x@test>\r\n");
    for (const std::string &d : k.folders) fs::create_directory(q.path() + "/" + d);
    const std::vector<std::string> before = q.names();
    EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
    EXPECT_TRUE(c.eventsOf(PELNET_SMTP_EVENT_ConnectionStatus).empty());
    EXPECT_TRUE(c.trail(PELNET_SMTP_dirInformation).empty());
    EXPECT_EQ(q.names(), before);
  }
}

TEST(ProcessQueue, AFolderThatCannotBeSearchedGives302) {
  QueueFolder q;
  q.write("plain", "x");
  const struct {
    const char *name;
    std::string dir;
    const char *text;
  } cases[] = {
      {"Missing", q.path() + "/missing", "Can't open queue folder"},
      {"MissingParent", q.path() + "/missing/deeper", "Can't open queue folder"},
      {"NotAFolder", q.path() + "/plain", "Can't open queue file [0x14]."},  // ENOTDIR
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    SmtpCoreClient c;
    ClosedPort closed;
    setUpMessage(c, closed.port());
    EXPECT_EQ(processQueue(c, k.dir), 302);
    EXPECT_EQ(c.lastError(), k.text);
    EXPECT_TRUE(c.eventsOf(PELNET_SMTP_EVENT_ConnectionStatus).empty());
  }
}

// A folder the process may not read: the errno in hexadecimal (EACCES, 13).
// Root reads every folder, so the call runs in a child that is user nobody
// when the test runs as root.
TEST(ProcessQueue, AnUnreadableFolderGivesItsErrnoInHex) {
  QueueFolder q;
  const bool root = geteuid() == 0;
  ASSERT_EQ(chmod(q.path().c_str(), root ? 0700 : 0), 0);
  const passwd *nobody = getpwnam("nobody");
  if (root && nobody == nullptr) GTEST_SKIP() << "no user nobody";
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(pipeFds[0]);
    if (root && (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) _exit(2);
    SmtpCoreClient c;
    const int rc = processQueue(c, q.path());
    const std::string text = std::to_string(rc) + " " + c.lastError();
    if (write(pipeFds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(3);
    _exit(0);
  }
  close(pipeFds[1]);
  std::string got;
  char buf[256];
  for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;)
    got.append(buf, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  chmod(q.path().c_str(), 0700);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(got, "302 Can't open queue file [0xd].");
}

TEST(ProcessQueue, AFailedConnectLeavesEveryFileQueued) {
  SmtpCoreClient c;
  QueueFolder q;
  const std::vector<std::string> names = queueMessages(c, q, 2, "Hello\r\n");
  ClosedPort closed;
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, closed.port()), 0);
  EXPECT_EQ(processQueue(c, q.path()), 10061);
  EXPECT_EQ(c.lastError(), "[10061] Connection refused");
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(q.names(), sorted);
  EXPECT_FALSE(has(informationNotes(c), "Processing queued message file: " + names[0]));
}

// Another process may claim a file between the search and the rename: that
// file is skipped and the others still go out.  The claim is made here from
// the note that announces the file.
TEST(ProcessQueue, AFileClaimedByAnotherProcessIsSkipped) {
  SmtpCoreClient c;
  QueueFolder q;
  const std::vector<std::string> names = queueMessages(c, q, 3, "Hello\r\n");
  const Script script =
      greeting() + replayOf("M1", "Hello\r\n") + ok("RSET") + replayOf("M3", "Hello\r\n") + quit();
  ScriptedPeer peer(script);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, peer.port()), 0);
  const std::string claimed = q.path() + "/" + names[1];
  const std::string elsewhere = q.path() + "/other.sending";
  c.onEvent = [&](SmtpCoreClient &, const smtptest::EventRecord &e) {
    if (e.id == PELNET_SMTP_EVENT_PITrail &&
        e.texts.at(0) == "Processing queued message file: " + names[1])
      std::rename(claimed.c_str(), elsewhere.c_str());
  };
  EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
  c.onEvent = nullptr;
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.received(), clientBytes(script));
  EXPECT_EQ(q.names(), std::vector<std::string>{"other.sending"});
  EXPECT_TRUE(has(informationNotes(c), "Queue file taken by another process, skipped."));
}

// Queue files come from disk, and a crash, a power loss or a hand can leave
// anything there.  A file not in the form Queue writes is renamed to ".bad"
// before a line of it goes out (the server sees only the RSET before each),
// is named in a note, and holds up neither the files behind it nor the call.
TEST(ProcessQueue, DamagedFilesAreSetAsideUnsentAndTheOthersGoOut) {
  const std::string good = queueFile("M1", "Hello\r\n");
  const struct {
    const char *name;
    std::string bytes;
  } damaged[] = {
      {"Empty", ""},
      {"Truncated33Bytes", "MAIL FROM: <a@test>\r\nRCPT TO:<b@test>\r\n"},
      {"CutInsideTheBody", good.substr(0, good.size() - 12)},
      {"NoFinalDot", good.substr(0, good.size() - 3)},
      {"GarbageLines", "QUIT\r\nHELO evil.test\r\nRSET\r\n"},
      {"GarbageLineBeforeData",
       "MAIL FROM: <a@test>\r\nRCPT TO:<b@test>\r\nVRFY root\r\nDATA\r\nx\r\n.\r\n"},
      {"BareLineFeedInACommand", "MAIL FROM: <a@test>\nRCPT TO:<b@test>\r\nDATA\r\nx\r\n.\r\n"},
      {"NulInACommand", "MAIL FROM: <a\0@test>\r\nRCPT TO:<b@test>\r\nDATA\r\nx\r\n.\r\n"s},
      {"EndlessFirstLine", std::string(pelnet::smtp::kMaxQueueFileLine + 10, 'M')},
      {"SecondEndOfDataEarly",
       "MAIL FROM: <a@test>\r\nRCPT TO:<b@test>\r\nDATA\r\nx\r\n.\r\nRSET\r\n\r\n.\r\n"},
      {"WithoutData", "NOOP\r\nVRFY x@test"},
  };
  SmtpCoreClient c;
  QueueFolder q;
  // Good files first, between and last, the damaged ones in between; the
  // times give the order.
  std::vector<std::string> order = {"1l_1l0.queued"};
  q.write(order.back(), queueFile("M1", "Hello\r\n"));
  for (size_t i = 0; i < std::size(damaged); ++i) {
    order.push_back("1l_" + std::to_string(10 + i) + "l0.queued");
    q.write(order.back(), damaged[i].bytes);
    if (i == 5) {
      order.push_back("1l_2l0.queued");
      q.write(order.back(), queueFile("M2", "Hello\r\n"));
    }
  }
  order.push_back("1l_3l0.queued");
  q.write(order.back(), queueFile("M3", ".dot\r\n"));
  for (size_t i = 0; i < order.size(); ++i) q.age(order[i], static_cast<int>(order.size() - i));

  Script script = greeting();
  for (const std::string &n : order) {
    if (n == "1l_1l0.queued")
      script = script + replayOf("M1", "Hello\r\n");
    else if (n == "1l_2l0.queued")
      script = script + replayOf("M2", "Hello\r\n");
    else if (n == "1l_3l0.queued")
      script = script + replayOf("M3", ".dot\r\n");
    else
      script = script + ok("RSET");
  }
  script = script + quit();
  ScriptedPeer peer(script);
  setUpMessage(c, peer.port());
  EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.received(), clientBytes(script));

  std::vector<std::string> left;
  const std::vector<std::string> notes = informationNotes(c);
  for (size_t i = 0; i < std::size(damaged); ++i) {
    SCOPED_TRACE(damaged[i].name);
    const std::string n = "1l_" + std::to_string(10 + i) + "l0.";
    left.push_back(n + "bad");
    EXPECT_EQ(q.read(n + "bad"), damaged[i].bytes);  // kept as it was, for a look
    EXPECT_TRUE(has(notes, "Queue file " + q.path() + "/" + n + "queued is damaged, moved to " +
                               q.path() + "/" + n + "bad"));
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(q.names(), left);
  EXPECT_FALSE(has(notes, "Error while sending queued file."));
  std::vector<FileOutcome> expected;
  for (const std::string &n : order) {
    const std::string bad = q.path() + "/" + n.substr(0, n.size() - 6) + "bad";
    const bool good = n == "1l_1l0.queued" || n == "1l_2l0.queued" || n == "1l_3l0.queued";
    expected.push_back(
        {n, good ? PELNET_SMTP_qoDelivered : PELNET_SMTP_qoDamaged, good ? "" : bad});
  }
  EXPECT_EQ(outcomes(c), expected);
}

// A file that is damaged and alone still costs no more than the connection:
// the call succeeds, and the next call finds nothing to do.
TEST(ProcessQueue, ADamagedFileAloneEndsInBadAndTheCallSucceeds) {
  SmtpCoreClient c;
  QueueFolder q;
  q.write("1l_1l0.queued", "MAIL FROM: <a@test>\r\nRCPT TO:<b@test>\r\n");
  const Script script = greeting() + ok("RSET") + quit();
  ScriptedPeer peer(script);
  setUpMessage(c, peer.port());
  EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.received(), clientBytes(script));
  EXPECT_EQ(q.names(), std::vector<std::string>{"1l_1l0.bad"});
  ClosedPort closed;
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, closed.port()), 0);
  EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
  EXPECT_EQ(q.names(), std::vector<std::string>{"1l_1l0.bad"});
}

// A server that takes the connection and then never answers holds one
// replay no longer than Timeout, as any send: the wait for RSET ends with
// 301 and the file stays queued for the next call.
TEST(ProcessQueue, ASilentServerIsBoundedByTimeout) {
  SmtpCoreClient c;
  QueueFolder q;
  const std::vector<std::string> names = queueMessages(c, q, 1, "Hello\r\n");
  const Script script = greeting() + Script{C("RSET\r\n")} + Script{ClientCloses()};
  ScriptedPeer peer(script);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, peer.port()), 0);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_Timeout, 2), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(processQueue(c, q.path()), 301);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(c.lastError(), "Interrupted.");
  // ProcessQueue reports every wait that ended as interrupted, its deadline's too.
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_TimedOut), 0);
  EXPECT_EQ(outcomes(c), (std::vector<FileOutcome>{{names[0], PELNET_SMTP_qoFailed, ""}}));
  EXPECT_EQ(peer.finish(), "");
  EXPECT_GE(took, std::chrono::milliseconds(1900));
  // The wait for RSET, and at most QUIT's wait at the end.
  EXPECT_LT(took, std::chrono::seconds(7));
  EXPECT_EQ(q.names(), names);
}

// A ".sending" file is one being delivered, or one whose process ended
// mid-delivery.  The delivering process holds a lock on it: a locked one is
// left alone; one whose lock is free goes back to ".queued" and is delivered
// in this call, in its place among the others.
TEST(ProcessQueue, SendingFilesOfEndedProcessesGoOutAgainLockedOnesStay) {
  SmtpCoreClient c;
  QueueFolder q;
  q.write("1l_1l0.queued", queueFile("M1", "Hello\r\n"));
  q.write("1l_2l0.sending", queueFile("M2", "Hello\r\n"));  // its process ended
  q.write("1l_3l0.sending", queueFile("M3", "Hello\r\n"));  // its process delivers it
  q.write("1l_4l0.queued", queueFile("M4", "Hello\r\n"));
  for (int i = 1; i <= 4; ++i)
    q.age("1l_" + std::to_string(i) + "l0." + (i == 2 || i == 3 ? "sending" : "queued"), 10 - i);
  const int held = open((q.path() + "/1l_3l0.sending").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);

  const Script script = greeting() + replayOf("M1", "Hello\r\n") + replayOf("M2", "Hello\r\n") +
                        replayOf("M4", "Hello\r\n") + quit();
  ScriptedPeer peer(script);
  setUpMessage(c, peer.port());
  EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.received(), clientBytes(script));
  EXPECT_EQ(q.names(), std::vector<std::string>{"1l_3l0.sending"});
  EXPECT_EQ(q.read("1l_3l0.sending"), queueFile("M3", "Hello\r\n"));
  const std::vector<std::string> notes = informationNotes(c);
  EXPECT_TRUE(has(notes, "Queue file " + q.path() + "/1l_2l0.sending" +
                             " was left by a delivery that ended, queued again."));
  EXPECT_TRUE(has(notes, "Processing queued message file: 1l_2l0.queued"));

  // Its owner ended too: the next call delivers it.
  close(held);
  const Script again = greeting() + replayOf("M3", "Hello\r\n") + quit();
  ScriptedPeer second(again);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, second.port()), 0);
  EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
  EXPECT_EQ(second.finish(), "");
  EXPECT_EQ(second.received(), clientBytes(again));
  EXPECT_TRUE(q.names().empty());
}

// A queued file whose name a live delivery holds as ".sending" (the same
// component address and tick, long apart) is not claimed over it: it waits
// for a later call.
TEST(ProcessQueue, AClaimNeverReplacesASendingFileOfTheSameName) {
  SmtpCoreClient c;
  QueueFolder q;
  q.write("1l_1l0.queued", queueFile("M1", "Hello\r\n"));
  q.write("1l_1l0.sending", queueFile("M2", "Hello\r\n"));
  const int held = open((q.path() + "/1l_1l0.sending").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  const Script script = greeting() + ok("RSET") + quit();
  ScriptedPeer peer(script);
  setUpMessage(c, peer.port());
  EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
  close(held);
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.received(), clientBytes(script));
  EXPECT_EQ(q.names(), (std::vector<std::string>{"1l_1l0.queued", "1l_1l0.sending"}));
  EXPECT_EQ(q.read("1l_1l0.sending"), queueFile("M2", "Hello\r\n"));
  EXPECT_TRUE(has(informationNotes(c), "Queue file taken by another process, skipped."));
}

// Queue's temporary files are never delivered.  One whose writer ended (its
// lock free) and that has not changed for minutes is removed; a fresh one,
// or one whose writer still holds it, stays.
TEST(ProcessQueue, TemporaryFilesAreNeverSentStaleOnesAreRemoved) {
  SmtpCoreClient c;
  QueueFolder q;
  ClosedPort closed;
  setUpMessage(c, closed.port());
  const std::string part = queueFile("M1", "Hello\r\n").substr(0, 40);
  q.write(".1l_1l.AAAAAA.tmp", part);  // stale, writer gone
  q.write(".1l_2l.BBBBBB.tmp", part);  // fresh
  q.write(".1l_3l.CCCCCC.tmp", part);  // stale, writer alive
  q.write("notes.tmp", part);          // not Queue's
  const int stale = MessageQueue::kStaleTemporarySeconds + 60;
  q.age(".1l_1l.AAAAAA.tmp", stale);
  q.age(".1l_3l.CCCCCC.tmp", stale);
  q.age("notes.tmp", stale);
  const int held = open((q.path() + "/.1l_3l.CCCCCC.tmp").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
  close(held);
  EXPECT_TRUE(c.eventsOf(PELNET_SMTP_EVENT_ConnectionStatus).empty());
  EXPECT_EQ(q.names(),
            (std::vector<std::string>{".1l_2l.BBBBBB.tmp", ".1l_3l.CCCCCC.tmp", "notes.tmp"}));
}

// Queue and ProcessQueue are operations like Send: one started from an event
// handler while ProcessQueue runs is refused with 166 and leaves no file, and
// the running call goes on undisturbed.
TEST(ProcessQueue, CallsFromItsEventsAreRefusedAsBusy) {
  SmtpCoreClient c;
  QueueFolder q;
  const std::vector<std::string> names = queueMessages(c, q, 1, "Hello\r\n");
  const Script script = greeting() + replayOf("M1", "Hello\r\n") + quit();
  ScriptedPeer peer(script);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, peer.port()), 0);
  std::vector<int> codes;
  std::vector<std::string> texts;
  int idleInside = -1;
  bool inside = false;
  c.onEvent = [&](SmtpCoreClient &cc, const smtptest::EventRecord &e) {
    if (inside || e.id != PELNET_SMTP_EVENT_PITrail ||
        e.texts.at(0) != "Processing queued message file: " + names[0])
      return;
    inside = true;
    idleInside = static_cast<int>(cc.getInt(PELNET_SMTP_PROP_Idle));
    for (int method : {PELNET_SMTP_METHOD_Queue, PELNET_SMTP_METHOD_ProcessQueue}) {
      codes.push_back(cc.call(method, q.path()));
      texts.push_back(cc.lastError());
    }
    inside = false;
  };
  EXPECT_EQ(processQueue(c, q.path()), 0) << c.lastError();
  c.onEvent = nullptr;
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.received(), clientBytes(script));
  EXPECT_EQ(idleInside, 0);
  EXPECT_EQ(codes, (std::vector<int>{166, 166}));
  EXPECT_EQ(texts, (std::vector<std::string>{"Busy performing current action.",
                                             "Busy performing current action."}));
  EXPECT_TRUE(q.names().empty());
}

}  // namespace
