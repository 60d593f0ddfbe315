// Quality of service on a socket: DSCP through the IP type-of-service or the
// IPv6 traffic class, the traffic type through the socket priority.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/socket_object.h"

namespace {
using namespace pelnet;

int intOption(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  getsockopt(fd, level, name, &v, &len);
  return v;
}

struct Socket {
  int fd;
  explicit Socket(int family) : fd(::socket(family, SOCK_DGRAM, 0)) {}
  ~Socket() { ::close(fd); }
};

TEST(Qos, NothingToDoWhenBothAreZero) {
  SocketObject so;
  EXPECT_EQ(so.applyQos(-1), 0);
}

TEST(Qos, DscpAndPriorityOnIPv4) {
  Socket s(AF_INET);
  SocketObject so;
  so.qosTrafficType = 4;  // Voice
  so.qosDscpValue = 46;
  ASSERT_EQ(so.applyQos(s.fd), 0) << so.lastErrorText;
  EXPECT_EQ(intOption(s.fd, IPPROTO_IP, IP_TOS), 46 << 2);
  EXPECT_EQ(intOption(s.fd, SOL_SOCKET, SO_PRIORITY), 6);
}

TEST(Qos, TrafficTypeAloneGivesItsDefaultDscp) {
  Socket s(AF_INET6);
  ASSERT_GE(s.fd, 0);
  SocketObject so;
  so.qosTrafficType = 1;  // Background
  ASSERT_EQ(so.applyQos(s.fd), 0) << so.lastErrorText;
  EXPECT_EQ(intOption(s.fd, IPPROTO_IPV6, IPV6_TCLASS), 8 << 2);
}

struct QosFailure {
  int trafficType, dscp;
  bool validSocket;
  int code;
  const char *text;
};

TEST(Qos, Failures) {
  const QosFailure cases[] = {
      {0, 10, false, kQosInit, "Could not initialize the QOS/QWave subsystem (error 10009)."},
      {9, 0, true, kQosSet, "Could not set QOS parameters on socket (error 10022)."},
      {-1, 0, true, kQosSet, "Could not set QOS parameters on socket (error 10022)."},
      {0, 64, true, kQosSet, "Could not set QOS DSCP Value on socket (error 10022)."},
  };
  for (const QosFailure &c : cases) {
    Socket s(AF_INET);
    SocketObject so;
    so.qosTrafficType = c.trafficType;
    so.qosDscpValue = c.dscp;
    EXPECT_EQ(so.applyQos(c.validSocket ? s.fd : -1), c.code);
    EXPECT_EQ(so.lastErrorText, c.text);
  }
}

}  // namespace
