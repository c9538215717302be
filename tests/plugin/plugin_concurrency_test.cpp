// Several host threads at once: events, jobs, API calls, service-proxy answers and subscription
// changes, and unloads that meet running and late callbacks. Rounds are bounded and every wait
// is bounded; nothing sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "plugin/callback_gate.h"
#include "plugin_host.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

using std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(60);

// Runs every `work` on a thread of its own, all released at once, and joins them.
void RunTogether(const std::vector<std::function<void()>>& work) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (const auto& each : work) {
    threads.emplace_back([&go, &each] {
      while (!go)
        std::this_thread::yield();
      each();
    });
  }
  go = true;
  for (std::thread& thread : threads)
    thread.join();
}

TEST_F(PluginTest, EventsJobsCallsAndSubscriptionChangesFromSeveralThreadsKeepExactCounts) {
  constexpr int kRounds = 100;
  std::atomic<int> events{0}, jobs{0}, read{0}, ticks{0}, toggles{0};
  Load({}, Host::HostMode::Threaded);
  ASSERT_TRUE(Start([&](TestPlugin& self) {
    self.ObserveResource("/c/v1/e/*", [&](const PluginResourceEvent&) { ++events; });
  }));
  // Due at once: the host's workers and the test's threads race to run each of them.
  for (int i = 0; i < kRounds; ++i)
    plugin->ScheduleAt("job", steady_clock::now(), [&] { ++jobs; });
  const auto each = [](auto step) {
    return [step] {
      for (int i = 0; i < kRounds; ++i)
        step(i);
    };
  };
  // Two threads change one name's subscription, so that one meets the other's host call.
  const auto toggle = each([&](int) {
    plugin->Subscribe("/other/v1/x");
    plugin->Unsubscribe("/other/v1/x/y");
  });
  const auto deliver = each([&](int) {
    tap.Deliver("OnJsonApiEvent_c_v1_e", R"({"uri":"/c/v1/e/1","eventType":"Update"})");
  });
  RunTogether({
      deliver,
      deliver,
      each([&](int i) { (void)host->SetResource("/c/v1/e/2", Json(std::to_string(i))); }),
      each([&](int i) { tap.RunJob(static_cast<size_t>(i)); }),
      each([&](int i) { tap.RunJob(static_cast<size_t>(kRounds - 1 - i)); }),
      toggle,
      toggle,
      each([&](int i) {
        tap.Deliver("OnServiceProxyUuidEvent", R"({"uuid":")" + std::to_string(i) + R"("})");
      }),
      each([&](int i) {
        if (i % 2 == 0 && Call(6, "/qel-mhx/v1/ticks").status == 202) ++ticks;
        if (i % 2 == 1 && Call(6, "/qel-mhx/v1/toggle").status == 200) ++toggles;
        const auto item =
            plugin->GetResource<BindingProperty>(HttpMethod::Get, "/qel-mhx/v1/items/5");
        if (item.Ok() && Json(item.Value()) == R"({"item":5})") ++read;
      }),
  });
  ASSERT_TRUE(host->WaitIdle(kLimit));
  EXPECT_EQ(events, 3 * kRounds);
  EXPECT_EQ(jobs, kRounds);
  EXPECT_EQ(read, kRounds);
  EXPECT_EQ(ticks.load(), kRounds / 2);
  EXPECT_EQ(gTicks.load(), kRounds / 2);
  EXPECT_EQ(toggles.load(), kRounds / 2);
  EXPECT_EQ(gToggles.load(), kRounds / 2);
  EXPECT_EQ(plugin->PendingJobCount(), 0u);
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), size_t{kRounds});
  // The host saw the toggled name's subscriptions strictly alternate, ending unsubscribed; one
  // out of order would have left a warning of an unsubscription it had no subscription for.
  std::string sequence;
  for (const std::string& call : tap.Calls()) {
    if (call == "Subscribe OnJsonApiEvent_other_v1_x 0") sequence += 'S';
    if (call == "Unsubscribe OnJsonApiEvent_other_v1_x") sequence += 'U';
  }
  ASSERT_FALSE(sequence.empty());
  for (size_t i = 0; i < sequence.size(); ++i)
    EXPECT_EQ(sequence[i], i % 2 == 0 ? 'S' : 'U') << i;
  EXPECT_EQ(sequence.back(), 'U');
  EXPECT_TRUE(LogLines().empty());

  // Then an unload amid calls, publications and jobs ends them cleanly: a call made after it
  // began finds no route (or one unloading), and nothing reaches the plugin once it returned.
  std::atomic<int> calls{0}, bad{0};
  std::atomic<bool> unloaded{false};
  const auto work = each([&](int i) {
    const bool after = unloaded;
    if (i % 3 == 0) (void)host->SetResource("/c/v1/e/3", Json("1"));
    const uint32_t status = i % 3 == 0   ? 404
                            : i % 3 == 1 ? Call(6, "/qel-mhx/v1/ticks").status
                                         : Call(2, "/qel-mhx/v1/items/3").status;
    if (status != 404 && (after || (status != 200 && status != 202 && status != 503))) ++bad;
    ++calls;
  });
  RunTogether({work, work, work, [&] {
                 while (calls < 40)
                   std::this_thread::yield();
                 EXPECT_TRUE(host->UnloadModule(id).Ok());
                 unloaded = true;
               }});
  ASSERT_TRUE(host->WaitIdle(kLimit));
  EXPECT_EQ(bad, 0);
  const int seen = events + gTicks;
  (void)host->SetResource("/c/v1/e/last", Json("1"));
  EXPECT_EQ(Call(6, "/qel-mhx/v1/ticks").status, 404u);
  ASSERT_TRUE(host->WaitIdle(kLimit));
  EXPECT_EQ(events + gTicks, seen);
  // A tick route already running when the unload began may still ask for its job; the host
  // refuses it, and says so.
  for (const std::string& line : LogLines())
    EXPECT_EQ(line,
              "2 Module 'qel-mhx': ScheduleJob of 'tick' while unloading; the job will not run");
  plugin = nullptr;
}

