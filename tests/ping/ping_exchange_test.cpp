// The echo exchange of both paths in the test's own network namespace: every
// packet size the property holds against loopback and a tun host, the raw
// read loop's bound per notification, and the helper socket that is kept
// between calls (reused, replaced when its settings change or it fails,
// closed with the component, late answers never taken for a later call, and
// descriptors and memory flat over many calls).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "ping_net.h"

// Keeps AddressSanitizer's quarantine of freed memory small, so that the
// memory check below measures what the calls keep rather than what the
// sanitizer holds back.
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=1"; }

using namespace pingtest;

namespace {

constexpr const char *kLoopback = "127.0.0.1";
constexpr const char *kTunEcho = "198.18.0.2";
constexpr const char *kTunLate = "198.18.0.8";
constexpr int kLateMs = 450;       // the late host's delay
constexpr int kShortWaitMs = 300;  // a time-out shorter than that delay

TunResponder *responder() {
  static std::unique_ptr<TunResponder> r = [] {
    auto t = std::make_unique<TunResponder>("px0", "198.18.0.1/24");
    if (!t->ok()) return t;
    t->setHost(kTunEcho, {Reply::Echo});
    t->setHost(kTunLate, {Reply::LateEcho, 0, 8, kLateMs});
    return t;
  }();
  return r.get();
}

#define REQUIRE_TUN()  \
  REQUIRE_ISOLATION(); \
  if (!responder()->ok()) GTEST_SKIP() << "no tun device: " << responder()->why()

enum class Path { Helper, Raw };
const char *pathName(Path p) { return p == Path::Helper ? "helper" : "raw"; }

void configure(PingClient &c, Path path, int timeoutSeconds) {
  if (path == Path::Helper) {
    useHelper(c, timeoutSeconds);
  } else {
    ASSERT_EQ(c.config("AbsoluteTimeout=True"), 0);
    ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, timeoutSeconds), 0);
  }
}

// Descriptor number -> link text ("socket:[123]", "/dev/null", ...).
std::map<int, std::string> descriptors() {
  std::map<int, std::string> out;
  for (int fd = 0; fd < 4096; ++fd) {
    char link[256];
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
    if (n > 0) out[fd] = std::string(link, static_cast<size_t>(n));
  }
  return out;
}

// The sockets among them.
std::map<int, std::string> sockets() {
  std::map<int, std::string> out;
  for (auto &[fd, link] : descriptors())
    if (link.rfind("socket:", 0) == 0) out[fd] = link;
  return out;
}

// The one socket in `after` that is not in `before` (-1 when not exactly one).
int newSocket(const std::map<int, std::string> &before, const std::map<int, std::string> &after) {
  int found = -1;
  for (auto &[fd, link] : after) {
    auto it = before.find(fd);
    if (it != before.end() && it->second == link) continue;
    if (found != -1) return -1;
    found = fd;
  }
  return found;
}

long residentKb() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

void expectOneAnswer(PingClient &c, const std::string &host, const std::string &what) {
  ASSERT_EQ(c.responses.size(), 1u) << what;
  const ResponseRecord &r = c.responses[0];
  EXPECT_EQ(r.status, "OK") << what;
  EXPECT_EQ(r.source, host) << what;
  EXPECT_EQ(r.requestId, c.getInt(PELNET_PING_PROP_RequestId)) << what;
  EXPECT_GE(r.time, 0) << what;
  EXPECT_LT(r.time, 2000) << what;
  EXPECT_EQ(c.getText(PELNET_PING_PROP_ResponseSource), host) << what;
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0) << what;
}

}  // namespace

