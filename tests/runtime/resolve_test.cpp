// Host texts to addresses and back.  Runs in namespaces of its own (see the
// test main), so lookups read only the test's /etc/hosts.
#include <arpa/inet.h>
#include <net/if.h>
#include <gtest/gtest.h>

#include <cstring>

#include "isolation.h"
#include "pelnet/runtime/resolve.h"

namespace {
using namespace pelnet;

uint32_t v4(const char *dotted) { return inet_addr(dotted); }

HostAddress someAddress() {
  HostAddress a;
  a.v4 = v4("127.0.0.9");
  inet_pton(AF_INET6, "::1", &a.v6.sin6_addr);
  return a;
}

TEST(Resolve, EmptyTextClearsBothAddresses) {
  HostAddress a = someAddress();
  EXPECT_EQ(resolveRemote("", false, true, a), 0);
  EXPECT_EQ(a.v4, 0u);
  EXPECT_TRUE(a.noneV6());
  EXPECT_EQ(a.v6.sin6_family, AF_INET6);
}

struct DottedCase {
  const char *text;
  bool broadcastRule;
  const char *expected;
};

TEST(Resolve, DottedTextWithoutLookup) {
  const DottedCase cases[] = {
      {"10.0.0.1", true, "10.0.0.1"},
      {"192.168.1.20", false, "192.168.1.20"},
      {"10.1", false, "10.0.0.1"},  // the short forms the classic parser accepts
      {"255.255.255.255", true, "255.255.255.255"},
      {"255.255.255.255", false, "255.255.255.255"},
  };
  for (const DottedCase &c : cases) {
    HostAddress a;
    EXPECT_EQ(resolveRemote(c.text, false, c.broadcastRule, a), 0) << c.text;
    EXPECT_EQ(dottedText(a.v4), c.expected) << c.text;
  }
  HostAddress b;
  ASSERT_EQ(resolveRemote("255.255.255.255", false, true, b), 0);
  EXPECT_EQ(b.v4, 0xFFFFFFFFu);
}

TEST(Resolve, DottedTextHasNoPadding) {
  EXPECT_EQ(dottedText(v4("192.168.1.20")), "192.168.1.20");
  EXPECT_EQ(dottedText(v4("0.0.0.0")), "0.0.0.0");
  EXPECT_EQ(dottedText(0xFFFFFFFFu), "255.255.255.255");
}

TEST(Resolve, MissingNameFailsWithHostNotFound) {
  REQUIRE_ISOLATION();
  HostAddress a = someAddress();
  EXPECT_EQ(resolveRemote("no-such-host.invalid", false, true, a), 11001);
  EXPECT_EQ(a.v4, 0u);
  HostAddress b = someAddress();
  EXPECT_EQ(resolveRemote("no-such-host.invalid", true, true, b), 11001);
  EXPECT_TRUE(b.noneV6());
}

TEST(Resolve, NamesFromTheHostsFile) {
  REQUIRE_ISOLATION();
  ASSERT_TRUE(testsupport::writeHosts(
      "127.0.0.1 localhost\n127.0.0.7 pelorin-test-host\n::1 localhost\nfd00::7 pelorin-six\n"));
  HostAddress a;
  ASSERT_EQ(resolveRemote("pelorin-test-host", false, true, a), 0);
  EXPECT_EQ(dottedText(a.v4), "127.0.0.7");
  ASSERT_EQ(resolveLocal("PELORIN-TEST-HOST", false, a), 0);
  EXPECT_EQ(dottedText(a.v4), "127.0.0.7");
  ASSERT_EQ(resolveRemote("pelorin-six", true, true, a), 0);
  EXPECT_EQ(numericText(a.v6), "fd00::7");
}

// The lookup the syslog core uses for its packet host name: names only, the
// first IPv4 address, the output untouched on failure.
TEST(Resolve, LookupIPv4) {
  REQUIRE_ISOLATION();
  ASSERT_TRUE(testsupport::writeHosts(
      "127.0.0.1 localhost\n127.0.0.8 pelorin-first\n127.0.0.9 pelorin-first\n"
      "fd00::8 pelorin-only-six\n"));
  struct Case {
    const char *name;
    int rc;
    const char *address;  // dotted result, or the untouched output
  };
  const Case cases[] = {
      {"pelorin-first", 0, "127.0.0.8"},
      {"PELORIN-FIRST", 0, "127.0.0.8"},
      {"pelorin-only-six", 11001, "1.2.3.4"},
      {"no-such-host.invalid", 11001, "1.2.3.4"},
  };
  for (const Case &c : cases) {
    uint32_t out = v4("1.2.3.4");
    EXPECT_EQ(lookupIPv4(c.name, out), c.rc) << c.name;
    EXPECT_EQ(dottedText(out), c.address) << c.name;
  }
}

TEST(Resolve, ScopeIdWithIPv6) {
  HostAddress a;
  ASSERT_EQ(resolveRemote("fe80::1%4", true, true, a), 0);
  EXPECT_EQ(a.v6.sin6_scope_id, 4u);
  in6_addr expected{};
  inet_pton(AF_INET6, "fe80::1", &expected);
  EXPECT_EQ(std::memcmp(&a.v6.sin6_addr, &expected, sizeof expected), 0);
  EXPECT_EQ(a.v4, 0u);
  sockaddr_in6 plain{};
  ASSERT_EQ(resolveIPv6("::1", plain), 0);
  EXPECT_EQ(plain.sin6_scope_id, 0u);
  EXPECT_EQ(numericText(plain), "::1");
}

// The zone of a link-local address by number or by interface name, as the
// system writes such an address back: what reads back resolves to itself.
TEST(Resolve, IPv6ZoneByNumberOrInterfaceName) {
  const uint32_t loopback = if_nametoindex("lo");
  ASSERT_NE(loopback, 0u);
  const struct {
    const char *text;
    int rc;
    uint32_t scope;
  } cases[] = {
      {"fe80::1%4", 0, 4},
      {"fe80::1%lo", 0, loopback},
      {"fe80::1%no-such-if0", 11001, 0},
      {"fe80::1%", 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    HostAddress a;
    EXPECT_EQ(resolveRemote(c.text, true, true, a), c.rc);
    EXPECT_EQ(a.v6.sin6_scope_id, c.scope);
  }
  HostAddress a;
  ASSERT_EQ(resolveRemote("fe80::1%lo", true, true, a), 0);
  const std::string text = numericText(a.v6);
  HostAddress b;
  ASSERT_EQ(resolveRemote(text, true, true, b), 0) << text;
  EXPECT_EQ(b.v6.sin6_scope_id, loopback) << text;
}

TEST(Resolve, TextWithAZeroByteNamesNoHost) {
  HostAddress a = someAddress();
  EXPECT_EQ(resolveRemote(std::string("127.0.0.1\0evil", 14), false, true, a), 11001);
  EXPECT_EQ(a.v4, 0u);
}

TEST(Resolve, HostName) {
  std::string name;
  EXPECT_EQ(hostName(name), 0);
  EXPECT_FALSE(name.empty());
}

}  // namespace
