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
using std::chrono::seconds;

constexpr auto kLimit = seconds(30);

// A latch with a bounded wait.
class Signal {
 public:
  void Set() {
    {
      std::lock_guard lock(mutex_);
      set_ = true;
    }
    changed_.notify_all();
  }
  [[nodiscard]] bool Wait() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLimit, [&] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

struct ThreadedHost : LoadedHost {
  ThreadedHost() : LoadedHost(HostMode::Threaded) { EXPECT_TRUE(Start().Ok()); }
};

TEST(HostConcurrency, EventsJobsAndCallsFromSeveralThreadsAllArriveExactlyOnce) {
  ThreadedHost loaded;
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  constexpr int kThreads = 4;
  constexpr int kEach = 60;
  std::atomic<int> okCalls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        switch ((t + i) % 3) {
          case 0:
            loaded.host->PublishEvent("E", Json("1"));
            break;
          case 1:
            (void)loaded.module->Schedule("j", 0);
            break;
          default: {
            const ApiCallResult call = loaded.host->Call(HostTest::Request(2, "/test/v1/echo/c"));
            if (call.status == 200 && Json(call.value) == "\"GET /test/v1/echo/c 0\"") ++okCalls;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_EQ(loaded.host->RunDueWork(), 0u);  // the workers own the queues
  int events = 0, jobs = 0, calls = 0;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i)
      ++((t + i) % 3 == 0 ? events : (t + i) % 3 == 1 ? jobs : calls);
  EXPECT_EQ(loaded.module->events.load(), events);
  EXPECT_EQ(loaded.module->jobs.load(), jobs);
  EXPECT_EQ(okCalls.load(), calls);
}

TEST(HostConcurrency, EventsOfOnePublisherArriveInPublicationOrder) {
  ThreadedHost loaded;
  std::vector<std::string> seen;  // written by the one delivering thread at a time
  loaded.module->onEvent = [&](TestModule::Module&, const HostEvent& event) {
    seen.push_back(Json(event.payload));
  };
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) {
    loaded.host->PublishEvent("E", Json(std::to_string(i)));
    expected.push_back(std::to_string(i));
  }
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_EQ(seen, expected);
}

TEST(HostConcurrency, UnsubscribeFromInsideTheCallbackReturnsAndStopsFurtherCalls) {
  ThreadedHost loaded;
  std::atomic<int> unsubscribeResult{1};
  loaded.module->onEvent = [&](TestModule::Module& module, const HostEvent&) {
    unsubscribeResult = module.Unsubscribe("E");
  };
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  for (int i = 0; i < 20; ++i)
    loaded.host->PublishEvent("E", Json("1"));
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));  // a deadlock would time out here
  EXPECT_EQ(unsubscribeResult.load(), 0);
  EXPECT_EQ(loaded.module->events.load(), 1);
}

TEST(HostConcurrency, UnsubscribeWaitsForADeliveryInProgressOnAnotherThread) {
  ThreadedHost loaded;
  Signal entered, release;
  std::atomic<bool> callbackDone{false};
  loaded.module->onEvent = [&](TestModule::Module&, const HostEvent&) {
    entered.Set();
    EXPECT_TRUE(release.Wait());
    callbackDone = true;
  };
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  loaded.host->PublishEvent("E", Json("1"));
  ASSERT_TRUE(entered.Wait());
  std::atomic<bool> returned{false};
  auto unsubscribed = std::async(std::launch::async, [&] {
    const int32_t result = loaded.module->Unsubscribe("E");
    returned = true;
    return std::pair(result, callbackDone.load());
  });
  // Unsubscribe cannot return before the callback does; let the callback finish only now.
  EXPECT_FALSE(returned.load());
  release.Set();
  ASSERT_EQ(unsubscribed.wait_for(kLimit), std::future_status::ready);
  const auto [result, doneBeforeReturn] = unsubscribed.get();
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(doneBeforeReturn);
  loaded.host->PublishEvent("E", Json("2"));
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_EQ(loaded.module->events.load(), 1);
}

