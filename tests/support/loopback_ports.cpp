#include "loopback_ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace testsupport {
namespace {

sockaddr_in Loopback(int Port) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(static_cast<uint16_t>(Port));
  return A;
}

int FreePort(int Type) {
  const int Fd = socket(AF_INET, Type | SOCK_CLOEXEC, 0);
  if (Fd < 0) return 0;
  sockaddr_in A = Loopback(0);
  socklen_t Len = sizeof A;
  int Port = 0;
  if (bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A) == 0 &&
      getsockname(Fd, reinterpret_cast<sockaddr *>(&A), &Len) == 0)
    Port = ntohs(A.sin_port);
  close(Fd);
  return Port;
}

}  // namespace

int FreeLoopbackPort() { return FreePort(SOCK_STREAM); }

int FreeLoopbackUdpPort() { return FreePort(SOCK_DGRAM); }

bool LoopbackPortAccepts(int Port) {
  const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) return false;
  const sockaddr_in A = Loopback(Port);
  const bool Ok = connect(Fd, reinterpret_cast<const sockaddr *>(&A), sizeof A) == 0;
  close(Fd);
  return Ok;
}

}  // namespace testsupport
