// Configuration texts: parsing, value readers, and the lookup through the
// layers of a core with the common settings.
#include <gtest/gtest.h>

#include "pelnet/runtime/config.h"
#include "test_core.h"
#include "core_client.h"

namespace {
using namespace pelnet;

struct ParseCase {
  const char *text;
  const char *name;
  int32_t index;
  const char *value;
  bool query;
};

// A settings table of a socket kind: names without regard to case, stored
// fields, refusals, and query-only names whose assignment is not this layer's.
struct KindFields {
  bool flag = false;
  int number = 0;
  int refusals = 0;
};

constexpr KindSetting<KindFields> kKindTable[] = {
    {"Flag", storeBool<KindFields, &KindFields::flag>, answerBool<KindFields, &KindFields::flag>},
    {"Number", storeInt<KindFields, &KindFields::number>,
     answerInt<KindFields, &KindFields::number>},
    {"Refused",
     [](KindFields &f, const std::string &) {
       ++f.refusals;
       return 117;
     },
     [](KindFields &) { return std::string("fixed"); }},
    {"Handle", nullptr, [](KindFields &) { return std::string("7"); }},
};

TEST(KindSettings, TableLookup) {
  struct Case {
    const char *text;
    std::optional<int> result;
    const char *answer;
  };
  KindFields f;
  const Case cases[] = {
      {"flag=yes", 0, ""},         {"FLAG", 0, "True"},
      {"Number=-42x", 0, ""},      {"number", 0, "-42"},
      {"Refused=1", 117, ""},      {"Refused", 0, "fixed"},
      {"Handle", 0, "7"},          {"Handle=3", std::nullopt, ""},
      {"Other", std::nullopt, ""}, {"Other=1", std::nullopt, ""},
  };
  for (const Case &c : cases) {
    std::string answer;
    EXPECT_EQ(lookupSetting(kKindTable, f, parseSetting(c.text), answer), c.result) << c.text;
    EXPECT_EQ(answer, c.answer) << c.text;
  }
  EXPECT_TRUE(f.flag);
  EXPECT_EQ(f.number, -42);
  EXPECT_EQ(f.refusals, 1);
}

TEST(ParseSetting, Forms) {
  const ParseCase cases[] = {
      {"SelectWaitMillis=50", "SelectWaitMillis", -1, "50", false},
      {"SelectWaitMillis", "SelectWaitMillis", -1, "", true},
      {"Name=", "Name", -1, "", false},
      {"Timeout =5", "Timeout ", -1, "5", false},
      {"UseIPv6= \"TRUE\" ", "UseIPv6", -1, "TRUE", false},
      {"K=  \" padded \" ", "K", -1, " padded ", false},
      {"K=\"", "K", -1, "", false},
      {"K=a\\b\\", "K", -1, "a\\b\\", false},
      {"K=a=b", "K", -1, "a=b", false},
      {"Header[3]=x", "Header", 3, "x", false},
      {"Header(12)", "Header", 12, "", true},
      {"Header[-2]=y", "Header", -2, "y", false},
      {"He[1]ad=z", "Head", 1, "z", false},
      {"Header[abc]=x", "Header", 0, "x", false},
      {"Header[4", "Header", 4, "", true},
      {"", "", -1, "", true},
      {"=v", "", -1, "v", false},
  };
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(c.text);
    ParsedSetting s = parseSetting(c.text);
    EXPECT_EQ(s.name, c.name);
    EXPECT_EQ(s.index, c.index);
    EXPECT_EQ(s.value, c.value);
    EXPECT_EQ(s.query, c.query);
  }
}

TEST(ReadValues, Booleans) {
  const std::pair<const char *, bool> cases[] = {
      {"TRUE", true}, {"true", true}, {"True", true},   {"yes", true},
      {"YES", true},  {"1", true},    {"on", false},    {"0", false},
      {"", false},    {"11", false},  {"truex", false}, {" true", false},
  };
  for (auto &[text, expected] : cases) EXPECT_EQ(readBool(text), expected) << text;
}

TEST(ReadValues, Integers) {
  const std::pair<const char *, int32_t> cases[] = {
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"-7", -7},
      {"+8", 8},
      {"-", 0},
      {" 5", 0},
      {"2147483647", 2147483647},
      {"99999999999999999999", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"-99999999999999999999", -2147483647 - 1},
  };
  for (auto &[text, expected] : cases) EXPECT_EQ(readInt(text), expected) << text;
}

