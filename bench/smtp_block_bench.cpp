// The mail connection's message send on loopback: the header block, the body
// and the end of data handed over as one block (sendBlock) against the same
// three pieces sent one by one, each followed by the server's reply.  With
// Nagle on (TcpNoDelay False, the default), pieces sent one by one leave a
// small segment waiting for the server's delayed acknowledgement; the block
// must not.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <string_view>
#include <thread>

#include "connection/line_stage.h"
#include "connection/tcp_client_port.h"
#include "connection/wait_handle.h"

namespace {

using pelnet::smtp::LineListener;
using pelnet::smtp::LineStage;
using pelnet::smtp::TcpClientPort;

constexpr std::string_view kEndOfData = "\r\n.\r\n";

// Answers "250 ok" to every message (everything up to the end of data).
class MessageSink {
 public:
  MessageSink() {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(listen_, 1);
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~MessageSink() {
    thread_.join();
    close(listen_);
  }
  int port() const { return port_; }

 private:
  void serve() {
    pollfd p{listen_, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return;
    const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    std::string seen;
    char buf[65536];
    for (;;) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      seen.append(buf, static_cast<size_t>(n));
      size_t at;
      while ((at = seen.find(kEndOfData)) != std::string::npos) {
        seen.erase(0, at + kEndOfData.size());
        send(fd, "250 ok\r\n", 8, MSG_NOSIGNAL);
      }
    }
    close(fd);
  }

  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
};

struct Quiet : LineListener {
  void onLinePiece(std::string_view, bool) override {}
  void onConnectionStatus(const std::string &, int, const std::string &) override {}
  void onNote(const std::string &) override {}
  void onError(int, const std::string &) override {}
};

void sendMessages(benchmark::State &state, bool asBlock) {
  MessageSink sink;
  Quiet quiet;
  TcpClientPort port;
  // The line stage on the socket, as the core stacks them: the reply is read
  // through it.
  pelnet::smtp::WaitHandle waits{port};
  LineStage lines{port, waits, quiet};
  port.setTimeout(10);
  port.setRemoteHost("127.0.0.1");
  port.setRemotePort(sink.port());
  port.armDeadline();
  if (port.open() != 0 || port.waitForConnection() != 0) {
    state.SkipWithError("no connection");
    return;
  }
  const std::string header = "From: a@b.test\r\nTo: c@d.test\r\nSubject: report\r\n\r\n";
  const std::string body(static_cast<size_t>(state.range(0)), 'b');
  const std::string_view pieces[] = {header, body, kEndOfData};
  for (auto _ : state) {
    port.armDeadline();
    int rc = 0;
    if (asBlock) {
      rc = port.sendBlock(pieces);
    } else {
      for (std::string_view p : pieces)
        if (rc == 0) rc = port.sendAll(p);
    }
    if (rc == 0) rc = lines.waitForLine();
    if (rc != 0) {
      state.SkipWithError(port.lastErrorText.c_str());
      break;
    }
  }
  port.close();
}

void BM_MessageAsOneBlock(benchmark::State &state) { sendMessages(state, true); }
void BM_MessagePieceByPiece(benchmark::State &state) { sendMessages(state, false); }

BENCHMARK(BM_MessageAsOneBlock)->Arg(1024)->Arg(65536)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MessagePieceByPiece)->Arg(1024)->Arg(65536)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
