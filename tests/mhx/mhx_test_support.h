// The match-history module in the host core, with the fake match service as the host's transport:
// linked in behind the plugin suites' recording tap (events delivered straight to its handlers,
// its jobs run by index) or, where the shared object is built, loaded by path as a host does.
// Calls of its routes through the host, and reads of what it published, logged and scheduled.
// Shared by the feature suites and the module's end-to-end suites.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "api/resource_uri.h"
#include "api/routes.h"
#include "mhx/mhx_plugin.h"
#include "plugin/plugin_host.h"
#include "support/fake_match_service.h"

namespace Oxle::Client::Mhx::Testing {

using Plugin::Testing::Json;
using Plugin::Testing::Lines;

inline constexpr const char* kBase = "https://mhx.test";
inline constexpr const char* kEmptyCollection = R"({"champions":[],"gameCount":0})";
inline const std::string kJobName = "qel-mhx.get-recently-played-champions";

inline std::string SessionJson(const char* state, uint64_t accountId, uint64_t summonerId,
                               const char* idToken = "id-token-1",
                               const char* vekToken = "vek-token-1") {
  return std::string(R"({"state":")") + state + R"(","summonerId":)" + std::to_string(summonerId) +
         R"(,"accountId":)" + std::to_string(accountId) + R"(,"vekToken":{"token":")" + vekToken +
         R"("},"idToken":")" + idToken + R"("})";
}

inline std::string ChampionsJson(uint32_t gameCount, int32_t championId) {
  return R"({"gameCount":)" + std::to_string(gameCount) + R"(,"champions":[{"championId":)" +
         std::to_string(championId) +
         R"(,"queue":420,"lane":"MID","role":"SOLO","timestamp":1600000000000}]})";
}

// What one route call answered.
struct RouteAnswer {
  bool failed = false;
  uint32_t status = 0;
  std::string error;
  std::string json;  // the value as compact JSON; empty for none
};

using Host::ExternalAnswer;
using ModuleTest::Answer;
// The service cannot be reached; `text` is the transport's message.
inline ExternalAnswer Down(std::string text) {
  return {Host::kTransportFailed, 0, {}, std::move(text)};
}

enum class Load { Tapped, ByPath };

inline Host::Result<Host::ModuleId> LoadInto(Host::Host& host, Load load) {
#ifdef TPK_MODULE_PATH
  if (load == Load::ByPath) return host.LoadModule(TPK_MODULE_PATH, "load_qel_mhx");
#else
  EXPECT_EQ(load, Load::Tapped) << "this build has no module file";
#endif
  return host.LoadModule(&Plugin::Testing::TappedExport<&load_qel_mhx>, "mhx");
}

class LoadedMhx {
 public:
  explicit LoadedMhx(Load load = Load::Tapped, Host::HostMode mode = Host::HostMode::Manual)
      : host(Host::HostOptions{{}, mode, 4, logs, service}) {
    (void)host.AddEventObserver([this](const Host::ObservedEvent& event) {
      if (event.name != "OnJsonApiEvent") return;  // the plugin publishes each change twice
      std::lock_guard lock(mutex_);
      published_.emplace_back(std::string(event.uri), Json(event.data));
    });
    const Host::Result<Host::ModuleId> loaded = LoadInto(host, load);
    EXPECT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
    id = loaded.Value();
    if (load == Load::Tapped) plugin = static_cast<MhxPlugin*>(host.Module(id).Value().object);
    Plugin::Testing::gStartingTap = &tap;
    EXPECT_TRUE(host.StartModule(id).Ok());
    Pump();
  }
  LoadedMhx(const LoadedMhx&) = delete;
  LoadedMhx& operator=(const LoadedMhx&) = delete;
  ~LoadedMhx() { (void)host.UnloadModule(id); }

