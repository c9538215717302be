// The match-history plugin loaded through its export against the tests' scripted host: events
// for its three resources, calls of its routes through the export table, remote answers by URL,
// and reads of what it published, logged and scheduled.
#pragma once

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "api/host_request.h"
#include "api/resource_uri.h"
#include "api/routes.h"
#include "codec/json.h"
#include "mhx/mhx_plugin.h"
#include "plugin/fake_host.h"

namespace Oxle::Client::Mhx::Testing {

using Plugin::Testing::FakeHost;

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
  std::string json;  // the value as compact JSON
};

// One remote answer.
struct RemoteAnswer {
  uint32_t status = 200;
  std::string body;
  int32_t transport = 0;
};

class LoadedMhx {
 public:
  LoadedMhx() {
    descriptor_.major = 18;
    plugin = static_cast<MhxPlugin*>(load_qel_mhx(&descriptor_));
    EXPECT_NE(plugin, nullptr);
    host.answerExternal = [this](ExternalResponseRecord& record,
                                 const ExternalRequestRecord& request) {
      RemoteAnswer answer{200, std::string(R"({"echo":")") + request.url + "\"}"};
      const auto scripted = answers.find(request.url);
      if (scripted != answers.end()) answer = scripted->second;
      std::lock_guard<std::mutex> lock(bodiesMutex_);
      const std::string& body = bodies_.emplace_back(answer.body);
      record.transportResult = answer.transport;
      record.status = answer.status;
      record.body = reinterpret_cast<const uint8_t*>(body.data());
      record.bodyLength = static_cast<uint32_t>(body.size());
    };
    EXPECT_EQ(descriptor_.callbacks->Start(descriptor_.context, host.Context()), 1);
  }
  LoadedMhx(const LoadedMhx&) = delete;
  LoadedMhx& operator=(const LoadedMhx&) = delete;
  ~LoadedMhx() { descriptor_.callbacks->Unload(descriptor_.context); }

  // A Create, Update or Delete of `uri`, with `data` as JSON (null: no data).
  void Event(const char* uri, const char* type, const char* data = nullptr) {
    std::string json = std::string(R"({"uri":")") + uri + R"(","eventType":")" + type + "\"";
    if (data != nullptr) json += std::string(R"(,"data":)") + data;
    json += "}";
    EXPECT_TRUE(host.DeliverJson(Client::Api::EventNameForUri(uri), json.c_str())) << uri;
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

  RouteAnswer Call(Client::Api::HttpMethod method, const std::string& path,
                   const std::string& target, const char* body = nullptr) {
    Client::Api::Testing::HostRequest request(static_cast<uint32_t>(method), target);
    if (body != nullptr) request.Body("application/json", body);
    Client::Api::Testing::HostResponse response;
    Client::Api::Testing::Send(plugin->ExportTable(), Client::Api::MakeFunctionName(method, path),
                               request, response);
    RouteAnswer answer{response.Failed(), response.Status(), response.Error(), ""};
    Binding::BindingProperty value;
    Binding::ValueResult result;
    if (Binding::FromHostValue(response.record.value, value, result, "result")) {
      answer.json = Codec::WriteJson(value, nullptr, nullptr);
    }
    return answer;
  }
  // A GET of `target`, registered under the template `path` (the target when omitted).
  RouteAnswer Get(const std::string& target, const std::string& path = {}) {
    return Call(Client::Api::HttpMethod::Get, path.empty() ? target : path, target);
  }

  // Jobs the plugin scheduled, by name.
  [[nodiscard]] std::vector<std::string> JobNames() const {
    std::vector<std::string> names;
    for (const auto& job : host.Jobs())
      names.push_back(job.name);
    return names;
  }
  // The data of each resource the plugin published at `uri`, as compact JSON, in order.
  [[nodiscard]] std::vector<std::string> PublishedAt(const std::string& uri) const {
    std::vector<std::string> data;
    for (const auto& published : host.PublishedEvents()) {
      if (published.name != "OnJsonApiEvent") continue;
      Binding::ValueResult payload = Codec::ParseJson(published.payload);
      if (payload.Value().Get("uri").GetString() != uri) continue;
      data.push_back(Codec::WriteJson(payload.Value().Get("data"), nullptr, nullptr));
    }
    return data;
  }
  [[nodiscard]] std::vector<std::string> RemoteUrls() const {
    std::vector<std::string> urls;
    for (const auto& call : host.Externals())
      urls.push_back(call.url);
    return urls;
  }

  FakeHost host;
  MhxPlugin* plugin = nullptr;
  std::map<std::string, RemoteAnswer> answers;  // by URL; set before the request

 private:
  PluginDescriptor descriptor_{};
  std::mutex bodiesMutex_;         // guards bodies_
  std::list<std::string> bodies_;  // the answers' bytes, alive until unload
};

}  // namespace Oxle::Client::Mhx::Testing
