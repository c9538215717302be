// The clocks of clock.h on Windows: GetLocalTime for the calendar fields, and the performance
// counter scaled to nanoseconds by its frequency (fixed at boot, read once).
#include "platform/clock.h"

#include <windows.h>

namespace Oxle::Client::Platform {

LocalTime ReadLocalTime() noexcept {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  LocalTime result;
  result.year = now.wYear;
  result.month = now.wMonth;
  result.day = now.wDay;
  result.hour = now.wHour;
  result.minute = now.wMinute;
  result.second = now.wSecond > 59 ? 59 : now.wSecond;
  result.millisecond = now.wMilliseconds;
  return result;
}

uint64_t MonotonicNanoseconds() noexcept {
  static const uint64_t frequency = [] {
    LARGE_INTEGER value{};
    QueryPerformanceFrequency(&value);
    return value.QuadPart > 0 ? static_cast<uint64_t>(value.QuadPart) : uint64_t{1};
  }();
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  const auto ticks = static_cast<uint64_t>(counter.QuadPart);
  // Whole seconds and the remainder apart, so that the product cannot overflow.
  return ticks / frequency * 1000000000u + ticks % frequency * 1000000000u / frequency;
}

}  // namespace Oxle::Client::Platform
