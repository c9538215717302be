// The plugin suites' host: the host core itself (manual mode unless asked), with a plugin of the
// tests' own loaded through the export helper. Between the plugin and the core's HostApi table
// sits a tap that records every call (thread-safe), keeps each name's latest subscription and
// every job so that a test can call them on threads of its own, and can answer a request in the
// core's place with records the core itself never sends.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "api/route_registration.h"
#include "core/host.h"
#include "log/allocation_hooks.h"
#include "plugin/plugin_base.h"
#include "plugin/plugin_export.h"
#include "support/host_values.h"

namespace Oxle::Client::Plugin::Testing {

using Api::HttpMethod;
using Binding::BindingProperty;
using HostValues::Lines;

using HostValues::Json;

// Runs `work` with every counted allocation failing.
inline void WithoutMemory(const std::function<void()>& work) {
  const Log::AllocationHooks previous = Log::GetAllocationHooks();
  Log::AllocationHooks failing = previous;
  failing.allocate = [](size_t, void*) -> void* { return nullptr; };
  failing.duplicate = [](const char*, void*) -> char* { return nullptr; };
  Log::SetAllocationHooks(failing);
  work();
  Log::SetAllocationHooks(previous);
}

// Counted by the routes below; they outlive the plugin.
inline std::atomic<int> gTicks{0}, gToggles{0};

// A plugin whose start the test steers. Routes, under "/qel-mhx/v1/": GET items/{id} answers
// {"item": id}; POST sum answers a + b (named arguments) as {"sum"}; GET fail fails with 409;
// POST ticks schedules the job "tick" (counting gTicks) and answers 202; POST toggle subscribes
// and unsubscribes "/qel-toggle/v1/x" (counting gToggles).
class TestPlugin final : public PluginBase {
 public:
  void RegisterApi() override {
    typesBeforeApi = Api().FindTypeByName("PluginResourceEvent") && !ExportTable().entries;
    using L = Api::ArgumentLocation;
    Api::RegisterRoute(Api(), HttpMethod::Get, "/qel-mhx/v1/items/{id}",
                       [](uint64_t id) { return Reply(R"({"item":)" + std::to_string(id) + "}"); },
                       {{"id", L::Path}});
    Api::RegisterRoute(
        Api(), HttpMethod::Post, "/qel-mhx/v1/sum",
        [](int32_t a, int32_t b) { return Reply(R"({"sum":)" + std::to_string(a + b) + "}"); },
        {{"a", L::Any}, {"b", L::Any}});
    Api::RegisterRoute(Api(), HttpMethod::Get, "/qel-mhx/v1/fail",
                       [] { return Api::ApiResponse::Error("refused", 409); });
    Api::RegisterRoute(Api(), HttpMethod::Post, "/qel-mhx/v1/ticks", [this] {
      ScheduleAt("tick", std::chrono::steady_clock::now(), [] { ++gTicks; });
      return Reply("null", 202);
    });
    Api::RegisterRoute(Api(), HttpMethod::Post, "/qel-mhx/v1/toggle", [this] {
      Subscribe("/qel-toggle/v1/x");
      Unsubscribe("/qel-toggle/v1/x");
      ++gToggles;
      return Reply("null");
    });
  }
  static Api::ApiResponse Reply(const std::string& json, uint32_t status = 200) {
    Api::ApiResponse response = Api::ApiResponse::FromValue(Json(json));
    response.status = status;
    return response;
  }
  bool OnStart() override {
    if (onStart) onStart(*this);
    return startResult;
  }
  std::function<void(TestPlugin&)> onStart;
  bool startResult = true;
  bool typesBeforeApi = false;
};

class Tap {
 public:
  Tap() {
    table_.tap = this;
    HostApi& api = table_.api;
    api.SendRequest = [](const HostApi* a, ApiResponseRecord* response,
                         const ApiRequestRecord* request) {
      Tap& tap = Of(a);
      tap.Record("SendRequest " + std::to_string(request->method) + " " + request->target + " by " +
                 std::to_string(reinterpret_cast<uintptr_t>(request->callerContext)));
      if (tap.answerRequest) return tap.answerRequest(*response, *request), 0;
      return Core<&HostApi::SendRequest>(a, response, request);
    };
    api.SendExternalRequest = [](const HostApi* a, ExternalResponseRecord* response,
                                 const ExternalRequestRecord* request) {
      if (Of(a).answerExternal) return Of(a).answerExternal(*response, *request), 0;
      return Core<&HostApi::SendExternalRequest>(a, response, request);
    };
    api.PublishEvent = &Core<&HostApi::PublishEvent>;
    api.Log = &Core<&HostApi::Log>;
    api.SubscribeEvent = [](const HostApi* a, const char* name, uint32_t handle,
                            HostEventCallback callback, void* context, uint32_t flag) {
      Tap& tap = Of(a);
      tap.Record("Subscribe " + std::string(name) + " " + std::to_string(flag), [&] {
        tap.subscribed_[name] = {callback, context};
      });
      return Core<&HostApi::SubscribeEvent>(a, name, handle, callback, context, flag);
    };
    api.UnsubscribeEvent = [](const HostApi* a, const char* name, uint32_t handle) {
      if (Of(a).onUnsubscribe) Of(a).onUnsubscribe(name);
      Of(a).Record("Unsubscribe " + std::string(name));
      return Core<&HostApi::UnsubscribeEvent>(a, name, handle);
    };
    api.ScheduleJob = [](const HostApi* a, const char* name, HostJobCallback callback,
                         void* context, double delay, uint32_t flag) {
      Tap& tap = Of(a);
      tap.Record("ScheduleJob " + std::string(name) + " " + std::to_string(flag), [&] {
        tap.jobs_.push_back({callback, context, delay});
      });
      return Core<&HostApi::ScheduleJob>(a, name, callback, context, delay, flag);
    };
    api.Yield = [](const HostApi* a) { return Of(a).Record("Yield"), Core<&HostApi::Yield>(a); };
    api.EndWait = [](const HostApi* a) {
      return Of(a).Record("EndWait"), Core<&HostApi::EndWait>(a);
    };
    api.MarkWait = [](const HostApi* a, const char* text, int32_t value) {
      Of(a).Record("MarkWait " + std::string(text) + " " + std::to_string(value));
      return Core<&HostApi::MarkWait>(a, text, value);
    };
  }

