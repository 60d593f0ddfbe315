// Sends N messages with a body of 1 KiB through TpelSMTP::Send on one open
// connection to the mail server at 127.0.0.1:<port>, and prints the seconds
// the loop took, the slowest single Send in milliseconds and how many Sends
// took 30 ms or more.  The connection runs with TcpNoDelay False (the
// default), so a Send that waited on the server's delayed acknowledgement
// would take about 40 ms: every Send would be counted.  Driven by
// bench/smtp_vs_smtp_source.sh.
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "pelsmtp.h"
#include "send_bench.h"

int main(int argc, char **argv) {
  return RunSendBench(argc, argv, 3, "<port> <count>", [](int port, long count) {
    TpelSMTP smtp;
    smtp.Config(QStringLiteral("Hello=bench.test"));
    smtp.Config(QStringLiteral("TcpNoDelay=False"));
    smtp.setMailServer(QStringLiteral("127.0.0.1"));
    smtp.setMailPort(port);
    smtp.setFrom(QStringLiteral("from@bench.test"));
    smtp.setSendTo(QStringLiteral("to@bench.test"));
    smtp.setSubject(QStringLiteral("benchmark"));
    smtp.setMessageText(KibibyteMailBody());
    smtp.Connect();
    double slowest = 0;
    long slow = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      smtp.Send();
      const std::chrono::duration<double, std::milli> one = std::chrono::steady_clock::now() - t0;
      slowest = std::max(slowest, one.count());
      if (one.count() >= 30) ++slow;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    smtp.Disconnect();
    std::printf("%.6f %.3f %ld\n", elapsed.count(), slowest, slow);
  });
}
