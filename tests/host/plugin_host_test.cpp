// A PluginBase plugin loaded into the host core through its export function, one path per kind
// of wiring: the core version, start, routes and the log, requests out through the host, the
// store's events, publications, jobs on the manual clock, unload and memory statistics.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "hosted_plugin.h"
#include "log/allocation_hooks.h"

namespace PluginHostTest {
namespace {

using namespace Oxle::Client::Host;
using std::chrono::seconds;
using std::chrono::steady_clock;
using Lines = std::vector<std::string>;

TEST(PluginHostLoad, AnIncompatibleCoreEndsTheProcessWithTheAssertionReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const CoreVersion refused{19, 0, 0};
  EXPECT_DEATH(
      {
        HostOptions options;
        options.mode = HostMode::Manual;
        options.coreVersion = refused;
        Host::Host host(options);
        (void)host.LoadModule(&tpk_probe_load, "probe");
      },
      "ERROR\\| Assertion failed!\n\nExpression: ALE-EECF0606");
}

TEST(PluginHostStart, OnStartReadsTheStoreOnceAndLaterChangesArriveAsUpdateAndDelete) {
  HostedPair pair;
  // The store's publication is still queued when the plugin subscribes and reads the
  // resource: it belongs to the subscribers of its moment, so the plugin sees one Create.
  (void)pair.host->SetResource(kSessionUri, Json(R"({"state":"SUCCEEDED"})"));
  pair.StartProbe();
  EXPECT_EQ(pair.host->RunDueWork(), 2u);
  (void)pair.host->SetResource(kSessionUri, Json(R"({"state":"ERROR","id":7})"));
  (void)pair.host->SetResource(kChampionSevenUri, Json(R"({"x":1})"));
  EXPECT_TRUE(pair.host->DeleteResource(kSessionUri));
  EXPECT_EQ(pair.host->RunDueWork(), 6u);
  EXPECT_EQ(pair.probeSeen->Events(),
            (Lines{R"(session /qel-login/v1/session 0 {"state":"SUCCEEDED"})",
                   R"(session /qel-login/v1/session 1 {"id":7,"state":"ERROR"})",
                   R"(exact /qel-mhx/v2/recently-played-champions/7 0 {"x":1})",
                   R"(pattern /qel-mhx/v2/recently-played-champions/7 0 {"x":1})",
                   "session /qel-login/v1/session 2 "}));
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostRoutes, TheHostsAndThePluginsCallsReachRoutesAndTheStoreThroughTheHost) {
  HostedPair pair;
  pair.LoadPeer();
  (void)pair.host->SetResource(kSessionUri, Json(R"({"state":"SUCCEEDED"})"));
  pair.StartProbe();
  pair.StartPeer();
  (void)pair.host->RunDueWork();
  const std::string caller = std::to_string(pair.probeId);
  const std::string relay = "/qel-probe/v1/relay?target=";
  struct Case {
    uint32_t method;
    std::string target;
    uint32_t status;
    std::string answer;  // JSON, or the error message
  };
  const Case cases[] = {
      {2, "/qel-probe/v1/echo/a%20b", 200,
       R"({"caller":0,"target":"/qel-probe/v1/echo/a%20b","text":"a b"})"},
      {2, "/qel-probe/v1/echo/a?x=1", 400, "Unknown argument 'x' for 'GetQelProbeV1EchoByText'."},
      {2, "/qel-probe/v1/items/current", 200, R"({"item":"current"})"},
      {2, "/qel-probe/v1/items/x", 400,
       "Value x for 'id' of type uint64 is in an incorrect format"},
      {6, "/qel-probe/v1/echo/a", 405, "POST is not served at /qel-probe/v1/echo/a (allowed: GET)"},
      {2, relay + "/qel-peer/v1/items/5", 200, R"({"item":5})"},
      {2, relay + "/qel-peer/v1/echo/hi", 200,
       R"({"caller":)" + caller + R"(,"target":"/qel-peer/v1/echo/hi","text":"hi"})"},
      {2, relay + "/qel-login/v1/session", 200, R"({"state":"SUCCEEDED"})"},
      {2, relay + "/qel-peer/v1/fail", 409,
       "Error response for GET /qel-peer/v1/fail: the probe refused"},
      {2, relay + "/nowhere", 404,
       "Error response for GET /nowhere: No API function or resource answers GET /nowhere"},
      {2, "/qel-probe/v1/sum-via?target=/qel-peer/v1/sum", 200, R"({"sum":42})"},
      {2, "/qel-probe/v1/sum-via?target=/qel-peer/v1/items/5", 405,
       "Error response for POST /qel-peer/v1/items/5: POST is not served at /qel-peer/v1/items/5 "
       "(allowed: GET)"},
  };
  for (const Case& c : cases) {
    const ApiCallResult call = pair.Call(c.method, c.target);
    EXPECT_EQ(call.failed, c.status >= 400) << c.target;
    EXPECT_EQ(call.status, c.status) << c.target;
    EXPECT_EQ(call.failed ? call.errorMessage : Json(call.value), c.answer) << c.target;
  }
  EXPECT_EQ(HostTest::LogLines(*pair.logs),
            (Lines{"1 qel-probe: qel-probe: echo a b", "1 qel-probe: qel-peer: echo hi"}));
}

TEST(PluginHostRoutes, AnExternalRequestGoesThroughTheTransportAndItsAnswerBack) {
  HostedPair pair;
  pair.StartProbe();
  auto transport = std::make_shared<HostTest::ScriptedTransport>();
  transport->script.push_back(
      {kTransportCompleted, 200, {{"content-type", "application/json"}}, R"({"games":[1,2]})"});
  transport->script.push_back({7, 0, {}, "timed out"});
  pair.host->SetTransport(transport);
  const std::string answers[] = {
      R"({"body":{"games":[1,2]},"connectionError":0,"error":"",)"
      R"("headers":{"content-type":"application/json"},"mark":0,"status":200})",
      R"({"body":null,"connectionError":1,"error":"timed out","headers":{},"mark":-1,"status":0})",
      R"({"body":null,"connectionError":1,"error":"The transport failed: script exhausted",)"
      R"("headers":{},"mark":-1,"status":0})",
  };
  for (const std::string& expected : answers)
    EXPECT_EQ(Json(pair.Call(6, "/qel-probe/v1/fetch").value), expected);
  ASSERT_EQ(transport->requests.size(), 3u);
  const ExternalRequest expected{
      6,
      kExternalUrl,
      {{"user-agent", "OxleClient/18.3.1 (qel-probe)"}, {"REGION", "EUW1"}},
      R"({"n":1})",
      30,
      2};
  for (const ExternalRequest& request : transport->requests)
    EXPECT_EQ(request, expected);
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostEvents, APublishedResourceReachesTheStoreAndThePeersUnderBothNames) {
  HostedPair pair;
  pair.LoadPeer();
  pair.peer->onStart = [](HostedPlugin& self) {
    self.ObserveResource("/qel-probe/v1/state", self.Recording("state"));
    self.AddEventHandler("OnJsonApiEvent", self.Recording("any"), 0);
  };
  pair.StartProbe();
  pair.StartPeer();
  EXPECT_TRUE(pair.peerSeen->Events().empty());  // nothing stored yet: the read found nothing

  const ApiCallResult published = pair.Call(6, "/qel-probe/v1/state/5");
  ASSERT_FALSE(published.failed) << published.errorMessage;
  EXPECT_EQ(Json(pair.host->GetResource("/qel-probe/v1/state").value()), R"({"n":5})");
  EXPECT_EQ(pair.host->RunDueWork(), 2u);
  EXPECT_EQ(pair.peerSeen->Events(), (Lines{R"(state /qel-probe/v1/state 1 {"n":5})",
                                            R"(any /qel-probe/v1/state 1 {"n":5})"}));
  EXPECT_EQ(Json(pair.Call(2, "/qel-peer/v1/relay?target=/qel-probe/v1/state").value),
            R"({"n":5})");
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostJobs, JobsRunOnTheManualClockAndAThrowingOneIsLoggedByThePlugin) {
  HostedPair pair;
  pair.StartProbe();
  pair.probe->ScheduleTick(steady_clock::now() - seconds(5));
  pair.probe->ScheduleTick(steady_clock::now() + seconds(3600));
  pair.probe->ScheduleAt("qel-probe.boom", steady_clock::now(),
                         [] { throw std::runtime_error("kaboom"); });
  EXPECT_EQ(pair.host->RunDueWork(), 2u);  // the clock has not moved
  EXPECT_EQ(pair.probeSeen->ticks.load(), 1);
  EXPECT_TRUE(pair.host->AdvanceClock(seconds(3590)));
  EXPECT_EQ(pair.host->RunDueWork(), 0u);
  EXPECT_EQ(pair.probe->PendingJobCount(), 1u);
  EXPECT_TRUE(pair.host->AdvanceClock(seconds(10)));
  EXPECT_EQ(pair.host->RunDueWork(), 1u);
  EXPECT_EQ(pair.probeSeen->ticks.load(), 2);
  EXPECT_EQ(pair.probe->PendingJobCount(), 0u);
  EXPECT_EQ(HostTest::LogLines(*pair.logs),  // and nothing of the host's own
            Lines{"2 qel-probe: qel-probe: Job qel-probe.boom failed: kaboom"});
  EXPECT_EQ(pair.host->Module(pair.probeId).Value().state, ModuleState::Started);
}

TEST(PluginHostUnload, StopAndUnloadLeaveTheHostNothingToDeliverOrRun) {
  HostedPair pair;
  pair.StartProbe();
  ASSERT_EQ(pair.Call(6, "/qel-probe/v1/toggle").status, 200u);  // subscribed and dropped again
  pair.probe->Stop();
  (void)pair.host->SetResource(kSessionUri, Json("1"));
  (void)pair.host->SetResource(kChampionSevenUri, Json("2"));
  EXPECT_EQ(pair.host->RunDueWork(), 4u);
  EXPECT_TRUE(pair.probeSeen->Events().empty());
  pair.probe->ScheduleTick(steady_clock::now());
  ASSERT_EQ(pair.Call(6, "/qel-probe/v1/ticks").status, 202u);
  EXPECT_EQ(pair.host->PendingJobCount(), 2u);
  // An unsubscription of a name the host no longer holds would reach its log as a warning.
  ASSERT_TRUE(pair.host->UnloadModule(pair.probeId).Ok());
  EXPECT_EQ(pair.host->PendingJobCount(), 0u);
  EXPECT_EQ(pair.host->RunDueWork(), 0u);
  EXPECT_EQ(pair.probeSeen->ticks.load(), 0);
  EXPECT_EQ(pair.host->Module(pair.probeId).Value().state, ModuleState::Unloaded);
  EXPECT_TRUE(pair.logs->Entries().empty());
}

TEST(PluginHostUnload, TheHostReadsThePluginsAllocationCountersUntilUnload) {
  Log::InstallAllocationTracking();
  HostedPair pair;
  pair.StartProbe();
  const ModuleMemoryStats stats = pair.host->GetMemoryStats(pair.probeId).Value();
  const Log::AllocationCounters counters = Log::ReadAllocationCounters();
  EXPECT_EQ(stats, (ModuleMemoryStats{counters.peakBytes, counters.liveAllocationsAtPeak,
                                      counters.bytesAllocated, counters.allocations,
                                      counters.bytesFreed, counters.frees}));
  ASSERT_TRUE(pair.host->UnloadModule(pair.probeId).Ok());
  EXPECT_EQ(pair.host->GetMemoryStats(pair.probeId).ErrorMessage(),
            "Module 'qel-probe' is unloaded");
  EXPECT_TRUE(pair.logs->Entries().empty());
}

}  // namespace
}  // namespace PluginHostTest
