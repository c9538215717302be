// The host's event observers: what they see of each kind of publication, when they are called,
// and their removal, also against publications on other threads. Every wait is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_test_support.h"

namespace {

using namespace Oxle::Client::Host;
using HostTest::Json;
using HostTest::LoadedHost;
using std::chrono::seconds;

constexpr auto kLimit = seconds(30);

// Every observed event as "<name>|<uri>|<event type>|<data as JSON>|<flags>".
class Recorder {
 public:
  EventObserver Observer() {
    return [this](const ObservedEvent& event) {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::string(event.name) + "|" + std::string(event.uri) + "|" +
                       std::string(event.eventType) + "|" + Json(event.data) + "|" +
                       std::to_string(event.flags));
    };
  }
  [[nodiscard]] std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;  // guards lines_
  std::vector<std::string> lines_;
};

using Lines = std::vector<std::string>;

TEST(HostObserver, SeesEachResourceChangeOnceUnderItsUriEventNameBeforeAnyDelivery) {
  LoadedHost loaded;
  ASSERT_TRUE(loaded.Start().Ok());
  Recorder recorder;
  (void)loaded.host->AddEventObserver(recorder.Observer());
  (void)loaded.host->SetResource("qel-login/v1/session", Json(R"({"state":"SUCCEEDED"})"));
  (void)loaded.host->SetResource("/qel-login/v1/session", Json(R"({"state":"ERROR"})"));
  EXPECT_TRUE(loaded.host->DeleteResource("/qel-login/v1/session"));
  EXPECT_FALSE(loaded.host->DeleteResource("/qel-login/v1/session"));  // nothing stored: unseen
  // Manual mode has delivered nothing yet: the observer runs as the change is published.
  EXPECT_EQ(recorder.Lines(), (Lines{
                                  "OnJsonApiEvent_qel-login_v1_session|/qel-login/v1/session|"
                                  "Create|{\"state\":\"SUCCEEDED\"}|0",
                                  "OnJsonApiEvent_qel-login_v1_session|/qel-login/v1/session|"
                                  "Update|{\"state\":\"ERROR\"}|0",
                                  "OnJsonApiEvent_qel-login_v1_session|/qel-login/v1/session|"
                                  "Delete||0",
                              }));
  EXPECT_EQ(loaded.host->RunDueWork(), 6u);  // the deliveries themselves are not observed again
  EXPECT_EQ(recorder.Lines().size(), 3u);
}

TEST(HostObserver, SeesHostPublicationsAsResourceChangesOnlyWhenThePayloadIsOne) {
  LoadedHost loaded;
  Recorder recorder;
  (void)loaded.host->AddEventObserver(recorder.Observer());
  loaded.host->PublishEvent("Plain", Json(R"({"uri":"/x","eventType":"Rename"})"), 4);
  loaded.host->PublishEvent("Numbered", Json(R"({"uri":"a/b","eventType":1,"data":[7]})"), 0);
  loaded.host->PublishEvent("Gone", Json(R"({"uri":"/a/b","eventType":"Delete"})"), 1);
  EXPECT_EQ(recorder.Lines(), (Lines{
                                  "Plain|||{\"eventType\":\"Rename\",\"uri\":\"/x\"}|4",
                                  "Numbered|/a/b|Update|[7]|0",
                                  "Gone|/a/b|Delete||1",
                              }));
  EXPECT_FALSE(loaded.host->GetResource("/a/b").has_value());
}

TEST(HostObserver, SeesAModulesPublicationOnTheModulesThread) {
  LoadedHost loaded;
  ASSERT_TRUE(loaded.Start().Ok());
  Recorder recorder;
  std::thread::id observedOn;
  (void)loaded.host->AddEventObserver(recorder.Observer());
  (void)loaded.host->AddEventObserver(
      [&](const ObservedEvent&) { observedOn = std::this_thread::get_id(); });
  // The payload crosses as a HostValue, as a module sends it.
  HostValue payload{};
  ASSERT_TRUE(Oxle::Client::Binding::ToHostValue(
      Json(R"({"uri":"/m/v1/x","eventType":"Update","data":{"n":1}})"), nullptr, payload));
  std::thread publisher([&] {
    const HostEvent event{"OnJsonApiEvent", payload, 2, nullptr};
    EXPECT_EQ(loaded.module->api->PublishEvent(loaded.module->api, &event), 0);
    EXPECT_EQ(observedOn, std::this_thread::get_id());
  });
  publisher.join();
  Oxle::Client::Binding::ReleaseHostValue(payload);
  EXPECT_EQ(recorder.Lines(), (Lines{"OnJsonApiEvent|/m/v1/x|Update|{\"n\":1}|2"}));
  EXPECT_EQ(Json(loaded.host->GetResource("/m/v1/x").value()), R"({"n":1})");
}