// Every size the property holds either gets its answer or fails with the
// kernel's refusal.  The helper path sends PacketSize - 4 bytes of echo data
// behind an 8-byte header, the raw path a message of PacketSize bytes; an IPv4
// datagram holds 65515 bytes of message.  The property holds no size above
// 65515, so one above the raw path's largest is that largest again.
TEST(PacketSize, EverySizeAnswersOrFailsWithTheKernelsCode) {
  REQUIRE_TUN();
  struct Row {
    Path path;
    const char *host;
    intptr_t size, readBack;
    int code;
  } rows[] = {
      {Path::Helper, kLoopback, 8, 8, 0},
      {Path::Helper, kLoopback, 11, 11, 0},
      {Path::Helper, kLoopback, 12, 12, 0},
      {Path::Helper, kLoopback, 1472, 1472, 0},
      {Path::Helper, kLoopback, 1700, 1700, 0},
      {Path::Helper, kLoopback, 8000, 8000, 0},
      {Path::Helper, kLoopback, 65511, 65511, 0},
      {Path::Helper, kLoopback, 65512, 65512, 10040},
      {Path::Raw, kLoopback, 8, 8, 0},
      {Path::Raw, kLoopback, 11, 11, 0},
      {Path::Raw, kLoopback, 12, 12, 0},
      {Path::Raw, kLoopback, 1472, 1472, 0},
      {Path::Raw, kLoopback, 1700, 1700, 0},
      {Path::Raw, kLoopback, 8000, 8000, 0},
      {Path::Raw, kLoopback, 65515, 65515, 0},
      {Path::Raw, kLoopback, 65516, 65515, 0},
      {Path::Helper, kTunEcho, 8, 8, 0},
      {Path::Helper, kTunEcho, 11, 11, 0},
      {Path::Helper, kTunEcho, 1472, 1472, 0},
      {Path::Raw, kTunEcho, 8, 8, 0},
      {Path::Raw, kTunEcho, 11, 11, 0},
      {Path::Raw, kTunEcho, 1472, 1472, 0},
  };
  for (const Row &row : rows) {
    const std::string what =
        std::string(pathName(row.path)) + " " + row.host + " size " + std::to_string(row.size);
    PingClient c;
    configure(c, row.path, 2);
    ASSERT_EQ(c.setInt(PELNET_PING_PROP_PacketSize, row.size), 0) << what;
    ASSERT_EQ(c.getInt(PELNET_PING_PROP_PacketSize), row.readBack) << what;
    ASSERT_EQ(c.pingHost(row.host), row.code) << what << ": " << c.lastError();
    if (row.code == 0) {
      expectOneAnswer(c, row.host, what);
    } else {
      EXPECT_EQ(c.lastError(), "[10040] Message too long") << what;
      EXPECT_TRUE(c.responses.empty()) << what;
    }
    EXPECT_TRUE(c.errors.empty()) << what;
  }
}

// In non-waiting mode the raw socket collects the answers of many requests;
// one notification delivers a bounded share and the next ones the rest.
TEST(RawRead, OneNotificationReadsABoundedBatch) {
  REQUIRE_ISOLATION();
  constexpr int kRequests = 200;  // with our own requests seen on loopback, 400 datagrams
  PingClient c;
  ASSERT_EQ(c.config("InBufferSize=1000000"), 0);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, 0), 0);
  for (int i = 0; i < kRequests; ++i) ASSERT_EQ(c.pingHost(kLoopback), 0) << c.lastError();
  ASSERT_EQ(c.getInt(PELNET_PING_PROP_Active), 1);
  ASSERT_EQ(c.doEvents(), 0);
  const size_t first = c.responses.size();
  EXPECT_GT(first, 0u);
  EXPECT_LT(first, static_cast<size_t>(kRequests));
  auto start = std::chrono::steady_clock::now();
  while (c.responses.size() < static_cast<size_t>(kRequests) && secondsSince(start) < 2.0)
    c.doEvents();
  EXPECT_GT(c.responses.size(), first);
  for (const ResponseRecord &r : c.responses) EXPECT_EQ(r.status, "OK");
}

