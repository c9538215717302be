// Registration, start, the log target, jobs, memory statistics, stop and unload, driven through
// the descriptor and the callback table as a host drives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <memory>
#include <stdexcept>

#include "fake_host.h"
#include "log/allocation_hooks.h"
#include "log/logger.h"
#include "plugin/callback_gate.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;
using Logs = std::vector<std::pair<int32_t, std::string>>;

TEST_F(PluginTest, RegisterFillsTheDescriptorAndStartSubscribesTheServiceProxyEventsFirst) {
  TestPlugin& loaded = Load(18, 4, 2);
  EXPECT_EQ(descriptor.major, 18u);
  EXPECT_EQ(descriptor.minor, 0u);
  EXPECT_EQ(descriptor.patch, 0u);
  EXPECT_EQ(descriptor.callbacks, &loaded.Callbacks());
  EXPECT_EQ(descriptor.context, static_cast<void*>(&loaded));
  EXPECT_STREQ(descriptor.shortName, "qel-mhx");
  EXPECT_EQ(descriptor.exportTable, &loaded.ExportTable());
  EXPECT_EQ(loaded.Name().fullName, "tpk-be-qel-mhx");
  EXPECT_EQ(loaded.ApiName(), "QelMhx");
  EXPECT_EQ(loaded.ApiCategoryPath(), (std::vector<std::string>{"Plugins", "Plugin qel-mhx"}));

  size_t subscribedBeforeOnStart = 0;
  Start([&](TestPlugin&) { subscribedBeforeOnStart = host.Subscriptions().size(); });
  EXPECT_EQ(subscribedBeforeOnStart, 3u);
  const std::vector<Subscription> subscriptions = host.Subscriptions();
  ASSERT_EQ(subscriptions.size(), 3u);
  const char* names[] = {"OnServiceProxyUuidEvent", "OnServiceProxyMethodEvent",
                         "OnServiceProxyAsyncEvent"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(subscriptions[i].name, names[i]);
    EXPECT_EQ(subscriptions[i].flag, 1u);
    EXPECT_EQ(subscriptions[i].handle, 0x5A5Au);
    EXPECT_NE(subscriptions[i].context, static_cast<void*>(plugin));  // a token, not the object
  }
  EXPECT_EQ(plugin->PluginHandle(), 0x5A5Au);
  EXPECT_EQ(plugin->UserAgent(), "OxleClient/18.4.2 (qel-mhx)");
}

TEST_F(PluginTest, AnIncompatibleCoreEndsTheProcessAfterTheAssertionReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const uint32_t refused[][3] = {{17, 0, 0}, {17, 9, 9}, {19, 0, 0}};
  for (const auto& version : refused) {
    EXPECT_EXIT(
        {
          PluginDescriptor words{};
          words.major = version[0];
          words.minor = version[1];
          words.patch = version[2];
          (void)ExportPlugin<TestPlugin>(&words, "qel-mhx");
          std::exit(0);  // not reached when refused
        },
        ::testing::KilledBySignal(SIGABRT),
        " ERROR\\| Assertion failed!\n\nExpression: ALE-EECF0606\n");
  }
}

TEST_F(PluginTest, RegistersTheFrameworkTypesAndEventsBeforeTheFeaturesApi) {
  bool sawTypes = false;
  descriptor = PluginDescriptor{18, 0, 0, nullptr, nullptr, nullptr, nullptr};
  // A registration hook must be in place before Register runs, so build the plugin by hand.
  auto* manual = new TestPlugin();
  manual->registerApi = [&](TestPlugin& self) {
    sawTypes = self.Api().FindTypeByName("PluginResourceEvent") != nullptr;
    EXPECT_EQ(self.ExportTable().entries, nullptr);
  };
  manual->Register(&descriptor, "qel-mhx");
  plugin = manual;
  EXPECT_TRUE(sawTypes);

  Api::ApiRegistry& api = plugin->Api();
  // Structures list their fields in order, enumerations their values by name.
  struct TypeCase {
    const char* name;
    const char* members;
  };
  const TypeCase types[] = {
      {"PluginManagerState", "NotReady=0 PluginsInitialized=1"},
      {"PluginManagerResource", "state"},
      {"PluginResourceEventType", "Create=0 Delete=2 Update=1"},
      {"PluginResourceEvent", "uri eventType data"},
      {"PluginLcdsEvent", "clientId subtopic typeName body"},
      {"PluginLcdsResponse", "typeName body"},
      {"PluginServiceProxyResponse", "uuid serviceName methodName payload status error"},
  };
  for (const TypeCase& c : types) {
    const Binding::TypeRecord* record = api.FindTypeByName(c.name);
    ASSERT_NE(record, nullptr) << c.name;
    EXPECT_EQ(record->tags, std::vector<std::string>{"zclient"}) << c.name;
    std::string members;
    for (const auto& field : record->fields)
      members += (members.empty() ? "" : " ") + field.name;
    for (const auto& [name, value] : record->enumerators)
      members += (members.empty() ? "" : " ") + name + "=" + std::to_string(value.value);
    EXPECT_EQ(members, c.members);
  }

  struct EventCase {
    const char* name;
    const char* type;
    const char* description;
  };
  const EventCase events[] = {
      {"OnJsonApiEvent", "PluginResourceEvent", "Fired when a resource is changed."},
      {"OnLcdsEvent", "PluginLcdsEvent",
       "Fired when a message is received over the LCDS connection."},
      {"OnServiceProxyUuidEvent", "PluginServiceProxyResponse",
       "Fired when a uuid-based service proxy message is received."},
      {"OnServiceProxyMethodEvent", "PluginServiceProxyResponse",
       "Fired when a method-based service proxy message is received."},
      {"OnServiceProxyAsyncEvent", "PluginServiceProxyResponse",
       "Fired when an async service proxy message is received."},
  };
  for (const EventCase& c : events) {
    const Binding::EventRecord* event = api.FindEvent(c.name);
    ASSERT_NE(event, nullptr) << c.name;
    ASSERT_NE(event->dataType, nullptr);
    EXPECT_EQ(event->dataType->name, c.type);
    EXPECT_EQ(event->description, c.description);
    EXPECT_EQ(event->tags, std::vector<std::string>{"zclient"});
  }
  EXPECT_NE(api.FindEvent("OnCallback"), nullptr);
}

