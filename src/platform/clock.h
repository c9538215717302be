// Clocks for logging: the local wall-clock time split into calendar fields down to the
// millisecond, and a monotonic nanosecond counter for measuring elapsed time.
// Both are plain reads of the operating system's clocks: thread-safe, no allocation, no state.
// Not for scheduling or timeouts (use std::chrono there).
#pragma once

#include <cstdint>

namespace Oxle::Client::Platform {

// A local time as calendar fields: month 1-12, day 1-31, hour 0-23, millisecond 0-999.
struct LocalTime {
  int32_t year = 0;
  int32_t month = 0;
  int32_t day = 0;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  int32_t millisecond = 0;
};

// The current local time (time zone and daylight saving applied). All fields are 0 when the
// system cannot convert the clock.
[[nodiscard]] LocalTime ReadLocalTime() noexcept;

// Nanoseconds on a clock that never goes backwards; only differences are meaningful.
[[nodiscard]] uint64_t MonotonicNanoseconds() noexcept;

}  // namespace Oxle::Client::Platform