TEST(HostObserver, ARemovedObserverIsNotCalledAndHandlesAreNotReused) {
  LoadedHost loaded;
  Recorder first, second;
  const ObserverHandle a = loaded.host->AddEventObserver(first.Observer());
  const ObserverHandle b = loaded.host->AddEventObserver(second.Observer());
  EXPECT_NE(a, b);
  loaded.host->PublishEvent("One", Json("1"));
  EXPECT_TRUE(loaded.host->RemoveEventObserver(a));
  EXPECT_FALSE(loaded.host->RemoveEventObserver(a));
  EXPECT_FALSE(loaded.host->RemoveEventObserver(b + 100));
  loaded.host->PublishEvent("Two", Json("2"));
  const ObserverHandle c = loaded.host->AddEventObserver(first.Observer());
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  EXPECT_EQ(first.Lines(), (Lines{"One|||1|0"}));
  EXPECT_EQ(second.Lines(), (Lines{"One|||1|0", "Two|||2|0"}));
}

TEST(HostObserver, AThrowingObserverIsLoggedAndTheOthersAndTheDeliveryGoOn) {
  LoadedHost loaded;
  ASSERT_TRUE(loaded.Start().Ok());
  ASSERT_EQ(loaded.module->Subscribe("E"), 0);
  (void)loaded.host->AddEventObserver(
      [](const ObservedEvent&) { throw std::runtime_error("observer exploded"); });
  (void)loaded.host->AddEventObserver([](const ObservedEvent&) { throw 7; });
  Recorder recorder;
  (void)loaded.host->AddEventObserver(recorder.Observer());
  loaded.host->PublishEvent("E", Json("1"));
  EXPECT_EQ(recorder.Lines(), (Lines{"E|||1|0"}));
  EXPECT_EQ(loaded.host->RunDueWork(), 1u);
  EXPECT_EQ(loaded.module->events.load(), 1);
  EXPECT_EQ(
      loaded.logs->Entries(),
      (std::vector<LogEntry>{
          {kLogError, kHostLogName, "An event observer threw for event 'E': observer exploded"},
          {kLogError, kHostLogName, "An event observer threw for event 'E'"},
      }));
}

TEST(HostObserver, AnObserverMayRemoveItselfFromInsideItsCall) {
  LoadedHost loaded;
  int calls = 0;
  ObserverHandle self = 0;
  self = loaded.host->AddEventObserver([&](const ObservedEvent&) {
    ++calls;
    EXPECT_TRUE(loaded.host->RemoveEventObserver(self));
  });
  loaded.host->PublishEvent("E", Json("1"));
  loaded.host->PublishEvent("E", Json("2"));
  EXPECT_EQ(calls, 1);
}

TEST(HostObserverConcurrency, RemoveWaitsForACallInProgressOnAnotherThread) {
  LoadedHost loaded(HostMode::Threaded);
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> callDone{false};
  std::atomic<int> calls{0};
  const ObserverHandle handle = loaded.host->AddEventObserver([&](const ObservedEvent&) {
    if (calls.fetch_add(1) == 0) {
      entered.set_value();
      EXPECT_EQ(released.wait_for(kLimit), std::future_status::ready);
      callDone = true;
    }
  });
  std::thread publisher([&] { loaded.host->PublishEvent("E", Json("1")); });
  ASSERT_EQ(entered.get_future().wait_for(kLimit), std::future_status::ready);
  std::atomic<bool> returned{false};
  auto removed = std::async(std::launch::async, [&] {
    const bool result = loaded.host->RemoveEventObserver(handle);
    returned = true;
    return std::pair(result, callDone.load());
  });
  EXPECT_FALSE(returned.load());
  release.set_value();
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
  Recorder steady;
  (void)loaded.host->AddEventObserver(steady.Observer());
  std::atomic<bool> stop{false};
  std::atomic<int> published{0};
  std::vector<std::thread> publishers;
  for (int t = 0; t < 3; ++t) {
    publishers.emplace_back([&, t] {
      for (int i = 0; i < 2000 && !stop.load(); ++i) {
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
  for (int i = 0; i < 200; ++i) {
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
  EXPECT_EQ(steady.Lines().size(), static_cast<size_t>(published.load()));
}

}  // namespace