// A host waits in UnsubscribeEvent for the deliveries of that name on other threads. A handler
// that subscribes meanwhile must not wait for the unsubscribing thread in turn.
TEST_F(PluginTest, AHandlerSubscribesWhileAnotherThreadUnsubscribesItsName) {
  constexpr auto kPatience = std::chrono::seconds(5);
  const char* kUri = "/c/v1/e/x";
  const std::string name = "OnJsonApiEvent_c_v1_e";
  HostValues::Signal delivering, unsubscribing, delivered;
  std::atomic<bool> waitedInVain{false};
  ASSERT_TRUE(Start([&](TestPlugin& self) {
    self.ObserveResource(kUri, [&](const PluginResourceEvent&) {
      delivering.Set();
      EXPECT_TRUE(unsubscribing.Wait(kPatience));
      // Each meets the other thread's claim on the name's host subscription.
      plugin->Subscribe(kUri);
      plugin->Unsubscribe(kUri);
      plugin->Subscribe(kUri);
      delivered.Set();
    });
  }));
  tap.onUnsubscribe = [&](const char* unsubscribed) {
    if (unsubscribed != name) return;
    unsubscribing.Set();
    waitedInVain = !delivered.Wait(kPatience);
  };
  std::thread delivery([&] { tap.Deliver(name, R"({"uri":"/c/v1/e/x","eventType":"Update"})"); });
  EXPECT_TRUE(delivering.Wait(kPatience));
  plugin->Unsubscribe(kUri);
  delivery.join();
  tap.onUnsubscribe = nullptr;
  EXPECT_FALSE(waitedInVain);
  // The name ends subscribed at the host, as its count of 1 says.
  EXPECT_EQ(tap.Calls().back(), "Subscribe " + name + " 0");
}

TEST_F(PluginTest, UnloadWaitsForARunningJobAndRefusesLateOnes) {
  constexpr int kLateJobs = 50;
  std::atomic<bool> entered{false};
  std::atomic<uint32_t> handleSeen{0};
  std::atomic<int> lateRuns{0};
  ASSERT_TRUE(Start());
  TestPlugin* const self = plugin;
  // Not yet due for the host: only the test's threads run them.
  const auto later = steady_clock::now() + std::chrono::hours(1);
  for (int i = 0; i <= kLateJobs; ++i)
    plugin->ScheduleAt("late", later, [&] { ++lateRuns; });
  const size_t tokens = CallbackGate::LiveTokenCount();
  plugin->ScheduleAt("running", later, [&] {
    entered = true;
    // The unload withdraws the plugin's tokens, then waits for this call to return.
    while (CallbackGate::LiveTokenCount() > tokens - kLateJobs)
      std::this_thread::yield();
    handleSeen = self->PluginHandle();  // the plugin must still exist here
  });
  RunTogether({[&] { tap.RunJob(kLateJobs + 1); },
               [&] {
                 while (!entered)
                   std::this_thread::yield();
                 Unload();
               }});
  const auto late = [&] {
    for (int i = 0; i <= kLateJobs; ++i)
      tap.RunJob(static_cast<size_t>(i));
    tap.Deliver("OnServiceProxyUuidEvent", R"({"uuid":"x"})");
  };
  RunTogether({late, late, late, late});
  EXPECT_EQ(handleSeen, id);
  EXPECT_EQ(lateRuns, 0);
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
