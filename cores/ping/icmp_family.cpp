#include "icmp_family.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "echo_packet.h"

namespace pelping {

const IcmpFamily kIcmpV4{
    .domain = AF_INET,
    .protocol = IPPROTO_ICMP,
    .echoRequest = kIcmpEchoRequest,
    .echoReply = kIcmpEchoReply,
    .controlLevel = IPPROTO_IP,
    .timeToLiveControl = IP_TTL,
    .typeOfServiceControl = IP_TOS,
    .errorControl = IP_RECVERR,
    .errorOrigin = SO_EE_ORIGIN_ICMP,
    .addressSize = sizeof(sockaddr_in),
    .quotedLimit = 576,
    .rawHasIpHeader = true,
    .kernelChecksum = false,
    .dotted = true,
    .broadcast = true,
    .typeOfService = true,
    .helperPath = true,
    .pingSocketForRaw = false,
    .ipv6 = false,
};

const IcmpFamily kIcmpV6{
    .domain = AF_INET6,
    .protocol = IPPROTO_ICMPV6,
    .echoRequest = kIcmp6EchoRequest,
    .echoReply = kIcmp6EchoReply,
    .controlLevel = IPPROTO_IPV6,
    .timeToLiveControl = IPV6_HOPLIMIT,
    .typeOfServiceControl = IPV6_TCLASS,
    .errorControl = IPV6_RECVERR,
    .errorOrigin = SO_EE_ORIGIN_ICMP6,
    .addressSize = sizeof(sockaddr_in6),
    .quotedLimit = 1280,
    .rawHasIpHeader = false,
    .kernelChecksum = true,
    .dotted = false,
    .broadcast = false,
    .typeOfService = false,
    .helperPath = false,
    .pingSocketForRaw = true,
    .ipv6 = true,
};

bool IcmpFamily::readQueuedError(int fd, QueuedError &e) const {
  pelnet::SocketAddress from;
  alignas(cmsghdr) char control[512];
  iovec iov{e.quoted, std::min(quotedLimit, sizeof e.quoted)};
  msghdr msg{};
  msg.msg_name = from.get();
  msg.msg_namelen = addressSize;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (n < 0) return false;
  e.length = std::min(static_cast<size_t>(n), iov.iov_len);
  e.icmp = false;
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != controlLevel || c->cmsg_type != errorControl ||
        c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err) + addressSize))
      continue;
    sock_extended_err ee;
    std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
    if (ee.ee_origin != errorOrigin) continue;
    // The offender's address follows the error; an entry without one names
    // the sender of the datagram instead.
    e.source = pelnet::SocketAddress{};
    std::memcpy(&e.source.storage, CMSG_DATA(c) + sizeof ee, addressSize);
    if (e.source.family() != domain) e.source = from;
    e.source.length = addressSize;
    e.icmp = true;
    e.type = ee.ee_type;
    e.code = ee.ee_code;
    return true;
  }
  return true;
}

}  // namespace pelping
