// Quality of service on a socket: the traffic type becomes the socket
// priority (and a default DSCP), QOSDSCPValue the DSCP bits of the IP
// type-of-service (IPv6: traffic class).
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>

#include <cerrno>
#include <iterator>
#include <string>

#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/socket_object.h"

namespace pelnet {
namespace {

struct TrafficClass {
  int priority;  // SO_PRIORITY; 6 is the highest an unprivileged process may set
  int dscp;      // used when QOSDSCPValue is 0
};
// Indexed by QOSTrafficType: BestEffort, Background, ExcellentEffort, AudioVideo, Voice, Control.
constexpr TrafficClass kTrafficClasses[] = {
    {0, 0}, {1, 8}, {4, 40}, {5, 40}, {6, 56}, {6, 56},
};

std::string errorSuffix(int err) {
  return "(error " + std::to_string(winsockFromErrno(err)) + ").";
}

}  // namespace

int SocketObject::applyQos(int fd) {
  if (qosTrafficType == 0 && qosDscpValue == 0) return 0;
  int family = 0;
  socklen_t len = sizeof family;
  if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &len) != 0)
    return fail(kQosInit, "Could not initialize the QOS/QWave subsystem " +
                              errorSuffix(fd < 0 ? EBADF : errno));
  if (qosTrafficType < 0 || qosTrafficType >= static_cast<int32_t>(std::size(kTrafficClasses)))
    return fail(kQosSet, "Could not set QOS parameters on socket " + errorSuffix(EINVAL));
  const TrafficClass &tc = kTrafficClasses[qosTrafficType];
  int dscp = qosDscpValue != 0 ? qosDscpValue : tc.dscp;
  if (dscp < 0 || dscp > 63)
    return fail(kQosSet, "Could not set QOS DSCP Value on socket " + errorSuffix(EINVAL));
  // The type-of-service first: setting it also resets the socket priority.
  if (dscp != 0) {
    int tos = dscp << 2;
    int rc = family == AF_INET6 ? setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos)
                                : setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
    if (rc != 0)
      return fail(kQosSet, "Could not set QOS DSCP Value on socket " + errorSuffix(errno));
  }
  if (setsockopt(fd, SOL_SOCKET, SO_PRIORITY, &tc.priority, sizeof tc.priority) != 0)
    return fail(kQosSet, "Could not set QOS parameters on socket " + errorSuffix(errno));
  return 0;
}

}  // namespace pelnet