// The helper socket outlives the call that opened it, while the port reads
// closed; it gives way when the settings it was opened with change, and an
// explicit Active := True opens anew.
TEST(KeptSocket, ReusedUntilItsSettingsChange) {
  REQUIRE_ISOLATION();
  const auto base = sockets();
  PingClient c;
  useHelper(c, 2);
  ASSERT_EQ(c.pingHost(kLoopback), 0) << c.lastError();
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Idle), 1);
  auto kept = sockets();
  const int fd = newSocket(base, kept);
  ASSERT_GE(fd, 0) << "one socket kept after the call";

  struct Step {
    const char *what;
    std::function<int(PingClient &)> change;  // before the ping
    int code;                                 // of the ping
    bool sameSocket;                          // the kept socket served
  } steps[] = {
      {"second call", [](PingClient &) { return 0; }, 0, true},
      {"third call", [](PingClient &) { return 0; }, 0, true},
      {"LocalHost set",
       [](PingClient &k) { return k.setText(PELNET_PING_PROP_LocalHost, "127.0.0.1"); }, 0, false},
      {"same LocalHost",
       [](PingClient &k) { return k.setText(PELNET_PING_PROP_LocalHost, "127.0.0.1"); }, 0, true},
      {"Active opened and closed",
       [](PingClient &k) {
         int rc = k.setInt(PELNET_PING_PROP_Active, 1);
         return rc != 0 ? rc : k.setInt(PELNET_PING_PROP_Active, 0);
       },
       0, false},
      {"TimeToLive set", [](PingClient &k) { return k.setInt(PELNET_PING_PROP_TimeToLive, 64); }, 0,
       true},
  };
  for (const Step &step : steps) {
    c.responses.clear();
    ASSERT_EQ(step.change(c), 0) << step.what << ": " << c.lastError();
    ASSERT_EQ(c.pingHost(kLoopback), step.code) << step.what << ": " << c.lastError();
    expectOneAnswer(c, kLoopback, step.what);
    auto now = sockets();
    EXPECT_EQ(now.size(), kept.size()) << step.what << ": still one socket";
    EXPECT_EQ(now == kept, step.sameSocket) << step.what;
    kept = now;
  }

  // IPv6 is refused on this path; the kept IPv4 socket is closed with the refusal.
  ASSERT_EQ(c.config("UseIPv6=True"), 0);
  EXPECT_EQ(c.pingHost("::1"), 306);
  EXPECT_EQ(sockets(), base);
  ASSERT_EQ(c.config("UseIPv6=False"), 0);
  c.responses.clear();
  ASSERT_EQ(c.pingHost(kLoopback), 0) << c.lastError();
  expectOneAnswer(c, kLoopback, "IPv6 off again");
  EXPECT_EQ(sockets().size(), base.size() + 1);
}

// A kept socket that fails is replaced, and the call that found it broken
// still gets its answer.
TEST(KeptSocket, ABrokenKeptSocketIsReplaced) {
  REQUIRE_ISOLATION();
  const auto base = sockets();
  PingClient c;
  useHelper(c, 2);
  ASSERT_EQ(c.pingHost(kLoopback), 0) << c.lastError();
  const int fd = newSocket(base, sockets());
  ASSERT_GE(fd, 0);
  auto nullLinks = [] {
    int n = 0;
    for (auto &[d, link] : descriptors()) n += link == "/dev/null" ? 1 : 0;
    return n;
  };
  const int nullsBefore = nullLinks();
  // The descriptor now names /dev/null: every socket call on it fails.
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(null, 0);
  ASSERT_EQ(::dup2(null, fd), fd);
  ::close(null);
  c.responses.clear();
  ASSERT_EQ(c.pingHost(kLoopback), 0) << c.lastError();
  expectOneAnswer(c, kLoopback, "after the break");
  const auto now = sockets();
  EXPECT_EQ(now.size(), base.size() + 1);
  EXPECT_EQ(nullLinks(), nullsBefore) << "the broken descriptor is closed";
}

// Destroying the component closes the socket kept for it; so does switching
// to the raw path.
TEST(KeptSocket, ClosedWithTheComponentAndByTheRawPath) {
  REQUIRE_ISOLATION();
  const auto base = sockets();
  {
    PingClient c;
    useHelper(c, 2);
    ASSERT_EQ(c.pingHost(kLoopback), 0) << c.lastError();
    EXPECT_EQ(sockets().size(), base.size() + 1);
  }
  EXPECT_EQ(sockets(), base);

  PingClient c;
  useHelper(c, 2);
  ASSERT_EQ(c.pingHost(kLoopback), 0) << c.lastError();
  ASSERT_EQ(c.config("UseICMPDLL=False"), 0);
  ASSERT_EQ(c.config("UseIPHLPDLL=False"), 0);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Active, 1), 0) << c.lastError();
  EXPECT_EQ(sockets().size(), base.size() + 1) << "the raw socket alone";
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Active, 0), 0);
  EXPECT_EQ(sockets(), base);
}

