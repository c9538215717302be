// The host with worker threads: events, jobs, API calls, unsubscribes and observer changes from
// several threads at once. Every wait is bounded; no test sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <thread>
#include <vector>

#include "host_test_support.h"

namespace {

using namespace Oxle::Client::Host;
using HostTest::Json;
using HostTest::LoadedHost;

constexpr auto kLimit = std::chrono::seconds(30);

using HostValues::Signal;

// A callback that, the first time, signals `entered` and holds its thread until `release`;
// `done` tells whether that call has returned.
struct Held {
  Signal entered, release;
  std::atomic<bool> done{false};
  std::atomic<int> calls{0};
  void operator()() {
    if (calls++ != 0) return;
    entered.Set();
    EXPECT_TRUE(release.Wait(kLimit));
    done = true;
  }
  // Runs `call` on another thread while the held callback waits; `call` must not return before
  // the callback does. Its result, and whether the callback had ended when it returned.
  template <typename Call>
  auto WhileHeld(Call call) {
    EXPECT_TRUE(entered.Wait());
    std::atomic<bool> returned{false};
    auto result = std::async(std::launch::async, [&] {
      auto value = call();
      returned = true;
      return std::pair(value, done.load());
    });
    EXPECT_FALSE(returned.load());
    release.Set();
    EXPECT_EQ(result.wait_for(kLimit), std::future_status::ready);
    return result.get();
  }
};

struct ThreadedHost : LoadedHost {
  ThreadedHost() : LoadedHost(HostMode::Threaded) { EXPECT_TRUE(Start().Ok()); }
};

TEST(HostConcurrency, EventsJobsAndCallsFromSeveralThreadsArriveOnceAndEventsInOrder) {
  ThreadedHost loaded;
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  constexpr int kThreads = 4, kEach = 60;
  // Each publisher's last payload seen: written by one delivering thread at a time.
  int last[kThreads] = {-1, -1, -1, -1};
  bool ordered = true;
  loaded.module->onEvent = [&](const HostEvent& event) {
    const int n = std::stoi(Json(event.payload));
    ordered = ordered && n > last[n / 1000];
    last[n / 1000] = n;
  };
  std::atomic<int> okCalls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < t + kEach; ++i) {
        if (i % 3 == 0) loaded.host->PublishEvent("E", Json(std::to_string(t * 1000 + i)));
        if (i % 3 == 1) (void)loaded.module->Schedule("j", 0);
        if (i % 3 == 2 &&
            Json(loaded.Call(2, "/test/v1/echo/c").value) == "\"GET /test/v1/echo/c 0\"")
          ++okCalls;
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  ASSERT_EQ(loaded.module->Schedule("later", 3600), 0);  // pending, not due: the host is idle
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_TRUE(ordered);
  EXPECT_EQ(loaded.host->RunDueWork(), 0u);  // the workers own the queues
  int counts[3] = {};
  for (int t = 0; t < kThreads; ++t)
    for (int i = t; i < t + kEach; ++i)
      ++counts[i % 3];
  EXPECT_EQ(loaded.module->events, counts[0]);
  EXPECT_EQ(loaded.module->jobs, counts[1]);
  EXPECT_EQ(okCalls, counts[2]);
}

TEST(HostConcurrency, UnsubscribeWaitsForADeliveryOnAnotherThreadButNotOnItsOwn) {
  ThreadedHost loaded;
  Held held;
  loaded.module->onEvent = [&](const HostEvent&) { held(); };
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  loaded.host->PublishEvent("E", Json("1"));
  EXPECT_EQ(held.WhileHeld([&] { return loaded.module->Unsubscribe("E"); }), std::pair(0, true));
  loaded.host->PublishEvent("E", Json("2"));
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_EQ(loaded.module->events, 1);
  // From inside the callback it returns, and no further call comes.
  std::atomic<int> unsubscribed{1};
  loaded.module->onEvent = [&](const HostEvent&) {
    unsubscribed = loaded.module->Unsubscribe("F");
  };
  ASSERT_EQ(loaded.module->Subscribe("F"), 0);
  for (int i = 0; i < 20; ++i)
    loaded.host->PublishEvent("F", Json("1"));
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));  // a deadlock would time out here
  EXPECT_EQ(unsubscribed, 0);
  EXPECT_EQ(loaded.module->events, 2);
}

