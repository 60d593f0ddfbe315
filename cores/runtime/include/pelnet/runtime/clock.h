// Clocks of the runtime: the 32-bit millisecond tick count used for deadlines
// and the high-resolution counter used for round-trip times.
#pragma once

#include <cstdint>

namespace pelnet {

// CLOCK_MONOTONIC in milliseconds, kept in 32 bits (it wraps after ~49 days).
uint32_t tickCount();

// True when tick `now` is past `deadline`; wrap-safe (compares the signed difference).
inline bool tickPassed(uint32_t now, uint32_t deadline) {
  return static_cast<int32_t>(now - deadline) > 0;
}

// CLOCK_MONOTONIC in nanoseconds, and the counter's ticks per millisecond.
uint64_t hiresCounter();
inline constexpr uint64_t kHiresTicksPerMs = 1000000;

}  // namespace pelnet
