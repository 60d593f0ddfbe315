// TpelPing over its embedded core: creation defaults, the configuration the
// check run makes, answers through OnResponse, and errors as EpelPing.
#include <QCoreApplication>
#include <QMetaProperty>

#include "component_fixture.h"
#include "pelping.h"
#include "ping_net.h"

using namespace pingtest;

namespace {

struct Response {
  QObject *sender;
  int requestId;
  QString source, status;
  int time;
};

class PingComponent : public testsupport::ComponentTest<> {
 protected:
  void SetUp() override { ping = std::make_unique<TpelPing>(); }

  void record() {
    ping->setOnResponse(
        [this](QObject *sender, int id, const QString &src, const QString &status, int time) {
          responses.push_back({sender, id, src, status, time});
        });
  }

  // The check run's configuration.
  void configureLikeTheCheckRun(int seconds) {
    ping->setTimeToLive(128);
    ping->Config("AbsoluteTimeout=True");
    ping->Config("UseIPHLPDLL=True");
    ping->Config("UseICMPDLL=True");
    ping->Config(QString::asprintf("IcmpDllTimeout=%d", seconds));
    ping->setTimeout(seconds);
  }

  // Runs `f`, expecting EpelPing with `code` and "code: text".
  template <class F>
  void expectError(F f, int code, const QString &text) {
    try {
      f();
      ADD_FAILURE() << "no exception, expected " << code;
    } catch (const EpelPing &e) {
      EXPECT_EQ(e.Code(), code);
      EXPECT_EQ(e.Message(), QString::number(code) + ": " + text);
    }
  }

  std::unique_ptr<TpelPing> ping;
  std::vector<Response> responses;
};

}  // namespace

TEST_F(PingComponent, CreationDefaults) {
  EXPECT_EQ(ping->PacketSize(), 64);
  EXPECT_EQ(ping->Timeout(), 60);
  EXPECT_EQ(ping->RemoteHost(), "");
  EXPECT_EQ(ping->TypeOfService(), 8);
  EXPECT_EQ(ping->TimeToLive(), 0);
  EXPECT_FALSE(ping->Active());
  EXPECT_TRUE(ping->Idle());
  EXPECT_EQ(ping->RequestId(), 0);
  EXPECT_EQ(ping->ResponseTime(), 0);
  EXPECT_EQ(ping->ResponseTimeMicroseconds(), 0);
  EXPECT_EQ(ping->ResponseSource(), "");
  // Reported-only properties ignore writes.
  ping->setIdle(false);
  ping->setResponseTime(5);
  ping->setResponseTimeMicroseconds(5);
  ping->setResponseSource("x");
  EXPECT_TRUE(ping->Idle());
  EXPECT_EQ(ping->ResponseTime(), 0);
  EXPECT_EQ(ping->ResponseTimeMicroseconds(), 0);
  // Stored in a window description: PacketSize, RemoteHost, Timeout; the reported ones are not.
  const QMetaObject *mo = ping->metaObject();
  for (const char *name : {"PacketSize", "RemoteHost", "Timeout"})
    EXPECT_TRUE(mo->property(mo->indexOfProperty(name)).isStored()) << name;
  for (const char *name :
       {"Idle", "ResponseSource", "ResponseTime", "ResponseTimeMicroseconds", "LocalHost"})
    EXPECT_FALSE(mo->property(mo->indexOfProperty(name)).isStored()) << name;
}

TEST_F(PingComponent, AnswerReachesTheHandlerBeforePingHostReturns) {
  REQUIRE_ISOLATION();
  record();
  configureLikeTheCheckRun(2);
  EXPECT_EQ(ping->Timeout(), 2);
  ping->PingHost("127.0.0.1");
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].sender, ping.get());
  EXPECT_EQ(responses[0].status, "OK");
  EXPECT_EQ(responses[0].source, "127.0.0.1");
  EXPECT_EQ(responses[0].requestId, ping->RequestId());
  EXPECT_EQ(ping->ResponseSource(), "127.0.0.1");
  EXPECT_FALSE(ping->Active());
}

TEST_F(PingComponent, WithoutHandlerAnswersStillCount) {
  REQUIRE_ISOLATION();
  configureLikeTheCheckRun(2);
  ping->PingHost("127.0.0.1");
  EXPECT_EQ(ping->ResponseSource(), "127.0.0.1");
  EXPECT_GE(ping->ResponseTime(), 0);
  // Loopback answers within a millisecond or so: the microseconds tell it.
  EXPECT_GT(ping->ResponseTimeMicroseconds(), 0);
  EXPECT_LT(ping->ResponseTimeMicroseconds(), 1000000);
}

TEST_F(PingComponent, FailuresRaiseEpelPing) {
  REQUIRE_RESPONDER(8);
  record();
  configureLikeTheCheckRun(1);
  expectError([&] { ping->PingHost(kSilentHost); }, 301, "Timeout.");
  expectError([&] { ping->PingHost("no-such-host.invalid"); }, 11001, "[11001] Host not found");
  expectError([&] { ping->PingHost(kUnreachHost1); }, 127, "Host unreachable.");
  expectError([&] { ping->Config("NoSuchSetting"); }, -1, "Unknown config setting.");
  expectError([&] { ping->WakeOnLAN(kEchoHost, "00-11-22-33-44"); }, 128, "Bad MAC address.");
  ASSERT_EQ(responses.size(), 1u);  // the unreachable answer
  EXPECT_EQ(responses[0].status, "Host unreachable.");
  // A successful call after the failures.
  ping->PingHost("127.0.0.1");
  EXPECT_EQ(responses.size(), 2u);
}

TEST_F(PingComponent, HandlerMayCallIntoTheComponent) {
  REQUIRE_ISOLATION();
  configureLikeTheCheckRun(2);
  QString seenInside;
  bool activeInside = true;
  ping->setOnResponse([&](QObject *, int, const QString &, const QString &, int) {
    seenInside = ping->Config("UseICMPDLL");
    activeInside = ping->Active();
  });
  ping->PingHost("127.0.0.1");
  EXPECT_EQ(seenInside, "True");
  EXPECT_TRUE(activeInside);  // the port closes after the handler has run
  EXPECT_FALSE(ping->Active());
}