  // Delivers queued events and runs due jobs; in manual mode also lets 10 ms pass, so the
  // recently-played jobs run.
  void Pump() {
    if (host.AdvanceClock(std::chrono::nanoseconds(0))) {
      (void)host.RunDueWork();
      (void)host.AdvanceClock(std::chrono::milliseconds(10));
      (void)host.RunDueWork();
    } else {
      EXPECT_TRUE(host.WaitIdle(std::chrono::seconds(20)));
    }
  }
  // Stores a resource in the host, which delivers it to the module as a host does.
  void Set(const char* uri, const std::string& json) { (void)host.SetResource(uri, Json(json)); }
  // A Create, Update or Delete of `uri`, with `data` as JSON (null: no data).
  void Event(const char* uri, const char* type, const char* data = nullptr) {
    std::string json = std::string(R"({"uri":")") + uri + R"(","eventType":")" + type + "\"";
    if (data != nullptr) json += std::string(R"(,"data":)") + data;
    EXPECT_TRUE(tap.Deliver(Client::Api::EventNameForUri(uri), json + "}")) << uri;
  }
  void Configure(const char* data) { Event(kConfigurationUri, "Update", data); }
  void Session(const std::string& data) { Event(kSessionUri, "Update", data.c_str()); }
  void Platform(const char* data) { Event(kPlatformIdUri, "Update", data); }
  // Endpoint, platform and a complete session for account 4100 (whose first job is scheduled,
  // not run).
  void Ready(const char* config = R"({"Endpoint":"https://mhx.test"})") {
    Configure(config);
    Platform(R"("EUW1")");
    Session(SessionJson("SUCCEEDED", 4100, 7700));
  }

  RouteAnswer Call(Client::Api::HttpMethod method, const std::string& target,
                   const char* body = nullptr) {
    Host::ApiCall call{static_cast<uint32_t>(method), target, "", {}, "", std::nullopt};
    if (body != nullptr) {
      call.contentType = "application/json";
      call.body = body;
    }
    const Host::ApiCallResult result = host.Call(call);
    RouteAnswer answer{result.failed, result.status, result.errorMessage,
                       result.value.Kind() == Binding::ValueKind::Empty ? "" : Json(result.value)};
    std::lock_guard lock(mutex_);
    answers.push_back(answer.error + " " + answer.json);
    return answer;
  }
  RouteAnswer Get(const std::string& target) { return Call(Client::Api::HttpMethod::Get, target); }

  // The word after `kind` in each of the tap's records that starts with it: the name of each
  // "ScheduleJob" or "Subscribe", the target of each "SendRequest 2" (GET).
  [[nodiscard]] Lines Recorded(const std::string& kind) const {
    Lines found;
    for (const std::string& call : tap.Calls()) {
      if (call.rfind(kind + " ", 0) != 0) continue;
      const std::string rest = call.substr(kind.size() + 1);
      found.push_back(rest.substr(0, rest.find(' ')));
    }
    return found;
  }
  [[nodiscard]] Lines JobNames() const { return Recorded("ScheduleJob"); }
  // The data of each resource the plugin published at `uri`, as compact JSON, in order.
  [[nodiscard]] Lines PublishedAt(const std::string& uri) const {
    std::lock_guard lock(mutex_);
    Lines data;
    for (const auto& [at, json] : published_) {
      if (at == uri) data.push_back(json);
    }
    return data;
  }
  [[nodiscard]] Lines RemoteUrls() const { return service->Urls(); }
  // What the plugin logged, as (level, text).
  [[nodiscard]] std::vector<std::pair<int32_t, std::string>> Logs() const {
    std::vector<std::pair<int32_t, std::string>> lines;
    for (const Host::LogEntry& entry : logs->Entries()) {
      if (entry.module != Host::kHostLogName) lines.emplace_back(entry.level, entry.text);
    }
    return lines;
  }

  Plugin::Testing::Tap tap;  // outlives the host, which unloads the plugin
  std::shared_ptr<Host::MemoryLogSink> logs = std::make_shared<Host::MemoryLogSink>();
  std::shared_ptr<ModuleTest::FakeMatchService> service =
      std::make_shared<ModuleTest::FakeMatchService>();
  Host::Host host;
  Host::ModuleId id = 0;
  MhxPlugin* plugin = nullptr;  // linked in only
  Lines answers;                // each route answer's message and JSON, for scans for tokens

 private:
  mutable std::mutex mutex_;  // guards answers and published_
  std::vector<std::pair<std::string, std::string>> published_;
};

}  // namespace Oxle::Client::Mhx::Testing
