// Shared helpers of the module tests: a host (manual or threaded) with the match-history module
// loaded, in-process through load_qel_mhx or by path from the built shared object, a fake remote
// service as its transport, and short forms for configuration, login and platform resources.
// Every answer a test reads through Get/Post is kept, so that a test can scan them for tokens.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec/json.h"
#include "core/host.h"
#include "fake_match_service.h"
#include "host/host_test_support.h"
#include "tpk/plugin_abi.h"

extern "C" void* load_qel_mhx(PluginDescriptor* descriptor);

namespace ModuleTest {

using namespace Oxle::Client;
using Host::ApiCallResult;
using HostTest::Json;

inline constexpr const char* kSessionUri = "/qel-login/v1/session";
inline constexpr const char* kPlatformUri =
    "/qel-platform-config/v1/namespaces/LoginDataPacket/platformId";
inline constexpr const char* kConfigUri = "/qel-platform-config/v1/namespaces/KRTMHX";
inline constexpr const char* kBase = "https://mhx.test";
inline const std::string kConfig = std::string("{\"Endpoint\":\"") + kBase + "\"}";
inline const std::string kRecent4100 = std::string(kBase) + "/v1/recent_champions/EUW1/4100";
inline constexpr const char* kIdToken = "idtok-SECRET-7f3a9d";
inline constexpr const char* kVekSecret = "vek-SECRET-91c2e4";
inline constexpr const char* kChampions =
    R"({"champions":[{"championId":7,"lane":"MID","queue":420,"role":"SOLO","timestamp":1}],)"
    R"("gameCount":3})";

enum class Load { InProcess, ByPath };

// A session resource as the login plugin publishes it, for account 4100.
inline std::string SessionJson(const char* state) {
  return std::string("{\"state\":\"") + state +
         "\",\"summonerId\":7700,\"accountId\":4100,\"vekToken\":{\"token\":\"" + kVekSecret +
         "\"},\"idToken\":\"" + kIdToken + "\"}";
}

struct MhxHost {
  explicit MhxHost(Load load = Load::InProcess, Host::HostMode mode = Host::HostMode::Manual) {
    Host::HostOptions options;
    options.mode = mode;
    options.logSink = logs;
    options.transport = service;
    options.workerCount = 4;
    host = std::make_unique<Host::Host>(options);
#ifdef TPK_MODULE_PATH
    Host::Result<Host::ModuleId> loaded = load == Load::InProcess
                                              ? host->LoadModule(&load_qel_mhx, "linked mhx")
                                              : host->LoadModule(TPK_MODULE_PATH, "load_qel_mhx");
#else
    EXPECT_EQ(load, Load::InProcess) << "this build has no module file";
    Host::Result<Host::ModuleId> loaded = host->LoadModule(&load_qel_mhx, "linked mhx");
#endif
    EXPECT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
    if (!loaded.Ok()) return;
    id = loaded.Value();
    const Host::Status started = host->StartModule(id);
    EXPECT_TRUE(started.Ok()) << started.ErrorMessage();
    Pump();
  }

  // Delivers queued events and runs due jobs; in manual mode also lets 10 ms pass, so the
  // recently-played jobs run.
  void Pump() {
    if (host->AdvanceClock(std::chrono::nanoseconds(0))) {
      (void)host->RunDueWork();
      (void)host->AdvanceClock(std::chrono::milliseconds(10));
      (void)host->RunDueWork();
    } else {
      EXPECT_TRUE(host->WaitIdle(std::chrono::seconds(20)));
    }
  }
  void Set(const char* uri, const std::string& json) {
    (void)host->SetResource(uri, Json(json));
  }
  // Endpoint, platform and a complete session for account 4100, its first fetch answered with
  // kChampions and done; the requests so far are forgotten.
  void Ready() {
    service->Always(kRecent4100, Answer(200, kChampions));
    Set(kConfigUri, kConfig);
    Set(kPlatformUri, "\"EUW1\"");
    Set(kSessionUri, SessionJson("SUCCEEDED"));
    Pump();
    service->ClearRequests();
  }

  ApiCallResult Get(const std::string& target) {
    Host::ApiCall call;
    call.method = 2;
    call.target = target;
    return Keep(host->Call(call));
  }
  ApiCallResult Post(const std::string& target, const std::string& body) {
    Host::ApiCall call;
    call.method = 6;
    call.target = target;
    call.contentType = "application/json";
    call.body = body;
    return Keep(host->Call(call));
  }
  ApiCallResult Keep(ApiCallResult result) {
    std::lock_guard lock(answersMutex);
    answers.push_back(result.errorMessage + " " + Json(result.value) + " " + result.text + " " +
                      result.body.value_or("") + " " + result.readError);
    return result;
  }

  std::shared_ptr<Host::MemoryLogSink> logs = std::make_shared<Host::MemoryLogSink>();
  std::shared_ptr<FakeMatchService> service = std::make_shared<FakeMatchService>();
  std::unique_ptr<Host::Host> host;
  Host::ModuleId id = 0;
  std::mutex answersMutex;  // guards answers, which the calling threads append to
  std::vector<std::string> answers;
};

}  // namespace ModuleTest
