#include "test_core.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>
#include <stdexcept>

#include "pelnet/runtime/errors.h"

namespace testcore {
using namespace pelnet;

TestPort::TestPort() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
  port_ = ntohs(a.sin_port);
  watch(fd_, G_IO_IN);
}

TestPort::~TestPort() {
  unwatch();
  ::close(fd_);
}

void TestPort::onNotification(int fd, GIOCondition) {
  char buf[2048];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0) return;
    ++packets;
    lastPayload.assign(buf, static_cast<size_t>(n));
    if (lastPayload == kThrowingPayload) throw std::runtime_error("notification failure");
    rearmOnTraffic();
    if (events != nullptr)
      events->fireEvent(kPacket, {EventParam::integer(packets), EventParam::text(lastPayload),
                                  EventParam::bytes(lastPayload),
                                  EventParam::int64(int64_t{packets} * 10000000000)});
  }
}

TestCore::TestCore(pelnet_event_fn callback, void *user) : CoreBase(callback, user) {
  port_.setSink(this);
  port_.events = this;
}

std::optional<ValueKind> TestCore::propertyKind(int id) const {
  switch (id) {
    case kCount:
    case kTimeout:
    case kPort:
    case kThrowing:
      return ValueKind::Int;
    case kName:
    case kItems:
      return ValueKind::Text;
    case kBlob:
      return ValueKind::Bytes;
    default:
      return std::nullopt;
  }
}

int TestCore::setProperty(int id, int index, const Value &v) {
  switch (id) {
    case kName:
      name_ = v.s;
      return 0;
    case kBlob:
      blob_ = v.s;
      return 0;
    case kTimeout:
      port_.setTimeout(static_cast<int32_t>(v.i));
      return 0;
    case kItems:
      if (index < 0 || index >= static_cast<int>(items_.size()))
        return port_.fail(kInvalidIndex, "Bad item.");
      items_[static_cast<size_t>(index)] = v.s;
      return 0;
    case kThrowing:
      throw std::bad_alloc();
    default:
      return kUnknownSetting;  // read-only
  }
}

Value TestCore::getProperty(int id, int index) {
  switch (id) {
    case kCount:
      return Value::integer(port_.packets);
    case kName:
      return Value::text(name_);
    case kBlob:
      return Value::bytes(blob_);
    case kTimeout:
      return Value::integer(port_.timeout());
    case kPort:
      return Value::integer(port_.port());
    case kThrowing:
      throw std::bad_alloc();
    case kItems:
      return checkIndex(id, index) == 0 ? Value::text(items_[static_cast<size_t>(index)])
                                        : Value::text("");
    default:
      return Value();
  }
}

int TestCore::checkIndex(int id, int index) {
  if (id != kItems) return 0;
  return index >= 0 && index < static_cast<int>(items_.size()) ? 0 : kInvalidIndex;
}

std::optional<MethodSignature> TestCore::methodSignature(int id) const {
  switch (id) {
    case kConfig:
      return MethodSignature{{ValueKind::Text}, ValueKind::Text};
    case kDoEvents:
    case kInterrupt:
    case kNoop:
      return MethodSignature{};
    case kWaitPackets:
    case kThrow:
      return MethodSignature{{ValueKind::Int}, std::nullopt};
    case kConcat:
      return MethodSignature{{ValueKind::Text, ValueKind::Bytes}, ValueKind::Bytes};
    case kFail:
    case kFireError:
      return MethodSignature{{ValueKind::Int, ValueKind::Text}, std::nullopt};
    default:
      return std::nullopt;
  }
}

int TestCore::callMethod(int id, std::vector<Value> &args, Value &result) {
  switch (id) {
    case kConfig: {
      std::string answer;
      int rc = config(args[0].s, answer);
      result = Value::text(answer);
      return rc;
    }
    case kDoEvents:
      return port_.doEvents();
    case kInterrupt:
      return port_.interrupt();
    case kNoop:
      return 0;
    case kWaitPackets: {
      int wanted = static_cast<int>(args[0].i);
      port_.armDeadline();
      return port_.waitWhile([&] { return port_.packets < wanted; });
    }
    case kConcat:
      result = Value::bytes(args[0].s + args[1].s);
      return 0;
    case kFail:
      if (!args[1].s.empty()) port_.lastErrorText = args[1].s;
      return static_cast<int>(args[0].i);
    case kFireError:
      fireError(static_cast<int>(args[0].i), args[1].s);
      return 0;
    case kThrow:
      switch (args[0].i) {
        case 0:
          throw std::bad_alloc();
        case 1:
          throw std::runtime_error("test failure");
        case 2:
          throw 42;
        default:
          throw std::length_error("too long");
      }
    default:
      return kUnknownSetting;
  }
}

// One setting of the component layer, so that lookups through the layers can be seen.
ConfigResult TestCore::configComponent(const ParsedSetting &s, std::string &answer) {
  if (!sameName(s.name, "Timeout")) return std::nullopt;
  if (s.query)
    answer = std::to_string(port_.timeout());
  else
    port_.setTimeout(readInt(s.value));
  return 0;
}

void sendDatagram(int port, const std::string &payload) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
  ::close(fd);
}

}  // namespace testcore
