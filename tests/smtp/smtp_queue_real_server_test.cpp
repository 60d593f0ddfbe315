// The message queue through TpelSMTP against a real mail server (aiosmtpd on
// loopback): messages queued while no server listens reach it intact once it
// does, two processes delivering one folder at once deliver every file
// exactly once, and processes killed while they write or deliver leave
// nothing that blocks or loses a report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "component_fixture.h"
#include "pelsmtp.h"
#include "report_peers.h"
#include "scripted_peer.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;

const QString kDate = "Thu, 10 Dec 2026 12:00:00 GMT";

using QueueFolder = testsupport::TempFolder;

// A body with the lines a transaction must protect: dots at line starts, a
// dot alone, and long lines, about `size` bytes.
std::string bodyOf(const std::string &subject, size_t size) {
  std::string body = "Report " + subject + "\r\n.\r\n..two dots\r\n";
  for (int i = 0; body.size() < size; ++i)
    body += (i % 5 == 0 ? "." : "") + std::string(70, static_cast<char>('a' + i % 26)) + "\r\n";
  return body;
}

class SmtpQueueRealServer : public testsupport::ComponentTest<> {
 protected:
  std::unique_ptr<TpelSMTP> component(int port) {
    auto smtp = std::make_unique<TpelSMTP>();
    smtp->Config("Hello=client.test");
    smtp->setMailServer("127.0.0.1");
    smtp->setMailPort(port);
    smtp->setTimeout(60);
    smtp->setMessageDate(kDate);
    smtp->setFrom("from@test");
    smtp->setSendTo("to@test");
    return smtp;
  }
  // Queues one message with that subject and body through `smtp`.
  static void queueOne(TpelSMTP &smtp, const QueueFolder &q, const std::string &subject,
                       const std::string &body) {
    smtp.setSubject(QString::fromStdString(subject));
    smtp.setMessageId(QString::fromStdString("<" + subject + "@test>"));
    smtp.setMessageText(QString::fromStdString(body));
    const QString name = smtp.Queue(QString::fromStdString(q.path()));
    EXPECT_TRUE(name.startsWith(QString::fromStdString(q.path()) + "/")) << name.toStdString();
    EXPECT_TRUE(name.endsWith(".queued")) << name.toStdString();
  }
};

TEST_F(SmtpQueueRealServer, MessagesQueuedWhileNoServerListensArriveIntactLater) {
  QueueFolder q;
  smtptest::ClosedPort closed;
  auto smtp = component(closed.port());
  // The server is down: Send fails, Queue does not need it.
  try {
    smtp->Send();
    ADD_FAILURE() << "Send reached a closed port";
  } catch (const EpelSMTP &e) {
    EXPECT_EQ(e.Code(), 10061);
  }
  smtp->setConnected(false);
  const std::vector<std::pair<std::string, std::string>> messages = {
      {"small", bodyOf("small", 100)},
      {"medium", bodyOf("medium", 20000)},
      {"large", bodyOf("large", 300000)},
  };
  for (const auto &[subject, body] : messages) queueOne(*smtp, q, subject, body);
  ASSERT_EQ(q.names().size(), messages.size());

  reportpeers::SmtpSink sink;
  ASSERT_TRUE(sink.Ok()) << sink.Why();
  smtp->setMailPort(sink.Port());
  smtp->ProcessQueue(QString::fromStdString(q.path()));
  EXPECT_FALSE(smtp->Connected());
  EXPECT_TRUE(q.names().empty());

  const auto mails = sink.Messages();
  ASSERT_EQ(mails.size(), messages.size());
  for (size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE(messages[i].first);
    EXPECT_EQ(mails[i].From, "from@test");
    EXPECT_EQ(mails[i].To, std::vector<std::string>{"to@test"});
    EXPECT_EQ(mails[i].Header("Subject"), messages[i].first);
    EXPECT_EQ(mails[i].Header("Date"), kDate.toStdString());
    EXPECT_TRUE(mails[i].Body == messages[i].second + "\r\n") << mails[i].Body.substr(0, 300);
  }
}

