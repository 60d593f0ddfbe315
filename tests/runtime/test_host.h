// The host side of the core interface for the tests: records every event
// call, asks for wide delivery of the events it has handlers for, and runs
// the handler on the wide call, as a component object does.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "pelnet/core_interface.h"

namespace testcore {

struct EventCall {
  int id;
  std::vector<pelnet_slot> params;
  std::vector<int> lengths;
  std::vector<std::u16string>
      wideTexts;  // filled on wide calls for the text/bytes params named in textSlots
};

struct TestHost {
  std::vector<EventCall> calls;
  // Handlers by plain event id; the argument is the wide call.
  std::map<int, std::function<void(const EventCall &)>> handlers;
  // Which params carry texts, by plain event id (to copy them on the wide call).
  std::map<int, std::vector<int>> textSlots;

  static int callback(void *user, int id, int count, pelnet_slot *params, int *lengths) {
    auto *host = static_cast<TestHost *>(user);
    EventCall call{id,
                   std::vector<pelnet_slot>(params, params + count),
                   std::vector<int>(lengths, lengths + count),
                   {}};
    int plain = id > PELNET_WIDE_OFFSET ? id - PELNET_WIDE_OFFSET : id;
    if (id > PELNET_WIDE_OFFSET) {
      for (int slot : host->textSlots[plain])
        call.wideTexts.emplace_back(reinterpret_cast<const char16_t *>(params[slot]));
    }
    host->calls.push_back(call);
    auto handler = host->handlers.find(plain);
    if (handler == host->handlers.end()) return 0;
    if (id <= PELNET_WIDE_OFFSET) return PELNET_WANT_WIDE;
    handler->second(host->calls.back());
    return 0;
  }
};

}  // namespace testcore
