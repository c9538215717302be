#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/scheduler.h"

namespace {

using namespace Oxle::Client::Host;
using std::chrono::seconds;

TEST(Scheduler, ManualModeRunsEventsInOrderThenDueJobsByDueTime) {
  ManualClock clock;
  Scheduler scheduler(clock, 0);
  std::vector<std::string> ran;
  scheduler.Schedule(1, seconds(2), [&] { ran.push_back("job at 2"); });
  scheduler.Schedule(1, seconds(1), [&] { ran.push_back("job at 1"); });
  scheduler.Schedule(2, seconds(0), [&] { ran.push_back("job at 0"); });
  scheduler.Post([&] {
    ran.push_back("event 1");
    scheduler.Post([&] { ran.push_back("event 3, posted by event 1"); });
  });
  scheduler.Post([&] { ran.push_back("event 2"); });

  EXPECT_EQ(scheduler.RunDue(100), 4u);
  EXPECT_EQ(ran, (std::vector<std::string>{"event 1", "event 2", "event 3, posted by event 1",
                                           "job at 0"}));
  EXPECT_EQ(scheduler.PendingJobs(), 2u);

  clock.Advance(seconds(1) - std::chrono::nanoseconds(1));
  EXPECT_EQ(scheduler.RunDue(100), 0u);
  clock.Advance(std::chrono::nanoseconds(1));
  EXPECT_EQ(scheduler.RunDue(100), 1u);
  EXPECT_EQ(ran.back(), "job at 1");
  clock.Advance(seconds(5));
  EXPECT_EQ(scheduler.RunDue(100), 1u);
  EXPECT_EQ(ran.back(), "job at 2");
  EXPECT_EQ(scheduler.PendingJobs(), 0u);
}

TEST(Scheduler, JobsOfEqualDueTimeRunInSchedulingOrderAndTheLimitStopsEarly) {
  ManualClock clock;
  Scheduler scheduler(clock, 0);
  std::string ran;
  for (char c : std::string("abcde"))
    scheduler.Schedule(1, seconds(0), [&ran, c] { ran += c; });
  EXPECT_EQ(scheduler.RunDue(2), 2u);
  EXPECT_EQ(ran, "ab");
  EXPECT_EQ(scheduler.RunDue(100), 3u);
  EXPECT_EQ(ran, "abcde");
}

TEST(Scheduler, CancelDropsOnlyThatOwnersPendingJobs) {
  ManualClock clock;
  Scheduler scheduler(clock, 0);
  std::string ran;
  scheduler.Schedule(1, seconds(0), [&] { ran += "1a"; });
  scheduler.Schedule(2, seconds(0), [&] { ran += "2"; });
  scheduler.Schedule(1, seconds(9), [&] { ran += "1b"; });
  EXPECT_EQ(scheduler.Cancel(1), 2u);
  EXPECT_EQ(scheduler.Cancel(1), 0u);
  clock.Advance(seconds(10));
  EXPECT_EQ(scheduler.RunDue(100), 1u);
  EXPECT_EQ(ran, "2");
}

TEST(Scheduler, AThrowingTaskIsDroppedAndTheNextStillRuns) {
  ManualClock clock;
  Scheduler scheduler(clock, 0);
  int ran = 0;
  scheduler.Post([] { throw std::runtime_error("boom"); });
  scheduler.Post([&] { ++ran; });
  EXPECT_EQ(scheduler.RunDue(100), 2u);
  EXPECT_EQ(ran, 1);
}

TEST(Scheduler, ThreadedModeRunsEverythingAndReportsIdle) {
  SteadyClock clock;
  Scheduler scheduler(clock, 2);
  std::atomic<int> ran{0};
  for (int i = 0; i < 50; ++i) {
    scheduler.Post([&] { ++ran; });
    scheduler.Schedule(1, clock.Now(), [&] { ++ran; });
  }
  ASSERT_TRUE(scheduler.WaitIdle(seconds(20)));
  EXPECT_EQ(ran.load(), 100);
  EXPECT_EQ(scheduler.RunDue(100), 0u);  // workers own the queue in threaded mode
}

TEST(Scheduler, StopDropsPendingWorkAndLaterPosts) {
  ManualClock clock;
  Scheduler scheduler(clock, 0);
  int ran = 0;
  scheduler.Schedule(1, seconds(0), [&] { ++ran; });
  scheduler.Stop();
  scheduler.Post([&] { ++ran; });
  EXPECT_EQ(scheduler.RunDue(100), 0u);
  EXPECT_EQ(scheduler.PendingJobs(), 0u);
  EXPECT_EQ(ran, 0);
}

}  // namespace
