// The ping core: one instance per ping component.  Properties, methods and
// events by number, the component's settings, PingHost with its answer
// matching and round-trip times, and WakeOnLAN.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>

#include "icmp_port.h"
#include "pelnet/ping_ids.h"
#include "pelnet/runtime/core_base.h"

namespace pelping {

inline constexpr uint16_t kMinPacketSize = 8;
inline constexpr uint16_t kMaxPacketSize = 65515;
inline constexpr size_t kResponseSourceMax = 59;

class PingCore : public pelnet::CoreBase, private AnswerHandler {
 public:
  PingCore(pelnet_event_fn callback, void *user);
  ~PingCore() override;

  pelnet::SocketObject &socket() override { return port_; }

  int pingHost(const std::string &host);
  int wakeOnLan(const std::string &host, const std::string &mac);

 protected:
  std::optional<pelnet::ValueKind> propertyKind(int id) const override;
  int setProperty(int id, int index, const pelnet::Value &v) override;
  pelnet::Value getProperty(int id, int index) override;
  std::optional<pelnet::MethodSignature> methodSignature(int id) const override;
  int callMethod(int id, std::vector<pelnet::Value> &args, pelnet::Value &result) override;
  int errorEventId() const override { return PELNET_PING_EVENT_Error; }
  pelnet::ConfigResult configComponent(const pelnet::ParsedSetting &s,
                                       std::string &answer) override;

 private:
  struct Settings;
  void onAnswer(uint8_t type, uint8_t code, ByteReader data, const std::string &source) override;
  int setPacketSize(intptr_t v);
  int setTimeoutProperty(int32_t v);
  bool waiting() const { return port_.timeoutMs != 0; }
  // Round-trip clock: the high-resolution counter in milliseconds, low 32 bits.
  static uint32_t msClock(uint64_t hires);
  // The round trip of the request sent at `sentHires`, in whole
  // milliseconds and in microseconds, from one reading of the counter;
  // returns that reading on the millisecond clock.
  uint32_t measureResponse(uint64_t sentHires);
  // Not waiting: the send time of each request still remembered, so that an
  // answer is timed from its own request, not from the last one sent.
  void rememberSendTime(uint32_t requestId, uint64_t sentHires);
  uint64_t sendTimeOf(uint32_t requestId) const;
  void clearResponseTime();

  ICMPPort port_;
  uint16_t packetSize_ = 64;
  uint32_t requestId_ = 0;
  uint32_t sendTime_ = 0;
  uint64_t sendTimeHires_ = 0;
  uint32_t responseTime_ = 0;
  int64_t responseTimeMicroseconds_ = 0;
  int unreachableCode_ = -1;
  bool manyHosts_ = false;
  // Send times by request id, and the requests in the order sent: the
  // oldest give way once kSendTimesKept are remembered.
  std::unordered_map<uint32_t, uint64_t> sendTimes_;
  std::deque<std::pair<uint32_t, uint64_t>> sendOrder_;
  std::string responseSource_;
  std::string body_;  // the request body of the last call: filler, stamped anew per request
};

}  // namespace pelping
