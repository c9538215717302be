// A PluginBase plugin loaded into the host core through its export function: version and
// descriptor, names, start and the log target, routes, requests out through the host, jobs on
// the manual clock, unload and memory statistics.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>

#include "hosted_plugin.h"
#include "log/allocation_hooks.h"
#include "log/log_record.h"
#include "log/logger.h"

namespace PluginHostTest {
namespace {

using namespace Oxle::Client::Host;
using std::chrono::seconds;
using std::chrono::steady_clock;

// ---- loading ----

TEST(PluginHostLoad, ACompatibleCoreIsAcceptedAndTheDescriptorCarriesThePluginsWords) {
  const CoreVersion accepted[] = {{18, 0, 0}, {18, 3, 1}, {18, 0, 7}, {18, 99, 0}};
  for (const CoreVersion& core : accepted) {
    HostedPair pair(HostMode::Manual, core);
    ASSERT_NE(pair.probe, nullptr);
    const ModuleInfo info = pair.host->Module(pair.probeId).Value();
    EXPECT_EQ(info.shortName, "qel-probe");
    EXPECT_EQ(info.moduleVersion.major, 18u);  // the plugin's own 18.0.0, not the core's
    EXPECT_EQ(info.moduleVersion.minor, 0u);
    EXPECT_EQ(info.moduleVersion.patch, 0u);
    EXPECT_EQ(info.object, static_cast<void*>(pair.probe));
    EXPECT_EQ(info.exportTable, &pair.probe->ExportTable());
    EXPECT_EQ(info.routeCount, kRouteCount);
    EXPECT_EQ(info.state, ModuleState::Loaded);
    const std::string version = std::to_string(core.major) + "." + std::to_string(core.minor) +
                                "." + std::to_string(core.patch);
    EXPECT_EQ(pair.probe->CoreApiVersion().ToString(), version);
  }
}

TEST(PluginHostLoad, AnIncompatibleCoreEndsTheProcessWithTheAssertionReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const CoreVersion refused[] = {{17, 9, 9}, {19, 0, 0}, {17, 0, 0}};
  for (const CoreVersion& core : refused) {
    EXPECT_DEATH(
        {
          HostOptions options;
          options.mode = HostMode::Manual;
          options.coreVersion = core;
          Host::Host host(options);
          (void)host.LoadModule(&tpk_probe_load, "probe");
        },
        "ERROR\\| Assertion failed!\n\nExpression: ALE-EECF0606");
  }
}

TEST(PluginHostLoad, ThePluginsNamesAndExportedFunctionsComeFromItsShortName) {
  HostedPair pair;
  const HostedPlugin& probe = *pair.probe;
  EXPECT_EQ(probe.Name().fullName, "tpk-be-qel-probe");
  EXPECT_EQ(probe.Name().shortName, "qel-probe");
  EXPECT_EQ(probe.ApiName(), "QelProbe");
  EXPECT_EQ(probe.ApiCategoryPath(), (std::vector<std::string>{"Plugins", "Plugin qel-probe"}));
  const ApiExportTable* table = pair.host->Module(pair.probeId).Value().exportTable;
  ASSERT_NE(table, nullptr);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < table->entryCount; ++i) {
    const char* name = table->entries[i].function.name;  // a packed field: read by value
    names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{
                       "GetQelProbeV1EchoByText", "GetQelProbeV1Fail", "GetQelProbeV1ItemsById",
                       "GetQelProbeV1ItemsCurrent", "GetQelProbeV1Relay", "GetQelProbeV1SumVia",
                       "PostQelProbeV1Fetch", "PostQelProbeV1StateByN", "PostQelProbeV1Sum",
                       "PostQelProbeV1Ticks", "PostQelProbeV1Toggle"}));
}

// ---- start ----

