// The wire side of CoreBase: plain and wide ids, texts in the code page and
// as UTF-16, raw bytes with their length, the reserved read ids, the error
// finishing of Set and Do, and the -10000 event handshake.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pelnet/runtime/errors.h"
#include "test_core.h"
#include "core_client.h"

namespace {
using namespace testcore;
constexpr int W = PELNET_WIDE_OFFSET;

class CoreBaseTest : public ::testing::Test {
 protected:
  testsupport::EventRecorder host;
  TestCore core{&testsupport::EventRecorder::callback, &host};

  std::string narrow(int id, int index = 0) {
    return reinterpret_cast<const char *>(core.apiGet(id, index, nullptr));
  }
  std::u16string wide(int id, int index = 0) {
    return reinterpret_cast<const char16_t *>(core.apiGet(id + W, index, nullptr));
  }
  int setWide(int id, const std::u16string &text, int index = 0) {
    return core.apiSet(id + W, index, reinterpret_cast<pelnet_slot>(text.c_str()), 0);
  }
  // Config through the wide Do, returning the code and the wide answer.
  int config(const std::u16string &text, std::u16string *answer = nullptr) {
    pelnet_slot args[2] = {reinterpret_cast<pelnet_slot>(text.c_str()), 0};
    int lengths[2] = {0, 0};
    int rc = core.apiDo(kConfig + W, 1, args, lengths);
    if (answer != nullptr) *answer = reinterpret_cast<const char16_t *>(args[1]);
    return rc;
  }
  int fail(int code, const std::string &text) {
    pelnet_slot args[3] = {code, reinterpret_cast<pelnet_slot>(text.c_str()), 0};
    int lengths[3] = {};
    return core.apiDo(kFail, 2, args, lengths);
  }
};

TEST_F(CoreBaseTest, IntegersAreTheSameOnPlainAndWideIds) {
  EXPECT_EQ(core.apiSet(kTimeout, 0, 7, 0), 0);
  EXPECT_EQ(core.apiGet(kTimeout, 0, nullptr), 7);
  EXPECT_EQ(core.apiGet(kTimeout + W, 0, nullptr), 7);
  EXPECT_EQ(core.apiSet(kTimeout + W, 0, 9, 0), 0);
  EXPECT_EQ(core.apiGet(kTimeout + W, 0, nullptr), 9);
}

TEST_F(CoreBaseTest, NonAsciiTextSurvivesBothDirections) {
  const std::u16string name = u"Grüße ✓ 日本";
  ASSERT_EQ(setWide(kName, name), 0);
  EXPECT_EQ(wide(kName), name);
  EXPECT_EQ(narrow(kName), "Grüße ✓ 日本");  // the core's code page: UTF-8
  ASSERT_EQ(core.apiSet(kName, 0, reinterpret_cast<pelnet_slot>("plain ä"), 0), 0);
  EXPECT_EQ(wide(kName), u"plain ä");
}

TEST_F(CoreBaseTest, EmptyAndMissingTextsAreEmpty) {
  ASSERT_EQ(setWide(kName, u"x"), 0);
  ASSERT_EQ(setWide(kName, u""), 0);
  EXPECT_EQ(wide(kName), u"");
  ASSERT_EQ(setWide(kName, u"x"), 0);
  ASSERT_EQ(core.apiSet(kName + W, 0, 0, 0), 0);
  const char16_t *p = reinterpret_cast<const char16_t *>(core.apiGet(kName + W, 0, nullptr));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], u'\0');
}

TEST_F(CoreBaseTest, RawBytesTravelWithTheirLength) {
  const std::string bytes("a\0b\xff\0", 5);
  ASSERT_EQ(core.apiSet(kBlob, 0, reinterpret_cast<pelnet_slot>(bytes.data()), 5), 0);
  int length = -1;
  auto *p = reinterpret_cast<const char *>(core.apiGet(kBlob, 0, &length));
  ASSERT_EQ(length, 5);
  EXPECT_EQ(std::string(p, 5), bytes);
  // A method with a raw-bytes argument and result.
  pelnet_slot args[3] = {reinterpret_cast<pelnet_slot>("x"),
                         reinterpret_cast<pelnet_slot>(bytes.data()), 0};
  int lengths[3] = {0, 5, 0};
  ASSERT_EQ(core.apiDo(kConcat, 2, args, lengths), 0);
  ASSERT_EQ(lengths[2], 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(args[2]), 6), "x" + bytes);
}

