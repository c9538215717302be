#include "platform/clock.h"

#include <gtest/gtest.h>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

namespace Oxle::Client::Platform {
namespace {

TEST(ClockTest, LocalTimeAgreesWithTheCLibraryCalendar) {
  // Retry across a second boundary so both reads see the same second. The
  // seconds come from the precise wall clock: time() may read a coarse one that
  // lags it by a tick and so still shows the second before.
  const auto wallSeconds = [] {
    return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  };
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::time_t before = wallSeconds();
    const LocalTime now = ReadLocalTime();
    const std::time_t after = wallSeconds();
    if (before != after) continue;
    const std::tm* calendar = std::localtime(&before);  // this test's thread is the only caller
    ASSERT_NE(calendar, nullptr);
    const std::tm expected = *calendar;
    EXPECT_EQ(std::vector<int>({now.year, now.month, now.day, now.hour, now.minute, now.second}),
              std::vector<int>({expected.tm_year + 1900, expected.tm_mon + 1, expected.tm_mday,
                                expected.tm_hour, expected.tm_min, expected.tm_sec}));
    EXPECT_TRUE(now.millisecond >= 0 && now.millisecond <= 999) << now.millisecond;
    return;
  }
  FAIL() << "the clock never held still for a second";
}

TEST(ClockTest, MonotonicClockNeverGoesBackAndAdvancesWithSleep) {
  const uint64_t first = MonotonicNanoseconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const uint64_t second = MonotonicNanoseconds();
  EXPECT_GE(second - first, 2000000u);
  EXPECT_LE(second, MonotonicNanoseconds());
}

}  // namespace
}  // namespace Oxle::Client::Platform