TEST(PluginHostStart, StartSubscribesTheServiceProxyEventsThenOnStartObservesAndReads) {
  HostedPair pair;
  (void)pair.host->SetResource(kSessionUri, Json(R"({"state":"SUCCEEDED"})"));
  EXPECT_EQ(pair.host->RunDueWork(), 2u);  // nobody subscribed yet
  pair.StartProbe();
  EXPECT_EQ(pair.host->Module(pair.probeId).Value().state, ModuleState::Started);
  EXPECT_EQ(pair.recorder.Calls(),
            (std::vector<std::string>{
                "SubscribeEvent OnServiceProxyUuidEvent 1",
                "SubscribeEvent OnServiceProxyMethodEvent 1",
                "SubscribeEvent OnServiceProxyAsyncEvent 1",
                std::string("SubscribeEvent ") + kSessionEvent + " 0",
                std::string("SendRequest ") + kSessionUri,
                std::string("SendRequest ") + kSessionExtraUri,  // same name: no second subscribe
                std::string("SubscribeEvent ") + kChampionsEvent + " 0",  // the pattern: no read
                std::string("SendRequest ") + kChampionSevenUri,
            }));
  EXPECT_EQ(pair.recorder.Handles(), std::vector<uint32_t>(5, pair.probeId));
  // Only the stored resource answered its read; the host's store answered it.
  EXPECT_EQ(pair.probeSeen->Events(),
            std::vector<std::string>{R"(session /qel-login/v1/session 0 {"state":"SUCCEEDED"})"});
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostStart, TheUserAgentOfAnExternalRequestNamesTheHostsCoreVersion) {
  struct Case {
    CoreVersion core;
    const char* agent;
  };
  const Case cases[] = {{{18, 3, 1}, "OxleClient/18.3.1 (qel-probe)"},
                        {{18, 0, 0}, "OxleClient/18.0.0 (qel-probe)"},
                        {{18, 12, 40}, "OxleClient/18.12.40 (qel-probe)"}};
  for (const Case& c : cases) {
    HostedPair pair(HostMode::Manual, c.core);
    std::vector<ExternalRequest> sent;
    struct Recording final : ExternalTransport {
      explicit Recording(std::vector<ExternalRequest>& into) : requests(into) {}
      ExternalAnswer Send(const ExternalRequest& request) override {
        requests.push_back(request);
        return {kTransportCompleted, 204, {}, ""};
      }
      std::vector<ExternalRequest>& requests;
    };
    pair.host->SetTransport(std::make_shared<Recording>(sent));
    pair.StartProbe();
    EXPECT_EQ(pair.probe->UserAgent(), c.agent);
    (void)pair.Call(6, "/qel-probe/v1/fetch");
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_FALSE(sent[0].headers.empty());
    EXPECT_EQ(sent[0].headers[0], (std::pair<std::string, std::string>{"user-agent", c.agent}));
  }
}

TEST(PluginHostStart, LogLinesReachTheHostsSinkWithTheirLevel) {
  HostedPair pair;
  pair.StartProbe();
  EXPECT_EQ(Log::Logger::Instance().MinimumLevel(), Log::OKAY);
  const ApiCallResult echo = pair.Call(2, "/qel-probe/v1/echo/hello");
  ASSERT_EQ(echo.status, 200u);
  Log::Log(Log::OKAY, 1, 0, "okay %d", 0);
  Log::Log(Log::ERROR, 1, 0, "error %s", "two");
  Log::Log(Log::ALWAYS, 0, 0, "always");
  Log::Log(Log::ERROR, 4, 0, "excluded by category");
  const std::vector<LogEntry> expected = {{kLogWarn, "qel-probe", "qel-probe: echo hello"},
                                          {kLogOkay, "qel-probe", "okay 0"},
                                          {kLogError, "qel-probe", "error two"},
                                          {kLogAlways, "qel-probe", "always"}};
  EXPECT_EQ(pair.logs->Entries(), expected);
}

