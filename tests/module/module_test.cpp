// The match-history module end to end through the host core, once per kind of wiring: a route
// through the host to the fake remote service and back, with the request's headers; a resource
// event delivered by the host, the job it schedules and the collection published in the host's
// store; and the module's allocation counters. The rules behind each are tested in tests/mhx.
// No token ever reaches a log line or an answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "log/allocation_hooks.h"
#include "module_test_support.h"

namespace ModuleTest {
namespace {

using Host::LogEntry;

const std::string kPublished = "/qel-mhx/v2/recently-played-champions/";

std::vector<Load> Loads() {
#ifdef TPK_MODULE_PATH
  return {Load::Tapped, Load::ByPath};
#else
  return {Load::Tapped};
#endif
}

// The tokens, and the headers built from them, never reach a log line or an answer.
void ExpectNoCredentialShown(LoadedMhx& mhx) {
  std::vector<std::string> secrets = {kIdToken, kVekSecret, "JwtBearer", "VekTokenRaw"};
  for (const auto& request : mhx.service->Requests()) {
    for (const auto& [name, value] : request.headers) {
      if (name == "AUTHORIZATION") secrets.push_back(value.substr(value.find(' ') + 1));
    }
  }
  for (const std::string& secret : secrets) {
    for (const LogEntry& entry : mhx.logs->Entries())
      EXPECT_EQ(entry.text.find(secret), std::string::npos) << entry.text;
    for (const std::string& answer : mhx.answers)
      EXPECT_EQ(answer.find(secret), std::string::npos) << answer.substr(0, 300);
  }
}

std::string Published(const LoadedMhx& mhx, const std::string& rest) {
  const auto value = mhx.host.GetResource(kPublished + rest);
  return value ? Mhx::Testing::Json(*value) : "<none>";
}

TEST(ModuleE2E, ARouteGoesThroughTheHostToTheServiceAndBackWithItsHeaders) {
  for (const Load load : Loads()) {
    SCOPED_TRACE(load == Load::ByPath ? "by path" : "in process");
    LoadedMhx mhx(load);
    Ready(mhx);
    const RouteAnswer delta = mhx.Get("/qel-mhx/v1/delta");
    EXPECT_FALSE(delta.failed) << delta.error;
    EXPECT_EQ(delta.json, std::string("{\"echo\":\"") + kBase + "/v1/deltas/auth\"}");
    const std::vector<ExternalRequest> sent = mhx.service->Requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, 2u);
    EXPECT_EQ(sent[0].url, std::string(kBase) + "/v1/deltas/auth");
    EXPECT_EQ(sent[0].timeout, 20u);
    EXPECT_EQ(sent[0].flags, 1u);
    EXPECT_EQ(sent[0].body, "");
    ASSERT_EQ(sent[0].headers.size(), 3u);
    EXPECT_EQ(sent[0].headers[0].first, "user-agent");
    // base64 of {\r\n    "token": "vek-SECRET-91c2e4"\r\n}
    const HeaderList credentials = {
        {"AUTHORIZATION", "VekTokenRaw ew0KICAgICJ0b2tlbiI6ICJ2ZWstU0VDUkVULTkxYzJlNCINCn0="},
        {"REGION", "EUW1"}};
    HeaderList headers(sent[0].headers.begin() + 1, sent[0].headers.end());
    std::sort(headers.begin(), headers.end());  // the module keeps them in no order
    EXPECT_EQ(headers, credentials);
    // Remote failures come back as the route's status and message.
    ExternalAnswer down;
    down.transportResult = Host::kTransportFailed;
    down.body = "the line is down";
    const std::pair<ExternalAnswer, std::pair<uint32_t, const char*>> failures[] = {
        {Answer(404, ""), {404, "Not found"}},
        {down, {500, "Could not connect to the server: the line is down"}},
    };
    for (const auto& [answer, expected] : failures) {
      mhx.service->Always(std::string(kBase) + "/v1/stats/game/EUW1/5", answer);
      const RouteAnswer game = mhx.Get("/qel-mhx/v1/games/5");
      EXPECT_TRUE(game.failed);
      EXPECT_EQ(game.status, expected.first);
      EXPECT_EQ(game.error, expected.second);
    }
    ExpectNoCredentialShown(mhx);
  }
}

TEST(ModuleE2E, ASessionEventLeadsToAJobWhoseCollectionIsPublishedInTheStore) {
  LoadedMhx mhx;
  mhx.service->Always(kRecent4100, Answer(200, kChampions));
  mhx.Set(kConfigurationUri, kConfig);
  mhx.Set(kPlatformIdUri, "\"EUW1\"");
  mhx.Set(kSessionUri, SessionJson("SUCCEEDED"));
  (void)mhx.host.RunDueWork();
  EXPECT_EQ(mhx.host.PendingJobCount(), 1u);
  (void)mhx.host.AdvanceClock(std::chrono::milliseconds(9));
  (void)mhx.host.RunDueWork();
  EXPECT_TRUE(mhx.service->Requests().empty());
  (void)mhx.host.AdvanceClock(std::chrono::milliseconds(1));
  (void)mhx.host.RunDueWork();
  EXPECT_EQ(mhx.service->Urls(), std::vector<std::string>{kRecent4100});
  EXPECT_EQ(Published(mhx, "4100"), kChampions);
  EXPECT_EQ(Published(mhx, "current-summoner"), kChampions);
  ExpectNoCredentialShown(mhx);
}

TEST(ModuleMemory, RouteCallsLeaveTheLiveAllocationsAsTheyWereAndUnloadingBalancesThem) {
  auto calls = [](LoadedMhx& mhx, int rounds) {
    for (int i = 0; i < rounds; ++i) {
      (void)mhx.Get("/qel-mhx/v1/games/" + std::to_string(i));
      (void)mhx.Get("/qel-mhx/v1/matchlists/9");
      (void)mhx.Get(kPublished + "4100");
      (void)mhx.Get("/qel-mhx/v1/games/x");
    }
  };
  { LoadedMhx warmUp; }  // what the first load builds for the life of the process
  const Log::AllocationCounters before = Log::ReadAllocationCounters();
  {
    LoadedMhx mhx;
    Ready(mhx);
    calls(mhx, 3);
    ASSERT_TRUE(mhx.host.UnloadModule(mhx.id).Ok());
  }
  const Log::AllocationCounters after = Log::ReadAllocationCounters();
  EXPECT_EQ(after.allocations - after.frees, before.allocations - before.frees);
  EXPECT_EQ(after.bytesAllocated - after.bytesFreed, before.bytesAllocated - before.bytesFreed);
#ifdef TPK_MODULE_PATH
  // Loaded by path, the module counts its own: the host reads them through the module.
  LoadedMhx mhx(Load::ByPath);
  Ready(mhx);
  auto live = [&] {
    const Host::ModuleMemoryStats stats = mhx.host.GetMemoryStats(mhx.id).Value();
    return std::pair{stats.allocations - stats.frees, stats.bytesAllocated - stats.bytesFreed};
  };
  calls(mhx, 1);  // warm up what is built once
  const auto first = live();
  calls(mhx, 20);
  EXPECT_EQ(live(), first);
  EXPECT_GT(mhx.host.GetMemoryStats(mhx.id).Value().allocations, 0u);
#endif
}

}  // namespace
}  // namespace ModuleTest
