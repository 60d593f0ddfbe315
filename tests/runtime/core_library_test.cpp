// A core built with the export macro and loaded with dlopen: only the ten
// interface functions are visible, the image start has run when the library
// is loaded, and an instance works through the exported functions alone.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "pelnet/core_interface.h"
#include "pelnet/runtime/core_base.h"
#include "test_core.h"

#ifndef TEST_CORE_LIBRARY
#error "TEST_CORE_LIBRARY must name the test core library"
#endif

namespace {

class CoreLibrary : public ::testing::Test {
 protected:
  void *lib = nullptr;
  void SetUp() override {
    lib = dlopen(TEST_CORE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
  }
  void TearDown() override {
    if (lib != nullptr) dlclose(lib);
  }
  template <class Fn>
  Fn fn(const char *name) {
    return reinterpret_cast<Fn>(dlsym(lib, name));
  }
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
  auto create = fn<pelnet_create_fn>("Pelnet_RuntimeTest_Create");
  auto destroy = fn<pelnet_destroy_fn>("Pelnet_RuntimeTest_Destroy");
  auto set = fn<pelnet_set_fn>("Pelnet_RuntimeTest_Set");
  auto get = fn<pelnet_get_fn>("Pelnet_RuntimeTest_Get");
  auto doFn = fn<pelnet_do_fn>("Pelnet_RuntimeTest_Do");
  auto lastError = fn<pelnet_get_last_error_fn>("Pelnet_RuntimeTest_GetLastError");
  auto lastCode = fn<int (*)(void *)>("Pelnet_RuntimeTest_GetLastErrorCode");
  auto checkIndex = fn<pelnet_check_index_fn>("Pelnet_RuntimeTest_CheckIndex");
  ASSERT_TRUE(create && destroy && set && get && doFn && lastError && lastCode && checkIndex);

  void *core = create(nullptr, nullptr);
  ASSERT_NE(core, nullptr);
  EXPECT_EQ(set(core, 4, 0, 12, 0), 0);
  EXPECT_EQ(get(core, 10004, 0, nullptr), 12);
  const char16_t *query = u"WinsockVersion";
  pelnet_slot args[2] = {reinterpret_cast<pelnet_slot>(query), 0};
  int lengths[2] = {};
  ASSERT_EQ(doFn(core, 10002, 1, args, lengths), 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(args[1])), u"2.2");
  EXPECT_EQ(checkIndex(core, 6, 9), 280);
  EXPECT_EQ(set(core, 99, 0, 1, 0), -1);
  EXPECT_EQ(lastCode(core), -1);
  EXPECT_STREQ(lastError(core), "[-1] (no description available)");
  EXPECT_EQ(destroy(core), 0);
}

// The host's side of the exception tests: what the callback throws, by event id.
struct ThrowingHost {
  int throwOn = 0;  // the plain event id whose call throws
  bool allocation = false;
  static int callback(void *user, int id, int, pelnet_slot *, int *) {
    auto *host = static_cast<ThrowingHost *>(user);
    if (id != host->throwOn) return 0;
    if (host->allocation) throw std::bad_alloc();
    throw std::runtime_error("handler failed");
  }
};

void sendTo(int port, const std::string &payload) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
  ::close(fd);
}

// An exception in the core, in the host's callback or under the GLib
// dispatch of a notification ends at the exported function as the call's
// error code and text; the instance stays usable.
TEST_F(CoreLibrary, NoExceptionCrossesTheInterface) {
  using namespace testcore;
  auto create = fn<pelnet_create_fn>("Pelnet_RuntimeTest_Create");
  auto destroy = fn<pelnet_destroy_fn>("Pelnet_RuntimeTest_Destroy");
  auto set = fn<pelnet_set_fn>("Pelnet_RuntimeTest_Set");
  auto get = fn<pelnet_get_fn>("Pelnet_RuntimeTest_Get");
  auto doFn = fn<pelnet_do_fn>("Pelnet_RuntimeTest_Do");
  auto lastError = fn<pelnet_get_last_error_fn>("Pelnet_RuntimeTest_GetLastError");
  auto lastCode = fn<int (*)(void *)>("Pelnet_RuntimeTest_GetLastErrorCode");
  ASSERT_TRUE(create && destroy && set && get && doFn && lastError && lastCode);
  ThrowingHost host;
  void *core = create(&ThrowingHost::callback, &host);
  ASSERT_NE(core, nullptr);
  auto call = [&](int method, pelnet_slot a0, pelnet_slot a1 = 0) {
    pelnet_slot args[3] = {a0, a1, 0};
    int lengths[3] = {};
    return doFn(core, method, 2, args, lengths);
  };
  // One datagram for the port, then a wait for it.
  auto waitForDatagram = [&](const char *payload) {
    set(core, kTimeout, 0, 5, 0);
    sendTo(static_cast<int>(get(core, kPort, 0, nullptr)), payload);
    return call(kWaitPackets, get(core, kCount, 0, nullptr) + 1);
  };

  const struct {
    const char *what;
    std::function<int()> run;
    int code;
    const char *text;
  } cases[] = {
      {"core: bad_alloc", [&] { return call(kThrow, 0); }, 200, "Out of memory."},
      {"core: length_error", [&] { return call(kThrow, 3); }, 200, "Out of memory."},
      {"core: runtime_error", [&] { return call(kThrow, 1); }, 299,
       "Unexpected failure: test failure"},
      {"core: not an exception class", [&] { return call(kThrow, 2); }, 299, "Unexpected failure."},
      {"core: Set", [&] { return set(core, kThrowing, 0, 1, 0); }, 200, "Out of memory."},
      {"host: Error event",
       [&] {
         host = {kError, false};
         return call(kFireError, 5, reinterpret_cast<pelnet_slot>("x"));
       },
       299, "Unexpected failure: handler failed"},
      {"host: Error event, bad_alloc",
       [&] {
         host = {kError, true};
         return call(kFireError, 5, reinterpret_cast<pelnet_slot>("x"));
       },
       200, "Out of memory."},
      {"host: Packet event under the GLib dispatch",
       [&] {
         host = {kPacket, false};
         return waitForDatagram("one");
       },
       299, "Unexpected failure: handler failed"},
      {"core: notification handler under the GLib dispatch",
       [&] { return waitForDatagram(kThrowingPayload); }, 299,
       "Unexpected failure: notification failure"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.run(), c.code) << c.what;
    EXPECT_EQ(lastCode(core), c.code) << c.what;
    EXPECT_STREQ(lastError(core), c.text) << c.what;
    // The next call starts clean and works.
    host = {};
    EXPECT_EQ(set(core, kName, 0, reinterpret_cast<pelnet_slot>("after"), 0), 0) << c.what;
    EXPECT_EQ(lastCode(core), 0) << c.what;
    EXPECT_STREQ(reinterpret_cast<const char *>(get(core, kName, 0, nullptr)), "after") << c.what;
  }

  // A read that throws returns 0 and leaves the code for the caller to see.
  int length = 7;
  EXPECT_EQ(get(core, kThrowing, 0, &length), 0);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(lastCode(core), 200);
  EXPECT_EQ(destroy(core), 0);
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
