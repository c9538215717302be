// Registration, start, the log target, jobs, memory statistics, stop and unload, with the plugin
// loaded into the host core.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <stdexcept>

#include "log/allocation_hooks.h"
#include "log/logger.h"
#include "plugin/callback_gate.h"
#include "plugin_host.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;

TEST_F(PluginTest, RegisterAnswersTheDescriptorAndStartSubscribesTheServiceProxyEventsFirst) {
  Load({18, 4, 2});
  const Host::ModuleInfo info = host->Module(id).Value();
  EXPECT_EQ(info.moduleVersion.minor + info.moduleVersion.patch, 0u);  // its own 18.0.0
  EXPECT_EQ(info.shortName, "qel-mhx");
  EXPECT_EQ(info.exportTable, &plugin->ExportTable());
  EXPECT_EQ(info.routeCount, 5u);
  EXPECT_EQ(plugin->ApiName(), "QelMhx");
  EXPECT_EQ(plugin->ApiCategoryPath(), (Lines{"Plugins", "Plugin qel-mhx"}));
  // The framework's types and events come before the feature's API.
  EXPECT_TRUE(plugin->typesBeforeApi);
  EXPECT_EQ(plugin->Api().FindEvent("OnJsonApiEvent")->dataType->fields.at(1).name, "eventType");
  size_t callsBeforeOnStart = 0;
  ASSERT_TRUE(Start([&](TestPlugin&) { callsBeforeOnStart = tap.Calls().size(); }));
  EXPECT_EQ(callsBeforeOnStart, 3u);
  EXPECT_EQ(tap.Calls(),
            (Lines{"Subscribe OnServiceProxyUuidEvent 1", "Subscribe OnServiceProxyMethodEvent 1",
                   "Subscribe OnServiceProxyAsyncEvent 1"}));
  EXPECT_EQ(plugin->PluginHandle(), id);
  EXPECT_EQ(plugin->UserAgent(), "OxleClient/18.4.2 (qel-mhx)");
  EXPECT_TRUE(LogLines().empty());  // the core took every subscription as its own module's
}

TEST(PluginExport, AnIncompatibleCoreEndsTheProcessAfterTheAssertionReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto load = [](uint32_t major, uint32_t minor, uint32_t patch) {
    PluginDescriptor words{major, minor, patch, nullptr, nullptr, nullptr, nullptr};
    (void)ExportPlugin<TestPlugin>(&words, "qel-mhx");
    std::exit(0);  // not reached when refused
  };
  const auto refused = ::testing::KilledBySignal(SIGABRT);
  const char* report = " ERROR\\| Assertion failed!\n\nExpression: ALE-EECF0606\n";
  EXPECT_EXIT(load(17, 0, 0), refused, report);
  EXPECT_EXIT(load(17, 9, 9), refused, report);
  EXPECT_EXIT(load(19, 0, 0), refused, report);
}

TEST_F(PluginTest, AFalseOnStartFailsTheStart) {
  Load().startResult = false;
  EXPECT_FALSE(Start());
}

TEST_F(PluginTest, StartReplacesTheConsoleTargetsByTheHostsLogAndASecondStartKeepsIt) {
  ASSERT_TRUE(Start());
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
  auto secondLogs = std::make_shared<Host::MemoryLogSink>();
  Host::Host second({{}, Host::HostMode::Manual, 1, secondLogs, nullptr});
  const auto other = second.LoadModule(
      [](PluginDescriptor* words) { return ExportPlugin<TestPlugin>(words, "other"); }, "other");
  ASSERT_TRUE(second.StartModule(other.Value()).Ok());
  EXPECT_EQ(logger.AttachedTargets(), before);
  EXPECT_EQ(logger.MinimumLevel(), 2);
  Log::Log(Log::ERROR, 1, 0, "still to the first host");
  EXPECT_TRUE(second.UnloadModule(other.Value()).Ok());
  EXPECT_EQ(LogLines(), (Lines{"0 hello 5", "2 still to the first host"}));
  EXPECT_TRUE(secondLogs->Entries().empty());
}

