// Shared pieces of the ping tests that use the isolated network.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "pelnet/ping_ids.h"
#include "ping_client.h"
#include "isolation.h"
#include "tun_responder.h"

namespace pingtest {

// Test hosts behind the tun (198.18.0.1 is this side).
inline constexpr const char *kEchoHost = "198.18.0.2";
inline constexpr const char *kSilentHost = "198.18.0.3";
inline constexpr const char *kUnreachHost1 = "198.18.0.4";
inline constexpr const char *kUnreachHost13 = "198.18.0.5";
inline constexpr const char *kWrongIdHost = "198.18.0.6";
inline constexpr const char *kTimeExceededHost = "198.18.0.7";
inline constexpr const char *kLateHost = "198.18.0.9";

// One responder for the whole test program (after isolation, before use).
inline TunResponder *sharedResponder(size_t idOffset) {
  static std::unique_ptr<TunResponder> r = [idOffset] {
    auto t = std::make_unique<TunResponder>();
    if (!t->ok()) return t;
    t->setHost(kEchoHost, {Reply::Echo});
    t->setHost(kSilentHost, {Reply::Silent});
    t->setHost(kUnreachHost1, {Reply::Unreachable, 1});
    t->setHost(kUnreachHost13, {Reply::Unreachable, 13});
    t->setHost(kWrongIdHost, {Reply::WrongId, 0, idOffset});
    t->setHost(kTimeExceededHost, {Reply::TimeExceeded, 0});
    t->setHost(kLateHost, {Reply::WrongIdThenEcho, 0, idOffset, 300});
    return t;
  }();
  return r.get();
}

#define REQUIRE_RESPONDER(offset)                                              \
  REQUIRE_ISOLATION();                                                         \
  ::pingtest::TunResponder *responder = ::pingtest::sharedResponder(offset);   \
  if (!responder->ok()) GTEST_SKIP() << "no tun device: " << responder->why(); \
  responder->clearCaptured()

// The application's configuration of the helper path.
inline void useHelper(PingClient &c, int timeoutSeconds) {
  c.setInt(PELNET_PING_PROP_TimeToLive, 128);
  ASSERT_EQ(c.config("AbsoluteTimeout=True"), 0);
  ASSERT_EQ(c.config("UseIPHLPDLL=True"), 0);
  ASSERT_EQ(c.config("UseICMPDLL=True"), 0);
  ASSERT_EQ(c.config("IcmpDllTimeout=" + std::to_string(timeoutSeconds)), 0);
  ASSERT_EQ(c.setInt(PELNET_PING_PROP_Timeout, timeoutSeconds), 0);
}

// In a child process out of descriptors, the helper path's Active := True and
// PingHost fail with 10024 and its text and leave the port closed.  Only a
// refusal of ping sockets is worth a raw socket; this is not one.
inline void expectOutOfDescriptorsFailure() {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    PingClient c;
    c.config("UseICMPDLL=True");
    c.setText(PELNET_PING_PROP_RemoteHost, "127.0.0.1");
    // The lowest free descriptor becomes the limit: the next socket() gets EMFILE.
    const int probe = dup(0);
    if (probe < 0) _exit(10);
    close(probe);
    const rlimit limit{static_cast<rlim_t>(probe), static_cast<rlim_t>(probe)};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(11);
    struct Call {
      int (*run)(PingClient &);
    } calls[] = {
        {[](PingClient &k) { return k.setInt(PELNET_PING_PROP_Active, 1); }},
        {[](PingClient &k) { return k.pingHost("127.0.0.1"); }},
    };
    int step = 12;
    for (const Call &call : calls) {
      if (call.run(c) != 10024) _exit(step);
      if (c.lastError() != "[10024] Too many open files") _exit(step + 1);
      if (c.getInt(PELNET_PING_PROP_Active) != 0) _exit(step + 2);
      step += 3;
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "12-14: Active, 15-17: PingHost (code, text, still closed)";
}

inline double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Only the requests the core sent to `host`.
inline std::vector<Captured> sentTo(TunResponder *r, const std::string &host) {
  std::vector<Captured> out;
  for (auto &c : r->captured())
    if (c.destination == host) out.push_back(c);
  return out;
}

// The same, waiting up to a second for `count` of them: a call that does not
// wait for an answer returns before the responder thread has read its request.
inline std::vector<Captured> waitSentTo(TunResponder *r, const std::string &host, size_t count) {
  auto start = std::chrono::steady_clock::now();
  std::vector<Captured> out = sentTo(r, host);
  while (out.size() < count && secondsSince(start) < 1.0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    out = sentTo(r, host);
  }
  return out;
}

}  // namespace pingtest
