// What the files of the ICMP port share: its limits and the classes of
// errno values both paths act on.  Private to the ping core.
#pragma once

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "pelnet/runtime/errors.h"

namespace pelping {

inline constexpr uint32_t kMaxMessageSizeLimit = 65536;
inline constexpr int32_t kDefaultBufferSize = 2048;
inline constexpr uint8_t kHelperDefaultTtl = 255;
inline constexpr uint8_t kHelperNegativeTtl = 128;
// One notification (or one look after a send) reads at most this many
// datagrams or queued errors; the level-triggered watch fires again while
// more are waiting, so a flood cannot starve the owning thread's loop.
inline constexpr int kBatchLimit = 256;
// A close delivers what is already waiting, but a sender that never stops
// must not keep it from returning.
inline constexpr int kDrainLimit = 4096;

// Largest IPv4 header (with options) in front of a raw socket's message.
inline constexpr size_t kMaxIPv4Header = 60;
// Room per queued datagram beyond its bytes (the kernel charges its
// bookkeeping against the receive buffer).
inline constexpr int32_t kPerDatagramOverhead = 1024;
// Datagrams of the largest message the raw socket must be able to hold at
// once: on loopback it sees our own request beside the answer.
inline constexpr int32_t kQueuedMessages = 4;
inline constexpr int32_t kNotWaitingReceiveBuffer = 1 << 20;

using pelnet::PortState;
using pelnet::SocketOption;

inline int lastWinsock() { return pelnet::winsockFromErrno(errno); }

// The errors of socket() that mean a kind of ICMP socket is not permitted to
// this user or not supported here, as opposed to a lack of resources.
inline bool notPermitted(int err) {
  return err == EACCES || err == EPERM || err == EPROTONOSUPPORT || err == EAFNOSUPPORT;
}

// Errors that an ICMP error message leaves on a connected raw socket.  The
// ICMP message itself follows as a datagram and is what the port reports, so
// these are read past instead of being reported as read failures.
inline bool isIcmpSoftError(int err) {
  static constexpr int kSoft[] = {ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, EHOSTDOWN,
                                  ENONET,       EPROTO,       ENOPROTOOPT, EMSGSIZE,
                                  EACCES,       ECONNRESET,   ETIMEDOUT};
  return std::find(std::begin(kSoft), std::end(kSoft), err) != std::end(kSoft);
}

// Send failures that concern the destination or the message, not the
// socket: a kept helper socket stays as it is after them.
inline bool isDestinationError(int err) {
  return isIcmpSoftError(err) || err == EPERM || err == EINVAL || err == EADDRNOTAVAIL ||
         err == EAFNOSUPPORT;
}

// A full send buffer (EAGAIN) or a full queue of the device (ENOBUFS): what
// a burst of requests to many hosts meets, not a failure of the socket or
// of the destination.
inline bool isCongestion(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS; }

// Sends with `send` (a call that returns the bytes sent or -1 with errno);
// while the socket is congested the request waits for room, at most about
// kCongestionWaits x kRoomWaitMs, so that a burst neither fails nor blocks
// the thread for long.
inline constexpr int kCongestionWaits = 200;
inline constexpr int kRoomWaitMs = 5;
template <class Send>
ssize_t sendWithRoom(int fd, Send send) {
  for (int waits = 0;;) {
    const ssize_t n = send();
    if (n >= 0) return n;
    const int err = errno;
    if (err == EINTR) continue;
    if (!isCongestion(err) || waits++ >= kCongestionWaits) return n;
    pollfd p{fd, POLLOUT, 0};
    // ENOBUFS leaves the socket writable: a moment for the device's queue to drain.
    if (err == ENOBUFS)
      ::poll(nullptr, 0, 1);
    else
      ::poll(&p, 1, kRoomWaitMs);
    errno = err;
  }
}

}  // namespace pelping
