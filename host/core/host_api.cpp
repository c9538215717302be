// The ten HostApi slots and HostCore's bodies of those that need more than the module: publish,
// subscribe and unsubscribe, schedule a job, send an external request, mark and end a wait. Each
// slot finds its module from the table's address, catches everything and reports a bad record as
// kSlotFailed with a log line; none throws into the module.
#include <algorithm>
#include <cmath>
#include <thread>

#include "binding/types/host_value.h"
#include "core/catch_all.h"
#include "core/host_core.h"

namespace Oxle::Client::Host {

namespace {

// A scheduled delay beyond this (about 31 years) is clamped, so the due time cannot overflow.
constexpr double kMaxDelaySeconds = 1e9;

thread_local uint32_t waitDepth = 0;  // MarkWait calls not yet ended on this thread

}  // namespace

// ---- the slots' bodies, with the calling module found ----

int32_t HostCore::PublishFromModule(LoadedModule& module, const HostEvent* event) {
  const std::string who = "Module '" + module.shortName + "': ";
  if (event == nullptr) {
    HostError(who + "PublishEvent called with a null event");
    return kSlotFailed;
  }
  if (event->name == nullptr) {
    HostError(who + "PublishEvent called with an event without a name");
    return kSlotFailed;
  }
  Binding::BindingProperty payload;
  Binding::ValueResult converted;
  if (!Binding::FromHostValue(event->payload, payload, converted, "payload")) {
    HostError(who + "PublishEvent of '" + event->name +
              "' dropped: " + std::string(converted.ErrorMessage()));
    return kSlotFailed;
  }
  Publish(event->name, std::move(payload), event->flags);
  return kSlotOk;
}

int32_t HostCore::Subscribe(LoadedModule& module, const char* name, uint32_t handle,
                            HostEventCallback callback, void* context, uint32_t flag) {
  const std::string who = "Module '" + module.shortName + "': ";
  if (name == nullptr) {
    HostError(who + "SubscribeEvent called without an event name");
    return kSlotFailed;
  }
  if (callback == nullptr) {
    HostError(who + "SubscribeEvent of '" + name + "' called without a callback");
    return kSlotFailed;
  }
  if (handle != module.id) {
    HostError(who + "SubscribeEvent of '" + name + "' with plugin handle " +
              std::to_string(handle) + ", not its own " + std::to_string(module.id));
    return kSlotFailed;
  }
  if (module.gate.Closed()) {
    HostError(who + "SubscribeEvent of '" + name + "' while unloading");
    return kSlotFailed;
  }
  auto subscription = std::make_shared<Subscription>();
  subscription->module = &module;
  subscription->callback = callback;
  subscription->context = context;
  subscription->flag = flag;
  std::shared_ptr<Subscription> replaced;
  {
    std::lock_guard lock(subscriptionsMutex_);
    auto& list = subscriptions_[name];
    const auto it = std::find_if(list.begin(), list.end(),
                                 [&](const auto& existing) { return existing->module == &module; });
    if (it != list.end()) {
      replaced = std::move(*it);
      *it = std::move(subscription);
    } else {
      list.push_back(std::move(subscription));
    }
  }
  // A second subscription of the name replaces the first: its callback gets no further call.
  if (replaced) replaced->gate.Close();
  return kSlotOk;
}

int32_t HostCore::Unsubscribe(LoadedModule& module, const char* name, uint32_t handle) {
  const std::string who = "Module '" + module.shortName + "': ";
  if (name == nullptr) {
    HostError(who + "UnsubscribeEvent called without an event name");
    return kSlotFailed;
  }
  if (handle != module.id) {
    HostError(who + "UnsubscribeEvent of '" + name + "' with plugin handle " +
              std::to_string(handle) + ", not its own " + std::to_string(module.id));
    return kSlotFailed;
  }
  std::shared_ptr<Subscription> removed;
  {
    std::lock_guard lock(subscriptionsMutex_);
    const auto it = subscriptions_.find(name);
    if (it != subscriptions_.end()) {
      auto& list = it->second;
      const auto sub = std::find_if(list.begin(), list.end(), [&](const auto& existing) {
        return existing->module == &module;
      });
      if (sub != list.end()) {
        removed = std::move(*sub);
        list.erase(sub);
        if (list.empty()) subscriptions_.erase(it);
      }
    }
  }
  if (!removed) {
    // While unloading the host has already dropped the module's subscriptions.
    if (module.state.load() != ModuleState::Unloading) {
      Log(kLogWarn, kHostLogName,
          who + "UnsubscribeEvent of '" + name + "', which it has no subscription to");
    }
    return kSlotFailed;
  }
  // Waits for a delivery in progress on another thread; one on this thread is the caller itself.
  removed->gate.Close();
  return kSlotOk;
}

int32_t HostCore::ScheduleJob(LoadedModule& module, const char* name, HostJobCallback callback,
                              void* context, double delaySeconds) {
  const std::string who = "Module '" + module.shortName + "': ";
  if (name == nullptr) {
    HostError(who + "ScheduleJob called without a job name");
    return kSlotFailed;
  }
  if (callback == nullptr) {
    HostError(who + "ScheduleJob of '" + name + "' called without a callback");
    return kSlotFailed;
  }
  if (module.gate.Closed()) {
    HostError(who + "ScheduleJob of '" + name + "' while unloading; the job will not run");
    return kSlotFailed;
  }
  // NaN and negative delays run at once; huge ones are clamped so the due time cannot overflow.
  const double delay = delaySeconds > 0 ? std::min(delaySeconds, kMaxDelaySeconds) : 0.0;
  const Nanos due = HostClock().Now() + Nanos(std::llround(delay * 1e9));
  Jobs().Schedule(module.id, due, [this, &module, callback, context, jobName = std::string(name)] {
    CallGate::Entry inside(module.gate);
    if (!inside) return;
    CatchAll([&] { callback(context); },
             [&](const char* what) {
               HostError(WithReason(
                   "Module '" + module.shortName + "' threw from job '" + jobName + "'", what));
             });
  });
  return kSlotOk;
}

int32_t HostCore::SendExternal(LoadedModule& module, ExternalResponseRecord* response,
                               const ExternalRequestRecord* request) {
  const std::string who = "Module '" + module.shortName + "': ";
  if (response == nullptr || request == nullptr) {
    HostError(who + "SendExternalRequest called with a null " +
              (response == nullptr ? "response" : "request") + " record");
    return kSlotFailed;
  }
  Result<ExternalRequest> read = ReadExternalRequest(*request);
  if (!read.Ok()) {
    HostError(who + read.ErrorMessage());
    FillExternalResponse(*response, ExternalAnswer{kTransportFailed, 0, {}, read.ErrorMessage()});
    return kSlotFailed;
  }
  std::shared_ptr<ExternalTransport> transport;
  {
    std::lock_guard lock(transportMutex_);
    transport = transport_;
  }
  ExternalAnswer answer;
  if (!transport) {
    answer = {kTransportFailed, 0, {}, "No transport is configured for external requests"};
  } else {
    answer = CatchAll(
        [&] { return transport->Send(read.Value()); },
        [](const char* what) {
          return ExternalAnswer{kTransportFailed, 0, {}, WithReason("The transport failed", what)};
        });
  }
  FillExternalResponse(*response, std::move(answer));
  return kSlotOk;
}

int32_t HostCore::MarkWait(LoadedModule&, const char*) {
  ++waitDepth;
  waiting_.fetch_add(1);
  return kSlotOk;
}

int32_t HostCore::EndWait(LoadedModule& module) {
  if (waitDepth == 0) {
    Log(kLogWarn, kHostLogName, "Module '" + module.shortName + "': EndWait without MarkWait");
    return kSlotFailed;
  }
  --waitDepth;
  waiting_.fetch_sub(1);
  return kSlotOk;
}

// ---- the slots ----

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
  return CatchAll([&] { return body(*module); },
                  [&](const char* what) {
                    module->host->HostError(WithReason(
                        "Module '" + module->shortName + "': " + slot + " failed", what));
                    return kSlotFailed;
                  });
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