// An answer to an earlier request that timed out, arriving before or during
// the next call on the kept socket, is never that call's answer.
TEST(KeptSocket, LateAnswersAreNotTakenForALaterCall) {
  REQUIRE_TUN();
  struct Row {
    const char *what;
    bool lateAnswerFirst;  // wait until it lies on the socket before the next call
    const char *nextHost;
    int code;
  } rows[] = {
      {"late answer queued, next call to the late host", true, kTunLate, 301},
      {"late answer queued, next call to a host that answers", true, kTunEcho, 0},
      {"late answer during the next call's wait", false, kTunLate, 301},
  };
  int late = responder()->lateSent();
  for (const Row &row : rows) {
    const auto base = sockets();
    PingClient c;
    useHelper(c, 1);
    ASSERT_EQ(c.config("TimeoutInMilliseconds=True"), 0);
    ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, kShortWaitMs), 0);
    ASSERT_EQ(c.pingHost(kTunLate), 301) << row.what;
    ASSERT_EQ(c.lastError(), "Timeout.");
    ASSERT_TRUE(c.responses.empty());
    const int fd = newSocket(base, sockets());
    ASSERT_GE(fd, 0) << row.what;
    if (row.lateAnswerFirst) {
      pollfd p{fd, POLLIN, 0};
      ASSERT_EQ(::poll(&p, 1, 3000), 1) << row.what << ": the late answer arrives";
    }
    const int firstRequestId = static_cast<int>(c.getInt(PELNET_PING_PROP_RequestId));
    EXPECT_EQ(c.pingHost(row.nextHost), row.code) << row.what << ": " << c.lastError();
    EXPECT_GE(responder()->lateSent(), late + 1) << row.what << ": the late answer came";
    if (row.code == 0) {
      expectOneAnswer(c, row.nextHost, row.what);
      EXPECT_NE(c.responses[0].requestId, firstRequestId);
    } else {
      EXPECT_EQ(c.lastError(), "Timeout.") << row.what;
      EXPECT_TRUE(c.responses.empty()) << row.what;
    }
    // Every late answer of this row is out before the next row starts.
    late += row.nextHost == kTunLate ? 2 : 1;
    auto start = std::chrono::steady_clock::now();
    while (responder()->lateSent() < late && secondsSince(start) < 3.0)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(responder()->lateSent(), late) << row.what;
  }
}

// Many calls on the kept socket: the descriptors stay as they were and the
// resident memory grows by no more than a few pages' worth of allocator slack.
TEST(KeptSocket, DescriptorsAndMemoryFlatOverManyCalls) {
  REQUIRE_ISOLATION();
  constexpr long kCalls = 100000;
  constexpr long kWarmUp = 2000;
  constexpr long kGrowthLimitKb = 2048;
  PingClient c;
  useHelper(c, 2);
  long answered = 0;
  for (long i = 0; i < kWarmUp; ++i) answered += c.pingHost(kLoopback) == 0 ? 1 : 0;
  ASSERT_EQ(answered, kWarmUp);
  const auto fds = descriptors();
  const long rss = residentKb();
  answered = 0;
  for (long i = 0; i < kCalls; ++i) {
    answered += c.pingHost(kLoopback) == 0 ? 1 : 0;
    // The test's own records of the events, not the core's memory.
    if (i % 1000 == 0) {
      c.responses.clear();
      c.events.calls.clear();
    }
  }
  EXPECT_EQ(answered, kCalls);
  EXPECT_EQ(descriptors(), fds);
  EXPECT_LT(residentKb() - rss, kGrowthLimitKb) << "before " << rss << " kB";
  EXPECT_EQ(c.getInt(PELNET_PING_PROP_Active), 0);
}
