#include "isolation.h"

#include "child_process.h"
#include "file_text.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace testsupport {
namespace {

std::string g_failure = "isolation was not attempted";
std::string g_hostsFile;         // the file bind-mounted over /etc/hosts
bool g_resolvConfBound = false;  // a private file is bound over /etc/resolv.conf

std::string errnoText(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

bool bindOver(const std::string &source, const char *target, std::string *why) {
  if (mount(source.c_str(), target, nullptr, MS_BIND, nullptr) != 0) {
    if (why) *why = errnoText((std::string("bind mount over ") + target).c_str());
    return false;
  }
  return true;
}

bool loopbackUp(std::string *why) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (why) *why = errnoText("socket");
    return false;
  }
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  if (ok) {
    req.ifr_flags |= IFF_UP;
    ok = ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  }
  if (!ok && why) *why = errnoText("loopback up");
  close(fd);
  return ok;
}

}  // namespace

const std::string &isolationFailure() { return g_failure; }
void setIsolationFailure(const std::string &why) { g_failure = why; }

bool writeSysctl(const std::string &key, const std::string &value) {
  return writeFileText("/proc/sys/" + key, value + "\n");
}

bool isolate(const IsolationOptions &opts, std::string *why) {
  if (geteuid() != 0) {
    if (why) *why = "not root (network namespaces need CAP_SYS_ADMIN)";
    return false;
  }
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    if (why) *why = errnoText("unshare");
    return false;
  }
  // Keep our bind mounts out of the parent namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    if (why) *why = errnoText("make / private");
    return false;
  }
  if (!loopbackUp(why)) return false;
  writeSysctl("net/ipv4/icmp_ratelimit", "0");
  writeSysctl("net/ipv6/icmp/ratelimit", "0");
  writeSysctl("net/ipv4/ping_group_range", opts.allowPingSockets ? "0 2147483647" : "1 0");

  char dir[] = "/tmp/pelorin-isolation-XXXXXX";
  if (!mkdtemp(dir)) {
    if (why) *why = errnoText("mkdtemp");
    return false;
  }
  g_hostsFile = std::string(dir) + "/hosts";
  const std::string nsswitch = std::string(dir) + "/nsswitch.conf";
  const std::string resolv = std::string(dir) + "/resolv.conf";
  if (!writeFileText(g_hostsFile, opts.hosts) ||
      !writeFileText(nsswitch, "passwd: files\ngroup: files\nhosts: files\nnetworks: files\n") ||
      !writeFileText(resolv, "# no name servers inside the test namespace\n")) {
    if (why) *why = "cannot write the private name files";
    return false;
  }
  if (!bindOver(g_hostsFile, "/etc/hosts", why) || !bindOver(nsswitch, "/etc/nsswitch.conf", why))
    return false;
  // resolv.conf may be absent or a dangling link; nsswitch already keeps DNS out.
  // Only a private one may be written by a test (privateResolvConf).
  struct stat st {};
  g_resolvConfBound =
      stat("/etc/resolv.conf", &st) == 0 && bindOver(resolv, "/etc/resolv.conf", nullptr);
  g_failure.clear();
  return true;
}

bool privateResolvConf() { return g_resolvConfBound; }

bool writeHosts(const std::string &content) {
  if (g_hostsFile.empty()) return false;
  return writeFileText("/etc/hosts", content);
}

int ip(const std::string &args) {
  std::vector<std::string> argv{"ip"};
  std::istringstream words(args);
  for (std::string word; words >> word;) argv.push_back(word);
  return runProcess(argv).Status;
}

int openTun(const std::string &name, const std::string &localCidr, std::string *why) {
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (why) *why = errnoText("open /dev/net/tun");
    return -1;
  }
  ifreq req{};
  req.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &req) != 0) {
    if (why) *why = errnoText("TUNSETIFF");
    close(fd);
    return -1;
  }
  // The kernel drops what is routed into the tun beyond its queue (500
  // packets by default) while the test's reader is behind: a run with
  // hundreds of requests out at once on a loaded machine would lose some.
  if (ip("addr add " + localCidr + " dev " + name) != 0 ||
      ip("link set " + name + " txqueuelen 10000 up") != 0) {
    if (why) *why = "ip could not configure " + name;
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace testsupport
