#include "socket_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "pelnet/runtime/errors.h"

namespace pelnet::smtp {

int lastSocketError() { return winsockFromErrno(errno); }

socklen_t socketAddress(const HostAddress &host, bool ipv6, int port, sockaddr_storage &out) {
  out = sockaddr_storage{};
  if (ipv6) {
    sockaddr_in6 a = host.v6;
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    std::memcpy(&out, &a, sizeof a);
    return sizeof a;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = host.v4;
  a.sin_port = htons(static_cast<uint16_t>(port));
  std::memcpy(&out, &a, sizeof a);
  return sizeof a;
}

int setIntOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : lastSocketError();
}

int pendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return lastSocketError();
  return err == 0 ? 0 : winsockFromErrno(err);
}

}  // namespace pelnet::smtp
