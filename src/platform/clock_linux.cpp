// The clocks of clock.h on Linux: clock_gettime of the real-time clock through localtime_r,
// and of the monotonic clock.
#include "platform/clock.h"

#include <time.h>

namespace Oxle::Client::Platform {

LocalTime ReadLocalTime() noexcept {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return {};
  tm fields{};
  const time_t seconds = now.tv_sec;
  if (localtime_r(&seconds, &fields) == nullptr) return {};
  LocalTime result;
  result.year = fields.tm_year + 1900;
  result.month = fields.tm_mon + 1;
  result.day = fields.tm_mday;
  result.hour = fields.tm_hour;
  result.minute = fields.tm_min;
  // A leap second shows as 60 in some zones; keep it within the clock face.
  result.second = fields.tm_sec > 59 ? 59 : fields.tm_sec;
  result.millisecond = static_cast<int32_t>(now.tv_nsec / 1000000);
  return result;
}

uint64_t MonotonicNanoseconds() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace Oxle::Client::Platform