// Runs the worker program on `folder`: it starts its call once it reads a byte.
struct Worker {
  pid_t pid = -1;
  int go = -1;      // write end of its standard input
  int output = -1;  // read end of its standard output

  bool start(const std::string &folder, int port) { return start({folder, std::to_string(port)}); }
  bool start(const std::vector<std::string> &args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<const char *> argv = {SMTP_QUEUE_WORKER};
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    const int rc =
        posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    go = in[1];
    output = out[0];
    return rc == 0;
  }
  // Waits for the end (bounded by the worker's own time-out); its exit status and output.
  int finish(std::string &text) {
    close(go);
    char buf[512];
    for (ssize_t n; (n = read(output, buf, sizeof buf)) > 0;)
      text.append(buf, static_cast<size_t>(n));
    close(output);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

// The changes to a folder's entries, as they happen.
class FolderWatch {
 public:
  explicit FolderWatch(const std::string &folder) {
    fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ >= 0) inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO);
  }
  ~FolderWatch() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  // Waits up to `ms` for a change of one of these kinds to a name ending in
  // `end`; false when none came.
  bool waitFor(uint32_t mask, const std::string &end, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      alignas(inotify_event) char buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      for (ssize_t off = 0; off < n;) {
        const auto *e = reinterpret_cast<const inotify_event *>(buf + off);
        const std::string name = e->len > 0 ? e->name : "";
        if ((e->mask & mask) && name.size() >= end.size() &&
            name.compare(name.size() - end.size(), end.size(), end) == 0)
          return true;
        off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
      if (n > 0) continue;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, static_cast<int>(left.count()));
    }
  }

 private:
  int fd_ = -1;
};

