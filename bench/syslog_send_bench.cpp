// Sends N syslog packets through TpelSysLog::SendPacket to 127.0.0.1:<port>
// and prints the seconds the loop took; with "connected" the port runs with
// UseConnection=True (a connected socket, as logger uses).  Driven by
// bench/syslog_vs_logger.sh.
#include <QByteArray>
#include <QStringList>

#include <chrono>
#include <cstdio>

#include "pelsyslog.h"
#include "send_bench.h"

int main(int argc, char **argv) {
  return RunSendBench(
      argc, argv, 3, "<port> <count> [connected]", [argc, argv](int port, long count) {
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
      });
}
