// Shared helpers of the module tests: a host (manual or threaded) with the match-history module
// loaded, in-process through load_qel_mhx or by path from the built shared object, a fake remote
// service as its transport, and short forms for configuration, login and platform resources.
// Every answer a test reads through Get/Post is kept, so the token scan can check them all.
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

inline constexpr const char* kSessionUri = "/qel-login/v1/session";
inline constexpr const char* kPlatformUri =
    "/qel-platform-config/v1/namespaces/LoginDataPacket/platformId";
inline constexpr const char* kConfigUri = "/qel-platform-config/v1/namespaces/KRTMHX";
inline constexpr const char* kBase = "https://mhx.test";
inline constexpr const char* kIdToken = "idtok-SECRET-7f3a9d";
inline constexpr const char* kVekSecret = "vek-SECRET-91c2e4";
inline constexpr uint64_t kAccount = 4100;
inline const std::string kConfig = std::string("{\"Endpoint\":\"") + kBase + "\"}";
inline constexpr uint64_t kSummoner = 7700;

using HostTest::Json;

enum class Load { InProcess, ByPath };

// A session resource as the login plugin publishes it.
inline std::string SessionJson(const char* state, uint64_t accountId, uint64_t summonerId,
                               const std::string& idToken = kIdToken,
                               const std::string& vekSecret = kVekSecret) {
  return std::string("{\"state\":\"") + state + "\",\"summonerId\":" + std::to_string(summonerId) +
         ",\"accountId\":" + std::to_string(accountId) +
         ",\"vekToken\":{\"token\":" + JsonQuote(vekSecret) +
         "},\"idToken\":" + JsonQuote(idToken) + "}";
}

struct MhxHost {
  explicit MhxHost(Load load = Load::InProcess, Host::HostMode mode = Host::HostMode::Manual) {
    Host::HostOptions options;
    options.mode = mode;
    options.logSink = logs;
    options.transport = service;
    options.workerCount = 4;
    host = std::make_unique<Host::Host>(options);
    Host::Result<Host::ModuleId> loaded =
        load == Load::InProcess ? host->LoadModule(&load_qel_mhx, "linked mhx") : LoadByPath(*host);
    EXPECT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
    if (!loaded.Ok()) return;
    id = loaded.Value();
    const Host::Status started = host->StartModule(id);
    EXPECT_TRUE(started.Ok()) << started.ErrorMessage();
    Pump();
  }

  static Host::Result<Host::ModuleId> LoadByPath(Host::Host& target) {
#ifdef TPK_MODULE_PATH
    return target.LoadModule(TPK_MODULE_PATH, "load_qel_mhx");
#else
    (void)target;
    return Host::Status::Error("this build has no module file");
#endif
  }

  [[nodiscard]] bool Manual() const {
    return host->AdvanceClock(std::chrono::nanoseconds(0));
  }

  // Delivers queued events and runs due jobs; in manual mode also lets 10 ms pass, so the
  // recently-played jobs run.
  void Pump() {
    if (Manual()) {
      (void)host->RunDueWork();
      (void)host->AdvanceClock(std::chrono::milliseconds(10));
      (void)host->RunDueWork();
    } else {
      EXPECT_TRUE(host->WaitIdle(std::chrono::seconds(20)));
    }
  }
  // Delivers events only: jobs scheduled by them stay pending.
  void Deliver() {
    if (Manual()) {
      (void)host->RunDueWork();
    } else {
      EXPECT_TRUE(host->WaitIdle(std::chrono::seconds(20)));
    }
  }

  void Configure(const std::string& json) {
    (void)host->SetResource(kConfigUri, Json(json));
    Deliver();
  }
  void Session(const std::string& json) {
    (void)host->SetResource(kSessionUri, Json(json));
    Deliver();
  }
  void Platform(const std::string& json) {
    (void)host->SetResource(kPlatformUri, Json(json));
    Deliver();
  }
  // Endpoint and platform configured, complete session for kAccount, its first fetch done (with
  // a one-entry collection unless `answerLogin` is false and the test scripted it).
  void Ready(const std::string& config = kConfig, bool answerLogin = true) {
    if (answerLogin) {
      service->Once(std::string(kBase) + "/v1/recent_champions/EUW1/" + std::to_string(kAccount),
                    Answer(200, ChampionsDocument(1, 1, 1)));
    }
    Configure(config);
    Platform("\"EUW1\"");
    Session(SessionJson("SUCCEEDED", kAccount, kSummoner));
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
