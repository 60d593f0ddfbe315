// Error texts and the mapping of errno and resolver results onto Winsock codes.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <set>

#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/socket_object.h"

namespace {
using namespace pelnet;

TEST(ErrorTexts, TextFromCode) {
  const std::pair<int, const char *> cases[] = {
      {301, "Interrupted."},
      {200, "Out of memory."},
      {10061, "[10061] Connection refused"},
      {10060, "[10060] Connection timed out"},
      {10066, "[10066] Directory not empt"},
      {10093, "[10093] Winsock not loaded yet (WSANOTINITIALISED)"},
      {11001, "[11001] Host not found"},
      {11002, "[11002] Non-authoritative 'Host not found' (try again or check DNS setup)"},
      {11004, "[11004] Valid name, no data record (check DNS setup)"},
      {434, "[434] (no description available)"},
      {12345, "[12345] (no description available)"},
      {-1, "[-1] (no description available)"},
      {10001, "[10001] (no description available)"},
  };
  for (auto &[code, text] : cases) EXPECT_EQ(textFromCode(code), text) << code;
}

TEST(ErrorTexts, TableHoldsOnlyItsCodes) {
  EXPECT_STREQ(winsockText(10004), "Interrupted system call");
  EXPECT_STREQ(winsockText(10091), "Network subsystem is unavailable");
  EXPECT_EQ(winsockText(10072), nullptr);
  EXPECT_EQ(winsockText(0), nullptr);
  EXPECT_EQ(winsockText(11005), nullptr);
}

// A core's list in the form every core writes it.
#define TEST_CORE_ERRORS(X)                 \
  X(kTestNotActive, 109, "Must be Active.") \
  X(kTestTwoTexts, 116, nullptr)            \
  X(kTestOwnOutOfMemory, 200, "Core's own text.")
enum TestError : int { TEST_CORE_ERRORS(PELNET_ERROR_ENUM) };
constexpr ErrorEntry kTestErrors[] = {TEST_CORE_ERRORS(PELNET_ERROR_ENTRY)};

TEST(ErrorLists, CodeAndTextFromOneList) {
  static_assert(kTestNotActive == 109 && kTestTwoTexts == 116);
  const struct {
    int code;
    const char *listed;  // nullptr: no fixed text
    const char *text;    // the text of a failure raised with the code alone
  } rows[] = {
      {109, "Must be Active.", "Must be Active."},
      {116, nullptr, "[116] (no description available)"},
      {200, "Core's own text.", "Core's own text."},               // the core's list is read first
      {-1, "Unknown config setting.", "Unknown config setting."},  // the runtime's list
      {301, nullptr, "Interrupted."},
      {434, nullptr, "[434] (no description available)"},
      {10061, nullptr, "[10061] Connection refused"},
      {777, nullptr, "[777] (no description available)"},
  };
  for (const auto &r : rows) {
    const char *listed = listedErrorText(kTestErrors, r.code);
    if (r.listed)
      EXPECT_STREQ(listed, r.listed) << r.code;
    else
      EXPECT_EQ(listed, nullptr) << r.code;
    EXPECT_EQ(errorText(kTestErrors, r.code), r.text) << r.code;
  }
  // Without a core's list the runtime's own texts remain.
  EXPECT_STREQ(listedErrorText({}, kOutOfMemory), "Out of memory.");
  EXPECT_EQ(errorText({}, kTestNotActive), "[109] (no description available)");
}

TEST(ErrorLists, SocketObjectRaisesWithTheCodeAlone) {
  SocketObject so;
  EXPECT_EQ(so.fail(kTestNotActive), 109);
  EXPECT_EQ(so.lastErrorText, "[109] (no description available)") << "no list handed over yet";
  so.setErrorTable(kTestErrors);
  EXPECT_EQ(so.fail(kTestNotActive), 109);
  EXPECT_EQ(so.lastErrorText, "Must be Active.");
  EXPECT_EQ(so.fail(kTestTwoTexts, "Second text."), 116);
  EXPECT_EQ(so.lastErrorText, "Second text.");
  EXPECT_EQ(so.fail(kWaitEnded, kTextTimeout), 301);
  EXPECT_EQ(so.lastErrorText, "Timeout.");
  EXPECT_EQ(so.fail(kUnknownSetting), -1);
  EXPECT_EQ(so.lastErrorText, "Unknown config setting.");
}

TEST(ErrorLists, WinsockNamesCarryTheirNumbers) {
  const std::pair<int, int> cases[] = {
      {kWsaInterrupted, 10004},  {kWsaBadFile, 10009},        {kWsaWouldBlock, 10035},
      {kWsaAddrNotAvail, 10049}, {kWsaConnReset, 10054},      {kWsaNotConnected, 10057},
      {kWsaConnRefused, 10061},  {kWsaNotInitialised, 10093}, {kHostNotFound, 11001},
      {kNoData, 11004},
  };
  for (auto &[name, code] : cases) {
    EXPECT_EQ(name, code);
    EXPECT_NE(winsockText(code), nullptr) << code;
  }
}

TEST(ErrnoMapping, NamedCases) {
  const std::pair<int, int> cases[] = {
      {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060}, {ENETUNREACH, 10051}, {EHOSTUNREACH, 10065},
      {EADDRINUSE, 10048},   {EACCES, 10013},    {EWOULDBLOCK, 10035}, {EINPROGRESS, 10036},
      {EMSGSIZE, 10040},     {ENOTSOCK, 10038},  {ECONNRESET, 10054},  {EINTR, 10004},
  };
  for (auto &[err, code] : cases) {
    EXPECT_EQ(winsockFromErrno(err), code) << err;
    EXPECT_EQ(errnoFromWinsock(code), err) << code;
  }
}

TEST(ErrnoMapping, BothWaysOverTheWholeRange) {
  // Every Winsock code with an errno counterpart maps back to itself, and
  // every errno that maps into the Winsock range maps back to an errno that
  // gives the same code again.
  int mapped = 0;
  for (int code = 10000; code <= 11100; ++code) {
    int err = errnoFromWinsock(code);
    if (err == 0) continue;
    ++mapped;
    EXPECT_EQ(winsockFromErrno(err), code) << code;
    EXPECT_NE(winsockText(code), nullptr) << "no text for mapped code " << code;
  }
  EXPECT_GE(mapped, 40);
  std::set<int> codes;
  for (int err = 1; err < 200; ++err) {
    int code = winsockFromErrno(err);
    if (code == err) continue;  // passed through unchanged
    EXPECT_GE(code, 10004) << err;
    EXPECT_NE(winsockText(code), nullptr) << err;
    EXPECT_EQ(winsockFromErrno(errnoFromWinsock(code)), code) << err;
    codes.insert(code);
  }
  EXPECT_GE(codes.size(), 40u);
}

TEST(ErrnoMapping, LinuxAliasesAndUnknownValues) {
  EXPECT_EQ(winsockFromErrno(EPERM), 10013);
  EXPECT_EQ(winsockFromErrno(EPIPE), 10058);
  EXPECT_EQ(winsockFromErrno(ENOENT), ENOENT);
  EXPECT_EQ(errnoFromWinsock(11001), 0);
  EXPECT_EQ(errnoFromWinsock(12345), 0);
}

TEST(ResolverMapping, Cases) {
  const std::pair<int, int> cases[] = {
      {0, 0},
      {EAI_NONAME, 11001},
      {EAI_AGAIN, 11002},
      {EAI_FAIL, 11003},
      {EAI_NODATA, 11004},
      {EAI_ADDRFAMILY, 11004},
      {EAI_MEMORY, 10055},
      {EAI_FAMILY, 10047},
  };
  for (auto &[eai, code] : cases) EXPECT_EQ(winsockFromResolver(eai), code) << eai;
  errno = ECONNREFUSED;
  EXPECT_EQ(winsockFromResolver(EAI_SYSTEM), 10061);
}

}  // namespace
