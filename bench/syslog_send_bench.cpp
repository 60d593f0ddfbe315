// Sends N syslog packets through TpelSysLog::SendPacket to 127.0.0.1:<port>
// and prints the seconds the loop took; with "connected" the port runs with
// UseConnection=True (a connected socket, as logger uses).  Driven by
// bench/syslog_vs_logger.sh.
#include <QByteArray>
#include <QCoreApplication>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "core_units.h"
#include "pelsyslog.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <port> <count> [connected]\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const long count = std::atol(argv[2]);
  unsetenv("QT_NO_GLIB");
  QCoreApplication app(argc, argv);
  TCoreUnits units;
  try {
    TpelSysLog log;
    log.setLocalPort(0);
    log.setRemoteHost(QStringLiteral("127.0.0.1"));
    log.setRemotePort(port);
    if (argc > 3 && QByteArray(argv[3]) == "connected")
      log.Config(QStringLiteral("UseConnection=True"));
    log.setActive(true);
    // The lines are made before the clock starts, as logger reads them ready-made.
    QStringList lines;
    lines.reserve(count);
    for (long i = 0; i < count; ++i) lines.append(QStringLiteral("benchmark line %1").arg(i));
    const auto start = std::chrono::steady_clock::now();
    for (const QString &line : lines) log.SendPacket(1, 6, line);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    log.setActive(false);
    std::printf("%.6f\n", elapsed.count());
  } catch (const EPelnet &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
