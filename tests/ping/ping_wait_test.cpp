// The wait of a PingHost to a host that never answers, on both paths, with
// the application's event loop around it: a timer due during the wait fires
// on time inside the call, and Interrupt, closing a window or quitting end
// the call at once with 301 "Interrupted.".  Runs in its own network
// namespace; the pinged host is a tun peer that nobody answers for.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <optional>

#include "silent_peer_fixture.h"

namespace {

constexpr int kActionAtMs = 150;       // when the timer of each row fires
constexpr int kLatenessLimitMs = 500;  // far below every time-out here
constexpr int kShortTimeout = 2;       // seconds: the row that lets the call time out
constexpr int kLongTimeout = 20;       // seconds: far beyond the interrupt

enum class Path { Helper, Raw };
enum class Action { TimerOnly, Interrupt, CloseWindow, Quit };

class PingWait : public testsupport::SilentPeerFixture {
 protected:
  PingWait() : SilentPeerFixture("pw0", "198.18.9") {}
  static void configure(TpelPing &ping, Path path, int seconds) {
    ping.Config(QStringLiteral("AbsoluteTimeout=True"));
    if (path == Path::Helper) {
      ping.setTimeToLive(128);
      ping.Config(QStringLiteral("UseIPHLPDLL=True"));
      ping.Config(QStringLiteral("UseICMPDLL=True"));
      ping.Config(QString::asprintf("IcmpDllTimeout=%d", seconds));
    }
    ping.setTimeout(seconds);
  }
};

TEST_F(PingWait, TimersAndEndingsDuringTheWait) {
  struct Row {
    Path path;
    Action action;
    const char *what;
  } rows[] = {
      {Path::Helper, Action::TimerOnly, "helper, a timer"},
      {Path::Helper, Action::Interrupt, "helper, Interrupt"},
      {Path::Helper, Action::CloseWindow, "helper, window closed"},
      {Path::Helper, Action::Quit, "helper, quit"},
      {Path::Raw, Action::TimerOnly, "raw, a timer"},
      {Path::Raw, Action::Interrupt, "raw, Interrupt"},
      {Path::Raw, Action::CloseWindow, "raw, window closed"},
      {Path::Raw, Action::Quit, "raw, quit"},
  };
  for (const Row &row : rows) {
    TpelPing ping;
    const bool timesOut = row.action == Action::TimerOnly;
    configure(ping, row.path, timesOut ? kShortTimeout : kLongTimeout);
    QWidget window;
    window.show();

    QElapsedTimer clock;
    bool inCall = false, firedInCall = false, visibleAfterCall = false;
    qint64 firedAt = -1, returnedAt = -1;
    std::optional<QString> outcome;
    QTimer::singleShot(0, qApp, [&] {
      clock.start();
      QTimer::singleShot(kActionAtMs, qApp, [&] {
        firedAt = clock.elapsed();
        firedInCall = inCall;
        switch (row.action) {
          case Action::TimerOnly:
            break;
          case Action::Interrupt:
            ping.Interrupt();
            break;
          case Action::CloseWindow:
            window.close();
            break;
          case Action::Quit:
            QCoreApplication::quit();
            break;
        }
      });
      inCall = true;
      outcome = pingSilentPeer(ping);
      inCall = false;
      returnedAt = clock.elapsed();
      visibleAfterCall = window.isVisible();
      if (row.action != Action::Quit) QCoreApplication::quit();
    });
    QTimer guard;  // a wait that never ends must not hang the test
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(7); });
    guard.start(3 * kLongTimeout * 1000);
    EXPECT_EQ(QApplication::exec(), 0) << row.what;

    EXPECT_TRUE(firedInCall) << row.what << ": the timer fired during the call";
    EXPECT_GE(firedAt, kActionAtMs) << row.what;
    EXPECT_LT(firedAt - kActionAtMs, kLatenessLimitMs) << row.what << ": fired late";
    if (timesOut) {
      EXPECT_EQ(outcome, QStringLiteral("301: Timeout.")) << row.what;
      EXPECT_GE(returnedAt, kShortTimeout * 1000 - 50) << row.what;
    } else {
      EXPECT_EQ(outcome, QStringLiteral("301: Interrupted.")) << row.what;
      EXPECT_LT(returnedAt - firedAt, kLatenessLimitMs) << row.what << ": the call went on";
    }
    // Quitting closes the windows too.
    const bool closed = row.action == Action::CloseWindow || row.action == Action::Quit;
    EXPECT_EQ(visibleAfterCall, !closed) << row.what;
    EXPECT_FALSE(ping.Active()) << row.what;
  }
}

}  // namespace
