// The tick count for deadlines and the high-resolution counter for round trips,
// both from CLOCK_MONOTONIC so that changes of the wall clock do not disturb them.
#include "pelnet/runtime/clock.h"

#include <time.h>

namespace pelnet {

uint32_t tickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  // Truncation to 32 bits is intended: deadlines are compared with tickPassed().
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint64_t hiresCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace pelnet
