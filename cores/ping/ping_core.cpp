#include "ping_core.h"

#include <algorithm>
#include <limits>

#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/kept_error_text.h"
#include "ping_errors.h"
#include "ping_texts.h"
#include "wake_on_lan.h"

namespace pelping {

using pelnet::kindOfProperty;
using pelnet::PropertyEntry;
using pelnet::Value;
using pelnet::ValueKind;

namespace {
constexpr int32_t kConstructedTimeoutSeconds = 60;
constexpr int32_t kHelperTimeout = 60;
// Requests of a run that may wait for their answers at the same time: more
// than a list of devices holds, each with one request out.
constexpr size_t kSendTimesKept = 1u << 16;
}  // namespace

PingCore::PingCore(pelnet_event_fn callback, void *user) : CoreBase(callback, user) {
  port_.setSink(this);
  port_.setAnswerHandler(this);
  port_.setMessageType(kIcmpEchoRequest);
  port_.setTimeout(kConstructedTimeoutSeconds);
}

PingCore::~PingCore() { port_.setAnswerHandler(nullptr); }

uint32_t PingCore::msClock(uint64_t hires) {
  return static_cast<uint32_t>(hires / pelnet::kHiresTicksPerMs);
}

uint32_t PingCore::measureResponse(uint64_t sentHires) {
  const uint64_t now = pelnet::hiresCounter();
  const uint32_t nowMs = msClock(now);
  // Whole milliseconds as ever: the difference of the two truncated readings.
  responseTime_ = nowMs - msClock(sentHires);
  constexpr uint64_t kTicksPerMicrosecond = pelnet::kHiresTicksPerMs / 1000;
  responseTimeMicroseconds_ = static_cast<int64_t>((now - sentHires) / kTicksPerMicrosecond);
  return nowMs;
}

void PingCore::rememberSendTime(uint32_t requestId, uint64_t sentHires) {
  if (sendOrder_.size() >= kSendTimesKept) {
    const auto [id, time] = sendOrder_.front();
    const auto oldest = sendTimes_.find(id);
    // An id sent again later keeps its newer time.
    if (oldest != sendTimes_.end() && oldest->second == time) sendTimes_.erase(oldest);
    sendOrder_.pop_front();
  }
  sendTimes_[requestId] = sentHires;
  sendOrder_.emplace_back(requestId, sentHires);
}

uint64_t PingCore::sendTimeOf(uint32_t requestId) const {
  if (waiting() || requestId == requestId_) return sendTimeHires_;
  const auto it = sendTimes_.find(requestId);
  return it != sendTimes_.end() ? it->second : sendTimeHires_;
}

void PingCore::clearResponseTime() {
  sendTime_ = 0;
  sendTimeHires_ = 0;
  responseTime_ = 0;
  responseTimeMicroseconds_ = 0;
}

// ---------------------------------------------------------------- properties

std::optional<ValueKind> PingCore::propertyKind(int id) const {
  static constexpr PropertyEntry kProperties[] = {PELNET_PING_PROPERTIES(PELNET_PROPERTY_ENTRY)};
  return kindOfProperty(kProperties, id);
}

int PingCore::setProperty(int id, int /*index*/, const Value &v) {
  switch (id) {
    case PELNET_PING_PROP_Active:
      return v.i ? port_.open() : port_.close();
    case PELNET_PING_PROP_LocalHost:
      return port_.setLocalHost(v.s);
    case PELNET_PING_PROP_PacketSize:
      return setPacketSize(v.i);
    case PELNET_PING_PROP_RemoteHost:
      return port_.setRemoteHost(v.s);
    case PELNET_PING_PROP_Timeout:
      return setTimeoutProperty(static_cast<int32_t>(v.i));
    case PELNET_PING_PROP_TimeToLive:
      return port_.setTimeToLive(static_cast<int32_t>(v.i));
    case PELNET_PING_PROP_TypeOfService:
      port_.setMessageType(static_cast<uint8_t>(v.i & 0xFF));
      return 0;
    case PELNET_PING_PROP_ManyHosts:
      manyHosts_ = v.i != 0;
      return 0;
    default:  // unknown and read-only properties
      return pelnet::kUnknownSetting;
  }
}

Value PingCore::getProperty(int id, int /*index*/) {
  switch (id) {
    case PELNET_PING_PROP_Active:
      return Value::integer(port_.isOpen());
    case PELNET_PING_PROP_Idle:
      return Value::integer(!(port_.isOpen() && waiting()));
    case PELNET_PING_PROP_LocalHost:
      return Value::text(port_.localHostText());
    case PELNET_PING_PROP_PacketSize:
      return Value::integer(packetSize_);
    case PELNET_PING_PROP_RemoteHost:
      return Value::text(port_.remoteHostText());
    case PELNET_PING_PROP_RequestId:
      return Value::integer(static_cast<intptr_t>(requestId_));
    case PELNET_PING_PROP_ResponseSource:
      return Value::text(responseSource_);
    case PELNET_PING_PROP_ResponseTime:
      return Value::integer(static_cast<int32_t>(responseTime_));
    case PELNET_PING_PROP_ResponseTimeMicroseconds:
      return Value::integer(static_cast<intptr_t>(
          std::min<int64_t>(responseTimeMicroseconds_, std::numeric_limits<int32_t>::max())));
    case PELNET_PING_PROP_Timeout:
      return Value::integer(port_.timeout());
    case PELNET_PING_PROP_TimeToLive:
      return Value::integer(port_.currentTimeToLive());
    case PELNET_PING_PROP_TypeOfService:
      return Value::integer(port_.messageType());
    case PELNET_PING_PROP_ManyHosts:
      return Value::integer(manyHosts_);
    default:
      return Value::integer(0);
  }
}

int PingCore::setPacketSize(intptr_t v) {
  packetSize_ = static_cast<uint16_t>(std::clamp<intptr_t>(v, kMinPacketSize, kMaxPacketSize));
  // The largest body must fit the message buffer with room for the headers.
  const uint32_t needed = packetSize_ + 16u;
  if (port_.maxMessageSize() < needed) return port_.setMaxMessageSize(static_cast<int32_t>(needed));
  return 0;
}

int PingCore::setTimeoutProperty(int32_t v) {
  port_.setTimeout(v);
  if (v != 0) return 0;
  // Not waiting means answers are taken whenever they come: no open port from a waiting ping.
  int rc = port_.close();
  // A close asked for inside a running read waits for it, and the port keeps
  // its connection until then; the next unwaited ping clears the setting.
  if (!port_.isOpen()) port_.setUseConnection(false);
  return rc;
}

// ---------------------------------------------------------------- settings

struct PingCore::Settings {
  using Entry = pelnet::KindSetting<PingCore>;
  // Choosing a helper path also sets its own time-out.
  static int helperChosen(PingCore &c, bool on) {
    if (on) c.port_.setTimeout(kHelperTimeout);
    return 0;
  }
  static std::string timeout(PingCore &c) { return std::to_string(c.port_.timeout()); }
  static int setHelperTimeout(PingCore &c, const std::string &v) {
    c.port_.setTimeout(pelnet::readInt(v));
    return 0;
  }
  static const Entry kTable[];
};

const PingCore::Settings::Entry PingCore::Settings::kTable[] = {
    {"UseICMPDLL",
     [](PingCore &c, const std::string &v) {
       c.port_.setUseIcmpDll(pelnet::readBool(v));
       return helperChosen(c, c.port_.useIcmpDll());
     },
     [](PingCore &c) { return std::string(pelnet::boolText(c.port_.useIcmpDll())); }},
    {"UseIPHLPDLL",
     [](PingCore &c, const std::string &v) {
       c.port_.setUseIphlpDll(pelnet::readBool(v));
       return helperChosen(c, c.port_.useIphlpDll());
     },
     [](PingCore &c) { return std::string(pelnet::boolText(c.port_.useIphlpDll())); }},
    {"IcmpDllTimeout", setHelperTimeout, timeout},
    {"IphlpDllTimeout", setHelperTimeout, timeout},
    {"Timeout",
     [](PingCore &c, const std::string &v) { return c.setTimeoutProperty(pelnet::readInt(v)); },
     timeout},
};

pelnet::ConfigResult PingCore::configComponent(const pelnet::ParsedSetting &s,
                                               std::string &answer) {
  return pelnet::lookupSetting(Settings::kTable, *this, s, answer);
}

// ---------------------------------------------------------------- methods

std::optional<pelnet::MethodSignature> PingCore::methodSignature(int id) const {
  switch (id) {
    case PELNET_PING_METHOD_Config:
      return pelnet::MethodSignature{{ValueKind::Text}, ValueKind::Text};
    case PELNET_PING_METHOD_DoEvents:
    case PELNET_PING_METHOD_Interrupt:
      return pelnet::MethodSignature{{}, std::nullopt};
    case PELNET_PING_METHOD_PingHost:
      return pelnet::MethodSignature{{ValueKind::Text}, std::nullopt};
    case PELNET_PING_METHOD_WakeOnLAN:
      return pelnet::MethodSignature{{ValueKind::Text, ValueKind::Text}, std::nullopt};
    default:
      return std::nullopt;
  }
}

int PingCore::callMethod(int id, std::vector<Value> &args, Value &result) {
  switch (id) {
    case PELNET_PING_METHOD_Config:
      return config(args.at(0).s, result.s);
    case PELNET_PING_METHOD_DoEvents:
      return port_.doEvents();
    case PELNET_PING_METHOD_Interrupt:
      return port_.interrupt();
    case PELNET_PING_METHOD_PingHost:
      return pingHost(args.at(0).s);
    case PELNET_PING_METHOD_WakeOnLAN:
      return wakeOnLan(args.at(0).s, args.at(1).s);
    default:
      return pelnet::kUnknownSetting;
  }
}

int PingCore::pingHost(const std::string &host) {
  port_.clearError();
  responseSource_.clear();
  int rc = 0;
  if (host.empty()) return port_.close();
  // The echo request type left at its default follows the address family.
  if (port_.messageType() == kIcmpEchoRequest) port_.setMessageType(port_.family().echoRequest);
  if (waiting()) {
    port_.close();
    if (!port_.isOpen()) port_.setUseConnection(true);
  }
  // The filler stays as it is between calls; only the stamp is written anew.
  if (body_.size() != requestBodySize(packetSize_)) body_ = requestBody(packetSize_);
  std::string &body = body_;
  do {
    rc = port_.setRemoteHost(host);
    if (rc != 0) break;
    if (!port_.isOpen() && (!waiting() || port_.remoteBroadcast())) port_.setUseConnection(false);
    if (!port_.isOpen()) {
      rc = port_.open(true);
      if (rc != 0) break;
    }
    port_.armDeadline();
    unreachableCode_ = -1;
    sendTimeHires_ = pelnet::hiresCounter();
    const uint32_t t = msClock(sendTimeHires_);
    sendTime_ = t;
    requestId_ =
        (requestId_ + t + static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this))) & 0x7FFFFFFFu;
    if (manyHosts_ && !waiting()) {
      // Answers of many requests come back through the one port, each told
      // by its id: no request gets the id of one still remembered.
      while (sendTimes_.count(requestId_) != 0) requestId_ = (requestId_ + 1) & 0x7FFFFFFFu;
    }
    stampBody(body, requestId_, t);
    if (!waiting()) rememberSendTime(requestId_, sendTimeHires_);
    rc = port_.send(body);
    if (rc != 0) break;
    // Not waiting, or a broadcast whose answers come from many hosts: the
    // port stays open and answers are reported as the thread dispatches.
    if (!waiting() || port_.remoteBroadcast()) return 0;
    port_.clearError();
    rc = port_.waitWhile([this] { return port_.isOpen(); });
    if (rc != 0) {
      clearResponseTime();
      break;
    }
    if (unreachableCode_ != -1) rc = port_.fail(kUnreachable, unreachableText(unreachableCode_));
  } while (false);
  // Requests to other hosts may still wait for their answers on the port.
  if (manyHosts_ && !waiting()) return rc;
  // Closing may read and report late answers; the failure's text stays.
  const pelnet::KeptErrorText kept(port_);
  if (port_.isOpen()) port_.close();
  return rc;
}

