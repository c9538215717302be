#include "platform/clock.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

namespace Oxle::Client::Platform {
namespace {

TEST(ClockTest, LocalTimeAgreesWithTheCLibraryCalendar) {
  // The C library's clock and ours may be read from sources a tick apart (a coarse one lags the
  // precise one by up to a tick), so across a second boundary they may show neighbouring
  // seconds: the reading must be the calendar of the C library's second or of one beside it.
  const auto calendarOf = [](std::time_t seconds) {
    const std::tm* fields = std::localtime(&seconds);  // this test's thread is the only caller
    return fields == nullptr
               ? std::vector<int>()
               : std::vector<int>({fields->tm_year + 1900, fields->tm_mon + 1, fields->tm_mday,
                                   fields->tm_hour, fields->tm_min, fields->tm_sec});
  };
  const std::time_t before = std::time(nullptr);
  const LocalTime now = ReadLocalTime();
  const std::time_t after = std::time(nullptr);
  const std::vector<int> read({now.year, now.month, now.day, now.hour, now.minute, now.second});
  std::vector<std::vector<int>> candidates;
  for (std::time_t seconds = before - 1; seconds <= after + 1; ++seconds)
    candidates.push_back(calendarOf(seconds));
  EXPECT_TRUE(std::find(candidates.begin(), candidates.end(), read) != candidates.end())
      << ::testing::PrintToString(read) << " is not the calendar of any second from "
      << ::testing::PrintToString(candidates.front()) << " to "
      << ::testing::PrintToString(candidates.back());
  EXPECT_TRUE(now.millisecond >= 0 && now.millisecond <= 999) << now.millisecond;
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
