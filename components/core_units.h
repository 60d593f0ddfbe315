// The units of the three component kinds: their binding records and the
// guard that binds them before the main window exists and unbinds them after
// it is gone.
#pragma once

#include "core_binding.h"

namespace pelnet {

CoreBinding &PingCoreBinding();
CoreBinding &SMTPCoreBinding();
CoreBinding &SysLogCoreBinding();

}  // namespace pelnet

// Create one before the first component and destroy it after the last one:
// its constructor initialises the three units (binding each core on the first
// use), its destructor finalises them (unbinding on the last).
class TCoreUnits {
 public:
  TCoreUnits();
  ~TCoreUnits();
  TCoreUnits(const TCoreUnits &) = delete;
  TCoreUnits &operator=(const TCoreUnits &) = delete;
};
