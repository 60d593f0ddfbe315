// Name lookups that hold up neither the thread nor the run, against a name
// server on loopback in the test's own namespaces that answers some names
// late and others never: a PingHost to a name waits in the component's wait
// steps (timers fire, Interrupt, a window closed and Timeout end it as they
// end any wait), a lookup left behind is harmless when its answer comes
// after its component (and the core image) went, address texts never reach
// the name server, and the run with many devices in flight gives the
// statuses of the run of one after the other in about one resolver time-out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

#include "run/check_run.h"
#include "core_units.h"
#include "run/device.h"
#include "isolation.h"
#include "loopback_name_server.h"
#include "pelping.h"
#include "pelsmtp.h"
#include "qt_printers.h"
#include "settings/settings.h"
#include "start/unattended_start.h"

namespace {

constexpr const char *kServer = "127.0.0.53";
constexpr int kResolverTimeoutS = 2;  // options timeout: of the namespace's resolv.conf
constexpr int kLateAnswerMs = 300;    // the names the server knows
constexpr int kActionAtMs = 150;
constexpr int kLatenessLimitMs = 500;  // far below the resolver's time-out

const std::map<std::string, std::string> kKnownNames = {
    {"live-1.test", "127.0.0.21"}, {"live-2.test", "127.0.0.22"}, {"live-3.test", "127.0.0.23"}};

// Runs `body` from inside the application's loop, with a guard against a
// wait that never ends; returns exec's result.
int runInLoop(const std::function<void()> &body) {
  QTimer::singleShot(0, qApp, [&] {
    body();
    QCoreApplication::quit();
  });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(7); });
  guard.start(60000);
  return QApplication::exec();
}

QString outcomeOf(const std::function<void()> &call) {
  try {
    call();
  } catch (const EPelnet &e) {
    return e.Message();
  }
  return QStringLiteral("0");
}

// A call made inside the application's loop with `action` run by a timer
// kActionAtMs after the call began: what the call ended with, and when
// (milliseconds from its start) the timer fired and the call returned.
struct TimedCall {
  int loop = -1;  // runInLoop's result
  QString outcome;
  qint64 firedAt = -1, returnedAt = -1;
  bool firedInCall = false;  // the timer fired while the call was still going
};
TimedCall timedCall(const std::function<void()> &call, const std::function<void()> &action) {
  TimedCall t;
  QElapsedTimer clock;
  bool inCall = false;
  t.loop = runInLoop([&] {
    clock.start();
    QTimer::singleShot(kActionAtMs, qApp, [&] {
      t.firedAt = clock.elapsed();
      t.firedInCall = inCall;
      action();
    });
    inCall = true;
    t.outcome = outcomeOf(call);
    inCall = false;
    t.returnedAt = clock.elapsed();
  });
  return t;
}

class NameLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    server = std::make_unique<testsupport::LoopbackNameServer>(kServer, kLateAnswerMs, kKnownNames);
    std::string why;
    ASSERT_TRUE(server->start(&why)) << why;
    ASSERT_TRUE(testsupport::useNameServer(kServer, kResolverTimeoutS));
    units.emplace();
  }
  void TearDown() override {
    units.reset();
    server.reset();
  }
  std::unique_ptr<testsupport::LoopbackNameServer> server;
  std::optional<TCoreUnits> units;
};

TEST_F(NameLookup, PingHostWaitsForANameLikeForAnAnswer) {
  enum class Action { TimerOnly, Interrupt, CloseWindow };
  struct Row {
    const char *host;
    int timeoutS;
    Action action;
    const char *outcome;
    int returnsAfterMs;  // at least
    const char *what;
  } rows[] = {
      {"dead.test", 30, Action::Interrupt, "301: Interrupted.", kActionAtMs,
       "Interrupt ends the lookup"},
      {"dead.test", 30, Action::CloseWindow, "301: Interrupted.", kActionAtMs,
       "closing the window ends it"},
      {"dead.test", 1, Action::TimerOnly, "301: Timeout.", 1000,
       "Timeout ends it before the resolver's"},
      {"live-1.test", 5, Action::TimerOnly, "0", kLateAnswerMs, "a late answer is waited for"},
  };
  for (const Row &row : rows) {
    TpelPing ping;
    ping.Config(QStringLiteral("AbsoluteTimeout=True"));
    ping.setTimeout(row.timeoutS);
    QWidget window;
    window.show();
    const TimedCall t = timedCall([&] { ping.PingHost(QString::fromLatin1(row.host)); },
                                  [&] {
                                    if (row.action == Action::Interrupt) ping.Interrupt();
                                    if (row.action == Action::CloseWindow) window.close();
                                  });
    ASSERT_EQ(t.loop, 0) << row.what;
    EXPECT_EQ(t.outcome, QString::fromLatin1(row.outcome)) << row.what;
    EXPECT_TRUE(t.firedInCall) << row.what << ": the timer fired during the lookup";
    EXPECT_LT(t.firedAt - kActionAtMs, kLatenessLimitMs) << row.what << ": fired late";
    EXPECT_GE(t.returnedAt, row.returnsAfterMs - 50) << row.what;
    if (row.action != Action::TimerOnly)
      EXPECT_LT(t.returnedAt - t.firedAt, kLatenessLimitMs) << row.what << ": the lookup went on";
    else
      EXPECT_LT(t.returnedAt, row.returnsAfterMs + kLatenessLimitMs) << row.what;
  }
}

