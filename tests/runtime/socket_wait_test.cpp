// Waiting in the runtime: interruption, deadlines, the time-out units,
// traffic that moves the deadline, DoEvents, and the notification watch
// firing while a GLib main loop idles or while a wait runs inside a handler.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"
#include "test_core.h"
#include "core_client.h"

namespace {
using namespace testcore;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Runs `fn` on the default main context after `ms` milliseconds (once, or
// repeatedly while it answers true).
guint after(guint ms, std::function<bool()> fn) {
  auto *heap = new std::function<bool()>(std::move(fn));
  return g_timeout_add_full(
      G_PRIORITY_DEFAULT, ms,
      [](gpointer p) -> gboolean {
        return (*static_cast<std::function<bool()> *>(p))() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
      },
      heap, [](gpointer p) { delete static_cast<std::function<bool()> *>(p); });
}

class WaitTest : public ::testing::Test {
 public:
  testsupport::EventRecorder host;
  TestCore core{&testsupport::EventRecorder::callback, &host};
  pelnet::SocketObject &so = core.socket();

  int config(const char *text) {
    pelnet_slot args[2] = {reinterpret_cast<pelnet_slot>(text), 0};
    int lengths[2] = {};
    return core.apiDo(kConfig, 1, args, lengths);
  }
  int waitPackets(int n) {
    pelnet_slot args[2] = {n, 0};
    int lengths[2] = {};
    return core.apiDo(kWaitPackets, 1, args, lengths);
  }
  void TearDown() override {
    // Leave no source of this test behind on the shared default context.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  }
};

TEST_F(WaitTest, InterruptWhileWaitingEndsWith301Interrupted) {
  ASSERT_EQ(core.apiSet(kTimeout, 0, 0, 0), 0);  // no deadline: only the interrupt can end it
  after(50, [&] {
    core.apiDo(kInterrupt, 0, nullptr, nullptr);
    return false;
  });
  auto start = Clock::now();
  EXPECT_EQ(waitPackets(1), pelnet::kWaitEnded);
  EXPECT_STREQ(core.apiLastError(), "Interrupted.");
  EXPECT_TRUE(so.interrupted);
  EXPECT_FALSE(so.interruptPending);
  EXPECT_GE(msSince(start), 45);
}

TEST_F(WaitTest, PendingInterruptStopsTheFirstStepOfALaterWait) {
  ASSERT_EQ(core.apiDo(kInterrupt, 0, nullptr, nullptr), 0);
  ASSERT_EQ(core.apiSet(kTimeout, 0, 0, 0), 0);
  EXPECT_EQ(waitPackets(1), pelnet::kWaitEnded);
  EXPECT_STREQ(core.apiLastError(), "Interrupted.");
}

TEST_F(WaitTest, DeadlineEndsWith301TimeoutWithinAFewWaitTimes) {
  ASSERT_EQ(config("TimeoutInMilliseconds=True"), 0);
  ASSERT_EQ(core.apiSet(kTimeout, 0, 150, 0), 0);
  auto start = Clock::now();
  EXPECT_EQ(waitPackets(1), pelnet::kWaitEnded);
  long elapsed = msSince(start);
  EXPECT_STREQ(core.apiLastError(), "Timeout.");
  EXPECT_GE(elapsed, 150);
  EXPECT_LE(elapsed, 150 + 5 * 20 + 200);  // a few wait times, with room for a loaded machine
}

TEST_F(WaitTest, TimeoutZeroArmsNoDeadline) {
  ASSERT_EQ(core.apiSet(kTimeout, 0, 0, 0), 0);
  so.armDeadline();
  EXPECT_EQ(so.deadline, 0u);
  // A wait far longer than any deadline would have been still ends only by interruption.
  ASSERT_EQ(config("TimeoutInMilliseconds=True"), 0);
  after(300, [&] {
    core.apiDo(kInterrupt, 0, nullptr, nullptr);
    return false;
  });
  EXPECT_EQ(waitPackets(1), pelnet::kWaitEnded);
  EXPECT_STREQ(core.apiLastError(), "Interrupted.");
}

TEST_F(WaitTest, CompletedWaitSucceeds) {
  ASSERT_EQ(core.apiSet(kTimeout, 0, 5, 0), 0);
  after(30, [&] {
    sendDatagram(core.port().port(), "a");
    return false;
  });
  EXPECT_EQ(waitPackets(1), 0);
  EXPECT_EQ(core.apiLastErrorCode(), 0);
  EXPECT_EQ(core.apiGet(kCount, 0, nullptr), 1);
}

// Traffic arrives every 40 ms for about 400 ms while the call waits for more
// packets than will ever come, with a 250 ms time-out.
long timeoutUnderTraffic(WaitTest &t, TestCore &core, bool absolute) {
  EXPECT_EQ(t.config(absolute ? "AbsoluteTimeout=True" : "AbsoluteTimeout=False"), 0);
  EXPECT_EQ(t.config("TimeoutInMilliseconds=True"), 0);
  EXPECT_EQ(core.apiSet(kTimeout, 0, 250, 0), 0);
  int sent = 0;
  int port = core.port().port();
  after(40, [&sent, port] {
    sendDatagram(port, "tick");
    return ++sent < 10;
  });
  auto start = Clock::now();
  EXPECT_EQ(t.waitPackets(1000), pelnet::kWaitEnded);
  EXPECT_STREQ(core.apiLastError(), "Timeout.");
  long elapsed = msSince(start);
  // Let the ticker run out before `sent` goes out of scope.
  while (sent < 10) g_main_context_iteration(nullptr, TRUE);
  return elapsed;
}

TEST_F(WaitTest, TrafficMovesTheDeadlineUnlessAbsolute) {
  long moving = timeoutUnderTraffic(*this, core, false);
  EXPECT_GE(moving, 400 + 250 - 40) << "the deadline did not follow the traffic";
  long fixed = timeoutUnderTraffic(*this, core, true);
  EXPECT_GE(fixed, 250);
  EXPECT_LT(fixed, 560) << "traffic moved an absolute deadline";
}

TEST_F(WaitTest, DoEventsOnAnEmptyQueueReturnsWithinSelectWaitMillis) {
  ASSERT_EQ(config("SelectWaitMillis=60"), 0);
  // Attaching the watch woke the context once; that wake-up is its own event.
  ASSERT_EQ(core.apiDo(kDoEvents, 0, nullptr, nullptr), 0);
  auto start = Clock::now();
  EXPECT_EQ(core.apiDo(kDoEvents, 0, nullptr, nullptr), 0);
  long elapsed = msSince(start);
  EXPECT_GE(elapsed, 50);  // it did wait for something to arrive
  EXPECT_LE(elapsed, 60 + 100);
}

TEST_F(WaitTest, DoEventsDeliversPendingNotifications) {
  sendDatagram(core.port().port(), "x");
  for (int i = 0; i < 50 && core.port().packets == 0; ++i)
    ASSERT_EQ(core.apiDo(kDoEvents, 0, nullptr, nullptr), 0);
  EXPECT_EQ(core.port().packets, 1);
  EXPECT_EQ(host.calls.size(), 1u);  // the Packet event, without a handler
}

TEST_F(WaitTest, SelectWaitMillisZeroDoesNotBlock) {
  ASSERT_EQ(config("SelectWaitMillis=0"), 0);
  // Blocking even the default 20 ms per step would take 2 s here.
  auto start = Clock::now();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(core.apiDo(kDoEvents, 0, nullptr, nullptr), 0);
  EXPECT_LT(msSince(start), 1000);
}

struct UnitCase {
  const char *steps[3];  // "T<n>" writes Timeout, anything else is a Config text
  int32_t readBack;
  uint32_t millis;
};

TEST_F(WaitTest, TimeoutUnits) {
  const UnitCase cases[] = {
      {{"T5", "TimeoutInMilliseconds=True", nullptr}, 5, 5},
      {{"T60", nullptr, nullptr}, 60, 60000},
      {{"TimeoutInMilliseconds=True", "T250", nullptr}, 250, 250},
      {{"TimeoutInMilliseconds=True", "T250", "TimeoutInMilliseconds=False"}, 250, 250000},
      {{"T0", nullptr, nullptr}, 0, 0},
      {{"T-5", nullptr, nullptr}, 0, 0},
      {{"T2147483647", nullptr, nullptr}, 2147483, 2147483000},
  };
  for (const UnitCase &c : cases) {
    testsupport::EventRecorder h;
    TestCore fresh(&testsupport::EventRecorder::callback, &h);
    for (const char *step : c.steps) {
      if (step == nullptr) break;
      SCOPED_TRACE(step);
      if (step[0] == 'T' && step[1] != 'i') {
        ASSERT_EQ(fresh.apiSet(kTimeout, 0, std::atoi(step + 1), 0), 0);
      } else {
        pelnet_slot args[2] = {reinterpret_cast<pelnet_slot>(step), 0};
        int lengths[2] = {};
        ASSERT_EQ(fresh.apiDo(kConfig, 1, args, lengths), 0);
      }
    }
    EXPECT_EQ(fresh.apiGet(kTimeout, 0, nullptr), c.readBack) << c.steps[0];
    EXPECT_EQ(fresh.socket().timeoutMs, c.millis) << c.steps[0];
  }
}

TEST_F(WaitTest, WritingTheTimeoutDisarmsTheDeadline) {
  ASSERT_EQ(core.apiSet(kTimeout, 0, 5, 0), 0);
  so.armDeadline();
  EXPECT_NE(so.deadline, 0u);
  ASSERT_EQ(core.apiSet(kTimeout, 0, 5, 0), 0);
  EXPECT_EQ(so.deadline, 0u);
}

TEST_F(WaitTest, NotificationArrivesWhileAGlibLoopIdles) {
  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  host.handle(kPacket, [&](const testsupport::EventCall &) { g_main_loop_quit(loop); });
  after(30, [&] {
    sendDatagram(core.port().port(), "idle");
    return false;
  });
  bool timedOut = false;
  guint guard = after(5000, [&] {
    timedOut = true;
    g_main_loop_quit(loop);
    return false;
  });
  g_main_loop_run(loop);
  if (!timedOut) g_source_remove(guard);
  g_main_loop_unref(loop);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(core.port().packets, 1);
  ASSERT_EQ(host.calls.size(), 2u);  // narrow, then wide
}

TEST_F(WaitTest, OtherSourcesRunDuringACoreWait) {
  int ticks = 0;
  after(10, [&] { return ++ticks < 5; });
  after(200, [&] {
    core.apiDo(kInterrupt, 0, nullptr, nullptr);
    return false;
  });
  ASSERT_EQ(core.apiSet(kTimeout, 0, 0, 0), 0);
  EXPECT_EQ(waitPackets(1), pelnet::kWaitEnded);
  EXPECT_EQ(ticks, 5);
}

TEST_F(WaitTest, WaitInsideTheCoresOwnNotificationSeesTheNextOne) {
  ASSERT_EQ(core.apiSet(kTimeout, 0, 5, 0), 0);
  int nestedResult = -99;
  host.handle(kPacket, [&](const testsupport::EventCall &c) {
    if (c.params[0] != 1) return;
    after(20, [&] {
      sendDatagram(core.port().port(), "second");
      return false;
    });
    nestedResult = waitPackets(2);  // runs inside the dispatch of the first notification
  });
  sendDatagram(core.port().port(), "first");
  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  guint guard = after(3000, [&] {
    g_main_loop_quit(loop);
    return false;
  });
  after(1, [&] {
    if (nestedResult == -99) return true;
    g_main_loop_quit(loop);
    return false;
  });
  g_main_loop_run(loop);
  g_source_remove(guard);
  g_main_loop_unref(loop);
  EXPECT_EQ(nestedResult, 0) << core.apiLastError();
  EXPECT_EQ(core.port().packets, 2);
}

TEST(TickCount, WrapSafeComparison) {
  struct Case {
    uint32_t now, deadline;
    bool passed;
  } cases[] = {
      {100, 99, true},        {99, 100, false},        {100, 100, false},
      {5, 0xFFFFFFF0u, true}, {0xFFFFFFF0u, 5, false}, {0x80000000u, 1, true},
  };
  for (const Case &c : cases)
    EXPECT_EQ(pelnet::tickPassed(c.now, c.deadline), c.passed) << c.now << " " << c.deadline;
}

TEST(TickCount, FollowsTheMonotonicClock) {
  uint32_t a = pelnet::tickCount();
  g_usleep(30000);
  uint32_t b = pelnet::tickCount();
  EXPECT_GE(static_cast<int32_t>(b - a), 25);
  EXPECT_LT(static_cast<int32_t>(b - a), 2000);
  uint64_t h1 = pelnet::hiresCounter();
  uint64_t h2 = pelnet::hiresCounter();
  EXPECT_LE(h1, h2);
}

}  // namespace