TEST_F(CoreBaseTest, UnknownIdsAnswerMinusOne) {
  EXPECT_EQ(core.apiGet(77, 0, nullptr), -1);
  EXPECT_EQ(core.apiGet(77 + W, 0, nullptr), -1);
  EXPECT_EQ(core.apiSet(77, 0, 1, 0), -1);
  EXPECT_EQ(core.apiLastErrorCode(), -1);
  EXPECT_EQ(core.apiDo(77 + W, 0, nullptr, nullptr), -1);
  // A read-only property refuses writes the same way.
  EXPECT_EQ(core.apiSet(kCount, 0, 5, 0), -1);
}

TEST_F(CoreBaseTest, ReservedReadIds) {
  std::string build = narrow(PELNET_GET_BUILD_ID);
  EXPECT_EQ(build.rfind("Pelnet runtime ", 0), 0u) << build;
  std::u16string wideBuild = reinterpret_cast<const char16_t *>(core.apiGet(W, 0, nullptr));
  EXPECT_EQ(wideBuild.size(), build.size());
  EXPECT_EQ(core.apiGet(PELNET_GET_CODE_PAGE, 0, nullptr), 65001);
  ASSERT_EQ(config(u"CodePage=1252"), 0);
  EXPECT_EQ(core.apiGet(PELNET_GET_CODE_PAGE, 0, nullptr), 1252);
}

TEST_F(CoreBaseTest, CodePageGovernsNarrowTexts) {
  ASSERT_EQ(config(u"CodePage=1252"), 0);
  ASSERT_EQ(setWide(kName, u"é€"), 0);
  EXPECT_EQ(narrow(kName), "\xE9\x80");
  EXPECT_EQ(wide(kName), u"é€");
  ASSERT_EQ(config(u"CodePage=932"), 0);
  ASSERT_EQ(setWide(kName, u"日本"), 0);
  EXPECT_EQ(narrow(kName), "\x93\xFA\x96\x7B");
}

TEST_F(CoreBaseTest, UnconvertibleTextFailsWith434) {
  ASSERT_EQ(config(u"CodePage=20127"), 0);
  EXPECT_EQ(setWide(kName, u"ü"), pelnet::kConversion);
  EXPECT_STREQ(core.apiLastError(), "[434] (no description available)");
  ASSERT_EQ(config(u"CodePage=65001"), 0);
  const char16_t lone[] = {u'a', 0xD800, 0};
  EXPECT_EQ(core.apiSet(kName + W, 0, reinterpret_cast<pelnet_slot>(lone), 0), pelnet::kConversion);
  ASSERT_EQ(config(u"CodePage=99999"), 0);  // not range-checked, but no text converts any more
  EXPECT_EQ(setWide(kName, u"a"), pelnet::kConversion);
}

struct FinishCase {
  int code;
  const char *ownText;
  const char *expected;
};

TEST_F(CoreBaseTest, ErrorFinishingDerivesTextsOnlyWhenNoneWasSet) {
  const FinishCase cases[] = {
      {10060, "", "[10060] Connection timed out"},
      {10061, "", "[10061] Connection refused"},
      {12345, "", "[12345] (no description available)"},
      {434, "", "[434] (no description available)"},
      {301, "", "Interrupted."},
      {200, "", "Out of memory."},
      {301, "Timeout.", "Timeout."},
      {11001, "Own text.", "Own text."},
      {-1, "", "[-1] (no description available)"},
  };
  for (const FinishCase &c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(fail(c.code, c.ownText), c.code);
    EXPECT_EQ(core.apiLastErrorCode(), c.code);
    EXPECT_STREQ(core.apiLastError(), c.expected);
  }
}

TEST_F(CoreBaseTest, SuccessClearsTheCodeAndGetKeepsTheText) {
  ASSERT_EQ(core.apiSet(kItems, 5, reinterpret_cast<pelnet_slot>("x"), 0), pelnet::kInvalidIndex);
  EXPECT_STREQ(core.apiLastError(), "Bad item.");
  core.apiGet(kTimeout, 0, nullptr);
  EXPECT_EQ(core.apiLastErrorCode(), 0);
  EXPECT_STREQ(core.apiLastError(), "Bad item.");
  EXPECT_EQ(fail(10060, ""), 10060);
  EXPECT_EQ(core.apiDo(kNoop, 0, nullptr, nullptr), 0);
  EXPECT_EQ(core.apiLastErrorCode(), 0);
}

TEST_F(CoreBaseTest, IndexedReadsCheckTheIndex) {
  EXPECT_EQ(core.apiCheckIndex(kItems, 2), 0);
  EXPECT_EQ(core.apiCheckIndex(kItems, 3), pelnet::kInvalidIndex);
  EXPECT_EQ(wide(kItems, 1), u"one");
  ASSERT_EQ(setWide(kItems, u"EINS", 1), 0);
  EXPECT_EQ(narrow(kItems, 1), "EINS");
}