TEST(PluginHostStart, ASecondPluginsStartKeepsTheFirstLogTarget) {
  HostedPair pair;
  pair.LoadPeer();
  pair.StartProbe();
  Log::Logger& logger = Log::Logger::Instance();
  const std::vector<Log::LogTargetHandle*> before = logger.AttachedTargets();
  ASSERT_EQ(before.size(), 1u);
  ASSERT_EQ(before[0], logger.FindTarget("PluginLogTarget"));
  logger.SetMinimumLevel(Log::WARN);
  pair.StartPeer();
  EXPECT_EQ(logger.AttachedTargets(), before);
  EXPECT_EQ(logger.MinimumLevel(), Log::WARN);
  // The logger is the process's: the peer's line goes out once, through the first target.
  ASSERT_EQ(pair.Call(2, "/qel-peer/v1/echo/x").status, 200u);
  EXPECT_EQ(pair.logs->Entries(),
            (std::vector<LogEntry>{{kLogWarn, "qel-probe", "qel-peer: echo x"}}));
}

// ---- routes and requests ----

TEST(PluginHostRoutes, TheHostsCallsReachThePluginsRoutesAndTheirAnswers) {
  HostedPair pair;
  pair.StartProbe();
  struct Case {
    uint32_t method;
    const char* target;
    bool failed;
    uint32_t status;
    const char* value;  // JSON, or the error message
  };
  const Case cases[] = {
      {2, "/qel-probe/v1/echo/a%20b", false, 200,
       R"({"caller":0,"target":"/qel-probe/v1/echo/a%20b","text":"a b"})"},
      {2, "/qel-probe/v1/echo/a?x=1", true, 400,
       "Unknown argument 'x' for 'GetQelProbeV1EchoByText'."},
      {2, "/qel-probe/v1/items/5", false, 200, R"({"item":5})"},
      {2, "/qel-probe/v1/items/current", false, 200, R"({"item":"current"})"},
      {2, "/qel-probe/v1/fail", true, 409, "the probe refused"},
      {6, "/qel-probe/v1/echo/a", true, 405,
       "POST is not served at /qel-probe/v1/echo/a (allowed: GET)"},
      {2, "/qel-probe/v1/items/x", true, 400,
       "Value x for 'id' of type uint64 is in an incorrect format"},
  };
  for (const Case& c : cases) {
    const ApiCallResult call = pair.Call(c.method, c.target);
    EXPECT_EQ(call.failed, c.failed) << c.target;
    EXPECT_EQ(call.status, c.status) << c.target;
    EXPECT_EQ(c.failed ? call.errorMessage : Json(call.value), c.value) << c.target;
  }
}

TEST(PluginHostRoutes, APluginsApiCallsGoThroughTheHostToRoutesAndTheStore) {
  HostedPair pair;
  pair.LoadPeer();
  (void)pair.host->SetResource(kSessionUri, Json(R"({"state":"SUCCEEDED"})"));
  (void)pair.host->RunDueWork();
  pair.StartProbe();
  pair.StartPeer();
  const std::string caller = std::to_string(pair.probeId);
  struct Case {
    std::string target;
    bool failed;
    uint32_t status;
    std::string value;  // JSON, or the error message
  };
  const Case cases[] = {
      {"/qel-probe/v1/relay?target=/qel-peer/v1/items/5", false, 200, R"({"item":5})"},
      {"/qel-probe/v1/relay?target=/qel-peer/v1/echo/hi", false, 200,
       R"({"caller":)" + caller + R"(,"target":"/qel-peer/v1/echo/hi","text":"hi"})"},
      {"/qel-probe/v1/relay?target=/qel-probe/v1/items/current", false, 200,
       R"({"item":"current"})"},
      {"/qel-probe/v1/relay?target=/qel-login/v1/session", false, 200, R"({"state":"SUCCEEDED"})"},
      {"/qel-probe/v1/relay?target=/qel-peer/v1/fail", true, 409,
       "Error response for GET /qel-peer/v1/fail: the probe refused"},
      {"/qel-probe/v1/relay?target=/nowhere", true, 404,
       "Error response for GET /nowhere: No API function or resource answers GET /nowhere"},
      {"/qel-probe/v1/sum-via?target=/qel-peer/v1/sum", false, 200, R"({"sum":42})"},
      {"/qel-probe/v1/sum-via?target=/qel-peer/v1/items/5", true, 405,
       "Error response for POST /qel-peer/v1/items/5: POST is not served at /qel-peer/v1/items/5 "
       "(allowed: GET)"},
  };
  for (const Case& c : cases) {
    const ApiCallResult call = pair.Call(2, c.target);
    EXPECT_EQ(call.failed, c.failed) << c.target;
    EXPECT_EQ(call.status, c.status) << c.target;
    EXPECT_EQ(c.failed ? call.errorMessage : Json(call.value), c.value) << c.target;
  }
  EXPECT_EQ(pair.logs->Entries(),
            (std::vector<LogEntry>{{kLogWarn, "qel-probe", "qel-peer: echo hi"}}));
}