TEST_F(PluginTest, StartReportsOnStartsResult) {
  Load();
  plugin->startResult = false;
  EXPECT_EQ(descriptor.callbacks->Start(descriptor.context, host.Context()), 0);
  EXPECT_EQ(host.Subscriptions().size(), 3u);  // kept until unload
}

TEST_F(PluginTest, StartReplacesTheConsoleTargetsByTheHostsLogAndASecondStartKeepsIt) {
  Start();
  Log::Logger& logger = Log::Logger::Instance();
  ASSERT_NE(logger.FindTarget("PluginLogTarget"), nullptr);
  EXPECT_FALSE(logger.StdErrTarget()->IsAttached());
  EXPECT_FALSE(logger.StdOutTarget()->IsAttached());
  EXPECT_FALSE(logger.DebuggerTarget()->IsAttached());
  EXPECT_EQ(logger.MinimumLevel(), 0);
  EXPECT_EQ(logger.ExcludedCategories(), 4u);
  Log::Log(Log::OKAY, 1, 0, "hello %d", 5);
  Log::Log(Log::ERROR, 4, 0, "excluded");

  logger.SetMinimumLevel(2);
  const std::vector<Log::LogTargetHandle*> before = logger.AttachedTargets();
  FakeHost secondHost(9);
  PluginDescriptor secondWords{18, 0, 0, nullptr, nullptr, nullptr, nullptr};
  ASSERT_NE(ExportPlugin<TestPlugin>(&secondWords, "other"), nullptr);
  EXPECT_EQ(secondWords.callbacks->Start(secondWords.context, secondHost.Context()), 1);
  EXPECT_EQ(logger.AttachedTargets(), before);
  EXPECT_EQ(logger.MinimumLevel(), 2);
  Log::Log(Log::ERROR, 1, 0, "still to the first host");
  secondWords.callbacks->Unload(secondWords.context);
  EXPECT_EQ(host.Logs(), (Logs{{0, "hello 5"}, {2, "still to the first host"}}));
  EXPECT_TRUE(secondHost.Logs().empty());
}

TEST_F(PluginTest, ScheduleAtPassesTheRemainingDelayAndRunsTheJobOnceOrLogsItsFailure) {
  Start();
  int runs = 0;
  plugin->ScheduleAt("past", steady_clock::now() - seconds(5), [&] { ++runs; });
  plugin->ScheduleAt("future", steady_clock::now() + seconds(30), [&] { runs += 10; });
  plugin->ScheduleAt("boom", steady_clock::now(), [] { throw std::runtime_error("kaboom"); });
  plugin->ScheduleAt("empty", steady_clock::now(), Job());
  const std::vector<ScheduledJob> jobs = host.Jobs();
  ASSERT_EQ(jobs.size(), 4u);
  EXPECT_EQ(jobs[0].name, "past");
  EXPECT_EQ(jobs[0].delay, 0.0);
  EXPECT_FALSE(std::signbit(jobs[0].delay));
  EXPECT_EQ(jobs[0].flag, 0u);
  EXPECT_GT(jobs[1].delay, 29.0);
  EXPECT_LE(jobs[1].delay, 30.0);
  EXPECT_EQ(plugin->PendingJobCount(), 4u);

  host.RunJob(0);
  host.RunJob(0);  // a host that calls twice runs nothing the second time
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(plugin->PendingJobCount(), 3u);
  host.RunJob(1);
  EXPECT_EQ(runs, 11);
  host.RunJob(2);
  host.RunJob(3);
  EXPECT_EQ(plugin->PendingJobCount(), 0u);
  EXPECT_EQ(host.Logs(), (Logs{{2, "qel-mhx: Job boom failed: kaboom"},
                               {2, "qel-mhx: Job empty failed: bad_function_call"}}));
}

