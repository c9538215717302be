// The match-history plugin loaded into the host core (manual mode) through the plugin suites'
// recording tap: events for its three resources delivered straight to its handlers, calls of its
// routes through the host, remote answers by URL, and reads of what it published, logged and
// scheduled.
#pragma once

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "api/resource_uri.h"
#include "api/routes.h"
#include "mhx/mhx_plugin.h"
#include "plugin/plugin_host.h"

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

// One remote answer.
struct RemoteAnswer {
  uint32_t status = 200;
  std::string body;
  int32_t transport = 0;
};

// The tap of the plugin being started.
inline Plugin::Testing::Tap* gMhxTap = nullptr;

inline void* TappedMhx(PluginDescriptor* descriptor) {
  void* plugin = load_qel_mhx(descriptor);
  static PluginCallbacks own{}, tapped{};
  own = tapped = *descriptor->callbacks;
  tapped.Start = [](void* context, const HostContext* core) {
    return own.Start(context, gMhxTap->Wrap(core));
  };
  descriptor->callbacks = &tapped;
  return plugin;
}

class LoadedMhx {
 public:
  LoadedMhx() {
    tap.answerExternal = [this](ExternalResponseRecord& record,
                                const ExternalRequestRecord& request) {
      RemoteAnswer answer{200, std::string(R"({"echo":")") + request.url + "\"}"};
      std::lock_guard lock(mutex_);
      urls_.emplace_back(request.url);
      const auto scripted = answers.find(request.url);
      if (scripted != answers.end()) answer = scripted->second;
      const std::string& body = bodies_.emplace_back(answer.body);
      record.transportResult = answer.transport;
      record.status = answer.status;
      record.body = reinterpret_cast<const uint8_t*>(body.data());
      record.bodyLength = static_cast<uint32_t>(body.size());
    };
    (void)host.AddEventObserver([this](const Host::ObservedEvent& event) {
      if (event.name != "OnJsonApiEvent") return;  // the plugin publishes each change twice
      std::lock_guard lock(mutex_);
      published_.emplace_back(std::string(event.uri), Json(event.data));
    });
    const Host::Result<Host::ModuleId> loaded = host.LoadModule(&TappedMhx, "mhx");
    EXPECT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
    id_ = loaded.Value();
    plugin = static_cast<MhxPlugin*>(host.Module(id_).Value().object);
    gMhxTap = &tap;
    EXPECT_TRUE(host.StartModule(id_).Ok());
  }
  LoadedMhx(const LoadedMhx&) = delete;
  LoadedMhx& operator=(const LoadedMhx&) = delete;
  ~LoadedMhx() { EXPECT_TRUE(host.UnloadModule(id_).Ok()); }

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
    return {result.failed, result.status, result.errorMessage,
            result.value.Kind() == Binding::ValueKind::Empty ? "" : Json(result.value)};
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
  [[nodiscard]] Lines RemoteUrls() const {
    std::lock_guard lock(mutex_);
    return urls_;
  }
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
  Host::Host host{Host::HostOptions{{}, Host::HostMode::Manual, 1, logs, nullptr}};
  MhxPlugin* plugin = nullptr;
  std::map<std::string, RemoteAnswer> answers;  // by URL; set before the request

 private:
  Host::ModuleId id_ = 0;
  mutable std::mutex mutex_;  // guards urls_, bodies_, published_
  Lines urls_;
  std::list<std::string> bodies_;  // the answers' bytes, alive until unload
  std::vector<std::pair<std::string, std::string>> published_;
};

}  // namespace Oxle::Client::Mhx::Testing
