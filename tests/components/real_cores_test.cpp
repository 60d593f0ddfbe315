// The program's own cores, embedded in this test as in the program, bound by
// the core units and driven through the frame.
#include <gtest/gtest.h>

#include <vector>

#include "core_units.h"
#include "pelcore.h"

namespace {

// Any component of a kind; exposes the frame's typed access.
struct Component : TpelCore {
  explicit Component(const TpelComponentKind &k) : TpelCore(nullptr, k) {}
  using TpelCore::call;
  using TpelCore::callText;
  using TpelCore::getInt;
  using TpelCore::getText;
  using TpelCore::setInt;
};

bool allSlotsBound(const pelnet::CoreFunctions &f) {
  return f.Create && f.Destroy && f.Set && f.Get && f.GetLastError && f.CheckIndex && f.Do;
}

struct RealCore {
  const char *name;
  pelnet::CoreBinding &(*binding)();
  const TpelComponentKind &(*kind)();
  int intProperty;  // a property with a known default
  int intDefault;
  int configMethod;
};

std::vector<RealCore> embeddedCores() {
  std::vector<RealCore> cores;
#ifdef EMBEDS_PING
  cores.push_back({"ping", &pelnet::PingCoreBinding, &PingComponent, 4 /*PacketSize*/, 64, 2});
#endif
#ifdef EMBEDS_SYSLOG
  cores.push_back(
      {"syslog", &pelnet::SysLogCoreBinding, &SysLogComponent, 5 /*RemotePort*/, 514, 2});
#endif
  return cores;
}

TEST(RealCores, BindCreateUseAndUnbind) {
  const std::vector<RealCore> cores = embeddedCores();
  ASSERT_FALSE(cores.empty()) << "no core embedded (EMBEDS_<CORE> from PELORIN_PROGRAM_CORES)";
  {
    TCoreUnits units;
    std::vector<void *> modules;
    for (const RealCore &c : cores) {
      SCOPED_TRACE(c.name);
      pelnet::CoreBinding &b = c.binding();
      ASSERT_NE(b.module, nullptr);
      EXPECT_GE(b.memfd, 0);
      EXPECT_TRUE(allSlotsBound(b.fn));
      modules.push_back(b.module);

      Component comp(c.kind());
      EXPECT_EQ(comp.getInt(c.intProperty), c.intDefault);
      comp.setInt(c.intProperty, 1000);
      EXPECT_EQ(comp.getInt(c.intProperty), 1000);
      EXPECT_EQ(comp.callText(c.configMethod, {QStringLiteral("SelectWaitMillis=7")}), QString());
      EXPECT_EQ(comp.callText(c.configMethod, {QStringLiteral("SelectWaitMillis")}),
                QStringLiteral("7"));
      try {
        comp.callText(c.configMethod, {QStringLiteral("NoSuchSetting=1")});
        ADD_FAILURE() << "unknown setting accepted";
      } catch (const EPelnet &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("-1: Unknown config setting."));
      }
    }
    if (modules.size() == 2) {
      EXPECT_NE(modules[0], modules[1]);  // each core its own copy of the runtime
    }
  }
  for (const RealCore &c : cores) {
    EXPECT_EQ(c.binding().module, nullptr);
    EXPECT_EQ(c.binding().memfd, -1);
  }
}

}  // namespace
