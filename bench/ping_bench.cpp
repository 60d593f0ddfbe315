// Times N echoes to 127.0.0.1 through TpelPing's PingHost on the helper path
// in waiting mode, configured as the check run configures it: every call
// opens its socket, sends one request, waits for the answer and closes.
// Prints the count of answers, the time per echo, and for comparison the
// time of opening and closing one ICMP datagram socket, which each call pays
// and a long-running pinger does not.
#include <QCoreApplication>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "core_units.h"
#include "pelping.h"

int main(int argc, char **argv) {
  const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  if (n < 1 || n > 1000000) {
    std::fprintf(stderr, "usage: ping_bench [echoes 1..1000000]\n");
    return 2;
  }
  QCoreApplication app(argc, argv);
  TCoreUnits units;
  TpelPing ping;
  long answers = 0;
  ping.setOnResponse([&](QObject *, int, const QString &, const QString &status, int) {
    if (status == QLatin1String("OK")) ++answers;
  });
  ping.setTimeToLive(128);
  ping.Config("AbsoluteTimeout=True");
  ping.Config("UseIPHLPDLL=True");
  ping.Config("UseICMPDLL=True");
  ping.Config("IcmpDllTimeout=2");
  ping.setTimeout(2);
  try {
    for (int i = 0; i < 20; ++i) ping.PingHost("127.0.0.1");  // warm-up
  } catch (const EPelnet &e) {
    std::fprintf(stderr, "PingHost failed: %s\n", e.what());
    return 1;
  }
  answers = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) {
    try {
      ping.PingHost("127.0.0.1");
    } catch (const EPelnet &) {
      // counted as a missing answer
    }
  }
  const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  std::printf("answers %ld of %ld\nns_per_echo %.0f\n", answers, n, ns / static_cast<double>(n));

  const auto socketStart = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) break;
    int on = 1;
    ::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    ::close(fd);
  }
  const double socketNs =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - socketStart).count();
  std::printf("ns_per_socket_open_close %.0f\n", socketNs / static_cast<double>(n));
  return answers == n ? 0 : 1;
}