TEST_F(CoreBaseTest, ConfigAnswersInTheFormOfTheId) {
  std::u16string answer = u"stale";
  EXPECT_EQ(config(u"SelectWaitMillis", &answer), 0);
  EXPECT_EQ(answer, u"20");
  EXPECT_EQ(config(u"SelectWaitMillis=30", &answer), 0);
  EXPECT_EQ(answer, u"");
  pelnet_slot args[2] = {reinterpret_cast<pelnet_slot>("SelectWaitMillis"), 0};
  int lengths[2] = {};
  ASSERT_EQ(core.apiDo(kConfig, 1, args, lengths), 0);
  EXPECT_STREQ(reinterpret_cast<const char *>(args[1]), "30");
  EXPECT_EQ(config(u"NoSuchThing", &answer), -1);
  EXPECT_EQ(answer, u"");
  EXPECT_STREQ(core.apiLastError(), "Unknown config setting.");
}

TEST_F(CoreBaseTest, EventWithoutHandlerCostsOneCall) {
  host.describe(kError, "it");
  pelnet_slot args[3] = {10054, reinterpret_cast<pelnet_slot>("Winsock error in recv()"), 0};
  int lengths[3] = {};
  ASSERT_EQ(core.apiDo(kFireError, 2, args, lengths), 0);
  ASSERT_EQ(host.calls.size(), 1u);
  EXPECT_EQ(host.calls[0].id, kError);
  EXPECT_EQ(host.calls[0].params[0], 10054);
}

TEST_F(CoreBaseTest, EventWithHandlerIsDeliveredOnceWide) {
  host.describe(kError, "it");
  int runs = 0;
  host.handle(kError, [&](const testsupport::EventCall &c) {
    ++runs;
    EXPECT_EQ(c.params[0], 10054);
    ASSERT_EQ(c.wideTexts.size(), 2u);
    EXPECT_EQ(c.wideText(1), u"Fehler beim Lesen: ü");
  });
  pelnet_slot args[3] = {10054, reinterpret_cast<pelnet_slot>("Fehler beim Lesen: ü"), 0};
  int lengths[3] = {};
  ASSERT_EQ(core.apiDo(kFireError, 2, args, lengths), 0);
  ASSERT_EQ(host.calls.size(), 2u);
  EXPECT_EQ(host.calls[0].id, kError);
  EXPECT_EQ(host.calls[1].id, kError + W);
  EXPECT_EQ(runs, 1);
}

TEST_F(CoreBaseTest, EventParametersOfEveryKind) {
  host.describe(kPacket, "itbl");
  int64_t seen64 = 0;
  host.handle(kPacket, [&](const testsupport::EventCall &c) {
    seen64 = *reinterpret_cast<const int64_t *>(c.params[3]);
    EXPECT_EQ(c.int64s[3], 10000000000);
    EXPECT_EQ(c.wideText(1), u"hé");
    EXPECT_EQ(c.wideText(2), u"hé");
    EXPECT_EQ(c.lengths[1], 0);
    EXPECT_EQ(c.lengths[2], 2);  // raw bytes: the character count of the wide text
  });
  testcore::sendDatagram(core.port().port(), "hé");
  ASSERT_EQ(core.apiSet(kTimeout, 0, 5, 0), 0);
  pelnet_slot args[2] = {1, 0};
  int lengths[2] = {};
  ASSERT_EQ(core.apiDo(kWaitPackets, 1, args, lengths), 0) << core.apiLastError();
  ASSERT_EQ(host.calls.size(), 2u);
  // The narrow call carried the raw bytes with their byte count.
  EXPECT_EQ(host.calls[0].lengths[2], 3);
  EXPECT_EQ(host.calls[0].text(2), "hé");
  EXPECT_EQ(host.calls[0].params[0], 1);
  EXPECT_EQ(seen64, 10000000000);
}

TEST_F(CoreBaseTest, UndecodableEventTextIsDeliveredLossily) {
  host.describe(kError, "it");
  std::u16string seen;
  host.handle(kError, [&](const testsupport::EventCall &c) { seen = c.wideTexts[1]; });
  pelnet_slot args[3] = {1, reinterpret_cast<pelnet_slot>("ok\xff"), 0};
  int lengths[3] = {};
  ASSERT_EQ(core.apiDo(kFireError, 2, args, lengths), 0);
  EXPECT_EQ(seen, u"ok\uFFFD");
}

}  // namespace
