// Puts a test process into network and mount namespaces of its own, so that
// its pings, datagrams and name lookups never leave the machine: only
// loopback and the test's own tun/veth hosts exist, and /etc/hosts is the
// test's file with "hosts: files" in /etc/nsswitch.conf (no DNS at all).
#pragma once

#include <string>

namespace testsupport {

struct IsolationOptions {
  std::string hosts = "127.0.0.1 localhost\n::1 localhost\n";  // the private /etc/hosts
  bool allowPingSockets = true;  // net.ipv4.ping_group_range open to every group, else closed
};

// Moves the whole process into new network + mount namespaces: loopback up,
// net.ipv4.icmp_ratelimit 0, ping_group_range as asked, a private /etc/hosts and
// an /etc/nsswitch.conf that says "hosts: files".  Must run before any thread
// starts.  Returns false with a reason when not permitted (not root).
bool isolate(const IsolationOptions &opts, std::string *why);

// Replaces the private /etc/hosts (after isolate()).
bool writeHosts(const std::string &content);
// True when isolate() bound a file of the test's own over /etc/resolv.conf,
// so that writing it touches nothing of the machine's.
bool privateResolvConf();

// Creates tun device `name` (IFF_TUN | IFF_NO_PI), assigns `localCidr`
// (use 198.18.0.0/15 test addresses), brings it up; returns its fd or -1.
int openTun(const std::string &name, const std::string &localCidr, std::string *why);

// Runs "ip <args>" in the current namespaces; returns its exit status.
int ip(const std::string &args);

// Writes a value into a file under /proc/sys (e.g. "net/ipv4/ping_group_range").
bool writeSysctl(const std::string &key, const std::string &value);

// The reason isolation failed in this process, "" when it worked.  Set by
// isolated_main.cpp, whose main() isolates with the default options.
const std::string &isolationFailure();
void setIsolationFailure(const std::string &why);

}  // namespace testsupport

// First line of a test that needs the isolated network.
#define REQUIRE_ISOLATION()                                                              \
  do {                                                                                   \
    if (!::testsupport::isolationFailure().empty())                                      \
      GTEST_SKIP() << "needs its own namespaces: " << ::testsupport::isolationFailure(); \
  } while (0)
