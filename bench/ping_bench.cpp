// Times N echoes to 127.0.0.1 through TpelPing's PingHost on the helper path
// in waiting mode, configured as the check run configures it: every call
// sends one request on the socket kept from the call before and waits for
// the answer.  Prints the count of answers, the time per echo, and for
// comparison the time of opening and closing one ICMP datagram socket (what
// a call paid when it had a socket of its own) and the time of the bare
// system calls of such a call (socket, IP_RECVERR, sendmsg, receive, close)
// without any of the component or core around them.
//
// With "series" after the count it makes the N echoes and nothing else (no
// warm-up, none of the comparisons) and prints only the count of answers:
// the shape of `ping -c N -i 0`, for timing the whole process from outside.
#include <QCoreApplication>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core_units.h"
#include "pelping.h"

namespace {

// One echo exchange as the helper path makes it, with nothing around it:
// a fresh ping socket, IP_RECVERR, the request with time-to-live and
// type-of-service as control messages, the reply, close.  False when no
// reply came within two seconds.
bool bareExchange(uint16_t sequence) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return false;
  int on = 1;
  ::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
  unsigned char msg[68];  // echo header, then 60 bytes of echo data, as PacketSize 64 sends
  std::memset(msg, '*', sizeof msg);
  msg[0] = 8;
  msg[1] = 0;
  msg[2] = msg[3] = msg[4] = msg[5] = 0;
  msg[6] = static_cast<unsigned char>(sequence >> 8);
  msg[7] = static_cast<unsigned char>(sequence & 0xFF);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int ttl = 128, tos = 8;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int)) * 2] = {};
  iovec iov{msg, sizeof msg};
  msghdr mh{};
  mh.msg_name = &peer;
  mh.msg_namelen = sizeof peer;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  cmsghdr *c = CMSG_FIRSTHDR(&mh);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_TTL;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &ttl, sizeof ttl);
  c = CMSG_NXTHDR(&mh, c);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_TOS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &tos, sizeof tos);
  bool answered = false;
  if (::sendmsg(fd, &mh, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof msg)) {
    unsigned char reply[2120];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(fd, reply, sizeof reply, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr *>(&from), &fromLen);
    if (n < 0) {
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, 2000) == 1)
        n = ::recvfrom(fd, reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                       &fromLen);
    }
    answered = n == static_cast<ssize_t>(sizeof msg);
  }
  ::close(fd);
  return answered;
}

}  // namespace

int main(int argc, char **argv) {
  const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  const bool seriesOnly = argc > 2 && std::strcmp(argv[2], "series") == 0;
  if (n < 1 || n > 1000000 || (argc > 2 && !seriesOnly)) {
    std::fprintf(stderr, "usage: ping_bench [echoes 1..1000000 [series]]\n");
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
  if (seriesOnly) {
    for (long i = 0; i < n; ++i) {
      try {
        ping.PingHost("127.0.0.1");
      } catch (const EPelnet &) {
        // counted as a missing answer
      }
    }
    std::printf("answers %ld of %ld\n", answers, n);
    return answers == n ? 0 : 1;
  }
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
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
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
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - socketStart)
          .count();
  std::printf("ns_per_socket_open_close %.0f\n", socketNs / static_cast<double>(n));

  long bareAnswers = 0;
  const auto bareStart = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) bareAnswers += bareExchange(static_cast<uint16_t>(i)) ? 1 : 0;
  const double bareNs =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - bareStart)
          .count();
  std::printf("bare answers %ld of %ld\nns_per_bare_exchange %.0f\n", bareAnswers, n,
              bareNs / static_cast<double>(n));
  return answers == n && bareAnswers == n ? 0 : 1;
}
