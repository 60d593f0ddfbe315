#include "tun_responder.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "echo_packet.h"
#include "isolation.h"

namespace pingtest {
namespace {

uint16_t sum16(const uint8_t *p, size_t n) { return pelping::internetChecksum(p, n); }

void fixIcmpChecksum(std::vector<uint8_t> &icmp) {
  if (icmp.size() < 4) return;
  icmp[2] = icmp[3] = 0;
  uint16_t s = sum16(icmp.data(), icmp.size());
  icmp[2] = static_cast<uint8_t>(s >> 8);
  icmp[3] = static_cast<uint8_t>(s);
}

}  // namespace

std::vector<uint8_t> ipv4Packet(uint32_t src, uint32_t dst, const std::vector<uint8_t> &icmp) {
  std::vector<uint8_t> p(20, 0);
  const size_t total = 20 + icmp.size();
  p[0] = 0x45;
  p[2] = static_cast<uint8_t>(total >> 8);
  p[3] = static_cast<uint8_t>(total);
  p[8] = 64;  // TTL
  p[9] = 1;   // ICMP
  std::memcpy(&p[12], &src, 4);
  std::memcpy(&p[16], &dst, 4);
  uint16_t s = sum16(p.data(), 20);
  p[10] = static_cast<uint8_t>(s >> 8);
  p[11] = static_cast<uint8_t>(s);
  p.insert(p.end(), icmp.begin(), icmp.end());
  return p;
}

TunResponder::TunResponder(const std::string &name, const std::string &cidr) {
  fd_ = testsupport::openTun(name, cidr, &why_);
  if (fd_ >= 0) thread_ = std::thread([this] { run(); });
}

TunResponder::~TunResponder() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
}

void TunResponder::setHost(const std::string &address, HostReply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  hosts_[inet_addr(address.c_str())] = reply;
  requestCounts_[inet_addr(address.c_str())] = 0;
}

std::vector<Captured> TunResponder::captured() {
  std::lock_guard<std::mutex> lock(mutex_);
  return captured_;
}

void TunResponder::clearCaptured() {
  std::lock_guard<std::mutex> lock(mutex_);
  captured_.clear();
}

void TunResponder::run() {
  std::vector<uint8_t> buf(70000);
  while (!stop_) {
    // Late replies whose time has come go out first; the poll ends in time for the next.
    int waitMs = 50;
    const auto now = std::chrono::steady_clock::now();
    for (auto it = late_.begin(); it != late_.end();) {
      if (it->first <= now) {
        send(it->second);
        ++lateSent_;
        it = late_.erase(it);
        continue;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(it->first - now).count();
      waitMs = std::min<int>(waitMs, static_cast<int>(left) + 1);
      ++it;
    }
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, waitMs) <= 0) continue;
    ssize_t n = ::read(fd_, buf.data(), buf.size());
    if (n <= 0) continue;
    handle(std::vector<uint8_t>(buf.begin(), buf.begin() + n));
  }
}

void TunResponder::send(const std::vector<uint8_t> &packet) {
  (void)!::write(fd_, packet.data(), packet.size());
}

void TunResponder::handle(const std::vector<uint8_t> &packet) {
  if (packet.size() < 20 || (packet[0] >> 4) != 4 || packet[9] != 1) return;
  const size_t ihl = static_cast<size_t>(packet[0] & 0x0F) * 4;
  if (ihl < 20 || packet.size() < ihl + 8) return;
  uint32_t src, dst;
  std::memcpy(&src, &packet[12], 4);
  std::memcpy(&dst, &packet[16], 4);
  std::vector<uint8_t> icmp(packet.begin() + static_cast<long>(ihl), packet.end());

  HostReply how;
  int count;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    in_addr a{dst};
    captured_.push_back(
        {inet_ntoa(a), std::string(icmp.begin(), icmp.end()), packet[8], packet[1]});
    auto it = hosts_.find(dst);
    if (it == hosts_.end() || icmp[0] != 8) return;
    how = it->second;
    count = requestCounts_[dst]++;
  }

  auto echoPacket = [&](bool wrongId) {
    std::vector<uint8_t> reply = icmp;
    reply[0] = 0;
    if (wrongId && reply.size() >= how.idOffset + 4)
      for (size_t i = 0; i < 4; ++i) reply[how.idOffset + i] ^= 0x5A;
    fixIcmpChecksum(reply);
    return ipv4Packet(dst, src, reply);
  };
  auto echo = [&](bool wrongId) { send(echoPacket(wrongId)); };
  auto error = [&](uint8_t type) {
    std::vector<uint8_t> msg = {type, static_cast<uint8_t>(how.code), 0, 0, 0, 0, 0, 0};
    msg.insert(msg.end(), packet.begin(),
               packet.begin() + static_cast<long>(std::min<size_t>(packet.size(), 548)));
    fixIcmpChecksum(msg);
    send(ipv4Packet(dst, src, msg));
  };

  switch (how.reply) {
    case Reply::Echo:
      echo(false);
      break;
    case Reply::Silent:
      break;
    case Reply::WrongId:
      echo(true);
      break;
    case Reply::WrongIdThenEcho:
      echo(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(how.delayMs));
      echo(false);
      break;
    case Reply::EveryOther:
      if (count % 2 == 0) echo(false);
      break;
    case Reply::Unreachable:
      error(3);
      break;
    case Reply::TimeExceeded:
      error(11);
      break;
    case Reply::LateEcho:
      late_.emplace_back(std::chrono::steady_clock::now() + std::chrono::milliseconds(how.delayMs),
                         echoPacket(false));
      break;
  }
}

}  // namespace pingtest