int PingCore::wakeOnLan(const std::string &host, const std::string &mac) {
  const bool wasOpen = port_.isOpen();
  int rc = port_.setRemoteHost(host);
  if (rc != 0) return rc;
  if (!port_.isOpen()) {
    rc = port_.open(true);
    if (rc != 0) return rc;
  }
  auto body = wakeBody(mac);
  rc = body ? port_.send(*body) : port_.fail(kBadMac);
  if (port_.isOpen() != wasOpen) {
    // Putting the port back as it was must not replace the send's failure text.
    const pelnet::KeptErrorText kept(port_);
    wasOpen ? port_.open() : port_.close();
  }
  return rc;
}

// ---------------------------------------------------------------- answers

void PingCore::onAnswer(uint8_t type, uint8_t code, ByteReader data, const std::string &source) {
  auto answer = interpretAnswer(type, code, data);
  if (!answer) answer = interpretShortEchoReply(type, data);
  if (!answer) return;
  if (waiting() && answer->requestId != requestId_) return;
  const bool echo = answer->kind == Interpreted::Kind::EchoReply;
  std::string status = echo ? std::string(kStatusOk) : unreachableText(answer->code);
  if (!echo) unreachableCode_ = answer->code;
  const uint32_t now = measureResponse(sendTimeOf(answer->requestId));
  // An unreachable answer, and an echo too short for the whole send time,
  // carry no send time of their own; the time since the request was sent
  // stands in.
  const uint32_t eventTime = echo && answer->hasSendTime ? now - answer->sendTime : responseTime_;
  fireEvent(PELNET_PING_EVENT_Response,
            {pelnet::EventParam::integer(static_cast<intptr_t>(answer->requestId)),
             pelnet::EventParam::text(source), pelnet::EventParam::text(status),
             pelnet::EventParam::integer(static_cast<int32_t>(eventTime))});
  responseSource_ = source.substr(0, kResponseSourceMax);
  if (waiting()) port_.close();
}

}  // namespace pelping
