// A PluginBase plugin in the host core's threaded mode: events, jobs, route calls and
// subscription changes from several threads at once, and an unload in the middle of them.
// Rounds are bounded and every wait is a bounded wait on a condition; nothing sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>
#include <vector>

#include "hosted_plugin.h"

namespace PluginHostTest {
namespace {

using namespace Oxle::Client::Host;
using std::chrono::seconds;

constexpr auto kLimit = seconds(60);

TEST(PluginHostConcurrency, EventsJobsCallsAndUnsubscribesFromSeveralThreadsKeepExactCounts) {
  HostedPair pair(HostMode::Threaded);
  pair.StartProbe();
  constexpr int kThreads = 4;
  constexpr int kRounds = 60;
  constexpr int kKinds = 5;
  std::atomic<int> relayed{0};
  std::atomic<int> ticksAccepted{0};
  std::atomic<int> togglesAccepted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string champion =
          "/qel-mhx/v2/recently-played-champions/" + std::to_string(100 + t);
      for (int i = 0; i < kRounds; ++i) {
        switch ((t + i) % kKinds) {
          case 0:
            (void)pair.host->SetResource(champion, Json(std::to_string(i)));
            break;
          case 1:
            if (pair.Call(6, "/qel-probe/v1/ticks").status == 202) ++ticksAccepted;
            break;
          case 2: {
            const ApiCallResult call =
                pair.Call(2, "/qel-probe/v1/relay?target=/qel-probe/v1/items/5");
            if (call.status == 200 && Json(call.value) == R"({"item":5})") ++relayed;
            break;
          }
          case 3:
            if (pair.Call(6, "/qel-probe/v1/toggle").status == 200) ++togglesAccepted;
            break;
          default:
            (void)pair.host->SetResource(kToggleUri, Json(std::to_string(i)));
        }
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  ASSERT_TRUE(pair.host->WaitIdle(kLimit));

  int expected[kKinds] = {};
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i)
      ++expected[(t + i) % kKinds];
  EXPECT_EQ(pair.probeSeen->patternEvents.load(), expected[0]);
  EXPECT_EQ(ticksAccepted.load(), expected[1]);
  EXPECT_EQ(pair.probeSeen->ticks.load(), expected[1]);
  EXPECT_EQ(relayed.load(), expected[2]);
  EXPECT_EQ(togglesAccepted.load(), expected[3]);
  EXPECT_EQ(pair.probeSeen->toggles.load(), expected[3]);
  EXPECT_EQ(pair.probe->PendingJobCount(), 0u);

  // A toggle that reached the host out of order would have left a warning of an unsubscription
  // the host had no subscription for.
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostConcurrency, AnUnloadAmidCallsEventsAndJobsEndsThemCleanly) {
  HostedPair pair(HostMode::Threaded);
  pair.StartProbe();
  constexpr int kThreads = 3;
  constexpr int kRounds = 90;
  constexpr int kBeforeUnload = 40;  // calls made by all threads before the unload begins
  std::mutex mutex;
  std::condition_variable progressed;
  int calls = 0;  // guarded by mutex
  std::atomic<bool> unloaded{false};
  std::atomic<int> published{0};
  std::atomic<int> badStatus{0};
  std::atomic<int> answered{0};
  std::atomic<int> answeredAfterUnload{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string champion =
          "/qel-mhx/v2/recently-played-champions/" + std::to_string(100 + t);
      for (int i = 0; i < kRounds; ++i) {
        const bool after = unloaded.load();
        uint32_t status = 0;
        if (i % 3 == 0) {
          (void)pair.host->SetResource(champion, Json(std::to_string(i)));
          ++published;
        } else {
          status = pair.Call(i % 3 == 1 ? 6 : 2,
                             i % 3 == 1 ? "/qel-probe/v1/ticks" : "/qel-probe/v1/items/3")
                       .status;
          if (status == 200 || status == 202) {
            ++answered;
          } else if (status != 404 && status != 503) {
            ++badStatus;
          }
          if (after && status != 404) ++answeredAfterUnload;
        }
        {
          std::lock_guard lock(mutex);
          ++calls;
        }
        progressed.notify_all();
      }
    });
  }
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(progressed.wait_for(lock, kLimit, [&] { return calls >= kBeforeUnload; }));
  }
  const Status unload = pair.host->UnloadModule(pair.probeId);
  unloaded = true;
  for (std::thread& thread : threads)
    thread.join();
  ASSERT_TRUE(unload.Ok()) << unload.ErrorMessage();
  ASSERT_TRUE(pair.host->WaitIdle(kLimit));

  EXPECT_EQ(badStatus.load(), 0);
  EXPECT_EQ(answeredAfterUnload.load(), 0);
  EXPECT_GT(answered.load(), 0);  // the routes did answer before the unload
  EXPECT_LE(pair.probeSeen->ticks.load(), answered.load());
  EXPECT_LE(pair.probeSeen->patternEvents.load(), published.load());
  EXPECT_EQ(pair.host->PendingJobCount(), 0u);
  EXPECT_EQ(pair.host->Module(pair.probeId).Value().state, ModuleState::Unloaded);
  // Nothing reaches the plugin any more.
  const int ticks = pair.probeSeen->ticks.load();
  const int events = pair.probeSeen->patternEvents.load();
  (void)pair.host->SetResource(kChampionSevenUri, Json("1"));
  EXPECT_EQ(pair.Call(6, "/qel-probe/v1/ticks").status, 404u);
  ASSERT_TRUE(pair.host->WaitIdle(kLimit));
  EXPECT_EQ(pair.probeSeen->ticks.load(), ticks);
  EXPECT_EQ(pair.probeSeen->patternEvents.load(), events);
  // A tick route already running when the unload began may still ask for its job; the host
  // refuses it, and says so.
  const LogEntry refusedJob{kLogError, kHostLogName,
                            "Module 'qel-probe': ScheduleJob of 'qel-probe.tick' while unloading; "
                            "the job will not run"};
  for (const LogEntry& entry : pair.logs->Entries())
    EXPECT_EQ(entry, refusedJob);
}

}  // namespace
}  // namespace PluginHostTest