TEST_F(PluginTest, ScheduleAtPassesTheRemainingDelayAndRunsTheJobOnceOrLogsItsFailure) {
  ASSERT_TRUE(Start());
  int runs = 0;
  plugin->ScheduleAt("past", steady_clock::now() - seconds(5), [&] { ++runs; });
  plugin->ScheduleAt("future", steady_clock::now() + seconds(30), [&] { runs += 10; });
  plugin->ScheduleAt("boom", steady_clock::now(), [] { throw std::runtime_error("kaboom"); });
  plugin->ScheduleAt("empty", steady_clock::now(), Job());
  EXPECT_EQ(tap.Calls().back(), "ScheduleJob empty 0");
  EXPECT_EQ(tap.Scheduled(0).delay, 0.0);
  EXPECT_FALSE(std::signbit(tap.Scheduled(0).delay));
  EXPECT_GT(tap.Scheduled(1).delay, 29.0);
  EXPECT_LE(tap.Scheduled(1).delay, 30.0);
  EXPECT_EQ(plugin->PendingJobCount(), 4u);
  EXPECT_EQ(host->RunDueWork(), 3u);
  tap.RunJob(0);  // a host that calls twice runs nothing the second time
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(plugin->PendingJobCount(), 1u);
  EXPECT_TRUE(host->AdvanceClock(seconds(30)));
  EXPECT_EQ(host->RunDueWork(), 1u);
  EXPECT_EQ(runs, 11);
  EXPECT_EQ(plugin->PendingJobCount(), 0u);
  EXPECT_EQ(LogLines(), (Lines{"2 qel-mhx: Job boom failed: kaboom",
                               "2 qel-mhx: Job empty failed: bad_function_call"}));
}

TEST_F(PluginTest, AJobWithoutAHostTableLeavesNoEntryAndNoToken) {
  Load();  // before Start there is no host table, so ScheduleJob answers -1
  const size_t tokens = CallbackGate::LiveTokenCount();
  plugin->ScheduleAt("refused", steady_clock::now(), [] {});
  EXPECT_EQ(plugin->PendingJobCount(), 0u);
  EXPECT_EQ(CallbackGate::LiveTokenCount(), tokens);
}

TEST_F(PluginTest, StopKeepsCountsAndJobsAndLeavesTheHostNothingToDeliver) {
  const char* kUri = "/qel-login/v1/session";
  int events = 0;
  ASSERT_TRUE(Start([&](TestPlugin& self) {
    self.ObserveResource(kUri, [&](const PluginResourceEvent&) { ++events; });
    self.Subscribe(kUri);
  }));
  plugin->ScheduleAt("job", steady_clock::now() + seconds(1), [] {});
  const auto held = std::make_shared<int>(0);  // owned by the two callables below
  plugin->AddServiceRequest("waiting", [held](const PluginServiceProxyResponse&) {});
  plugin->AddAsyncServiceHandler("svc.method", [held](const PluginServiceProxyResponse&) {});
  ASSERT_TRUE(tap.Deliver("OnServiceProxyUuidEvent", R"({"uuid":"unclaimed"})"));
  ASSERT_EQ(plugin->ReceivedServiceResponseCount(), 1u);
  ASSERT_EQ(held.use_count(), 3);
  const size_t before = tap.Calls().size();
  plugin->Stop();  // unsubscribes each handled name once
  Lines stopped = tap.Calls();
  stopped.erase(stopped.begin(), stopped.begin() + static_cast<long>(before));
  std::sort(stopped.begin(), stopped.end());
  EXPECT_EQ(stopped,
            (Lines{"Unsubscribe OnJsonApiEvent_qel-login_v1_session",
                   "Unsubscribe OnServiceProxyAsyncEvent", "Unsubscribe OnServiceProxyMethodEvent",
                   "Unsubscribe OnServiceProxyUuidEvent"}));
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 0u);
  EXPECT_EQ(plugin->PendingJobCount(), 1u);
  (void)host->SetResource(kUri, Json("1"));
  EXPECT_EQ(host->RunDueWork(), 2u);
  EXPECT_EQ(events, 0);
  // The count of 2 survived: a third Subscribe and two Unsubscribes leave the host alone, the
  // last Unsubscribe unsubscribes.
  const size_t calls = tap.Calls().size();
  plugin->Subscribe(kUri);
  plugin->Unsubscribe(kUri);
  plugin->Unsubscribe(kUri);
  EXPECT_EQ(tap.Calls().size(), calls);
  plugin->Unsubscribe(kUri);
  EXPECT_EQ(tap.Calls().back(), "Unsubscribe OnJsonApiEvent_qel-login_v1_session");
  // Stop had unsubscribed the name at the host already.
  EXPECT_EQ(LogLines(),
            Lines{"1 Module 'qel-mhx': UnsubscribeEvent of "
                  "'OnJsonApiEvent_qel-login_v1_session', which it has no subscription to"});
  const size_t tokens = CallbackGate::LiveTokenCount();
  Unload();
  EXPECT_EQ(CallbackGate::LiveTokenCount(), tokens - 2);  // the events' and the job's
}

TEST_F(PluginTest, MemoryStatsAreTheSixAllocationCounters) {
  Log::InstallAllocationTracking();
  Log::Free(Log::Allocate(100));
  Load();
  const Host::ModuleMemoryStats stats = host->GetMemoryStats(id).Value();
  const Log::AllocationCounters c = Log::ReadAllocationCounters();
  EXPECT_GE(c.allocations, 1u);
  EXPECT_EQ(stats, (Host::ModuleMemoryStats{c.peakBytes, c.liveAllocationsAtPeak, c.bytesAllocated,
                                            c.allocations, c.bytesFreed, c.frees}));
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
