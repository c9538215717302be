// The ten HostApi slots. Each finds its module from the table's address, catches everything and
// reports a bad record as kSlotFailed with a log line; none throws into the module.
#include <exception>
#include <thread>

#include "core/host_core.h"

namespace Oxle::Client::Host {

namespace {

[[nodiscard]] LoadedModule* ModuleOf(const HostApi* api) noexcept {
  if (api == nullptr) return nullptr;
  return reinterpret_cast<const ModuleApiTable*>(api)->module;
}

// Runs `body` for the module behind `api`, turning any exception into a failure.
template <class Body>
int32_t Guarded(const HostApi* api, const char* slot, Body&& body) noexcept {
  LoadedModule* module = ModuleOf(api);
  if (module == nullptr) return kSlotFailed;
  try {
    return body(*module);
  } catch (const std::exception& error) {
    module->host->HostError("Module '" + module->shortName + "': " + slot +
                            " failed: " + error.what());
  } catch (...) {
    module->host->HostError("Module '" + module->shortName + "': " + slot + " failed");
  }
  return kSlotFailed;
}

int32_t SendRequestSlot(const HostApi* api, ApiResponseRecord* response,
                        const ApiRequestRecord* request) noexcept {
  return Guarded(api, "SendRequest", [&](LoadedModule& module) {
    if (response == nullptr || request == nullptr) {
      module.host->HostError("Module '" + module.shortName + "': SendRequest called with a null " +
                             (response == nullptr ? "response" : "request") + " record");
      return kSlotFailed;
    }
    module.host->Route(*response, *request);
    return kSlotOk;
  });
}

int32_t SendExternalRequestSlot(const HostApi* api, ExternalResponseRecord* response,
                                const ExternalRequestRecord* request) noexcept {
  return Guarded(api, "SendExternalRequest", [&](LoadedModule& module) {
    return module.host->SendExternal(module, response, request);
  });
}

int32_t PublishEventSlot(const HostApi* api, const HostEvent* event) noexcept {
  return Guarded(api, "PublishEvent", [&](LoadedModule& module) {
    return module.host->PublishFromModule(module, event);
  });
}

int32_t SubscribeEventSlot(const HostApi* api, const char* eventName, uint32_t pluginHandle,
                           HostEventCallback callback, void* context, uint32_t flag) noexcept {
  return Guarded(api, "SubscribeEvent", [&](LoadedModule& module) {
    return module.host->Subscribe(module, eventName, pluginHandle, callback, context, flag);
  });
}

int32_t UnsubscribeEventSlot(const HostApi* api, const char* eventName,
                             uint32_t pluginHandle) noexcept {
  return Guarded(api, "UnsubscribeEvent", [&](LoadedModule& module) {
    return module.host->Unsubscribe(module, eventName, pluginHandle);
  });
}

int32_t ScheduleJobSlot(const HostApi* api, const char* jobName, HostJobCallback callback,
                        void* context, double delaySeconds, uint32_t) noexcept {
  return Guarded(api, "ScheduleJob", [&](LoadedModule& module) {
    return module.host->ScheduleJob(module, jobName, callback, context, delaySeconds);
  });
}

int32_t YieldSlot(const HostApi* api) noexcept {
  if (ModuleOf(api) == nullptr) return kSlotFailed;
  std::this_thread::yield();
  return kSlotOk;
}

int32_t MarkWaitSlot(const HostApi* api, const char* text, int32_t) noexcept {
  return Guarded(api, "MarkWait",
                 [&](LoadedModule& module) { return module.host->MarkWait(module, text); });
}

int32_t EndWaitSlot(const HostApi* api) noexcept {
  return Guarded(api, "EndWait",
                 [&](LoadedModule& module) { return module.host->EndWait(module); });
}

int32_t LogSlot(const HostApi* api, int32_t level, const char* message) noexcept {
  return Guarded(api, "Log", [&](LoadedModule& module) {
    if (message == nullptr) {
      module.host->HostError("Module '" + module.shortName + "': Log called with a null message");
      return kSlotFailed;
    }
    module.host->Log(level, module.shortName, message);
    return kSlotOk;
  });
}

}  // namespace

HostApi MakeHostApi() noexcept {
  return HostApi{&SendRequestSlot,
                 &SendExternalRequestSlot,
                 &PublishEventSlot,
                 &SubscribeEventSlot,
                 &UnsubscribeEventSlot,
                 &ScheduleJobSlot,
                 &YieldSlot,
                 &MarkWaitSlot,
                 &EndWaitSlot,
                 &LogSlot};
}

}  // namespace Oxle::Client::Host