// Answers from a script and records what it was asked.
class ScriptedTransport final : public ExternalTransport {
 public:
  ExternalAnswer Send(const ExternalRequest& request) override {
    std::lock_guard lock(mutex_);
    requests.push_back(request);
    if (script.empty()) throw std::runtime_error("the line is down");
    ExternalAnswer answer = script.front();
    script.erase(script.begin());
    return answer;
  }
  std::vector<ExternalRequest> requests;
  std::vector<ExternalAnswer> script;

 private:
  std::mutex mutex_;
};

TEST(PluginHostRoutes, AnExternalRequestGoesThroughTheTransportAndItsAnswerBack) {
  HostedPair pair;
  pair.StartProbe();
  auto transport = std::make_shared<ScriptedTransport>();
  transport->script.push_back(
      {kTransportCompleted, 200, {{"content-type", "application/json"}}, R"({"games":[1,2]})"});
  transport->script.push_back({kTransportCompleted, 503, {}, "not json"});
  transport->script.push_back({7, 0, {}, "timed out"});
  pair.host->SetTransport(transport);
  const std::string answers[] = {
      R"({"body":{"games":[1,2]},"connectionError":0,"error":"",)"
      R"("headers":{"content-type":"application/json"},"mark":0,"status":200})",
      R"({"body":"not json","connectionError":0,"error":"Error deserializing json response for )"
      R"(POST https://games.example.invalid/v1/games/7: Error: Invalid value. at offset 1. given body not json",)"
      R"("headers":{},"mark":1,"status":503})",
      R"({"body":null,"connectionError":1,"error":"timed out","headers":{},"mark":-1,"status":0})",
      R"({"body":null,"connectionError":1,"error":"The transport failed: the line is down",)"
      R"("headers":{},"mark":-1,"status":0})",
  };
  for (const std::string& expected : answers) {
    const ApiCallResult call = pair.Call(6, "/qel-probe/v1/fetch");
    EXPECT_EQ(call.status, 200u);
    EXPECT_EQ(Json(call.value), expected);
  }
  ASSERT_EQ(transport->requests.size(), 4u);
  const ExternalRequest expected{
      6,
      kExternalUrl,
      {{"user-agent", "OxleClient/18.3.1 (qel-probe)"}, {"REGION", "EUW1"}},
      R"({"n":1})",
      30,
      2};
  for (const ExternalRequest& request : transport->requests)
    EXPECT_EQ(request, expected);

  pair.host->SetTransport(nullptr);
  EXPECT_EQ(Json(pair.Call(6, "/qel-probe/v1/fetch").value),
            R"({"body":null,"connectionError":1,)"
            R"("error":"No transport is configured for external requests","headers":{},)"
            R"("mark":-1,"status":0})");
  EXPECT_EQ(pair.recorder.Calls("SendExternalRequest"),
            std::vector<std::string>(5, std::string("SendExternalRequest ") + kExternalUrl));
  EXPECT_TRUE(pair.logs->Entries().empty());
}

// ---- jobs ----

