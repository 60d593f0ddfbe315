// Binding core libraries: from memory files, by name, and every way it fails.
#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include <climits>
#include <string>

#include "core_units.h"
#include "frame_fixture.h"

namespace {

std::string fdTarget(int fd) {
  char buf[PATH_MAX] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, n) : std::string();
}

bool allSlotsEmpty(const pelnet::CoreFunctions &f) {
  return !f.Create && !f.Destroy && !f.Set && !f.Get && !f.GetLastError && !f.CheckIndex && !f.Do;
}

void expectCreationFails(const TpelComponentKind &kind, int expectedCode, const QString &message) {
  try {
    TpelFrameTest comp(kind);
    ADD_FAILURE() << "component created";
  } catch (const EPelnet &e) {
    EXPECT_EQ(e.Code(), expectedCode);
    EXPECT_EQ(e.Message(), message);
  }
}

const QString kCreationMessage = QStringLiteral("-1: ") + QLatin1String(kFrameTestCreationText);

TEST(CoreBinding, BrokenImagesLeaveEverySlotEmpty) {
  const std::vector<unsigned char> real = ReadFileBytes(FRAMETEST_CORE_PATH);
  ASSERT_GT(real.size(), 4096u);
  const std::string junk = "this is not a shared library at all";
  struct Case {
    const char *what;
    std::vector<unsigned char> bytes;
  };
  const Case cases[] = {
      {"absent image", {}},
      {"corrupt bytes", std::vector<unsigned char>(junk.begin(), junk.end())},
      {"truncated library", std::vector<unsigned char>(real.begin(), real.begin() + 2048)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestCore core(ImageSlot(0, c.bytes));
    EXPECT_EQ(core.binding.useCount, 1);
    EXPECT_EQ(core.binding.module, nullptr);
    EXPECT_EQ(core.binding.memfd, -1);  // nothing left open
    EXPECT_TRUE(allSlotsEmpty(core.binding.fn));
    expectCreationFails(core.kind, -1, kCreationMessage);
  }
}

TEST(CoreBinding, MissingExportLeavesOnlyItsSlotEmpty) {
  {
    TestCore core(ImageSlot(0, ReadFileBytes(FRAMETEST_NODO_PATH)));
    ASSERT_NE(core.binding.module, nullptr);
    EXPECT_EQ(core.binding.fn.Do, nullptr);
    EXPECT_NE(core.binding.fn.Create, nullptr);
    EXPECT_NE(core.binding.fn.Get, nullptr);
    // The component works; members needing the missing function do nothing.
    TpelFrameTest comp(core.kind);
    comp.setLabel(QStringLiteral("kept"));
    EXPECT_EQ(comp.Label(), QStringLiteral("kept"));
    EXPECT_EQ(comp.Echo(QStringLiteral("x")), QString());
    EXPECT_NO_THROW(comp.Fail(55));
  }
  {
    TestCore core(ImageSlot(1, ReadFileBytes(FRAMETEST_NOCREATE_PATH)));
    ASSERT_NE(core.binding.module, nullptr);
    EXPECT_EQ(core.binding.fn.Create, nullptr);
    EXPECT_NE(core.binding.fn.Do, nullptr);
    expectCreationFails(core.kind, -1, kCreationMessage);
    EXPECT_EQ(core.counters()->destroys, 0);
  }
}

TEST(CoreBinding, UseCountBindsOnceAndUnbindsOnLastRelease) {
  TestCore core(ImageSlot(0, ReadFileBytes(FRAMETEST_CORE_PATH)));
  ASSERT_NE(core.binding.module, nullptr);
  void *module = core.binding.module;
  const int fd = core.binding.memfd;
  ASSERT_GE(fd, 0);
  EXPECT_NE(fdTarget(fd).find("pelnet_FrameTest"), std::string::npos) << fdTarget(fd);

  pelnet::AcquireCore(core.binding);  // a second unit
  EXPECT_EQ(core.binding.useCount, 2);
  EXPECT_EQ(core.binding.module, module);
  pelnet::ReleaseCore(core.binding);
  EXPECT_EQ(core.binding.module, module);
  EXPECT_NE(core.binding.fn.Create, nullptr);

  pelnet::ReleaseCore(core.binding);
  EXPECT_EQ(core.binding.useCount, 0);
  EXPECT_EQ(core.binding.module, nullptr);
  EXPECT_EQ(core.binding.memfd, -1);
  EXPECT_TRUE(allSlotsEmpty(core.binding.fn));
  EXPECT_EQ(fdTarget(fd).find("pelnet_FrameTest"), std::string::npos);  // memory file closed
  pelnet::ReleaseCore(core.binding);  // an extra release stays at 0
  EXPECT_EQ(core.binding.useCount, 0);
  pelnet::AcquireCore(core.binding);  // for the destructor's release
  EXPECT_NE(core.binding.module, nullptr);
}

TEST(CoreBinding, EachBindingLoadsItsOwnCopy) {
  const std::vector<unsigned char> bytes = ReadFileBytes(FRAMETEST_CORE_PATH);
  TestCore a(ImageSlot(0, bytes));
  TestCore b(ImageSlot(1, bytes));
  ASSERT_NE(a.counters(), nullptr);
  ASSERT_NE(b.counters(), nullptr);
  EXPECT_NE(a.binding.module, b.binding.module);
  EXPECT_NE(a.counters(), b.counters());  // separate state per loaded core
  EXPECT_NE(a.binding.fn.Create, b.binding.fn.Create);

  // A rebind after unbinding gets a fresh library, not the old one.
  a.counters()->creates = 9;
  pelnet::ReleaseCore(a.binding);
  pelnet::AcquireCore(a.binding);
  ASSERT_NE(a.counters(), nullptr);
  EXPECT_EQ(a.counters()->creates, 0);
}

TEST(CoreBinding, LoadsByNameWhenNoImageIsUsed) {
  // The test's environment puts the test core's folder on the library search path.
  TestCore core(nullptr, "libpelnet_frametest.so");
  ASSERT_NE(core.binding.module, nullptr);
  EXPECT_EQ(core.binding.memfd, -1);
  TpelFrameTest comp(core.kind);
  EXPECT_EQ(comp.Add(1, 2), 3);

  TestCore missing(nullptr, "libpelnet_no_such_core.so");
  EXPECT_EQ(missing.binding.module, nullptr);
  expectCreationFails(missing.kind, -1, kCreationMessage);
}

// Makes memfd_create fail with ENOSYS in this process, as on a system without it.
bool forbidMemoryFiles() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_memfd_create, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Binds in a child process without memory files; exits 0 when the result
// is as expected.
[[noreturn]] void bindWithoutMemoryFiles(const char *library, bool expectLoaded) {
  if (!forbidMemoryFiles()) std::_Exit(2);
  TestCore core(ImageSlot(0, ReadFileBytes(FRAMETEST_CORE_PATH)), library);
  const bool loaded = core.binding.module != nullptr && core.binding.fn.Create != nullptr;
  std::_Exit(core.binding.memfd == -1 && loaded == expectLoaded ? 0 : 1);
}

TEST(CoreBindingDeathTest, WithoutMemoryFilesTheLibraryIsLoadedByName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The test's environment puts the test core's folder on the library search path.
  EXPECT_EXIT(bindWithoutMemoryFiles("libpelnet_frametest.so", true), ::testing::ExitedWithCode(0),
              "");
  EXPECT_EXIT(bindWithoutMemoryFiles("libpelnet_no_such_core.so", false),
              ::testing::ExitedWithCode(0), "");
}

// A component over one of the program's kinds; its class is not the point here.
struct BareComponent : TpelCore {
  explicit BareComponent(const TpelComponentKind &k) : TpelCore(nullptr, k) {}
};

TEST(CoreUnits, KindsWithoutImagesFailWithTheirOwnException) {
  {
    TCoreUnits units;  // this test program carries no core images
    EXPECT_EQ(pelnet::PingCoreBinding().useCount, 1);
    EXPECT_EQ(pelnet::SMTPCoreBinding().useCount, 1);
    EXPECT_EQ(pelnet::SysLogCoreBinding().useCount, 1);
    EXPECT_THROW(BareComponent{PingComponent()}, EpelPing);
    EXPECT_THROW(BareComponent{SMTPComponent()}, EpelSMTP);
    EXPECT_THROW(BareComponent{SysLogComponent()}, EpelSysLog);
    struct Case {
      const TpelComponentKind &kind;
      const char *message;
      int interrupt;
    };
    const Case cases[] = {
        {PingComponent(), "-1: Pelnet Ping: Error creating component", 4},
        {SMTPComponent(), "-1: Pelnet SMTP: Error creating component", 7},
        {SysLogComponent(), "-1: Pelnet SysLog: Error creating component", 5},
    };
    for (const Case &c : cases) {
      EXPECT_EQ(c.kind.interruptMethod, c.interrupt);
      try {
        BareComponent comp(c.kind);
        ADD_FAILURE() << "created";
      } catch (const EPelnet &e) {
        EXPECT_EQ(e.Code(), -1);
        EXPECT_EQ(e.Message(), QString::fromLatin1(c.message));
      }
    }
  }
  EXPECT_EQ(pelnet::PingCoreBinding().useCount, 0);
  EXPECT_EQ(pelnet::SysLogCoreBinding().useCount, 0);
}

}  // namespace