TEST_F(NameLookup, AddressTextsNeverReachTheNameServer) {
  struct Row {
    const char *host;
    bool ipv6;
  } rows[] = {{"127.0.0.1", false}, {"127.1", false}, {"::1", true}, {"0:0::1", true}};
  for (const Row &row : rows) {
    TpelPing ping;
    if (row.ipv6) {
      ping.Config(QStringLiteral("UseICMPDLL=False"));
      ping.Config(QStringLiteral("UseIPHLPDLL=False"));
      ping.Config(QStringLiteral("UseIPv6=True"));
    }
    ping.setTimeout(0);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(outcomeOf([&] { ping.setRemoteHost(QString::fromLatin1(row.host)); }), "0")
        << row.host;
    EXPECT_LT(clock.elapsed(), 100) << row.host;
  }
  EXPECT_EQ(server->questions(), 0);
}

// A lookup interrupted, then its component destroyed (the last one: the core
// goes with it), then the answer (here the resolver's time-out) comes.
TEST_F(NameLookup, ALookupLeftBehindIsHarmlessWhenItEnds) {
  QElapsedTimer clock;
  clock.start();
  for (const char *host : {"dead.test", "live-2.test"}) {
    auto ping = std::make_unique<TpelPing>();
    ping->setTimeout(30);
    QString outcome;
    ASSERT_EQ(runInLoop([&] {
                QTimer::singleShot(50, qApp, [&] { ping->Interrupt(); });
                outcome = outcomeOf([&] { ping->PingHost(QString::fromLatin1(host)); });
              }),
              0);
    EXPECT_EQ(outcome, "301: Interrupted.") << host;
    ping.reset();
  }
  units.reset();  // the core image goes while both lookups are out
  // Both answers come while nothing waits for them.
  QElapsedTimer quiet;
  quiet.start();
  while (quiet.elapsed() < kResolverTimeoutS * 1000 + 500)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  units.emplace();
  TpelPing again;
  again.setTimeout(5);
  EXPECT_EQ(outcomeOf([&] { again.PingHost(QStringLiteral("live-3.test")); }), "0");
  EXPECT_EQ(again.ResponseSource(), "127.0.0.23");
}

// The devices of a run as a plain list.
class ListView : public TCheckRunView {
 public:
  explicit ListView(std::vector<std::unique_ptr<TDevice>> &devices) : devices_(devices) {}
  int RowCount() const override { return static_cast<int>(devices_.size()); }
  TDevice *RowDevice(int index) const override {
    return devices_[static_cast<size_t>(index)].get();
  }

 private:
  std::vector<std::unique_ptr<TDevice>> &devices_;
};

struct RunOutcome {
  std::vector<QString> statuses;
  qint64 ms = 0;
  int ticks = 0;  // of a 100 ms timer during the run
};

RunOutcome checkRun(int parallel, const std::vector<QString> &hosts) {
  std::vector<std::unique_ptr<TDevice>> devices;
  for (size_t i = 0; i < hosts.size(); ++i)
    devices.push_back(std::make_unique<TDevice>(QStringLiteral("d%1").arg(i), hosts[i]));
  TSettings settings;
  settings.SetPingTTL(64);
  settings.SetPingTimeout(1);
  settings.SetPingTimes(2);
  settings.SetPingParallel(parallel);
  TpelPing ping;
  TCheckRun run(ping);
  ping.setOnResponse([&run](QObject *sender, int, const QString &source, const QString &status,
                            int time) { run.Response(sender, source, status, time); });
  ListView view(devices);
  RunOutcome out;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] { ++out.ticks; });
  tick.start(100);
  QElapsedTimer clock;
  clock.start();
  EXPECT_TRUE(run.Run(settings, view));
  out.ms = clock.elapsed();
  for (const auto &device : devices) out.statuses.push_back(device->DeviceStatusToString());
  return out;
}

