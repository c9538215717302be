#include "plugin/plugin_base.h"

#include <cstdlib>
#include <exception>

#include "binding/format/positional_format.h"
#include "binding/types/builtin_types.h"
#include "log/allocation_hooks.h"
#include "log/assertion_report.h"
#include "log/log_record.h"
#include "log/logger.h"
#include "plugin/plugin_types.h"

namespace Oxle::Client::Plugin {

LoggingReference::LoggingReference() noexcept {
  Log::Logger::Instance().AddReference();
}

LoggingReference::~LoggingReference() {
  Log::Logger::Instance().Release();
}

PluginBase::PluginBase() : apiRegistry_(std::make_unique<Api::ApiRegistry>()) {
  Binding::RegisterBuiltinEvents(*apiRegistry_);
  callbacks_.Start = &PluginBase::StartCallback;
  callbacks_.Unload = &PluginBase::UnloadCallback;
  callbacks_.GetMemoryStats = &PluginBase::GetMemoryStatsCallback;
}

PluginBase::~PluginBase() {
  // Callbacks may read members of this layer: none may run while they go away.
  CloseCallbacks();
}

// ---- host forwarders ----

const HostApi* PluginBase::HostTable() const noexcept {
  return hostContext_ != nullptr ? hostContext_->api : nullptr;
}

int32_t PluginBase::SendRequest(ApiResponseRecord& response, const ApiRequestRecord& request) {
  const HostApi* api = HostTable();
  if (api == nullptr || api->SendRequest == nullptr) return -1;
  return api->SendRequest(api, &response, &request);
}

int32_t PluginBase::SendExternalRequest(ExternalResponseRecord& response,
                                        const ExternalRequestRecord& request) {
  const HostApi* api = HostTable();
  if (api == nullptr || api->SendExternalRequest == nullptr) return -1;
  return api->SendExternalRequest(api, &response, &request);
}

int32_t PluginBase::PublishEvent(const HostEvent& event) {
  const HostApi* api = HostTable();
  if (api == nullptr || api->PublishEvent == nullptr) return -1;
  return api->PublishEvent(api, &event);
}

int32_t PluginBase::SubscribeEvent(const char* eventName, uint32_t pluginHandle,
                                   HostEventCallback callback, void* context, uint32_t flag) {
  const HostApi* api = HostTable();
  if (api == nullptr || api->SubscribeEvent == nullptr) return -1;
  return api->SubscribeEvent(api, eventName, pluginHandle, callback, context, flag);
}

int32_t PluginBase::UnsubscribeEvent(const char* eventName, uint32_t pluginHandle) {
  const HostApi* api = HostTable();
  if (api == nullptr || api->UnsubscribeEvent == nullptr) return -1;
  return api->UnsubscribeEvent(api, eventName, pluginHandle);
}

int32_t PluginBase::ScheduleJob(const char* jobName, HostJobCallback callback, void* context,
                                double delaySeconds, uint32_t flag) {
  const HostApi* api = HostTable();
  if (api == nullptr || api->ScheduleJob == nullptr) return -1;
  return api->ScheduleJob(api, jobName, callback, context, delaySeconds, flag);
}

int32_t PluginBase::Yield() {
  const HostApi* api = HostTable();
  if (api == nullptr || api->Yield == nullptr) return -1;
  return api->Yield(api);
}

int32_t PluginBase::MarkWait(const std::string& text, int32_t value) {
  const HostApi* api = HostTable();
  if (api == nullptr || api->MarkWait == nullptr) return -1;
  return api->MarkWait(api, text.c_str(), value);
}

int32_t PluginBase::EndWait() {
  const HostApi* api = HostTable();
  if (api == nullptr || api->EndWait == nullptr) return -1;
  return api->EndWait(api);
}

// ---- lifecycle ----

void PluginBase::Register(PluginDescriptor* descriptor, std::string_view shortName) {
  if (descriptor == nullptr) return;
  const ApiVersion plugin{kPluginApiMajor, kPluginApiMinor, kPluginApiPatch, {}, {}};
  const ApiVersion core{descriptor->major, descriptor->minor, descriptor->patch, {}, {}};
  if (!IsCompatible(plugin, core)) {
    Log::ReportAssertion("ALE-EECF0606", "", "", 0, "");
    std::abort();
  }
  coreApiVersion_ = core;
  name_ = MakePluginName(shortName, "backend");
  apiCategoryPath_ = {"Plugins", "Plugin " + name_.shortName};
  apiName_ = Api::MakeFunctionName("", name_.shortName);
  RegisterPluginTypes(*apiRegistry_);
  SetRegistry(apiRegistry_.get());
  RegisterApi();
  exportTable_ = apiRegistry_->BuildExportTable();

  descriptor->major = kPluginApiMajor;
  descriptor->minor = kPluginApiMinor;
  descriptor->patch = kPluginApiPatch;
  descriptor->callbacks = &callbacks_;
  descriptor->context = this;
  descriptor->shortName = name_.shortName.c_str();
  descriptor->exportTable = &exportTable_;
}

void PluginBase::InstallLogTarget(const HostApi* api) {
  Log::Logger& logger = Log::Logger::Instance();
  if (logger.FindTarget("PluginLogTarget") != nullptr) return;
  if (Log::LogTarget* target = logger.StdOutTarget()) target->Detach();
  if (Log::LogTarget* target = logger.StdErrTarget()) target->Detach();
  if (Log::LogTarget* target = logger.DebuggerTarget()) target->Detach();
  logger.SetMinimumLevel(Log::OKAY);
  logger.SetExcludedCategories(4);
  auto target = std::make_unique<Log::PluginLogTarget>(api);
  target->Configure(logger.MinimumLevel(), 0, 0, "#D| #L| #G| #M");
  logTarget_ = std::move(target);
}

bool PluginBase::Start(const HostContext* hostContext) {
  if (hostContext == nullptr) return false;
  hostContext_ = hostContext;
  InstallLogTarget(hostContext->api);
  std::string userAgent =
      Binding::FormatToString("OxleClient/%1 (%2)", coreApiVersion_.ToString(), name_.shortName);
  StartCore(hostContext->pluginHandle, name_.shortName, std::move(userAgent));
  return OnStart();
}

void PluginBase::Unload() {
  CloseCallbacks();
  Stop();
  delete this;
}

void PluginBase::GetMemoryStats(uint32_t* words) const noexcept {
  if (words == nullptr) return;
  const Log::AllocationCounters counters = Log::ReadAllocationCounters();
  const uint64_t values[6] = {counters.peakBytes,      counters.liveAllocationsAtPeak,
                              counters.bytesAllocated, counters.allocations,
                              counters.bytesFreed,     counters.frees};
  for (size_t i = 0; i < 6; ++i) {
    words[2 * i] = static_cast<uint32_t>(values[i]);
    words[2 * i + 1] = static_cast<uint32_t>(values[i] >> 32);
  }
  words[12] = 0;
  words[13] = 0;
}

uint8_t PluginBase::StartCallback(void* context, const HostContext* hostContext) noexcept {
  auto* plugin = static_cast<PluginBase*>(context);
  if (plugin == nullptr) return 0;
  try {
    return plugin->Start(hostContext) ? 1 : 0;
  } catch (const std::exception& error) {
    Log::Log(Log::ERROR, 1, 0, "%s: Start failed: %s", plugin->ShortName().c_str(), error.what());
  } catch (...) {
    Log::Log(Log::ERROR, 1, 0, "%s: Start failed: unknown exception", plugin->ShortName().c_str());
  }
  return 0;
}

void PluginBase::UnloadCallback(void* context) noexcept {
  auto* plugin = static_cast<PluginBase*>(context);
  if (plugin == nullptr) return;
  try {
    plugin->Unload();
  } catch (const std::exception& error) {
    // Stop failed part-way; the object still goes.
    Log::Log(Log::ERROR, 1, 0, "%s: Unload failed: %s", plugin->ShortName().c_str(), error.what());
    delete plugin;
  } catch (...) {
    Log::Log(Log::ERROR, 1, 0, "%s: Unload failed: unknown exception", plugin->ShortName().c_str());
    delete plugin;
  }
}

void PluginBase::GetMemoryStatsCallback(void* context, uint32_t* words) noexcept {
  const auto* plugin = static_cast<const PluginBase*>(context);
  if (plugin != nullptr) plugin->GetMemoryStats(words);
}

}  // namespace Oxle::Client::Plugin
