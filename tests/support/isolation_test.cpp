// The isolation that network tests rely on: only loopback, names from the
// private /etc/hosts only, and a missing name fails at once without DNS.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <arpa/inet.h>
#include <netdb.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>

#include "isolation.h"

namespace {

TEST(Isolation, OnlyLoopbackExists) {
  REQUIRE_ISOLATION();
  ifaddrs *list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  std::set<std::string> names;
  for (ifaddrs *a = list; a; a = a->ifa_next) names.insert(a->ifa_name);
  freeifaddrs(list);
  EXPECT_EQ(names, std::set<std::string>{"lo"});
}

TEST(Isolation, NamesComeFromThePrivateHostsFileOnly) {
  REQUIRE_ISOLATION();
  ASSERT_TRUE(testsupport::writeHosts("127.0.0.1 localhost\n127.0.0.9 device-nine\n"));
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo *res = nullptr;
  ASSERT_EQ(getaddrinfo("device-nine", nullptr, &hints, &res), 0);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(res);
  EXPECT_STREQ(text, "127.0.0.9");

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(getaddrinfo("no-such-host.invalid", nullptr, &hints, &res), EAI_NONAME);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(Isolation, PingSocketsAreOpenAndIcmpErrorsUnlimited) {
  REQUIRE_ISOLATION();
  std::ifstream range("/proc/sys/net/ipv4/ping_group_range");
  std::string lo, hi;
  range >> lo >> hi;
  EXPECT_EQ(lo, "0");
  EXPECT_EQ(hi, "2147483647");
  std::ifstream limit("/proc/sys/net/ipv4/icmp_ratelimit");
  int value = -1;
  limit >> value;
  EXPECT_EQ(value, 0);
}

}  // namespace
