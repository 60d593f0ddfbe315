// Closing a top-level window or quitting the application ends a waiting
// component call with 301 "Interrupted." and the close or quit still happens.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>

#include "frame_fixture.h"

namespace {

class CloseInterrupt : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    core_ = new TestCore(ImageSlot(3, ReadFileBytes(FRAMETEST_CORE_PATH)));
  }
  static void TearDownTestSuite() {
    delete core_;
    core_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(core_->counters(), nullptr);
    *core_->counters() = FrameTestCounters{};
    comp_ = std::make_unique<TpelFrameTest>(core_->kind);
  }
  // Runs Wait(ms) and returns the message of the exception it raised, if any.
  std::optional<QString> waitFor(int ms) {
    try {
      comp_->Wait(ms);
    } catch (const EPelnet &e) {
      return e.Message();
    }
    return std::nullopt;
  }

  static TestCore *core_;
  std::unique_ptr<TpelFrameTest> comp_;
};
TestCore *CloseInterrupt::core_ = nullptr;

constexpr int kLongWait = 10000;  // ends far sooner when the interrupt works

TEST_F(CloseInterrupt, ClosingATopLevelWindowEndsTheWait) {
  QWidget window;
  window.show();
  QTimer::singleShot(30, &window, &QWidget::close);
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(waitFor(kLongWait), QStringLiteral("301: Interrupted."));
  EXPECT_LT(clock.elapsed(), kLongWait / 2);
  EXPECT_FALSE(window.isVisible());  // the close happened
  EXPECT_EQ(core_->counters()->interruptsDuringWait, 1);
}

TEST_F(CloseInterrupt, OtherClosesDoNotInterrupt) {
  struct Case {
    const char *what;
    std::function<void()> act;
  };
  QWidget window;
  auto *child = new QWidget(&window);
  window.show();
  const Case cases[] = {
      {"a child widget closes", [&] { child->close(); }},
      {"a window closes while no call runs", [&] {}},
  };
  QWidget other;
  other.show();
  other.close();  // before the wait: must not leave an interrupt pending
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    QTimer::singleShot(10, &window, c.act);
    EXPECT_EQ(waitFor(150), QStringLiteral("301: Timeout."));
  }
  EXPECT_EQ(core_->counters()->interruptsDuringWait, 0);
}

TEST_F(CloseInterrupt, QuitEndsTheWaitAndTheApplicationStillQuits) {
  std::optional<QString> outcome;
  QElapsedTimer clock;
  clock.start();
  QTimer::singleShot(0, qApp, [&] { outcome = waitFor(kLongWait); });
  QTimer::singleShot(30, qApp, [] { QCoreApplication::quit(); });
  // A fallback so a broken quit cannot hang the test: a second exit is harmless.
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(7); });
  guard.start(kLongWait * 2);
  const int rc = QApplication::exec();
  EXPECT_EQ(rc, 0);  // the quit's own exit, not the guard's
  EXPECT_EQ(outcome, QStringLiteral("301: Interrupted."));
  EXPECT_LT(clock.elapsed(), kLongWait / 2);
}

TEST_F(CloseInterrupt, NestedComponentsAreAllInterrupted) {
  // A second component waits inside an event handler of the first.
  TpelFrameTest inner(core_->kind);
  std::optional<QString> innerOutcome;
  comp_->FOnError = [&](QObject *, int, const QString &) {
    try {
      inner.Wait(kLongWait);
    } catch (const EPelnet &e) {
      innerOutcome = e.Message();
    }
  };
  QWidget window;
  window.show();
  QTimer::singleShot(30, &window, &QWidget::close);
  EXPECT_NO_THROW(comp_->Fire(ftEvError));
  EXPECT_EQ(innerOutcome, QStringLiteral("301: Interrupted."));
}

}  // namespace
