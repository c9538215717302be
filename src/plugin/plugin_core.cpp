#include "plugin/plugin_core.h"

#include <cstring>
#include <exception>
#include <utility>

#include "api/resource_uri.h"
#include "log/log_record.h"
#include "log/logger.h"
#include "plugin/telemetry_sink.h"

namespace Oxle::Client::Plugin {

using Api::EventNameForUri;
using Api::IsResourcePattern;
using Api::MatchesResourcePattern;

namespace {

// Every table of the plugin starts (and restarts) with 8 buckets.
template <typename Map>
void ResetTable(Map& map) {
  Map fresh(8);
  map.swap(fresh);
}

// A message's text as a C string for the printf-style traces and logs.
std::string Text(std::string_view text) {
  return std::string(text);
}

// Logs what a handler or job threw.
void LogFailure(const std::string& shortName, const char* what, const char* name,
                std::exception_ptr failure) noexcept {
  try {
    std::rethrow_exception(std::move(failure));
  } catch (const std::exception& error) {
    Log::Log(Log::ERROR, 1, 0, "%s: %s %s failed: %s", shortName.c_str(), what, name, error.what());
  } catch (...) {
    Log::Log(Log::ERROR, 1, 0, "%s: %s %s failed: unknown exception", shortName.c_str(), what,
             name);
  }
}

}  // namespace

PluginCore::PluginCore() : gate_(this) {
  ResetTable(exactResourceHandlers_);
  ResetTable(patternResourceHandlers_);
  ResetTable(eventHandlers_);
  ResetTable(subscriptionCounts_);
  ResetTable(pendingServiceRequests_);
  ResetTable(asyncServiceHandlers_);
  ResetTable(receivedServiceResponses_);
  ResetTable(timers_);
  eventToken_ = gate_.Issue(0, false);
}

PluginCore::~PluginCore() {
  gate_.Close();
}

Binding::BindingRegistry& PluginCore::RequireRegistry() const {
  if (registry_ == nullptr) throw std::logic_error("the plugin has no type registry");
  return *registry_;
}

void PluginCore::StartCore(uint32_t pluginHandle, std::string shortName, std::string userAgent) {
  pluginHandle_ = pluginHandle;
  shortName_ = std::move(shortName);
  userAgent_ = std::move(userAgent);
  telemetrySink_ = std::make_unique<TelemetrySink>(*this);
  AddEventHandler("OnServiceProxyUuidEvent", ServiceProxyHandler([this](const auto& response) {
                    HandleServiceProxyResponse(response, true);
                  }),
                  1);
  AddEventHandler("OnServiceProxyMethodEvent", ServiceProxyHandler([this](const auto& response) {
                    HandleServiceProxyResponse(response, false);
                  }),
                  1);
  AddEventHandler("OnServiceProxyAsyncEvent", ServiceProxyHandler([this](const auto& response) {
                    HandleAsyncServiceProxyResponse(response);
                  }),
                  1);
}

// ---- subscriptions ----

void PluginCore::Subscribe(std::string_view uri) {
  const std::string name = EventNameForUri(uri);
  {
    std::unique_lock<std::shared_mutex> lock(eventMutex_);
    SubscriptionState& state = subscriptionCounts_[name];
    ++state.count;
    if (!ClaimHostSync(state)) return;
  }
  SyncHostSubscription(name);
}

void PluginCore::Unsubscribe(std::string_view uri) {
  const std::string name = EventNameForUri(uri);
  {
    std::unique_lock<std::shared_mutex> lock(eventMutex_);
    const auto found = subscriptionCounts_.find(name);
    // A count already at 0 is a caller's imbalance: it must not wrap round.
    if (found == subscriptionCounts_.end() || found->second.count == 0) return;
    --found->second.count;
    if (!ClaimHostSync(found->second)) return;
  }
  SyncHostSubscription(name);
}

bool PluginCore::ClaimHostSync(SubscriptionState& state) noexcept {
  if (state.syncing || (state.count > 0) == state.atHost) return false;
  state.syncing = true;
  return true;
}

void PluginCore::SyncHostSubscription(const std::string& name) {
  // Whatever happens, the claim goes, or no later change of the name would reach the host.
  struct Claim {
    PluginCore& core;
    const std::string& name;
    bool held = true;
    ~Claim() {
      if (!held) return;
      std::unique_lock<std::shared_mutex> lock(core.eventMutex_);
      const auto found = core.subscriptionCounts_.find(name);
      if (found != core.subscriptionCounts_.end()) found->second.syncing = false;
    }
  } claim{*this, name};
  while (true) {
    bool subscribe = false;
    {
      std::unique_lock<std::shared_mutex> lock(eventMutex_);
      SubscriptionState& state = subscriptionCounts_[name];
      subscribe = state.count > 0;
      if (subscribe == state.atHost) {
        state.syncing = false;
        claim.held = false;
        return;
      }
      state.atHost = subscribe;
    }
    if (subscribe) {
      Trace("%s: Subscribing to event: %s", shortName_.c_str(), name.c_str());
      AddHostEventHandler(name,
                          Converting<PluginResourceEvent>(
                              [this](const PluginResourceEvent& event) { RouteResource(event); },
                              "PluginResourceEvent"),
                          0);
      continue;
    }
    UnsubscribeEvent(name.c_str(), pluginHandle_);
    std::shared_ptr<const HostEventHandler> removed;  // released after the lock
    {
      std::unique_lock<std::shared_mutex> lock(eventMutex_);
      const auto found = eventHandlers_.find(name);
      if (found != eventHandlers_.end() && subscriptionCounts_[name].count == 0) {
        removed = std::move(found->second);
        eventHandlers_.erase(found);
      }
    }
    Trace("%s: Unsubscribing to event: %s", shortName_.c_str(), name.c_str());
  }
}

void PluginCore::Stop() {
  // The counts, and what the host was last told of them, stay: a later Unsubscribe to 0 still
  // unsubscribes at the host, and a later Subscribe of a counted name does not subscribe again.
  std::vector<std::string> names;
  {
    std::shared_lock<std::shared_mutex> lock(eventMutex_);
    names.reserve(eventHandlers_.size());
    for (const auto& entry : eventHandlers_)
      names.push_back(entry.first);
  }
  for (const std::string& name : names)
    UnsubscribeEvent(name.c_str(), pluginHandle_);

  // The old tables die after the locks are released: handlers may own anything.
  decltype(eventHandlers_) oldHandlers(8);
  decltype(exactResourceHandlers_) oldExact(8);
  decltype(patternResourceHandlers_) oldPatterns(8);
  {
    std::unique_lock<std::shared_mutex> lock(eventMutex_);
    eventHandlers_.swap(oldHandlers);
    exactResourceHandlers_.swap(oldExact);
    patternResourceHandlers_.swap(oldPatterns);
  }

  decltype(pendingServiceRequests_) oldPending(8);
  decltype(asyncServiceHandlers_) oldAsync(8);
  decltype(receivedServiceResponses_) oldReceived(8);
  std::list<std::string> oldOrder;
  {
    std::lock_guard<std::mutex> lock(serviceMutex_);
    pendingServiceRequests_.swap(oldPending);
    asyncServiceHandlers_.swap(oldAsync);
    receivedServiceResponses_.swap(oldReceived);
    receivedOrder_.swap(oldOrder);
  }
}

void PluginCore::AddEventHandler(std::string_view eventName, ResourceHandler handler,
                                 uint32_t flag) {
  AddHostEventHandler(
      eventName, Converting<PluginResourceEvent>(std::move(handler), "PluginResourceEvent"), flag);
}

void PluginCore::AddEventHandler(std::string_view eventName, ServiceProxyHandler handler,
                                 uint32_t flag) {
  AddHostEventHandler(
      eventName,
      Converting<PluginServiceProxyResponse>(std::move(handler), "PluginServiceProxyResponse"),
      flag);
}

void PluginCore::AddHostEventHandler(std::string_view eventName, HostEventHandler handler,
                                     uint32_t flag) {
  const std::string name(eventName);
  auto shared = std::make_shared<const HostEventHandler>(std::move(handler));
  std::shared_ptr<const HostEventHandler> previous;  // released after the lock
  {
    std::unique_lock<std::shared_mutex> lock(eventMutex_);
    std::shared_ptr<const HostEventHandler>& slot = eventHandlers_[name];
    previous = std::move(slot);
    slot = std::move(shared);
  }
  SubscribeEvent(name.c_str(), pluginHandle_, &PluginCore::EventCallback,
                 TokenToContext(eventToken_), flag);
}

template <typename Payload>
HostEventHandler PluginCore::Converting(std::function<void(const Payload&)> handler,
                                        const char* typeName) {
  return [this, handler = std::move(handler), typeName](const HostEvent& event) {
    Binding::BindingProperty property;
    Binding::ValueResult converted;
    if (!Binding::FromHostValue(event.payload, property, converted, "<result>")) {
      Trace("%s: Couldn't convert payload %s for event %s: %s", shortName_.c_str(), typeName,
            event.name, Text(converted.ErrorMessage()).c_str());
      return;
    }
    Payload native{};
    const Binding::ValueResult read = FromProperty(property, native, "<result>", RequireRegistry());
    if (!read.Ok()) {
      Trace("%s: Couldn't convert payload %s for event %s: %s", shortName_.c_str(), typeName,
            event.name, Text(read.ErrorMessage()).c_str());
      return;
    }
    Trace("%s: Handling event %s", shortName_.c_str(), event.name);
    handler(native);
  };
}

// ---- delivery ----

void PluginCore::EventCallback(const HostEvent* event) noexcept {
  if (event == nullptr) return;
  try {
    const CallbackGate::Pass pass = CallbackGate::Enter(ContextToToken(event->context));
    if (!pass) return;
    static_cast<PluginCore*>(pass.Owner())->Deliver(*event);
  } catch (...) {
    // Deliver reports its own failures; only admission bookkeeping can get here.
  }
}

void PluginCore::Deliver(const HostEvent& event) {
  if (event.name == nullptr) {
    Trace("%s: Dropped an event without a name", shortName_.c_str());
    return;
  }
  std::shared_ptr<const HostEventHandler> handler;
  {
    std::shared_lock<std::shared_mutex> lock(eventMutex_);
    const auto found = eventHandlers_.find(std::string(event.name));
    if (found != eventHandlers_.end()) handler = found->second;
  }
  if (handler == nullptr) return;
  try {
    (*handler)(event);
  } catch (...) {
    LogFailure(shortName_, "Handler of event", event.name, std::current_exception());
  }
}

void PluginCore::RouteResource(const PluginResourceEvent& event) {
  std::string uri;
  if (event.uri.empty() || event.uri.front() != '/') uri.push_back('/');
  uri.append(event.uri);
  std::shared_ptr<const ResourceHandler> exact;
  std::vector<std::shared_ptr<const ResourceHandler>> patterns;
  {
    std::shared_lock<std::shared_mutex> lock(eventMutex_);
    const auto found = exactResourceHandlers_.find(uri);
    if (found != exactResourceHandlers_.end()) exact = found->second;
    for (const auto& [pattern, handler] : patternResourceHandlers_) {
      if (MatchesResourcePattern(pattern, uri)) patterns.push_back(handler);
    }
  }
  if (exact != nullptr) (*exact)(event);
  for (const auto& handler : patterns)
    (*handler)(event);
}

void PluginCore::ObserveResource(std::string_view uri, ResourceHandler handler) {
  auto shared = std::make_shared<const ResourceHandler>(std::move(handler));
  const bool pattern = IsResourcePattern(uri);
  std::shared_ptr<const ResourceHandler> previous;
  {
    std::unique_lock<std::shared_mutex> lock(eventMutex_);
    auto& table = pattern ? patternResourceHandlers_ : exactResourceHandlers_;
    std::shared_ptr<const ResourceHandler>& slot = table[std::string(uri)];
    previous = std::move(slot);
    slot = shared;
  }
  Subscribe(uri);
  if (pattern) return;
  RequestResult<Binding::BindingProperty> current =
      GetResource<Binding::BindingProperty>(Api::HttpMethod::Get, uri);
  if (!current.Ok()) return;
  (*shared)(PluginResourceEvent{std::string(uri), PluginResourceEventType::Create,
                                std::move(current.Value())});
}

RequestResult<> PluginCore::SendEventValue(std::string_view eventName,
                                           const Binding::BindingProperty& payload,
                                           uint32_t flags) {
  const std::string computedName = EventNameForUri(payload.Get("uri").GetString());
  Trace("%s: Sending event: %s", shortName_.c_str(), computedName.c_str());
  HostEvent record{};
  Binding::ValueResult converted;
  if (!Binding::ToHostValue(payload, registry_, record.payload, converted)) {
    return RequestError{0, std::string(converted.ErrorMessage()), {}};
  }
  struct Release {
    HostValue& value;
    ~Release() { Binding::ReleaseHostValue(value); }
  } release{record.payload};
  record.name = computedName.c_str();
  record.flags = flags;
  record.context = nullptr;
  PublishEvent(record);
  const std::string name(eventName);
  if (name != computedName) {
    record.name = name.c_str();
    PublishEvent(record);
  }
  return {};
}

// ---- jobs ----

void PluginCore::ScheduleAt(std::string_view name, std::chrono::steady_clock::time_point deadline,
                            Job job) {
  const auto remaining = std::chrono::duration_cast<std::chrono::nanoseconds>(
      deadline - std::chrono::steady_clock::now());
  double delay = static_cast<double>(remaining.count()) * 1e-9;
  if (!(delay > 0.0)) delay = 0.0;

  std::string jobName(name);
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> lock(timerMutex_);
    id = nextTimerId_++;
    timers_[id] = TimerEntry{this, id, jobName, std::move(job)};
  }
  const uintptr_t token = gate_.Issue(id, true);
  if (token == 0) {  // unloading: nothing may run any more
    std::lock_guard<std::mutex> lock(timerMutex_);
    timers_.erase(id);
    return;
  }
  if (ScheduleJob(jobName.c_str(), &PluginCore::JobCallback, TokenToContext(token), delay, 0) < 0) {
    // The host refused the job (no host yet, or it is unloading us): nothing will ever call
    // back with this token, so neither the token nor the entry may stay behind.
    gate_.Withdraw(token);
    std::lock_guard<std::mutex> lock(timerMutex_);
    timers_.erase(id);
  }
}

size_t PluginCore::PendingJobCount() const {
  std::lock_guard<std::mutex> lock(timerMutex_);
  return timers_.size();
}

void PluginCore::JobCallback(void* context) noexcept {
  try {
    const CallbackGate::Pass pass = CallbackGate::Enter(ContextToToken(context));
    if (!pass) return;
    static_cast<PluginCore*>(pass.Owner())->RunJob(pass.Value());
  } catch (...) {
    // RunJob reports its own failures; only admission bookkeeping can get here.
  }
}

void PluginCore::RunJob(uint64_t id) {
  TimerEntry entry;
  {
    std::lock_guard<std::mutex> lock(timerMutex_);
    const auto found = timers_.find(id);
    if (found == timers_.end()) return;
    entry = std::move(found->second);
    timers_.erase(found);
  }
  try {
    entry.job();
  } catch (...) {
    LogFailure(shortName_, "Job", entry.name.c_str(), std::current_exception());
  }
}

}  // namespace Oxle::Client::Plugin
