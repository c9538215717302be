#include "platform/clock.h"

#include <gtest/gtest.h>
#include <time.h>

namespace Oxle::Client::Platform {
namespace {

TEST(ClockTest, LocalTimeAgreesWithTheCLibraryCalendar) {
  // Retry across a second boundary so both reads see the same second.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const time_t before = time(nullptr);
    const LocalTime now = ReadLocalTime();
    const time_t after = time(nullptr);
    if (before != after) continue;
    tm expected{};
    ASSERT_NE(localtime_r(&before, &expected), nullptr);
    EXPECT_EQ(now.year, expected.tm_year + 1900);
    EXPECT_EQ(now.month, expected.tm_mon + 1);
    EXPECT_EQ(now.day, expected.tm_mday);
    EXPECT_EQ(now.hour, expected.tm_hour);
    EXPECT_EQ(now.minute, expected.tm_min);
    EXPECT_EQ(now.second, expected.tm_sec);
    EXPECT_GE(now.millisecond, 0);
    EXPECT_LE(now.millisecond, 999);
    return;
  }
  FAIL() << "the clock never held still for a second";
}

TEST(ClockTest, MonotonicClockNeverGoesBackAndAdvancesWithSleep) {
  const uint64_t first = MonotonicNanoseconds();
  const timespec nap{0, 2000000};
  nanosleep(&nap, nullptr);
  const uint64_t second = MonotonicNanoseconds();
  EXPECT_GE(second - first, 2000000u);
  EXPECT_LE(second, MonotonicNanoseconds());
}

}  // namespace
}  // namespace Oxle::Client::Platform