class ConfigLookup : public ::testing::Test {
 protected:
  testsupport::EventRecorder host;
  testcore::TestCore core{&testsupport::EventRecorder::callback, &host};
  // Config through the core interface: code and answer.
  std::pair<int, std::string> config(const char *text) {
    pelnet_slot args[2] = {reinterpret_cast<pelnet_slot>(text), 0};
    int lengths[2] = {};
    int rc = core.apiDo(testcore::kConfig, 1, args, lengths);
    return {rc, reinterpret_cast<const char *>(args[1])};
  }
};

struct Exchange {
  const char *text;
  int code;
  const char *answer;
};

TEST_F(ConfigLookup, CommonSettingsInSequence) {
  // Each step runs on the same core, in order.
  const Exchange steps[] = {
      {"selectwaitmillis=50", 0, ""},
      {"SelectWaitMillis", 0, "50"},
      {"SelectWaitMillis=-3", 0, ""},
      {"SelectWaitMillis", 0, "0"},
      {"AbsoluteTimeout", 0, "False"},
      {"AbsoluteTimeout=yes", 0, ""},
      {"AbsoluteTimeout", 0, "True"},
      {"AbsoluteTimeout=on", 0, ""},
      {"AbsoluteTimeout", 0, "False"},
      {"UseIPv6", 0, "False"},
      {"UseIPv6= \"TRUE\" ", 0, ""},
      {"UseIPv6", 0, "True"},
      {"Timeout =5", -1, ""},
      {"QOSTrafficType=voice", 0, ""},
      {"QOSTrafficType", 0, "4"},
      {"QOSTrafficType=AUDIOVIDEO", 0, ""},
      {"QOSTrafficType", 0, "3"},
      {"QOSTrafficType=17x", 0, ""},
      {"QOSTrafficType", 0, "17"},
      {"QOSDSCPValue=46", 0, ""},
      {"QOSDSCPValue", 0, "46"},
      {"NoSuchSetting", -1, ""},
      {"NoSuchSetting=1", -1, ""},
      {"WinsockVersion", 0, "2.2"},
      {"WinsockVersion=3.0", 0, ""},
      {"WinsockVersion", 0, "2.2"},
      {"WinsockStatus", 0, "0"},
      {"WinsockStatus=5", 0, ""},
      {"WinsockStatus", 0, "0"},
      {"TimeoutInMilliseconds", 0, "0"},
      {"TimeoutInMilliseconds=1", 0, ""},
      {"TimeoutInMilliseconds", 0, "1"},
      {"IgnoreExternalEvents", 0, "False"},
      {"IgnoreExternalEvents=true", 0, ""},
      {"IgnoreExternalEvents", 0, "True"},
      {"UseSystemSSPI", 0, "True"},
      {"KerberosSPN=HTTP/host.example", 0, ""},
      {"KerberosSPN", 0, "HTTP/host.example"},
      {"RecordToFile= \"/tmp/a b.log\"", 0, ""},
      {"RecordToFile", 0, "/tmp/a b.log"},
      {"CodePage", 0, "0"},
      {"CodePage=1252", 0, ""},
      {"CodePage", 0, "1252"},
      {"CharsetMode", 0, "0"},
      {"CharsetMode=257", 0, ""},
      {"CharsetMode", 0, "1"},
  };
  for (const Exchange &e : steps) {
    SCOPED_TRACE(e.text);
    auto [code, answer] = config(e.text);
    EXPECT_EQ(code, e.code);
    EXPECT_EQ(answer, e.answer);
    if (e.code == -1) {
      EXPECT_STREQ(core.apiLastError(), "Unknown config setting.");
    }
  }
}

TEST_F(ConfigLookup, ComponentLayerComesFirst) {
  // "Timeout" is known only to the component layer of the test core.
  EXPECT_EQ(config("Timeout=3"), std::make_pair(0, std::string()));
  EXPECT_EQ(config("timeout"), std::make_pair(0, std::string("3")));
  EXPECT_EQ(core.apiGet(testcore::kTimeout, 0, nullptr), 3);
  // The units follow TimeoutInMilliseconds: the number stays.
  EXPECT_EQ(config("TimeoutInMilliseconds=True").first, 0);
  EXPECT_EQ(config("Timeout"), std::make_pair(0, std::string("3")));
  EXPECT_EQ(core.socket().timeoutMs, 3u);
}

}  // namespace
