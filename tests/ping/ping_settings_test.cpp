// Defaults, properties and Config settings of a new ping core, read and
// written through the exported interface.  Nothing here sends a packet.
#include <gtest/gtest.h>

#include "ping_client.h"
#include "pelnet/ping_ids.h"

using pingtest::PingClient;

TEST(PingDefaults, NewCoreProperties) {
  PingClient c;
  struct {
    int id;
    intptr_t value;
  } ints[] = {{PELNET_PING_PROP_PacketSize, 64},
              {PELNET_PING_PROP_Timeout, 60},
              {PELNET_PING_PROP_TypeOfService, 8},
              {PELNET_PING_PROP_TimeToLive, 0},
              {PELNET_PING_PROP_Active, 0},
              {PELNET_PING_PROP_Idle, 1},
              {PELNET_PING_PROP_RequestId, 0},
              {PELNET_PING_PROP_ResponseTime, 0},
              {PELNET_PING_PROP_ResponseTimeMicroseconds, 0},
              {PELNET_PING_PROP_ManyHosts, 0}};
  for (auto &e : ints) EXPECT_EQ(c.getInt(e.id), e.value) << "property " << e.id;
  EXPECT_EQ(c.getText(PELNET_PING_PROP_RemoteHost), "");
  EXPECT_EQ(c.getText(PELNET_PING_PROP_ResponseSource), "");
  // No LocalHost set: the machine's host name.
  EXPECT_FALSE(c.getText(PELNET_PING_PROP_LocalHost).empty());
}

TEST(PingDefaults, SettingsAnswerTheirDefaults) {
  PingClient c;
  struct {
    const char *name, *answer;
  } rows[] = {
      {"UseICMPDLL", "False"},    {"UseIPHLPDLL", "False"},
      {"IcmpDllTimeout", "60"},   {"IphlpDllTimeout", "60"},
      {"Timeout", "60"},          {"UseConnection", "True"},
      {"MaxMessageSize", "2048"}, {"InBufferSize", "2048"},
      {"OutBufferSize", "2048"},  {"QOSFlags", "0"},
      {"DontFragment", "False"},  {"MulticastTTL", "0"},
      {"ReceiveAllMode", "-1"},   {"SocketHandle", "-1"},
      {"usEicmpdll", "False"},    {"AbsoluteTimeout", "False"},
      {"SelectWaitMillis", "20"},
  };
  for (auto &r : rows) {
    std::string answer;
    EXPECT_EQ(c.config(r.name, &answer), 0) << r.name;
    EXPECT_EQ(answer, r.answer) << r.name;
  }
}

TEST(PingSettings, HelperFlagsSetTheTimeoutTo60) {
  for (const char *setting : {"UseICMPDLL=True", "UseIPHLPDLL=True"}) {
    PingClient c;
    ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, 3), 0);
    EXPECT_EQ(c.query("IcmpDllTimeout"), "3");
    EXPECT_EQ(c.config(setting), 0);
    EXPECT_EQ(c.getInt(PELNET_PING_PROP_Timeout), 60) << setting;
  }
  // False changes only the flag.
  PingClient c;
  c.setInt(PELNET_PING_PROP_Timeout, 3);
  EXPECT_EQ(c.config("UseICMPDLL=False"), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Timeout), 3);
  // In milliseconds the 60 is milliseconds.
  EXPECT_EQ(c.config("TimeoutInMilliseconds=True"), 0);
  EXPECT_EQ(c.config("UseIPHLPDLL=1"), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Timeout), 60);
  EXPECT_EQ(c.query("TimeoutInMilliseconds"), "1");
}

TEST(PingSettings, TimeoutAliases) {
  PingClient c;
  EXPECT_EQ(c.config("IcmpDllTimeout=7"), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Timeout), 7);
  EXPECT_EQ(c.config("IphlpDllTimeout=9"), 0);
  EXPECT_EQ(c.query("IcmpDllTimeout"), "9");
  EXPECT_EQ(c.config("Timeout=4"), 0);
  EXPECT_EQ(c.query("IphlpDllTimeout"), "4");
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Timeout), 4);
}

TEST(PingSettings, BooleanForms) {
  struct {
    const char *value;
    bool set;
  } rows[] = {{"yes", true}, {"1", true},  {"TRUE", true}, {"true", true},   {"YeS", true},
              {"on", false}, {"0", false}, {"", false},    {"false", false}, {"2", false}};
  for (auto &r : rows) {
    PingClient c;
    c.config("UseIPHLPDLL=TRUE");
    EXPECT_EQ(c.config(std::string("UseIPHLPDLL=") + r.value), 0);
    EXPECT_EQ(c.query("UseIPHLPDLL"), r.set ? "True" : "False") << r.value;
    EXPECT_EQ(c.config(std::string("DontFragment=") + r.value), 0);
    EXPECT_EQ(c.query("DontFragment"), r.set ? "True" : "False") << r.value;
  }
}

