// Host texts to addresses and back.  Dotted text is parsed without a lookup;
// names go through the system resolver (getaddrinfo), so /etc/hosts and
// nsswitch.conf apply as for every other program, in the wait steps of the
// object that asks when there is one.
#include "pelnet/runtime/resolve.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pelnet/runtime/config.h"
#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/name_lookup.h"

namespace pelnet {
namespace {

constexpr const char *kBroadcastText = "255.255.255.255";

void clearV6(sockaddr_in6 &a) {
  a = sockaddr_in6{};
  a.sin6_family = AF_INET6;
}

int resolveV4(const std::string &text, bool broadcastRule, HostAddress &out, SocketObject *waiter) {
  if (broadcastRule && text == kBroadcastText) {
    out.v4 = 0xFFFFFFFFu;
    return 0;
  }
  in_addr parsed{};
  // inet_aton accepts exactly the forms inet_addr does ("10.1", "0x7f.1", ...).
  if (inet_aton(text.c_str(), &parsed) != 0) {
    out.v4 = parsed.s_addr;
    return 0;
  }
  out.v4 = 0;
  uint32_t found = 0;
  int rc = lookupIPv4(text, found, waiter);
  if (rc == 0) out.v4 = found;
  return rc;
}

int resolveHost(const std::string &text, bool ipv6, bool broadcastRule, HostAddress &out,
                SocketObject *waiter) {
  // Text with an embedded zero byte cannot name a host; reading it up to the
  // zero would quietly resolve another name.
  if (text.find('\0') != std::string::npos) {
    out = HostAddress();
    return kHostNotFound;
  }
  if (text.empty()) {
    out = HostAddress();
    return 0;
  }
  if (ipv6) {
    out.v4 = 0;
    return resolveIPv6(text, out.v6, waiter);
  }
  return resolveV4(text, broadcastRule, out, waiter);
}

}  // namespace

bool HostAddress::noneV6() const {
  static const in6_addr any = IN6ADDR_ANY_INIT;
  return std::memcmp(&v6.sin6_addr, &any, sizeof any) == 0;
}

int lookupIPv4(const std::string &name, uint32_t &out, SocketObject *waiter) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;  // one answer per address, not one per socket type
  return lookUpName(name, hints, waiter, [&out](const addrinfo *list) -> int {
    for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
        out = reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr;
        return 0;
      }
    }
    return kNoData;  // a name without an IPv4 address
  });
}

int resolveRemote(const std::string &text, bool ipv6, bool broadcastRule, HostAddress &out,
                  SocketObject *waiter) {
  return resolveHost(text, ipv6, broadcastRule, out, waiter);
}

int resolveLocal(const std::string &text, bool ipv6, HostAddress &out, SocketObject *waiter) {
  return resolveHost(text, ipv6, false, out, waiter);
}

int resolveIPv6(const std::string &text, sockaddr_in6 &out, SocketObject *waiter) {
  clearV6(out);
  if (text.empty()) return 0;
  std::string name = text;
  int32_t scope = 0;
  size_t percent = text.find('%');
  if (percent != std::string::npos) {
    name = text.substr(0, percent);
    const std::string zone = text.substr(percent + 1);
    // The zone is an interface index or, as the system writes link-local
    // addresses back, an interface name.
    if (!zone.empty() && zone.find_first_not_of("0123456789") != std::string::npos) {
      scope = static_cast<int32_t>(if_nametoindex(zone.c_str()));
      if (scope == 0) return kHostNotFound;
    } else {
      scope = readInt(zone);
    }
  }
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  return lookUpName(name, hints, waiter, [&out, scope](const addrinfo *list) -> int {
    for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
        std::memcpy(&out, ai->ai_addr, sizeof out);
        if (scope != 0) out.sin6_scope_id = static_cast<uint32_t>(scope);
        return 0;
      }
    }
    return kNoData;
  });
}

std::string dottedText(uint32_t addr) {
  const auto *b = reinterpret_cast<const unsigned char *>(&addr);
  char buf[20];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

std::string numericText(const sockaddr_in6 &addr) {
  char host[64];
  if (getnameinfo(reinterpret_cast<const sockaddr *>(&addr), sizeof addr, host, sizeof host,
                  nullptr, 0, NI_NUMERICHOST) != 0)
    return std::string();
  return host;
}

int hostName(std::string &out) {
  char buf[100];
  out.clear();
  if (gethostname(buf, sizeof buf) != 0) return winsockFromErrno(errno);
  buf[sizeof buf - 1] = '\0';
  out = buf;
  return 0;
}

}  // namespace pelnet