TEST(HostConcurrency, UnloadWaitsForARunningJobAndDropsThePendingOnes) {
  ThreadedHost loaded;
  Held held;
  std::atomic<bool> unloadSawJobDone{false};
  const int unloadsBefore = TestModule::gUnloads;
  loaded.module->onJob = [&] { held(); };
  loaded.module->onUnload = [&] { unloadSawJobDone = held.done.load(); };
  ASSERT_EQ(loaded.module->Schedule("running", 0), 0);
  ASSERT_TRUE(held.entered.Wait());
  // Not yet due, so no free worker can start them before the unload.
  ASSERT_EQ(loaded.module->Schedule("pending", 3600), 0);
  ASSERT_EQ(loaded.module->Schedule("later", 7200), 0);
  EXPECT_EQ(loaded.host->PendingJobCount(), 2u);
  EXPECT_TRUE(held.WhileHeld([&] { return loaded.host->UnloadModule(loaded.id).Ok(); }).first);
  EXPECT_TRUE(unloadSawJobDone);
  EXPECT_EQ(loaded.host->PendingJobCount(), 0u);
  EXPECT_EQ(TestModule::gUnloads, unloadsBefore + 1);
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
}

TEST(HostConcurrency, SubscriptionAndObserverChangesRacePublishersWithoutALateCall) {
  ThreadedHost loaded;
  std::atomic<bool> stop{false};
  std::atomic<int> observed{0}, published{0};
  (void)loaded.host->AddEventObserver([&](const ObservedEvent&) { ++observed; });
  std::vector<std::thread> publishers;
  for (int t = 0; t < 2; ++t) {
    publishers.emplace_back([&, t] {
      for (int i = 0; !stop && i < 100000; ++i, ++published) {
        if (t == 0) (void)loaded.host->SetResource("/race/v1/x", Json(std::to_string(i)));
        if (t == 1) loaded.host->PublishEvent("E", Json("1"));
      }
    });
  }
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(loaded.module->Subscribe("E") + loaded.module->Unsubscribe("E"), 0);
    auto removed = std::make_shared<std::atomic<bool>>(false);
    const ObserverHandle handle = loaded.host->AddEventObserver([removed](const ObservedEvent&) {
      EXPECT_FALSE(removed->load()) << "called after RemoveEventObserver returned";
    });
    EXPECT_TRUE(loaded.host->RemoveEventObserver(handle));
    removed->store(true);
  }
  // From here on every delivery of "E" would be a call after UnsubscribeEvent returned.
  const int afterUnsubscribe = loaded.module->events;
  stop = true;
  for (std::thread& publisher : publishers)
    publisher.join();
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_EQ(loaded.module->events, afterUnsubscribe);
  EXPECT_EQ(observed, published);
}

TEST(HostObserverConcurrency, RemoveWaitsForACallInProgressOnAnotherThread) {
  LoadedHost loaded(HostMode::Threaded);
  Held held;
  const ObserverHandle handle =
      loaded.host->AddEventObserver([&](const ObservedEvent&) { held(); });
  std::thread publisher([&] { loaded.host->PublishEvent("E", Json("1")); });
  EXPECT_EQ(held.WhileHeld([&] { return loaded.host->RemoveEventObserver(handle); }),
            std::pair(true, true));
  publisher.join();
  loaded.host->PublishEvent("E", Json("2"));
  EXPECT_EQ(held.calls, 1);
}

}  // namespace
