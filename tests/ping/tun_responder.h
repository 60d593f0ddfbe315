// The far side of a tun device in the test's own network namespace: a
// thread that reads every IPv4 packet the kernel routes into the tun, keeps
// the ICMP messages it saw, and answers echo requests the way each test host
// is told to (answer, stay silent, answer with a wrong request id, or
// send destination-unreachable / time-exceeded).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pingtest {

enum class Reply {
  Echo,     // an echo reply
  Silent,   // nothing
  WrongId,  // an echo reply whose request id (4 bytes at idOffset of the ICMP message) is changed
  WrongIdThenEcho,  // a wrong-id reply at once, the right one after delayMs
  EveryOther,       // answers the 1st, 3rd, ... request and ignores the others
  Unreachable,      // destination unreachable with `code`
  TimeExceeded,     // time exceeded with `code`
  LateEcho,         // an echo reply after delayMs; requests meanwhile are still handled
};

struct HostReply {
  Reply reply = Reply::Echo;
  int code = 0;
  size_t idOffset = 8;  // helper path: the echo data starts with the id; raw path: 4
  int delayMs = 0;
};

struct Captured {
  std::string destination;  // dotted
  std::string icmp;         // the ICMP message as sent, header included
  int ttl = 0;
  int tos = 0;
};

class TunResponder {
 public:
  // Creates the tun (198.18.0.1/24 by default) and starts the responder thread.
  explicit TunResponder(const std::string &name = "pt0", const std::string &cidr = "198.18.0.1/24");
  ~TunResponder();
  bool ok() const { return fd_ >= 0; }
  const std::string &why() const { return why_; }

  void setHost(const std::string &address, HostReply reply);
  std::vector<Captured> captured();
  void clearCaptured();
  // How many LateEcho replies have gone out so far.
  int lateSent() const { return lateSent_; }

 private:
  void run();
  void handle(const std::vector<uint8_t> &packet);
  void send(const std::vector<uint8_t> &packet);

  int fd_ = -1;
  std::string why_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::map<uint32_t, HostReply> hosts_;
  std::map<uint32_t, int> requestCounts_;
  std::vector<Captured> captured_;
  // LateEcho replies waiting for their time (responder thread only).
  std::vector<std::pair<std::chrono::steady_clock::time_point, std::vector<uint8_t>>> late_;
  std::atomic<int> lateSent_{0};
  std::thread thread_;
};

// IPv4 packet with a 20-byte header around an ICMP message (checksums filled in).
std::vector<uint8_t> ipv4Packet(uint32_t src, uint32_t dst, const std::vector<uint8_t> &icmp);

}  // namespace pingtest
