// The shared core client (tests/support/core_client.h) on a mail core built
// into the test, with the mail core's event kinds declared and a few
// conveniences for dialogue tests: the events as records of integers and
// texts, the OnPITrail lines of one direction, and one hook that runs inside
// every event (a handler calling back into the core).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core_client.h"
#include "pelnet/smtp_ids.h"
#include "smtp_core.h"

namespace smtptest {

// One event as the core fired it; integers and texts in parameter order.
struct EventRecord {
  int id = 0;
  std::vector<int64_t> ints;
  std::vector<std::string> texts;
};

class SmtpCoreClient : public testsupport::CoreClient {
 public:
  SmtpCoreClient();

  // The core object itself, for what the interface does not reach.
  pelnet::smtp::SmtpCore &core() { return *static_cast<pelnet::smtp::SmtpCore *>(handle()); }

  using CoreClient::call;
  int call(int method, const std::string &arg) { return CoreClient::call(method, {arg}); }

  // Every event fired so far, and the ones of one id.
  std::vector<EventRecord> records() const;
  std::vector<EventRecord> eventsOf(int id) const;
  // The OnPITrail messages of one direction, in order.
  std::vector<std::string> trail(int direction) const;
  // Runs inside every event, after it is recorded.
  std::function<void(SmtpCoreClient &, const EventRecord &)> onEvent;
};

// A message set up as the mail report sets it, to the server at
// 127.0.0.1:port, from from@test to to@test, with the date and message id
// given so that its header block is known in advance; 20 s time-out.
void setUpTestMessage(SmtpCoreClient &c, int port, const std::string &subject,
                      const std::string &body, const std::string &date,
                      const std::string &messageId);

}  // namespace smtptest
