// The runtime under a Qt application: Qt's event dispatcher runs the GLib
// default main context, so a core's socket watch fires while the window's
// event loop idles, and Qt timers and repaints keep running while a core call
// waits.  Run a second time with QT_NO_GLIB set, the same tests record what
// happens without the GLib dispatcher: neither works.  The offscreen and the
// xcb platform both use the GLib dispatcher unless QT_NO_GLIB is set.
#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>

#include "pelnet/runtime/errors.h"
#include "test_core.h"
#include "core_client.h"

namespace {
using namespace testcore;

bool glibDispatcher() {
  QAbstractEventDispatcher *d = QAbstractEventDispatcher::instance();
  return d != nullptr && d->inherits("QEventDispatcherGlib");
}

class PaintCounter : public QWidget {
 public:
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent *) override { ++paints; }
};

TEST(QtLoop, DispatcherKind) {
  const char *name = QAbstractEventDispatcher::instance()->metaObject()->className();
  RecordProperty("dispatcher", name);
  if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
    EXPECT_TRUE(glibDispatcher()) << name;
  else
    EXPECT_FALSE(glibDispatcher()) << name;
}

TEST(QtLoop, NotificationArrivesWhileTheEventLoopIdles) {
  testsupport::EventRecorder host;
  TestCore core(&testsupport::EventRecorder::callback, &host);
  QEventLoop loop;
  host.handle(kPacket, [&](const testsupport::EventCall &) { loop.quit(); });
  QTimer::singleShot(30, [&] { sendDatagram(core.port().port(), "idle"); });
  bool timedOut = false;
  QTimer::singleShot(glibDispatcher() ? 5000 : 500, [&] {
    timedOut = true;
    loop.quit();
  });
  loop.exec();
  if (glibDispatcher()) {
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(core.port().packets, 1);
    EXPECT_EQ(host.calls.size(), 2u);
  } else {
    // Without the GLib dispatcher nobody polls the core's watch while Qt idles.
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(core.port().packets, 0);
  }
}

TEST(QtLoop, TimerAndRepaintRunDuringACoreWait) {
  PaintCounter widget;
  widget.resize(120, 80);
  widget.show();
  QElapsedTimer shown;
  shown.start();
  while (widget.paints == 0 && shown.elapsed() < 3000)
    QApplication::processEvents(QEventLoop::AllEvents, 50);
  ASSERT_GT(widget.paints, 0);
  int paintsBefore = widget.paints;

  testsupport::EventRecorder host;
  TestCore core(&testsupport::EventRecorder::callback, &host);
  const char *ms = "TimeoutInMilliseconds=True";
  pelnet_slot cargs[2] = {reinterpret_cast<pelnet_slot>(ms), 0};
  int clens[2] = {};
  ASSERT_EQ(core.apiDo(kConfig, 1, cargs, clens), 0);
  ASSERT_EQ(core.apiSet(kTimeout, 0, 1500, 0), 0);  // only a safety net: the timer ends the wait

  bool timerFired = false;
  QTimer::singleShot(30, [&] {
    timerFired = true;
    widget.update();
  });
  QTimer::singleShot(300, [&] { core.apiDo(kInterrupt, 0, nullptr, nullptr); });
  pelnet_slot args[2] = {1, 0};
  int lengths[2] = {};
  int rc = core.apiDo(kWaitPackets, 1, args, lengths);
  EXPECT_EQ(rc, pelnet::kWaitEnded);
  if (glibDispatcher()) {
    EXPECT_STREQ(core.apiLastError(), "Interrupted.");
    EXPECT_TRUE(timerFired);
    EXPECT_GT(widget.paints, paintsBefore);
  } else {
    // Qt's own dispatcher is not driven by the core's wait: the timers stay
    // silent, nothing repaints, and only the deadline ends the wait.
    EXPECT_STREQ(core.apiLastError(), "Timeout.");
    EXPECT_FALSE(timerFired);
    EXPECT_EQ(widget.paints, paintsBefore);
  }
  QApplication::processEvents();  // let the pending timers go before their captures do
}

}  // namespace

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
