// One ProcessQueue call in a process of its own, for the test of two processes
// delivering one folder at once.  Usage: smtp_queue_worker FOLDER PORT
// It waits for one byte on standard input (so that the test starts both
// workers together), runs ProcessQueue against 127.0.0.1:PORT and prints
// "code text" on standard output; the exit status is 0 when the call succeeded.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pelnet/smtp_ids.h"
#include "smtp_core_client.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s FOLDER PORT\n", argv[0]);
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