TEST(HostConcurrency, UnloadWaitsForARunningJobAndDropsThePendingOnes) {
  ThreadedHost loaded;
  Signal entered, release;
  std::atomic<bool> jobDone{false};
  std::atomic<bool> unloadSawJobDone{false};
  const int unloadsBefore = TestModule::UnloadCount().load();
  loaded.module->onJob = [&](TestModule::Module&) {
    entered.Set();
    EXPECT_TRUE(release.Wait());
    jobDone = true;
  };
  loaded.module->onUnload = [&](TestModule::Module&) { unloadSawJobDone = jobDone.load(); };
  ASSERT_EQ(loaded.module->Schedule("running", 0), 0);
  ASSERT_TRUE(entered.Wait());
  // Not yet due, so no free worker can start them before the unload.
  ASSERT_EQ(loaded.module->Schedule("pending", 3600), 0);
  ASSERT_EQ(loaded.module->Schedule("later", 7200), 0);
  EXPECT_EQ(loaded.host->PendingJobCount(), 2u);
  auto unloaded =
      std::async(std::launch::async, [&] { return loaded.host->UnloadModule(loaded.id); });
  release.Set();
  ASSERT_EQ(unloaded.wait_for(kLimit), std::future_status::ready);
  EXPECT_TRUE(unloaded.get().Ok());
  EXPECT_TRUE(unloadSawJobDone.load());
  EXPECT_EQ(loaded.host->PendingJobCount(), 0u);
  EXPECT_EQ(TestModule::UnloadCount().load(), unloadsBefore + 1);
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
}

TEST(HostConcurrency, SubscribesAndUnsubscribesRaceDeliveriesWithoutACallAfterUnsubscribe) {
  ThreadedHost loaded;
  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    while (!stop.load())
      loaded.host->PublishEvent("E", Json("1"));
  });
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(loaded.module->Subscribe("E"), 0);
    ASSERT_EQ(loaded.module->Unsubscribe("E"), 0);
  }
  // From here on every delivery of "E" would be a call after UnsubscribeEvent returned.
  const int afterUnsubscribe = loaded.module->events.load();
  stop = true;
  publisher.join();
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_EQ(loaded.module->events.load(), afterUnsubscribe);
}

TEST(HostObserverConcurrency, RemoveWaitsForACallInProgressOnAnotherThread) {
  LoadedHost loaded(HostMode::Threaded);
  Signal entered, release;
  std::atomic<bool> callDone{false};
  std::atomic<int> calls{0};
  const ObserverHandle handle = loaded.host->AddEventObserver([&](const ObservedEvent&) {
    if (calls.fetch_add(1) == 0) {
      entered.Set();
      EXPECT_TRUE(release.Wait());
      callDone = true;
    }
  });
  std::thread publisher([&] { loaded.host->PublishEvent("E", Json("1")); });
  ASSERT_TRUE(entered.Wait());
  std::atomic<bool> returned{false};
  auto removed = std::async(std::launch::async, [&] {
    const bool result = loaded.host->RemoveEventObserver(handle);
    returned = true;
    return std::pair(result, callDone.load());
  });
  EXPECT_FALSE(returned.load());
  release.Set();
  ASSERT_EQ(removed.wait_for(kLimit), std::future_status::ready);
  const auto [result, doneBeforeReturn] = removed.get();
  publisher.join();
  EXPECT_TRUE(result);
  EXPECT_TRUE(doneBeforeReturn);
  loaded.host->PublishEvent("E", Json("2"));
  EXPECT_EQ(calls.load(), 1);
}

TEST(HostObserverConcurrency, PublishersOnSeveralThreadsRaceAddAndRemoveWithoutALateCall) {
  LoadedHost loaded(HostMode::Threaded);
  ASSERT_TRUE(loaded.Start().Ok());
  std::atomic<int> observed{0};
  (void)loaded.host->AddEventObserver([&](const ObservedEvent&) { ++observed; });
  std::atomic<bool> stop{false};
  std::atomic<int> published{0};
  std::vector<std::thread> publishers;
  for (int t = 0; t < 3; ++t) {
    publishers.emplace_back([&, t] {
      for (int i = 0; i < 1000 && !stop.load(); ++i) {
        if (t == 0) {
          (void)loaded.host->SetResource("/race/v1/x", Json(std::to_string(i)));
        } else {
          loaded.host->PublishEvent("E", Json(std::to_string(i)));
        }
        ++published;
      }
    });
  }
  std::atomic<int> churned{0};
  for (int i = 0; i < 100; ++i) {
    auto flag = std::make_shared<std::atomic<bool>>(false);
    const ObserverHandle handle =
        loaded.host->AddEventObserver([flag, &churned](const ObservedEvent&) {
          EXPECT_FALSE(flag->load()) << "called after RemoveEventObserver returned";
          ++churned;
        });
    ASSERT_TRUE(loaded.host->RemoveEventObserver(handle));
    flag->store(true);
  }
  stop = true;
  for (std::thread& publisher : publishers)
    publisher.join();
  ASSERT_TRUE(loaded.host->WaitIdle(kLimit));
  EXPECT_EQ(observed.load(), published.load());
}

}  // namespace