TEST(PluginHostJobs, APastDeadlineIsDueAtOnceWithADelayOfExactlyZero) {
  HostedPair pair;
  pair.StartProbe();
  pair.probe->ScheduleTick(steady_clock::now() - seconds(5));
  const std::vector<double> delays = pair.recorder.Delays();
  ASSERT_EQ(delays.size(), 1u);
  EXPECT_EQ(delays[0], 0.0);
  EXPECT_FALSE(std::signbit(delays[0]));
  EXPECT_EQ(pair.recorder.Calls("ScheduleJob"),
            std::vector<std::string>{std::string("ScheduleJob ") + kTickJob});
  EXPECT_EQ(pair.host->RunDueWork(), 1u);  // the clock has not moved
  EXPECT_EQ(pair.probeSeen->ticks.load(), 1);
  EXPECT_EQ(pair.probe->PendingJobCount(), 0u);
  EXPECT_EQ(pair.host->RunDueWork(), 0u);
}

TEST(PluginHostJobs, AFutureDeadlineRunsOnlyOnceTheClockHasReachedIt) {
  HostedPair pair;
  pair.StartProbe();
  pair.probe->ScheduleTick(steady_clock::now() + seconds(3600));
  const std::vector<double> delays = pair.recorder.Delays();
  ASSERT_EQ(delays.size(), 1u);
  EXPECT_GT(delays[0], 3590.0);
  EXPECT_LE(delays[0], 3600.0);
  EXPECT_EQ(pair.host->RunDueWork(), 0u);
  EXPECT_TRUE(pair.host->AdvanceClock(seconds(1800)));
  EXPECT_EQ(pair.host->RunDueWork(), 0u);
  EXPECT_EQ(pair.probeSeen->ticks.load(), 0);
  EXPECT_EQ(pair.probe->PendingJobCount(), 1u);
  EXPECT_TRUE(pair.host->AdvanceClock(seconds(1800)));
  EXPECT_EQ(pair.host->RunDueWork(), 1u);
  EXPECT_EQ(pair.probeSeen->ticks.load(), 1);
  EXPECT_EQ(pair.probe->PendingJobCount(), 0u);
}

TEST(PluginHostJobs, AJobScheduledJustBeforeUnloadNeverRuns) {
  HostedPair pair;
  pair.StartProbe();
  pair.probe->ScheduleTick(steady_clock::now());
  ASSERT_EQ(pair.Call(6, "/qel-probe/v1/ticks").status, 202u);
  EXPECT_EQ(pair.host->PendingJobCount(), 2u);
  ASSERT_TRUE(pair.host->UnloadModule(pair.probeId).Ok());
  EXPECT_EQ(pair.host->PendingJobCount(), 0u);
  (void)pair.host->AdvanceClock(seconds(60));
  EXPECT_EQ(pair.host->RunDueWork(), 0u);
  EXPECT_EQ(pair.probeSeen->ticks.load(), 0);
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostJobs, AThrowingJobIsLoggedAtErrorAndTheHostGoesOn) {
  HostedPair pair;
  pair.StartProbe();
  pair.probe->ScheduleAt("qel-probe.boom", steady_clock::now(),
                         [] { throw std::runtime_error("kaboom"); });
  pair.probe->ScheduleAt("qel-probe.empty", steady_clock::now(), Plugin::Job());
  pair.probe->ScheduleTick(steady_clock::now());
  EXPECT_EQ(pair.host->RunDueWork(), 3u);
  EXPECT_EQ(pair.probeSeen->ticks.load(), 1);
  const std::vector<LogEntry> expected = {
      {kLogError, "qel-probe", "qel-probe: Job qel-probe.boom failed: kaboom"},
      {kLogError, "qel-probe", "qel-probe: Job qel-probe.empty failed: bad_function_call"}};
  EXPECT_EQ(pair.logs->Entries(), expected);  // and nothing of the host's own
  EXPECT_EQ(pair.host->Module(pair.probeId).Value().state, ModuleState::Started);
  EXPECT_EQ(pair.Call(2, "/qel-probe/v1/items/1").status, 200u);
}

// ---- unload ----