bool endsWith(const std::string &s, const std::string &end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Sets a file's times `seconds` back.
void age(const std::string &path, int seconds) {
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds;
  times[1] = times[0];
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// A process killed (SIGKILL, by pid) while Queue writes a large message
// leaves no ".queued" file but whole ones: the next ProcessQueue delivers
// those at once instead of waiting on a cut file, and the killed writer's
// temporary file is never sent and is removed once it is stale.
TEST_F(SmtpQueueRealServer, AWriterKilledMidWriteLeavesOnlyWholeQueuedFiles) {
  QueueFolder q;
  smtptest::ClosedPort closed;
  auto smtp = component(closed.port());
  queueOne(*smtp, q, "before", bodyOf("before", 2000));
  const std::vector<std::string> whole = q.names();
  ASSERT_EQ(whole.size(), 1u);

  FolderWatch watch(q.path());
  ASSERT_TRUE(watch.ok());
  Worker writer;
  ASSERT_TRUE(writer.start({"--queue", q.path(), std::to_string(24 << 20)}));
  close(writer.go);
  writer.go = -1;
  // The first bytes of its file are written: the rest, and the flush, are still to come.
  ASSERT_TRUE(watch.waitFor(IN_MODIFY, "", 60000));
  ASSERT_EQ(kill(writer.pid, SIGKILL), 0);
  std::string said;
  EXPECT_EQ(writer.finish(said), 128 + SIGKILL) << "the writer finished first: " << said;

  std::vector<std::string> queued, others;
  for (const std::string &n : q.names()) (endsWith(n, ".queued") ? queued : others).push_back(n);
  EXPECT_EQ(queued, whole);
  for (const std::string &n : others) EXPECT_TRUE(n.front() == '.' && endsWith(n, ".tmp")) << n;

  queueOne(*smtp, q, "after", bodyOf("after", 2000));
  reportpeers::SmtpSink sink;
  ASSERT_TRUE(sink.Ok()) << sink.Why();
  smtp->setMailPort(sink.Port());
  const auto start = std::chrono::steady_clock::now();
  smtp->ProcessQueue(QString::fromStdString(q.path()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  const auto mails = sink.Messages();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].Header("Subject"), "before");
  EXPECT_EQ(mails[1].Header("Subject"), "after");
  EXPECT_EQ(q.names(), others);

  // Stale now: its writer is gone, so the next run removes it.
  for (const std::string &n : others) age(q.path() + "/" + n, 3600);
  smtp->ProcessQueue(QString::fromStdString(q.path()));
  EXPECT_TRUE(q.names().empty());
  EXPECT_EQ(sink.Messages().size(), 2u);
}

// A process ended by SIGTERM while it delivers leaves its file ".sending";
// the next ProcessQueue finds its lock free, puts it back and delivers it,
// with the file that was still queued behind it.
TEST_F(SmtpQueueRealServer, ADeliveryEndedBySigtermIsDeliveredByTheNextRun) {
  QueueFolder q;
  smtptest::ClosedPort closed;
  auto smtp = component(closed.port());
  queueOne(*smtp, q, "first", bodyOf("first", 2000));
  queueOne(*smtp, q, "second", bodyOf("second", 2000));

  // A server that takes the connection and the RSET, then keeps the
  // worker waiting for the answer to its MAIL.
  using smtptest::PeerStep;
  smtptest::ScriptedPeer slow({{PeerStep::Send, "220 slow.test ESMTP\r\n"},
                               {PeerStep::Expect, "EHLO worker.test\r\n"},
                               {PeerStep::Send, "250 slow.test\r\n"},
                               {PeerStep::Expect, "RSET\r\n"},
                               {PeerStep::Send, "250 OK\r\n"},
                               {PeerStep::ExpectClose, ""}});
  FolderWatch watch(q.path());
  ASSERT_TRUE(watch.ok());
  Worker deliverer;
  ASSERT_TRUE(deliverer.start(q.path(), slow.port()));
  ASSERT_EQ(write(deliverer.go, "g", 1), 1);
  ASSERT_TRUE(watch.waitFor(IN_MOVED_TO, ".sending", 20000));
  ASSERT_EQ(kill(deliverer.pid, SIGTERM), 0);
  std::string said;
  EXPECT_EQ(deliverer.finish(said), 128 + SIGTERM) << said;
  EXPECT_EQ(slow.finish(), "");
  size_t sending = 0;
  for (const std::string &n : q.names()) sending += endsWith(n, ".sending");
  EXPECT_EQ(sending, 1u);

  reportpeers::SmtpSink sink;
  ASSERT_TRUE(sink.Ok()) << sink.Why();
  smtp->setMailPort(sink.Port());
  smtp->ProcessQueue(QString::fromStdString(q.path()));
  EXPECT_TRUE(q.names().empty());
  std::vector<std::string> subjects;
  for (const reportpeers::Mail &m : sink.Messages()) subjects.push_back(m.Header("Subject"));
  EXPECT_EQ(subjects, (std::vector<std::string>{"first", "second"}));
}

TEST_F(SmtpQueueRealServer, TwoProcessesAtOnceDeliverEveryFileExactlyOnce) {
  QueueFolder q;
  smtptest::ClosedPort closed;
  // Three components, 20 files each: one component has 26 names per millisecond.
  std::unique_ptr<TpelSMTP> writers[] = {component(closed.port()), component(closed.port()),
                                         component(closed.port())};
  constexpr int kFiles = 60;
  for (int i = 0; i < kFiles; ++i) {
    const std::string subject = "Q" + std::to_string(i);
    queueOne(*writers[i % 3], q, subject, bodyOf(subject, 2000));
  }
  ASSERT_EQ(q.names().size(), static_cast<size_t>(kFiles));

  reportpeers::SmtpSink sink;
  ASSERT_TRUE(sink.Ok()) << sink.Why();
  Worker a, b;
  ASSERT_TRUE(a.start(q.path(), sink.Port()));
  ASSERT_TRUE(b.start(q.path(), sink.Port()));
  // Both are ready and blocked on their input: one byte each starts them together.
  ASSERT_EQ(write(a.go, "g", 1), 1);
  ASSERT_EQ(write(b.go, "g", 1), 1);
  std::string outA, outB;
  EXPECT_EQ(a.finish(outA), 0) << outA;
  EXPECT_EQ(b.finish(outB), 0) << outB;
  EXPECT_TRUE(q.names().empty());

  std::map<std::string, int> seen;
  for (const reportpeers::Mail &m : sink.Messages()) {
    ++seen[m.Header("Subject")];
    EXPECT_TRUE(m.Body == bodyOf(m.Header("Subject"), 2000) + "\r\n") << m.Header("Subject");
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kFiles));
  for (const auto &[subject, count] : seen) EXPECT_EQ(count, 1) << subject;
  std::cout << "worker a: " << outA << "worker b: " << outB;
}

// 200 reports queued while the server is down, three runs at once on the
// folder once it is up, one of them killed by pid in the middle: every
// report arrives at least once (at most the killed run's file twice), and a
// later run leaves nothing behind.
TEST_F(SmtpQueueRealServer, ThreeRunsAtOnceOneKilledDeliverEveryReportAtLeastOnce) {
  QueueFolder q;
  smtptest::ClosedPort closed;
  constexpr int kFiles = 200;
  std::vector<std::unique_ptr<TpelSMTP>> writers;
  for (int i = 0; i < 10; ++i) writers.push_back(component(closed.port()));
  for (int i = 0; i < kFiles; ++i) {
    const std::string subject = "S" + std::to_string(i);
    queueOne(*writers[static_cast<size_t>(i) % writers.size()], q, subject, bodyOf(subject, 1500));
  }
  ASSERT_EQ(q.names().size(), static_cast<size_t>(kFiles));

  reportpeers::SmtpSink sink;
  ASSERT_TRUE(sink.Ok()) << sink.Why();
  FolderWatch watch(q.path());
  ASSERT_TRUE(watch.ok());
  Worker runs[3];
  for (Worker &w : runs) ASSERT_TRUE(w.start(q.path(), sink.Port()));
  for (Worker &w : runs) ASSERT_EQ(write(w.go, "g", 1), 1);
  // Some way into the deliveries, the first run is killed.
  for (int claims = 0; claims < 40; ++claims)
    ASSERT_TRUE(watch.waitFor(IN_MOVED_TO, ".sending", 20000)) << claims;
  ASSERT_EQ(kill(runs[0].pid, SIGKILL), 0);
  std::string said[3];
  EXPECT_EQ(runs[0].finish(said[0]), 128 + SIGKILL) << said[0];
  EXPECT_EQ(runs[1].finish(said[1]), 0) << said[1];
  EXPECT_EQ(runs[2].finish(said[2]), 0) << said[2];

  // The next run takes what the killed one held.
  Worker next;
  ASSERT_TRUE(next.start(q.path(), sink.Port()));
  ASSERT_EQ(write(next.go, "g", 1), 1);
  std::string nextSaid;
  EXPECT_EQ(next.finish(nextSaid), 0) << nextSaid;
  EXPECT_TRUE(q.names().empty());

  std::map<std::string, int> seen;
  for (const reportpeers::Mail &m : sink.Messages()) {
    ++seen[m.Header("Subject")];
    EXPECT_TRUE(m.Body == bodyOf(m.Header("Subject"), 1500) + "\r\n") << m.Header("Subject");
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kFiles));
  int twice = 0;
  for (const auto &[subject, count] : seen) {
    EXPECT_GE(count, 1) << subject;
    EXPECT_LE(count, 2) << subject;
    twice += count - 1;
  }
  EXPECT_LE(twice, 1);
}

}  // namespace