  // The plugin's view of the host: this tap's table, the core's handle.
  const HostContext* Wrap(const HostContext* core) {
    host_ = core->api;
    context_ = HostContext{&table_.api, core->pluginHandle};
    return &context_;
  }
  [[nodiscard]] Lines Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // Calls the latest subscription of `name` with `json`, as the core would; false when none.
  bool Deliver(const std::string& name, const std::string& json) {
    HostValue payload{};
    EXPECT_TRUE(Binding::ToHostValue(Json(json), nullptr, payload));
    const auto [callback, context] = Subscribed(name);
    if (callback != nullptr) {
      const HostEvent event{name.c_str(), payload, 0, context};
      callback(&event);
    }
    Binding::ReleaseHostValue(payload);
    return callback != nullptr;
  }
  [[nodiscard]] std::pair<HostEventCallback, void*> Subscribed(const std::string& name) const {
    std::lock_guard lock(mutex_);
    const auto it = subscribed_.find(name);
    return it == subscribed_.end() ? std::pair<HostEventCallback, void*>() : it->second;
  }
  struct Job {
    HostJobCallback callback;
    void* context;
    double delay;
  };
  [[nodiscard]] Job Scheduled(size_t index) const {
    std::lock_guard lock(mutex_);
    return jobs_.at(index);
  }
  void RunJob(size_t index) {
    const Job job = Scheduled(index);
    job.callback(job.context);
  }

  std::function<void(ApiResponseRecord&, const ApiRequestRecord&)> answerRequest;
  std::function<void(ExternalResponseRecord&, const ExternalRequestRecord&)> answerExternal;
  std::function<void(const char* name)> onUnsubscribe;  // before the core's UnsubscribeEvent

 private:
  struct Table {
    HostApi api;  // first: a slot finds the tap from the table's address
    Tap* tap;
  };
  static Tap& Of(const HostApi* api) { return *reinterpret_cast<const Table*>(api)->tap; }
  // Slot `S` of the core's table.
  template <auto S, typename... A>
  static int32_t Core(const HostApi* a, A... args) {
    return (Of(a).host_->*S)(Of(a).host_, args...);
  }
  void Record(std::string call, const std::function<void()>& also = {}) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    if (also) also();
  }

  Table table_{};
  const HostApi* host_ = nullptr;
  HostContext context_{};
  mutable std::mutex mutex_;  // guards calls_, subscribed_, jobs_
  Lines calls_;
  std::map<std::string, std::pair<HostEventCallback, void*>> subscribed_;
  std::vector<Job> jobs_;
};

// The tap of the plugin being started: its Start callback runs with the tap's table.
inline Tap* gStartingTap = nullptr;

inline void* TestExport(PluginDescriptor* descriptor) {
  return ExportPlugin<TestPlugin>(descriptor, "qel-mhx");
}

// `Export` with its Start callback given the tap's table instead of the core's.
template <void* (*Export)(PluginDescriptor*)>
void* TappedExport(PluginDescriptor* descriptor) {
  void* plugin = Export(descriptor);
  static PluginCallbacks own{}, tapped{};
  own = tapped = *descriptor->callbacks;
  tapped.Start = [](void* context, const HostContext* core) {
    return own.Start(context, gStartingTap->Wrap(core));
  };
  descriptor->callbacks = &tapped;
  return plugin;
}

// Loads the plugin into a fresh host core through the tap; the host unloads it when the test ends.
class PluginTest : public ::testing::Test {
 protected:
  TestPlugin& Load(Host::CoreVersion version = {}, Host::HostMode mode = Host::HostMode::Manual) {
    host = std::make_unique<Host::Host>(Host::HostOptions{version, mode, 2, logs, nullptr});
    const Host::Result<Host::ModuleId> loaded =
        host->LoadModule(&TappedExport<&TestExport>, "tapped");
    EXPECT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
    id = loaded.Value();
    plugin = static_cast<TestPlugin*>(host->Module(id).Value().object);
    return *plugin;
  }
  // Loads (unless loaded), sets the start hook and starts; true when the plugin started.
  bool Start(std::function<void(TestPlugin&)> onStart = {}) {
    if (plugin == nullptr) Load();
    plugin->onStart = std::move(onStart);
    gStartingTap = &tap;
    gTicks = gToggles = 0;
    return host->StartModule(id).Ok();
  }
  void Unload() {
    ASSERT_TRUE(host->UnloadModule(id).Ok());
    plugin = nullptr;
  }
  Host::ApiCallResult Call(uint32_t method, std::string target) {
    return host->Call(Host::ApiCall{method, std::move(target), "", {}, "", std::nullopt});
  }
  [[nodiscard]] Lines LogLines() const { return HostValues::LogLines(*logs, false); }

  Tap tap;  // outlives the host, which unloads the plugin
  std::shared_ptr<Host::MemoryLogSink> logs = std::make_shared<Host::MemoryLogSink>();
  std::unique_ptr<Host::Host> host;
  Host::ModuleId id = 0;
  TestPlugin* plugin = nullptr;
};

}  // namespace Oxle::Client::Plugin::Testing
