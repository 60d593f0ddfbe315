// A small core over the runtime for the tests: one UDP socket on 127.0.0.1
// whose datagrams count as traffic and fire the Packet event.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

#include "pelnet/runtime/core_base.h"

namespace testcore {

// Property, method and event ids of the test core.
enum Prop {
  kCount = 1,
  kName = 2,
  kBlob = 3,
  kTimeout = 4,
  kPort = 5,
  kItems = 6,
  kThrowing = 7  // Int; reading or writing it throws std::bad_alloc
};
enum Method {
  kConfig = 2,
  kDoEvents = 3,
  kInterrupt = 4,
  kWaitPackets = 5,
  kConcat = 6,
  kFail = 7,
  kFireError = 8,
  kNoop = 9,
  kThrow =
      10  // (kind) throws: 0 std::bad_alloc, 1 std::runtime_error, 2 an int, 3 std::length_error
};
enum Event { kError = 1, kPacket = 2 };

// A datagram with this payload makes the port's notification handler throw.
inline constexpr const char *kThrowingPayload = "throw";

class TestPort : public pelnet::SocketObject {
 public:
  TestPort();
  ~TestPort() override;
  int fd() const { return fd_; }
  int port() const { return port_; }
  int packets = 0;
  std::string lastPayload;
  pelnet::EventSink *events = nullptr;

 protected:
  void onNotification(int fd, GIOCondition cond) override;

 private:
  int fd_ = -1;
  int port_ = 0;
};

class TestCore : public pelnet::CoreBase {
 public:
  TestCore(pelnet_event_fn callback, void *user);
  pelnet::SocketObject &socket() override { return port_; }
  TestPort &port() { return port_; }

 protected:
  std::optional<pelnet::ValueKind> propertyKind(int id) const override;
  int setProperty(int id, int index, const pelnet::Value &v) override;
  pelnet::Value getProperty(int id, int index) override;
  int checkIndex(int id, int index) override;
  std::optional<pelnet::MethodSignature> methodSignature(int id) const override;
  int callMethod(int id, std::vector<pelnet::Value> &args, pelnet::Value &result) override;
  int errorEventId() const override { return kError; }
  pelnet::ConfigResult configComponent(const pelnet::ParsedSetting &s,
                                       std::string &answer) override;

 private:
  TestPort port_;
  std::string name_, blob_;
  std::vector<std::string> items_{"zero", "one", "two"};
};

// Sends one datagram to 127.0.0.1:port from a fresh socket.
void sendDatagram(int port, const std::string &payload);

}  // namespace testcore
