// A core built with the export macro and loaded with dlopen: only the ten
// interface functions are visible, the image start has run when the library
// is loaded, and an instance works through the exported functions alone.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "pelnet/core_interface.h"
#include "pelnet/runtime/core_base.h"

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