TEST_F(NameLookup, ManyInFlightLookUpTheirNamesTogether) {
  std::vector<QString> hosts;
  for (int i = 1; i <= 6; ++i) {
    hosts.push_back(QStringLiteral("dead-%1.test").arg(i));
    if (i <= 3) hosts.push_back(QStringLiteral("live-%1.test").arg(i));
    if (i <= 3) hosts.push_back(QStringLiteral("127.0.0.%1").arg(30 + i));
  }
  RunOutcome oneAfterOther, inFlight;
  ASSERT_EQ(runInLoop([&] {
              oneAfterOther = checkRun(1, hosts);
              inFlight = checkRun(16, hosts);
            }),
            0);
  EXPECT_EQ(inFlight.statuses, oneAfterOther.statuses);
  // Live names and addresses answer, dead names do not.
  for (size_t i = 0; i < hosts.size(); ++i)
    EXPECT_EQ(inFlight.statuses[i] == inFlight.statuses[2], !hosts[i].startsWith("dead"))
        << hosts[i].toStdString();
  // Six dead names one after the other wait six time-outs; together one.
  EXPECT_GE(oneAfterOther.ms, 6 * kResolverTimeoutS * 1000 - 100);
  EXPECT_LT(inFlight.ms, 2 * kResolverTimeoutS * 1000 + 1000);
  // The thread went on meanwhile in both runs.
  EXPECT_GE(oneAfterOther.ticks, oneAfterOther.ms / 100 / 2);
  EXPECT_GE(inFlight.ticks, inFlight.ms / 100 / 2);
}

}  // namespace

// Through a SOCKS5 proxy the mail server's address goes in the request, so
// its name is looked up before the proxy's connect: in the component's wait
// steps, where a timer fires on time and Interrupt ends the lookup.
TEST_F(NameLookup, TheMailServerBehindAProxyIsLookedUpInTheWaitSteps) {
  const int proxy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(proxy, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
  socklen_t length = sizeof at;
  ASSERT_EQ(bind(proxy, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  ASSERT_EQ(listen(proxy, 4), 0);
  ASSERT_EQ(getsockname(proxy, reinterpret_cast<sockaddr *>(&at), &length), 0);

  TpelSMTP smtp;
  smtp.setTimeout(30);
  smtp.setMailServer(QStringLiteral("live-1.test"));  // answered late; the set waits for it
  smtp.setFirewallType(fwSOCKS5);
  smtp.setFirewallHost(QStringLiteral("127.0.0.1"));
  smtp.setFirewallPort(ntohs(at.sin_port));
  const TimedCall t = timedCall([&] { smtp.Connect(); }, [&] { smtp.Interrupt(); });
  ASSERT_EQ(t.loop, 0);
  EXPECT_EQ(t.outcome, QStringLiteral("301: Interrupted."));
  EXPECT_LT(t.firedAt, kActionAtMs + 100) << "the timer waited for the lookup";
  EXPECT_LT(t.returnedAt, kLateAnswerMs) << "Interrupt ended the lookup";
  close(proxy);
}

// The unattended start asks whether a display on another host answers
// before any window exists: its lookup is bounded like its connect, so a
// scheduled job never waits out the resolver for a dead name server.
TEST_F(NameLookup, TheDisplayCheckGivesUpOnANameWithinItsConnectTime) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(6000 + 7);
  inet_pton(AF_INET, "127.0.0.21", &at.sin_addr);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  ASSERT_EQ(listen(listener, 4), 0);

  QElapsedTimer clock;
  clock.start();
  EXPECT_TRUE(X11DisplayReachable("live-1.test:7")) << "a name answered late still counts";
  EXPECT_LT(clock.elapsed(), kLateAnswerMs + kLatenessLimitMs);

  // The resolver would wait 5 s for a dead name; the check gives up after 2.
  ASSERT_TRUE(testsupport::useNameServer(kServer, 5));
  clock.restart();
  EXPECT_FALSE(X11DisplayReachable("dead.test:7"));
  EXPECT_GE(clock.elapsed(), 1900);
  EXPECT_LT(clock.elapsed(), 4000);
  close(listener);
}
