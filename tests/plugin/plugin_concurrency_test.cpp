// Several host threads at once: events, jobs, service-proxy answers and subscription changes,
// and an unload that meets running and late callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_host.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

using std::chrono::steady_clock;

TEST_F(PluginTest, EventsJobsAndSubscriptionChangesFromSeveralThreadsKeepExactCounts) {
  constexpr int kEventThreads = 4;
  constexpr int kEventsPerThread = 200;
  constexpr int kJobs = 100;
  constexpr int kToggles = 100;
  constexpr int kUuidThreads = 2;
  constexpr int kUuidsPerThread = 100;
  std::atomic<int> events{0};
  std::atomic<int> jobs{0};
  Start([&](TestPlugin& self) {
    self.ObserveResource("/c/v1/e/*", [&](const PluginResourceEvent&) { ++events; });
  });
  for (int i = 0; i < kJobs; ++i)
    plugin->ScheduleAt("job", steady_clock::now(), [&] { ++jobs; });

  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  const auto launch = [&](std::function<void()> work) {
    threads.emplace_back([&go, work = std::move(work)] {
      while (!go)
        std::this_thread::yield();
      work();
    });
  };
  for (int t = 0; t < kEventThreads; ++t) {
    launch([&] {
      JsonHostValue payload(R"({"uri":"/c/v1/e/1","eventType":"Update"})");
      for (int i = 0; i < kEventsPerThread; ++i)
        host.Deliver("OnJsonApiEvent_c_v1_e", payload.value);
    });
  }
  for (int t = 0; t < 2; ++t) {
    launch([&, t] {
      for (int i = t; i < kJobs; i += 2)
        host.RunJob(static_cast<size_t>(i));
    });
    launch([&] {
      for (int i = 0; i < kToggles; ++i) {
        plugin->Subscribe("/other/v1/x");
        plugin->Unsubscribe("/other/v1/x/y");
      }
    });
  }
  for (int t = 0; t < kUuidThreads; ++t) {
    launch([&, t] {
      for (int i = 0; i < kUuidsPerThread; ++i) {
        const std::string json =
            R"({"uuid":")" + std::to_string(t) + "-" + std::to_string(i) + R"("})";
        host.DeliverJson("OnServiceProxyUuidEvent", json.c_str());
      }
    });
  }
  go = true;
  for (std::thread& thread : threads)
    thread.join();

  EXPECT_EQ(events, kEventThreads * kEventsPerThread);
  EXPECT_EQ(jobs, kJobs);
  EXPECT_EQ(plugin->PendingJobCount(), 0u);
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), size_t{kUuidThreads * kUuidsPerThread});
  // The host saw the toggled name's subscriptions strictly alternate, ending unsubscribed.
  const std::string name = "OnJsonApiEvent_other_v1_x";
  std::vector<char> sequence;
  for (const std::string& call : host.Calls()) {
    if (call == "SubscribeEvent:" + name) sequence.push_back('S');
    if (call.rfind("UnsubscribeEvent:" + name + ":", 0) == 0) sequence.push_back('U');
  }
  ASSERT_FALSE(sequence.empty());
  for (size_t i = 0; i < sequence.size(); ++i)
    EXPECT_EQ(sequence[i], i % 2 == 0 ? 'S' : 'U') << i;
  EXPECT_EQ(sequence.back(), 'U');
}

// A host waits in UnsubscribeEvent for the deliveries of that name on other threads. A handler
// that subscribes meanwhile must not wait for the unsubscribing thread in turn.
TEST_F(PluginTest, AHandlerSubscribesWhileAnotherThreadUnsubscribesItsName) {
  constexpr auto kPatience = std::chrono::seconds(5);
  const char* kUri = "/c/v1/e/x";
  const std::string name = "OnJsonApiEvent_c_v1_e";
  std::mutex mutex;
  std::condition_variable changed;
  bool delivering = false;
  bool unsubscribing = false;
  bool delivered = false;
  bool waitedInVain = false;
  const auto waitFor = [&](std::unique_lock<std::mutex>& lock, const bool& flag) {
    return changed.wait_for(lock, kPatience, [&] { return flag; });
  };
  Start([&](TestPlugin& self) {
    self.ObserveResource(kUri, [&](const PluginResourceEvent&) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        delivering = true;
        changed.notify_all();
        waitFor(lock, unsubscribing);
      }
      plugin->Subscribe(kUri);
      std::lock_guard<std::mutex> lock(mutex);
      delivered = true;
      changed.notify_all();
    });
  });
  host.onUnsubscribe = [&](const char* unsubscribed) {
    if (unsubscribed != name) return;
    std::unique_lock<std::mutex> lock(mutex);
    unsubscribing = true;
    changed.notify_all();
    waitedInVain = !waitFor(lock, delivered);
  };
  std::thread delivery(
      [&] { host.DeliverJson(name, R"({"uri":"/c/v1/e/x","eventType":"Update"})"); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(waitFor(lock, delivering));
  }
  plugin->Unsubscribe(kUri);
  delivery.join();
  host.onUnsubscribe = nullptr;
  EXPECT_FALSE(waitedInVain);
  // The name ends subscribed at the host, as its count of 1 says.
  EXPECT_EQ(host.Calls().back(), "SubscribeEvent:" + name);
}

TEST_F(PluginTest, UnloadWaitsForARunningJobAndRefusesLateOnes) {
  constexpr int kLateJobs = 50;
  std::atomic<bool> entered{false};
  std::atomic<bool> unloading{false};
  std::atomic<uint32_t> handleSeen{0};
  std::atomic<int> lateRuns{0};
  Start();
  TestPlugin* const self = plugin;
  plugin->ScheduleAt("running", steady_clock::now(), [&] {
    entered = true;
    while (!unloading)
      std::this_thread::yield();
    handleSeen = self->PluginHandle();  // the plugin must still exist here
  });
  for (int i = 0; i < kLateJobs; ++i)
    plugin->ScheduleAt("late", steady_clock::now(), [&] { ++lateRuns; });

  std::thread running([&] { host.RunJob(0); });
  std::thread unloader([&] {
    while (!entered)
      std::this_thread::yield();
    unloading = true;
    descriptor.callbacks->Unload(descriptor.context);
  });
  running.join();
  unloader.join();
  plugin = nullptr;

  std::vector<std::thread> late;
  for (int t = 0; t < 4; ++t) {
    late.emplace_back([&] {
      for (int i = 1; i <= kLateJobs; ++i)
        host.RunJob(static_cast<size_t>(i));
      host.DeliverJson("OnServiceProxyUuidEvent", R"({"uuid":"x"})");
    });
  }
  for (std::thread& thread : late)
    thread.join();
  EXPECT_EQ(handleSeen, 0x5A5Au);
  EXPECT_EQ(lateRuns, 0);
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