TEST(PingSettings, PacketSizeBounds) {
  struct {
    intptr_t written, read;
    const char *maxMessage;
  } rows[] = {{4, 8, "2048"},   {0, 8, "2048"},       {-5, 8, "2048"},
              {64, 64, "2048"}, {2040, 2040, "2056"}, {70000, 65515, "65531"}};
  for (auto &r : rows) {
    PingClient c;
    EXPECT_EQ(c.setInt(PELNET_PING_PROP_PacketSize, r.written), 0) << r.written;
    EXPECT_EQ(c.getInt(PELNET_PING_PROP_PacketSize), r.read) << r.written;
    EXPECT_EQ(c.query("MaxMessageSize"), r.maxMessage) << r.written;
  }
}

TEST(PingSettings, MaxMessageSizeIsCapped) {
  PingClient c;
  EXPECT_EQ(c.config("MaxMessageSize=70000"), 0);
  EXPECT_EQ(c.query("MaxMessageSize"), "65536");
  EXPECT_EQ(c.config("MaxMessageSize=-3"), 0);
  EXPECT_EQ(c.query("MaxMessageSize"), "0");
}

TEST(PingSettings, UnknownAndReadOnly) {
  PingClient c;
  std::string answer = "x";
  EXPECT_EQ(c.config("NoSuchSetting", &answer), -1);
  EXPECT_EQ(c.lastError(), "Unknown config setting.");
  EXPECT_EQ(answer, "");
  EXPECT_EQ(c.config("NoSuchSetting=1"), -1);
  EXPECT_EQ(c.config("SocketHandle=5"), -1);  // known only as a query
  EXPECT_EQ(c.config("Timeout =5"), -1);
  for (int id :
       {int(PELNET_PING_PROP_Idle), int(PELNET_PING_PROP_RequestId),
        int(PELNET_PING_PROP_ResponseTime), int(PELNET_PING_PROP_ResponseTimeMicroseconds), 99})
    EXPECT_EQ(c.setInt(id, 1), -1) << id;
  EXPECT_EQ(c.setText(PELNET_PING_PROP_ResponseSource, "x"), -1);
}

TEST(PingSettings, PlainPropertyWrites) {
  PingClient c;
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_TypeOfService, 0x1FF), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_TypeOfService), 0xFF);
  EXPECT_EQ(c.setInt(PELNET_PING_PROP_TimeToLive, 17), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_TimeToLive), 17);
  EXPECT_EQ(c.setText(PELNET_PING_PROP_RemoteHost, "192.0.2.5"), 0);
  EXPECT_EQ(c.getText(PELNET_PING_PROP_RemoteHost), "192.0.2.5");
  EXPECT_EQ(c.setText(PELNET_PING_PROP_RemoteHost, "255.255.255.255"), 0);
  EXPECT_EQ(c.getText(PELNET_PING_PROP_RemoteHost), "255.255.255.255");
  EXPECT_EQ(c.setText(PELNET_PING_PROP_RemoteHost, ""), 0);
  EXPECT_EQ(c.getText(PELNET_PING_PROP_RemoteHost), "");
  EXPECT_EQ(c.setText(PELNET_PING_PROP_LocalHost, "127.0.0.1"), 0);
  EXPECT_EQ(c.getText(PELNET_PING_PROP_LocalHost), "127.0.0.1");
  EXPECT_EQ(c.config("QOSTrafficType=voice"), 0);
  EXPECT_EQ(c.query("QOSTrafficType"), "4");
}

// RemoteHost remembers the last address text it parsed, so that a run that
// pings one address over and over parses it once; every other write in
// between must still take effect.
TEST(PingSettings, RemoteHostWritesInAnyOrderReadBackTheirAddress) {
  PingClient c;
  struct {
    const char *setting, *text, *readBack;
  } steps[] = {
      {nullptr, "127.0.0.1", "127.0.0.1"},
      {nullptr, "127.0.0.1", "127.0.0.1"},
      {nullptr, "", ""},
      {nullptr, "127.0.0.1", "127.0.0.1"},
      {nullptr, "127.1", "127.0.0.1"},
      {nullptr, "127.0.0.2", "127.0.0.2"},
      {nullptr, "255.255.255.255", "255.255.255.255"},
      {nullptr, "127.0.0.2", "127.0.0.2"},
      {"UseIPv6=True", "::1", "::1"},
      {"UseIPv6=False", "127.0.0.2", "127.0.0.2"},
      {nullptr, "", ""},
  };
  int step = 0;
  for (auto &s : steps) {
    ++step;
    if (s.setting) {
      ASSERT_EQ(c.config(s.setting), 0) << "step " << step;
    }
    EXPECT_EQ(c.setText(PELNET_PING_PROP_RemoteHost, s.text), 0) << "step " << step;
    EXPECT_EQ(c.getText(PELNET_PING_PROP_RemoteHost), s.readBack) << "step " << step;
  }
}

TEST(PingMethods, EmptyHostAndBadMacNeedNoNetwork) {
  PingClient c;
  EXPECT_EQ(c.pingHost(""), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
  EXPECT_TRUE(c.responses.empty());
  EXPECT_EQ(c.doEvents(), 0);
  EXPECT_EQ(c.interrupt(), 0);
}
