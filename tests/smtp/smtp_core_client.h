// Drives one mail core instance through the entry points of its exported
// functions (narrow texts, plain ids) and records every event it fires, so a
// test reads as: set properties, call a method, compare code, text and events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pelnet/smtp_ids.h"
#include "smtp_core.h"

namespace smtptest {

// One event as the core fired it; integers and texts in parameter order.
struct EventRecord {
  int id = 0;
  std::vector<int64_t> ints;
  std::vector<std::string> texts;
};

class SmtpCoreClient {
 public:
  SmtpCoreClient();
  ~SmtpCoreClient();
  SmtpCoreClient(const SmtpCoreClient &) = delete;
  SmtpCoreClient &operator=(const SmtpCoreClient &) = delete;

  pelnet::smtp::SmtpCore &core() { return *core_; }

  int setInt(int id, intptr_t v, int index = 0);
  int setText(int id, const std::string &v, int index = 0);
  int setBytes(int id, const std::string &v);
  intptr_t getInt(int id, int index = 0);
  std::string getText(int id, int index = 0);
  std::string getBytes(int id);
  int checkIndex(int id, int index);
  // A method with no arguments, or with one text argument.
  int call(int method);
  int call(int method, const std::string &arg);
  // Config: the code; the answer in `answer`.
  int config(const std::string &setting, std::string *answer = nullptr);
  std::string query(const std::string &name);
  std::string lastError();
  int lastErrorCode();

  // The recorded events, and the ones of one id.
  std::vector<EventRecord> events;
  std::vector<EventRecord> eventsOf(int id) const;
  // The OnPITrail messages of one direction, in order.
  std::vector<std::string> trail(int direction) const;
  // Runs inside every event, after it is recorded (a handler calling back into the core).
  std::function<void(SmtpCoreClient &, const EventRecord &)> onEvent;

 private:
  static int callback(void *user, int id, int count, pelnet_slot *params, int *lengths);
  std::unique_ptr<pelnet::smtp::SmtpCore> core_;
};

}  // namespace smtptest
