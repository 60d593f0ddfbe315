#include "ipv6_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "isolation.h"

namespace pingtest {
namespace {

// The peer's side, run by a shell in the peer's namespace.  It says "ready"
// once the namespace exists, configures itself when told that its end of
// the link is there, says "ok", and ends when the test closes its input.
constexpr const char *kPeerScript =
    "echo ready; read go || exit 1; "
    "ip link set lo up && ip link set pv6b up && "
    "ip -6 addr add 2001:db8:1::2/64 dev pv6b nodad && "
    "ip -6 addr add fe80::2/64 dev pv6b nodad && "
    "echo 1 > /proc/sys/net/ipv6/conf/all/forwarding && "
    "echo 0 > /proc/sys/net/ipv6/icmp/ratelimit && "
    "ip -6 route add unreachable 2001:db8:3::/64 && echo ok || echo failed; "
    "read end";

// One line from fd, waiting at most ten seconds for it.
std::string readLine(int fd) {
  std::string line;
  char c = 0;
  while (line.size() < 64) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0 || read(fd, &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  return line;
}

}  // namespace

IPv6Peer::IPv6Peer() {
  if (testsupport::ip("link add pv6a type veth peer name pv6b") != 0) {
    why_ = "cannot create the veth pair";
    return;
  }
  int up[2];
  int down[2];
  if (pipe2(up, O_CLOEXEC) != 0) {
    why_ = std::strerror(errno);
    return;
  }
  if (pipe2(down, O_CLOEXEC) != 0) {
    why_ = std::strerror(errno);
    close(up[0]);
    close(up[1]);
    return;
  }
  child_ = fork();
  if (child_ == 0) {
    // Only system calls between fork and exec: the test program has threads.
    if (dup2(down[0], 0) < 0 || dup2(up[1], 1) < 0 || unshare(CLONE_NEWNET) != 0) _exit(2);
    execl("/bin/sh", "sh", "-c", kPeerScript, static_cast<char *>(nullptr));
    _exit(127);
  }
  close(up[1]);
  close(down[0]);
  toChild_ = down[1];
  const int fromChild = up[0];
  if (child_ < 0) {
    why_ = std::strerror(errno);
  } else if (readLine(fromChild) != "ready") {
    why_ = "the peer's namespace did not start";
  } else if (testsupport::ip("link set pv6b netns " + std::to_string(child_)) != 0) {
    why_ = "cannot move the veth end into the peer's namespace";
  } else if (write(toChild_, "go\n", 3) != 3 || readLine(fromChild) != "ok") {
    why_ = "the peer could not configure its side";
  } else if (testsupport::ip("link set pv6a up") != 0 ||
             testsupport::ip("-6 addr add 2001:db8:1::1/64 dev pv6a nodad") != 0 ||
             testsupport::ip("-6 addr add fe80::1/64 dev pv6a nodad") != 0 ||
             testsupport::ip("-6 route add 2001:db8:3::/64 via 2001:db8:1::2") != 0) {
    why_ = "cannot configure this side of the link";
  }
  close(fromChild);
}

IPv6Peer::~IPv6Peer() {
  if (toChild_ >= 0) close(toChild_);  // the peer's shell reads the end and leaves
  if (child_ > 0) {
    int status = 0;
    while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  testsupport::ip("link del pv6a");
}

IPv6Peer &sharedIPv6Peer() {
  static IPv6Peer peer;
  return peer;
}

}  // namespace pingtest
