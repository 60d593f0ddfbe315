// Drives one ping core instance through its exported C interface, the way
// the component frame does, and records the events it fires.
#pragma once

#include <dlfcn.h>

#include <string>
#include <vector>

#include "pelnet/core_interface.h"

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

// The library, loaded once per process (its constructor runs StaticInit).
struct PingLibrary {
  void *handle = nullptr;
  pelnet_create_fn create = nullptr;
  pelnet_destroy_fn destroy = nullptr;
  pelnet_set_fn set = nullptr;
  pelnet_get_fn get = nullptr;
  pelnet_do_fn doMethod = nullptr;
  pelnet_get_last_error_fn lastError = nullptr;
  int (*lastErrorCode)(void *) = nullptr;
  static PingLibrary &instance();
};

class CoreClient {
 public:
  CoreClient();
  ~CoreClient();
  CoreClient(const CoreClient &) = delete;
  CoreClient &operator=(const CoreClient &) = delete;

  int setInt(int id, intptr_t v);
  int setText(int id, const std::string &v);
  intptr_t getInt(int id);
  std::string getText(int id);
  // Config: returns the code; the answer in `answer`.
  int config(const std::string &setting, std::string *answer = nullptr);
  std::string query(const std::string &name);
  int pingHost(const std::string &host);
  int wakeOnLan(const std::string &host, const std::string &mac);
  int doEvents();
  int interrupt();
  std::string lastError();
  int lastErrorCode();

  std::vector<ResponseRecord> responses;
  std::vector<ErrorRecord> errors;
  // Called from inside the Response event, after it is recorded.
  void (*onResponse)(CoreClient &) = nullptr;

 private:
  static int callback(void *user, int id, int count, pelnet_slot *params, int *lengths);
  int doCall(int id, std::vector<std::string> texts, std::string *result = nullptr);
  void *core_ = nullptr;
};

}  // namespace pingtest
