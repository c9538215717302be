// Shared by the module's end-to-end suites: the feature suites' loaded module (tests/mhx), with
// resources set in the host's store as a host does, and credentials that must never show.
#pragma once

#include <string>

#include "mhx/mhx_test_support.h"

namespace ModuleTest {

using namespace Oxle::Client;
using Host::ApiCallResult;
using Mhx::Testing::Load;
using Mhx::Testing::LoadedMhx;
using Mhx::Testing::RouteAnswer;

using Mhx::kConfigurationUri;
using Mhx::kPlatformIdUri;
using Mhx::kSessionUri;
using Mhx::Testing::kBase;
inline const std::string kConfig = std::string("{\"Endpoint\":\"") + kBase + "\"}";
inline const std::string kRecent4100 = std::string(kBase) + "/v1/recent_champions/EUW1/4100";
inline constexpr const char* kIdToken = "idtok-SECRET-7f3a9d";
inline constexpr const char* kVekSecret = "vek-SECRET-91c2e4";
inline constexpr const char* kChampions =
    R"({"champions":[{"championId":7,"lane":"MID","queue":420,"role":"SOLO","timestamp":1}],)"
    R"("gameCount":3})";

// A session resource as the login plugin publishes it, for account 4100.
inline std::string SessionJson(const char* state) {
  return Mhx::Testing::SessionJson(state, 4100, 7700, kIdToken, kVekSecret);
}

// Endpoint, platform and a complete session for account 4100 set in the host's store, the first
// fetch answered with kChampions and done; the requests so far are forgotten.
inline void Ready(LoadedMhx& mhx) {
  mhx.service->Always(kRecent4100, Answer(200, kChampions));
  mhx.Set(kConfigurationUri, kConfig);
  mhx.Set(kPlatformIdUri, "\"EUW1\"");
  mhx.Set(kSessionUri, SessionJson("SUCCEEDED"));
  mhx.Pump();
  mhx.service->ClearRequests();
}

}  // namespace ModuleTest
