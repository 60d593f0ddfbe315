// One ping core instance through the shared client (tests/support/core_client.h),
// loaded from the core library, with the ping methods by name and its events
// read back as records.
#pragma once

#include <string>
#include <vector>

#include "core_client.h"
#include "pelnet/ping_ids.h"

namespace pingtest {

struct ResponseRecord {
  int requestId;
  std::string source;
  std::string status;
  int time;
};
struct ErrorRecord {
  int code;
  std::string text;
};

class PingClient : public testsupport::CoreClient {
 public:
  PingClient() : CoreClient(testsupport::CoreFunctions::load(PELNET_PING_LIBRARY, "Ping")) {
    events.describe(PELNET_PING_EVENT_Error, "it");
    events.describe(PELNET_PING_EVENT_Response, "itti");
    events.handle(
        PELNET_PING_EVENT_Error,
        [this](const testsupport::EventCall &e) {
          errors.push_back({static_cast<int>(e.integer(0)), e.text(1)});
        },
        false);
    events.handle(
        PELNET_PING_EVENT_Response,
        [this](const testsupport::EventCall &e) {
          responses.push_back({static_cast<int>(e.integer(0)), e.text(1), e.text(2),
                               static_cast<int>(e.integer(3))});
        },
        false);
  }

  int pingHost(const std::string &host) { return call(PELNET_PING_METHOD_PingHost, {host}); }
  int wakeOnLan(const std::string &host, const std::string &mac) {
    return call(PELNET_PING_METHOD_WakeOnLAN, {host, mac});
  }
  int doEvents() { return call(PELNET_PING_METHOD_DoEvents); }
  int interrupt() { return call(PELNET_PING_METHOD_Interrupt); }

  // The Response and Error events, recorded from their narrow calls (no wide handshake).
  std::vector<ResponseRecord> responses;
  std::vector<ErrorRecord> errors;
};

}  // namespace pingtest