TEST_F(PluginTest, AJobTheHostRefusesLeavesNoEntryAndNoToken) {
  Load();  // before Start there is no host table, so ScheduleJob answers -1
  const size_t tokens = CallbackGate::LiveTokenCount();
  int runs = 0;
  plugin->ScheduleAt("refused", steady_clock::now(), [&] { ++runs; });
  EXPECT_EQ(plugin->PendingJobCount(), 0u);
  EXPECT_EQ(CallbackGate::LiveTokenCount(), tokens);
  EXPECT_TRUE(host.Jobs().empty());
  EXPECT_EQ(runs, 0);
}

TEST_F(PluginTest, UnloadUnsubscribesEachHandledEventOnceWithThePluginsHandle) {
  Start([](TestPlugin& self) {
    self.Subscribe("/qel-login/v1/session");
    self.Subscribe("/qel-login/v1/session/extra");
    self.Subscribe("/qel-mhx/v2/recently-played-champions/1");
  });
  const size_t before = CallbackGate::LiveTokenCount();
  Unload();
  std::vector<std::string> unsubscribed = host.Unsubscriptions();
  std::sort(unsubscribed.begin(), unsubscribed.end());
  EXPECT_EQ(unsubscribed,
            (std::vector<std::string>{"OnJsonApiEvent_qel-login_v1_session",
                                      "OnJsonApiEvent_qel-mhx_v2_recently-played-champions",
                                      "OnServiceProxyAsyncEvent", "OnServiceProxyMethodEvent",
                                      "OnServiceProxyUuidEvent"}));
  for (const std::string& call : host.Calls()) {
    EXPECT_TRUE(!call.starts_with("UnsubscribeEvent:") || call.ends_with(":23130")) << call;
  }
  EXPECT_EQ(CallbackGate::LiveTokenCount(), before - 1);  // the event token is withdrawn
}

TEST_F(PluginTest, StopKeepsCountsAndJobsAndEmptiesTheServiceProxyTables) {
  const char* kUri = "/qel-login/v1/session";
  Start([&](TestPlugin& self) {
    self.Subscribe(kUri);
    self.Subscribe(kUri);
  });
  plugin->ScheduleAt("job", std::chrono::steady_clock::now(), [] {});
  const auto held = std::make_shared<int>(0);  // owned by the two callables below
  plugin->AddServiceRequest("waiting", [held](const PluginServiceProxyResponse&) {});
  plugin->AddAsyncServiceHandler("svc.method", [held](const PluginServiceProxyResponse&) {});
  host.DeliverJson("OnServiceProxyUuidEvent", R"({"uuid":"unclaimed"})");
  ASSERT_EQ(plugin->ReceivedServiceResponseCount(), 1u);
  ASSERT_EQ(held.use_count(), 3);
  plugin->Stop();
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 0u);
  EXPECT_EQ(plugin->PendingJobCount(), 1u);
  // The count of 2 survived: a third Subscribe and two Unsubscribes leave the host alone, the
  // last Unsubscribe unsubscribes.
  const size_t calls = host.Calls().size();
  plugin->Subscribe(kUri);
  plugin->Unsubscribe(kUri);
  plugin->Unsubscribe(kUri);
  EXPECT_EQ(host.Calls().size(), calls);
  plugin->Unsubscribe(kUri);
  EXPECT_EQ(host.Calls().back(), "UnsubscribeEvent:OnJsonApiEvent_qel-login_v1_session:23130");
}

TEST_F(PluginTest, LateJobAndEventCallbacksAfterUnloadAreHarmless) {
  int runs = 0;
  int events = 0;
  Start([&](TestPlugin& self) {
    self.ObserveResource("/a/v1/b/*", [&](const PluginResourceEvent&) { ++events; });
    self.ScheduleAt("late", steady_clock::now(), [&] { ++runs; });
  });
  const char* event = R"({"uri":"/a/v1/b/x","eventType":"Update"})";
  EXPECT_TRUE(host.DeliverJson("OnJsonApiEvent_a_v1_b", event));
  Unload();
  host.RunJob(0);
  EXPECT_TRUE(host.DeliverJson("OnJsonApiEvent_a_v1_b", event));
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(events, 1);
}

TEST_F(PluginTest, MemoryStatsAreTheSixCountersLowWordFirst) {
  Log::InstallAllocationTracking();
  Log::Free(Log::Allocate(100));
  Load();
  uint32_t words[14];
  std::fill(std::begin(words), std::end(words), 0xFFFFFFFFu);
  descriptor.callbacks->GetMemoryStats(descriptor.context, words);
  const Log::AllocationCounters counters = Log::ReadAllocationCounters();
  const uint64_t expected[6] = {counters.peakBytes,      counters.liveAllocationsAtPeak,
                                counters.bytesAllocated, counters.allocations,
                                counters.bytesFreed,     counters.frees};
  for (size_t i = 0; i < 6; ++i)
    EXPECT_EQ(words[2 * i] | (uint64_t{words[2 * i + 1]} << 32), expected[i]) << i;
  EXPECT_GE(counters.allocations, 1u);
  EXPECT_EQ(words[12], 0u);
  EXPECT_EQ(words[13], 0u);
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
