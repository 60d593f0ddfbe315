// Sends N messages with a body of 1 KiB through TpelSMTP::Send on one open
// connection to the mail server at 127.0.0.1:<port>, and prints the seconds
// the loop took, the slowest single Send in milliseconds and how many Sends
// took 30 ms or more.  The connection runs with TcpNoDelay False (the
// default), so a Send that waited on the server's delayed acknowledgement
// would take about 40 ms: every Send would be counted.  Driven by
// bench/smtp_vs_smtp_source.sh.
#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "core_units.h"
#include "pelsmtp.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <port> <count>\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const long count = std::atol(argv[2]);
  unsetenv("QT_NO_GLIB");
  QCoreApplication app(argc, argv);
  TCoreUnits units;
  try {
    TpelSMTP smtp;
    smtp.Config(QStringLiteral("Hello=bench.test"));
    smtp.Config(QStringLiteral("TcpNoDelay=False"));
    smtp.setMailServer(QStringLiteral("127.0.0.1"));
    smtp.setMailPort(port);
    smtp.setFrom(QStringLiteral("from@bench.test"));
    smtp.setSendTo(QStringLiteral("to@bench.test"));
    smtp.setSubject(QStringLiteral("benchmark"));
    // 1024 bytes: 16 lines of 62 characters and CR LF.
    QString body;
    for (int i = 0; i < 16; ++i) body += QString(62, QChar('a' + i)) + QStringLiteral("\r\n");
    smtp.setMessageText(body);
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
  } catch (const EPelnet &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
