// A core built with the export macro and loaded with dlopen: only the ten
// interface functions are visible, the image start has run when the library
// is loaded, and an instance works through the exported functions alone.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "pelnet/core_interface.h"
#include "core_client.h"
#include "pelnet/runtime/core_base.h"
#include "test_core.h"

#ifndef TEST_CORE_LIBRARY
#error "TEST_CORE_LIBRARY must name the test core library"
#endif

namespace {

class CoreLibrary : public ::testing::Test {
 protected:
  testsupport::CoreLibrary library{TEST_CORE_LIBRARY, "RuntimeTest"};
  void *lib = library.handle();
};

TEST_F(CoreLibrary, ExportsTheTenFunctions) {
  const char *names[] = {
      "Create",       "Destroy",          "Set",        "Get",        "Do",
      "GetLastError", "GetLastErrorCode", "CheckIndex", "StaticInit", "StaticDestroy"};
  for (const char *n : names) {
    std::string full = std::string("Pelnet_RuntimeTest_") + n;
    EXPECT_NE(dlsym(lib, full.c_str()), nullptr) << full;
  }
}

TEST_F(CoreLibrary, HidesTheRuntime) {
  // Mangled names of runtime functions and of the image state: none may be
  // visible, or two loaded cores could end up sharing one runtime.
  const char *hidden[] = {"_ZN6pelnet9tickCountEv", "_ZN6pelnet10imageStateEv",
                          "_ZN6pelnet12textFromCodeB5cxx11Ei", "_ZN6pelnet10staticInitEPv"};
  for (const char *n : hidden) EXPECT_EQ(dlsym(lib, n), nullptr) << n;
}

TEST_F(CoreLibrary, InstanceThroughTheExports) {
  testsupport::CoreClient c(library.functions());
  EXPECT_EQ(c.setInt(testcore::kTimeout, 12), 0);
  EXPECT_EQ(c.getInt(testcore::kTimeout + PELNET_WIDE_OFFSET), 12);
  testsupport::CallResult answer;
  ASSERT_EQ(c.callWide(testcore::kConfig, {u"WinsockVersion"}, &answer), 0);
  EXPECT_EQ(answer.wide(), u"2.2");
  EXPECT_EQ(c.checkIndex(testcore::kItems, 9), 280);
  EXPECT_EQ(c.setInt(99, 1), -1);
  EXPECT_EQ(c.lastErrorCode(), -1);
  EXPECT_EQ(c.lastError(), "[-1] (no description available)");
}

TEST_F(CoreLibrary, InstanceWithoutCallback) {
  const testsupport::CoreFunctions &f = library.functions();
  void *core = f.create(nullptr, nullptr);
  ASSERT_NE(core, nullptr);
  EXPECT_EQ(f.set(core, testcore::kTimeout, 0, 3, 0), 0);
  EXPECT_EQ(f.destroy(core), 0);
}

// An exception in the core, in the host's callback or under the GLib
// dispatch of a notification ends at the exported function as the call's
// error code and text; the instance stays usable.
TEST_F(CoreLibrary, NoExceptionCrossesTheInterface) {
  using namespace testcore;
  testsupport::CoreClient c(library.functions());
  // The host's handler of event `id` throws (std::bad_alloc when `allocation`).
  auto throwOn = [&](int id, bool allocation) {
    c.events.handle(
        id,
        [allocation](const testsupport::EventCall &) {
          if (allocation) throw std::bad_alloc();
          throw std::runtime_error("handler failed");
        },
        false);
  };
  // One datagram for the port, then a wait for it.
  auto waitForDatagram = [&](const char *payload) {
    c.setInt(kTimeout, 5);
    sendDatagram(static_cast<int>(c.getInt(kPort)), payload);
    return c.call(kWaitPackets, {c.getInt(kCount) + 1});
  };
  const std::vector<testsupport::Arg> errorEvent = {5, "x"};

  const struct {
    const char *what;
    std::function<int()> run;
    int code;
    const char *text;
  } cases[] = {
      {"core: bad_alloc", [&] { return c.call(kThrow, {0}); }, 200, "Out of memory."},
      {"core: length_error", [&] { return c.call(kThrow, {3}); }, 200, "Out of memory."},
      {"core: runtime_error", [&] { return c.call(kThrow, {1}); }, 299,
       "Unexpected failure: test failure"},
      {"core: not an exception class", [&] { return c.call(kThrow, {2}); }, 299,
       "Unexpected failure."},
      {"core: Set", [&] { return c.setInt(kThrowing, 1); }, 200, "Out of memory."},
      {"host: Error event",
       [&] {
         throwOn(kError, false);
         return c.call(kFireError, errorEvent);
       },
       299, "Unexpected failure: handler failed"},
      {"host: Error event, bad_alloc",
       [&] {
         throwOn(kError, true);
         return c.call(kFireError, errorEvent);
       },
       200, "Out of memory."},
      {"host: Packet event under the GLib dispatch",
       [&] {
         throwOn(kPacket, false);
         return waitForDatagram("one");
       },
       299, "Unexpected failure: handler failed"},
      {"core: notification handler under the GLib dispatch",
       [&] { return waitForDatagram(kThrowingPayload); }, 299,
       "Unexpected failure: notification failure"},
  };
  for (const auto &k : cases) {
    EXPECT_EQ(k.run(), k.code) << k.what;
    EXPECT_EQ(c.lastErrorCode(), k.code) << k.what;
    EXPECT_EQ(c.lastError(), k.text) << k.what;
    // The next call starts clean and works.
    c.events.forget(kError);
    c.events.forget(kPacket);
    EXPECT_EQ(c.setText(kName, "after"), 0) << k.what;
    EXPECT_EQ(c.lastErrorCode(), 0) << k.what;
    EXPECT_EQ(c.getText(kName), "after") << k.what;
  }

  // A read that throws returns 0 and leaves the code for the caller to see.
  EXPECT_EQ(c.getBytes(kThrowing), "");
  EXPECT_EQ(c.getInt(kThrowing), 0);
  EXPECT_EQ(c.lastErrorCode(), 200);
}

// Runs after a test that waited inside the library: waiting must leave
// nothing (such as a thread-local with a destructor) that pins the image.
TEST(CoreLibraryUnload, DlcloseUnloadsTheCore) {
  void *lib = dlopen(TEST_CORE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  ASSERT_EQ(dlclose(lib), 0);
  // Still loaded would mean an exported unique symbol pinned it in memory.
  void *again = dlopen(TEST_CORE_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(again, nullptr);
  if (again != nullptr) dlclose(again);
}

TEST(ImageState, StartAndStop) {
  pelnet::ImageState &s = pelnet::imageState();
  int marker = 0;
  EXPECT_EQ(pelnet::staticInit(&marker), 0);
  EXPECT_EQ(s.module, &marker);
  EXPECT_EQ(s.winsockStatus, 0);
  EXPECT_EQ(s.winsockVersion, 0x0202);
  void *probe = dlopen("libgssapi_krb5.so.2", RTLD_NOW | RTLD_NOLOAD);
  // Present on this system or not, the image starts; when present it is kept.
  EXPECT_EQ(s.gssapi != nullptr, probe != nullptr);
  if (probe != nullptr) dlclose(probe);
  EXPECT_EQ(pelnet::staticDestroy(), 0);
  EXPECT_EQ(s.gssapi, nullptr);
  EXPECT_EQ(s.module, nullptr);
}

}  // namespace