TEST(PluginHostUnload, UnloadUnsubscribesEachHandledEventNameExactlyOnce) {
  HostedPair pair;
  pair.StartProbe();
  ASSERT_EQ(pair.Call(6, "/qel-probe/v1/toggle").status, 200u);  // subscribed and dropped again
  ASSERT_TRUE(pair.host->UnloadModule(pair.probeId).Ok());
  std::vector<std::string> unsubscribed = pair.recorder.Calls("UnsubscribeEvent");
  std::sort(unsubscribed.begin(), unsubscribed.end());
  EXPECT_EQ(unsubscribed, (std::vector<std::string>{
                              std::string("UnsubscribeEvent ") + kSessionEvent,
                              std::string("UnsubscribeEvent ") + kChampionsEvent,
                              std::string("UnsubscribeEvent ") + kToggleEvent,
                              "UnsubscribeEvent OnServiceProxyAsyncEvent",
                              "UnsubscribeEvent OnServiceProxyMethodEvent",
                              "UnsubscribeEvent OnServiceProxyUuidEvent",
                          }));
  for (uint32_t handle : pair.recorder.Handles())
    EXPECT_EQ(handle, pair.probeId);
  EXPECT_EQ(pair.host->Module(pair.probeId).Value().state, ModuleState::Unloaded);
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostUnload, AStopWhileStartedLeavesTheHostWithNothingToDeliver) {
  HostedPair pair;
  pair.StartProbe();
  pair.probe->Stop();
  // A second unsubscription of a name would reach the host as a warning.
  EXPECT_EQ(pair.recorder.Calls("UnsubscribeEvent").size(), 5u);
  EXPECT_TRUE(pair.logs->Entries().empty());
  (void)pair.host->SetResource(kSessionUri, Json("1"));
  (void)pair.host->SetResource(kChampionSevenUri, Json("2"));
  EXPECT_EQ(pair.host->RunDueWork(), 4u);
  EXPECT_TRUE(pair.probeSeen->Events().empty());
  ASSERT_TRUE(pair.host->UnloadModule(pair.probeId).Ok());
  EXPECT_EQ(pair.recorder.Calls("UnsubscribeEvent").size(), 5u);  // Stop emptied the table
}

// ---- memory statistics ----

TEST(PluginHostMemory, TheHostReadsThePluginsAllocationCounters) {
  Log::InstallAllocationTracking();
  HostedPair pair;
  pair.StartProbe();
  auto same = [](const ModuleMemoryStats& stats, const Log::AllocationCounters& counters) {
    return stats == ModuleMemoryStats{counters.peakBytes,      counters.liveAllocationsAtPeak,
                                      counters.bytesAllocated, counters.allocations,
                                      counters.bytesFreed,     counters.frees};
  };
  const Log::AllocationCounters before = Log::ReadAllocationCounters();
  const Result<ModuleMemoryStats> first = pair.host->GetMemoryStats(pair.probeId);
  ASSERT_TRUE(first.Ok());
  EXPECT_TRUE(same(first.Value(), before));
  void* block = Log::Allocate(100);
  ASSERT_NE(block, nullptr);
  const size_t size = Log::AllocationSize(block);
  Log::Free(block);
  const ModuleMemoryStats second = pair.host->GetMemoryStats(pair.probeId).Value();
  EXPECT_TRUE(same(second, Log::ReadAllocationCounters()));
  EXPECT_EQ(second.allocations, first.Value().allocations + 1);
  EXPECT_EQ(second.bytesAllocated, first.Value().bytesAllocated + size);
  EXPECT_EQ(second.frees, first.Value().frees + 1);
  EXPECT_EQ(second.bytesFreed, first.Value().bytesFreed + size);
  ASSERT_TRUE(pair.host->UnloadModule(pair.probeId).Ok());
  EXPECT_EQ(pair.host->GetMemoryStats(pair.probeId).ErrorMessage(),
            "Module 'qel-probe' is unloaded");
}

}  // namespace
}  // namespace PluginHostTest
