// PluginBase: the layer that binds a plugin object to its host. It registers the plugin
// (version check, names, the framework's types and events, the feature's API, the export table
// and the descriptor), starts it (log target, user agent, service proxy, OnStart), forwards
// PluginCore's host functions to the HostApi table, and unloads it.
//
// A feature derives from it, registers its types and routes in RegisterApi and observes
// resources in OnStart:
// clang-format off
//   class Feature final : public PluginBase {
//     void RegisterApi() override {
//       Oxle::Client::Api::RegisterRoute(Api(), HttpMethod::Get, ...);
//     }
//     bool OnStart() override {
//       ObserveResource("/a/v1/b", [this](auto& e) { ... });
//       return true;
//     }
//   };
// clang-format on
// and exports itself with ExportPlugin<Feature>(descriptor, "short-name") (plugin_export.h).
// The object is allocated with new and deletes itself in Unload.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/api_registry.h"
#include "log/plugin_log_target.h"
#include "plugin/api_version.h"
#include "plugin/plugin_core.h"
#include "plugin/plugin_name.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Plugin {

// One reference to the process-wide logger, held for the owner's lifetime.
class LoggingReference {
 public:
  LoggingReference() noexcept;
  LoggingReference(const LoggingReference&) = delete;
  LoggingReference& operator=(const LoggingReference&) = delete;
  ~LoggingReference();
};

class PluginBase : public PluginCore {
 public:
  PluginBase();
  ~PluginBase() override;

  // Each calls its function of the host's HostApi table; -1 (and nothing done) before Start or
  // when the host left that function null.
  int32_t SendRequest(ApiResponseRecord& response, const ApiRequestRecord& request) final;
  int32_t SendExternalRequest(ExternalResponseRecord& response,
                              const ExternalRequestRecord& request) final;
  int32_t PublishEvent(const HostEvent& event) final;
  int32_t SubscribeEvent(const char* eventName, uint32_t pluginHandle, HostEventCallback callback,
                         void* context, uint32_t flag) final;
  int32_t UnsubscribeEvent(const char* eventName, uint32_t pluginHandle) final;
  int32_t ScheduleJob(const char* jobName, HostJobCallback callback, void* context,
                      double delaySeconds, uint32_t flag) final;
  int32_t Yield() final;
  int32_t MarkWait(const std::string& text, int32_t value) final;
  int32_t EndWait() final;

  // Called by Register, before the export table is built: the feature registers its types and
  // routes with Api() here.
  virtual void RegisterApi() {}
  // Called last by Start: the feature makes its subscriptions here; false is reported to the
  // host as a failed start.
  virtual bool OnStart() { return true; }

  // Registers the plugin with the host through `descriptor` (which it overwrites). A core whose
  // plugin API is incompatible gets the assertion report "ALE-EECF0606" and the process ends.
  void Register(PluginDescriptor* descriptor, std::string_view shortName);
  // The PluginCallbacks operations.
  bool Start(const HostContext* hostContext);
  void Unload();  // deletes this object
  void GetMemoryStats(uint32_t* words) const noexcept;

  [[nodiscard]] const ApiVersion& CoreApiVersion() const noexcept { return coreApiVersion_; }
  [[nodiscard]] const PluginName& Name() const noexcept { return name_; }
  [[nodiscard]] const std::string& ApiName() const noexcept { return apiName_; }
  [[nodiscard]] const std::vector<std::string>& ApiCategoryPath() const noexcept {
    return apiCategoryPath_;
  }
  [[nodiscard]] Api::ApiRegistry& Api() noexcept { return *apiRegistry_; }
  [[nodiscard]] const PluginCallbacks& Callbacks() const noexcept { return callbacks_; }
  [[nodiscard]] const ApiExportTable& ExportTable() const noexcept { return exportTable_; }
  [[nodiscard]] const HostContext* Host() const noexcept { return hostContext_; }

 private:
  static uint8_t StartCallback(void* context, const HostContext* hostContext) noexcept;
  static void UnloadCallback(void* context) noexcept;
  static void GetMemoryStatsCallback(void* context, uint32_t* words) noexcept;

  [[nodiscard]] const HostApi* HostTable() const noexcept;
  void InstallLogTarget(const HostApi* api);

  LoggingReference logging_;
  ApiVersion coreApiVersion_;
  std::unique_ptr<Log::PluginLogTarget> logTarget_;
  PluginName name_;
  std::string apiName_;
  std::vector<std::string> apiCategoryPath_;
  std::unique_ptr<Api::ApiRegistry> apiRegistry_;
  const HostContext* hostContext_ = nullptr;
  PluginCallbacks callbacks_{};
  ApiExportTable exportTable_{};
};

}  // namespace Oxle::Client::Plugin
