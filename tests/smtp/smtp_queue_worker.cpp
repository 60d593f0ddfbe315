// One queue call in a process of its own, for the tests of processes that
// share a folder, or that end in the middle of their work.
//
//   smtp_queue_worker FOLDER PORT
//     waits for one byte on standard input (so that the test starts several
//     workers together), runs ProcessQueue against 127.0.0.1:PORT and prints
//     "code text" on standard output; the exit status is 0 when the call
//     succeeded.
//   smtp_queue_worker --queue FOLDER BYTES
//     queues one message to to@test whose body is BYTES bytes of text lines,
//     and prints the name of the file; the exit status is 0 when Queue
//     succeeded.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pelnet/smtp_ids.h"
#include "smtp_core_client.h"

namespace {

int queueOne(const char *folder, size_t bytes) {
  smtptest::SmtpCoreClient c;
  std::string body;
  body.reserve(bytes + 80);
  for (int i = 0; body.size() < bytes; ++i)
    body += std::string(76, static_cast<char>('a' + i % 26)) + "\r\n";
  if (c.setText(PELNET_SMTP_PROP_From, "from@test") != 0 ||
      c.setText(PELNET_SMTP_PROP_SendTo, "to@test") != 0 ||
      c.setText(PELNET_SMTP_PROP_Subject, "large") != 0 ||
      c.setText(PELNET_SMTP_PROP_MessageText, body) != 0)
    return 2;
  testsupport::CallResult r;
  const int rc = c.call(PELNET_SMTP_METHOD_Queue, {std::string(folder)}, &r);
  std::printf("%d %s\n", rc, rc == 0 ? r.text().c_str() : c.lastError().c_str());
  return rc == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "--queue") == 0)
    return queueOne(argv[2], std::strtoul(argv[3], nullptr, 10));
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s FOLDER PORT | --queue FOLDER BYTES\n", argv[0]);
    return 2;
  }
  smtptest::SmtpCoreClient c;
  if (c.setText(PELNET_SMTP_PROP_MailServer, "127.0.0.1") != 0 ||
      c.setInt(PELNET_SMTP_PROP_MailPort, std::atoi(argv[2])) != 0 ||
      c.config("Hello=worker.test") != 0 || c.setInt(PELNET_SMTP_PROP_Timeout, 60) != 0)
    return 2;
  char go = 0;
  if (read(0, &go, 1) != 1) return 2;
  const int rc = c.call(PELNET_SMTP_METHOD_ProcessQueue, std::string(argv[1]));
  int skipped = 0;
  for (const std::string &note : c.trail(PELNET_SMTP_dirInformation))
    if (note == "Queue file taken by another process, skipped.") ++skipped;
  std::printf("%d %s\nskipped %d\n", rc, c.lastError().c_str(), skipped);
  return rc == 0 ? 0 : 1;
}
