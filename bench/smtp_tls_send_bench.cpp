// Sends N messages with a body of 1 KiB through TpelSMTP::Send, each on a
// connection of its own with STARTTLS (required, the server's certificate
// checked against <ca file>) and AUTH PLAIN, to the mail server at
// 127.0.0.1:<port>, and prints the seconds the loop took.  Nagle stays on
// (TcpNoDelay=False, as msmtp leaves it).  Driven by bench/smtp_tls_vs_msmtp.sh,
// with a count of 1 for a process per message and of N for all from one process.
#include <QString>

#include <chrono>
#include <cstdio>

#include "pelsmtp.h"
#include "send_bench.h"

int main(int argc, char **argv) {
  return RunSendBench(
      argc, argv, 6, "<port> <count> <ca file> <user> <password>", [argv](int port, long count) {
        TpelSMTP smtp;
        smtp.Config(QStringLiteral("Hello=bench.test"));
        smtp.Config(QStringLiteral("TcpNoDelay=False"));
        smtp.setMailServer(QStringLiteral("127.0.0.1"));
        smtp.setMailPort(port);
        smtp.setTimeout(30);
        smtp.setTlsMode(tlsStartTlsRequired);
        smtp.setTlsCAFile(QString::fromLocal8Bit(argv[3]));
        smtp.setAuthScheme(asPlain);
        smtp.setUser(QString::fromLocal8Bit(argv[4]));
        smtp.setPassword(QString::fromLocal8Bit(argv[5]));
        smtp.setFrom(QStringLiteral("from@bench.test"));
        smtp.setSendTo(QStringLiteral("to@bench.test"));
        smtp.setSubject(QStringLiteral("benchmark"));
        smtp.setMessageText(KibibyteMailBody());
        const auto start = std::chrono::steady_clock::now();
        // Send on a closed connection opens one and closes it again: one
        // session per message.
        for (long i = 0; i < count; ++i) smtp.Send();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        std::printf("%.6f\n", elapsed.count());
      });
}
