// End to end with the real ping core: a ping that waits for an answer that
// never comes ends with 301 "Interrupted." when the window closes or the
// application quits.  Runs in its own network namespace; the pinged host is
// a tun peer that nobody answers for.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <optional>

#include "silent_peer_fixture.h"

namespace {

constexpr int kPingTimeoutSeconds = 20;  // far beyond the interrupt

class PingInterrupt : public testsupport::SilentPeerFixture {
 protected:
  PingInterrupt() : SilentPeerFixture("pelframe0", "198.18.7") {}
};

TEST_F(PingInterrupt, ClosingTheWindowEndsTheWaitingPing) {
  TpelPing ping;
  ping.setTimeout(kPingTimeoutSeconds);
  QWidget window;
  window.show();
  QTimer::singleShot(100, &window, &QWidget::close);
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(pingSilentPeer(ping), QStringLiteral("301: Interrupted."));
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_FALSE(window.isVisible());
}

TEST_F(PingInterrupt, QuitEndsTheWaitingPingAndTheLoop) {
  TpelPing ping;
  ping.setTimeout(kPingTimeoutSeconds);
  std::optional<QString> outcome;
  QTimer::singleShot(0, qApp, [&] { outcome = pingSilentPeer(ping); });
  QTimer::singleShot(100, qApp, [] { QCoreApplication::quit(); });
  QTimer guard;  // a broken quit must not hang the test
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(7); });
  guard.start(2 * kPingTimeoutSeconds * 1000);
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_EQ(outcome, QStringLiteral("301: Interrupted."));
  EXPECT_LT(clock.elapsed(), 5000);
}

}  // namespace
