// The message queue through TpelSMTP against a real mail server (aiosmtpd on
// loopback): messages queued while no server listens reach it intact once it
// does, and two processes delivering one folder at once deliver every file
// exactly once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
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

namespace {

namespace fs = std::filesystem;

const QString kDate = "Thu, 10 Dec 2026 12:00:00 GMT";

class QueueFolder {
 public:
  QueueFolder() {
    char templ[] = "/tmp/pelorin-queue-XXXXXX";
    path_ = mkdtemp(templ) ? templ : "";
  }
  ~QueueFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string &path() const { return path_; }
  QString qpath() const { return QString::fromStdString(path_); }
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto &e : fs::directory_iterator(path_)) all.push_back(e.path().filename());
    std::sort(all.begin(), all.end());
    return all;
  }

 private:
  std::string path_;
};

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
    const QString name = smtp.Queue(q.qpath());
    EXPECT_TRUE(name.startsWith(q.qpath() + "/")) << name.toStdString();
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
  smtp->ProcessQueue(q.qpath());
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

  bool start(const std::string &folder, int port) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string portText = std::to_string(port);
    const char *argv[] = {SMTP_QUEUE_WORKER, folder.c_str(), portText.c_str(), nullptr};
    const int rc =
        posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ);
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

}  // namespace
