// PluginCore: the host-independent middle layer of a plugin object. It keeps the plugin's event
// handlers and reference-counted subscriptions, routes resource events to the handlers a feature
// observes, publishes resources, makes API calls and external requests through the host,
// keeps the service-proxy tables and schedules jobs. The host forwarders (one per HostApi function
// from SendRequest to EndWait, plugin_abi.h) are left to PluginBase, so everything here reaches
// the host only through them.
//
// Threads: events, jobs and requests arrive on host threads, several at once. The event maps
// and subscription counts take a reader-writer lock held only for map operations; no lock is
// held while the host, a handler, a job or a converter runs, except the service-proxy mutex
// around waiting callables and async handlers. A subscription change that must reach the host
// is carried out by one thread per event name at a time, which repeats until the host agrees
// with the count, so the host sees a name's subscribe and unsubscribe calls alternate however
// changes race. Host callbacks reach the object only through tokens of its CallbackGate, and
// nothing thrown escapes them: a throwing handler or job is logged at ERROR.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "api/routes.h"
#include "binding/types/binding_registry.h"
#include "binding/types/host_value.h"
#include "binding/value/binding_property.h"
#include "binding/value/value_result.h"
#include "plugin/callback_gate.h"
#include "plugin/external_request.h"
#include "plugin/plugin_types.h"
#include "plugin/request_error.h"
#include "plugin/resource_subscriber.h"
#include "plugin/trace_hook.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Plugin {

class TelemetrySink;

using ResourceHandler = std::function<void(const PluginResourceEvent&)>;
using ServiceProxyHandler = std::function<void(const PluginServiceProxyResponse&)>;
using HostEventHandler = std::function<void(const HostEvent&)>;
using Job = std::function<void()>;
// Named arguments of an API call.
using ApiParameters = std::unordered_map<std::string, Binding::BindingProperty>;

// The most received service-proxy responses kept without a waiting request; beyond it the
// oldest is dropped (a warning is logged the first time).
inline constexpr size_t kMaxReceivedServiceResponses = 1024;

// The response record of one API call made through the host; released through the record's own
// free callback when this object goes (or on Release).
class ApiCallResponse {
 public:
  ApiCallResponse() noexcept;
  ApiCallResponse(const ApiCallResponse&) = delete;
  ApiCallResponse& operator=(const ApiCallResponse&) = delete;
  ~ApiCallResponse() { Release(); }

  // Calls the free callback once, if the host set one, and zeroes the record.
  void Release() noexcept;

  ApiResponseRecord record;
};

class PluginCore : public ResourceSubscriber {
 public:
  PluginCore();
  PluginCore(const PluginCore&) = delete;
  PluginCore& operator=(const PluginCore&) = delete;
  ~PluginCore() override;

  // Counted subscriptions: the first Subscribe of an event name subscribes at the host, the
  // Unsubscribe that brings its count to 0 unsubscribes. An Unsubscribe of a name whose count is
  // already 0 changes nothing.
  void Subscribe(std::string_view uri) override;
  void Unsubscribe(std::string_view uri) override;

  // Stopping: unsubscribes every handled event name at the host (each once) and empties the
  // handler and service-proxy tables; subscription counts and pending jobs stay.
  virtual void Stop();

  // The host's functions, one per HostApi function from SendRequest to EndWait (plugin_abi.h;
  // Log goes through the log target instead). Results are the host's.
  virtual int32_t SendRequest(ApiResponseRecord& response, const ApiRequestRecord& request) = 0;
  virtual int32_t SendExternalRequest(ExternalResponseRecord& response,
                                      const ExternalRequestRecord& request) = 0;
  virtual int32_t PublishEvent(const HostEvent& event) = 0;
  virtual int32_t SubscribeEvent(const char* eventName, uint32_t pluginHandle,
                                 HostEventCallback callback, void* context, uint32_t flag) = 0;
  virtual int32_t UnsubscribeEvent(const char* eventName, uint32_t pluginHandle) = 0;
  virtual int32_t ScheduleJob(const char* jobName, HostJobCallback callback, void* context,
                              double delaySeconds, uint32_t flag) = 0;
  virtual int32_t Yield() = 0;
  virtual int32_t MarkWait(const std::string& text, int32_t value) = 0;
  virtual int32_t EndWait() = 0;

  // ---- Resource events ----

  // Handles `eventName` with `handler` (replacing an earlier one) and subscribes it at the host
  // with `flag`. Payloads are converted to the handler's record first; one that does not
  // convert is dropped with a trace.
  void AddEventHandler(std::string_view eventName, ResourceHandler handler, uint32_t flag);
  void AddEventHandler(std::string_view eventName, ServiceProxyHandler handler, uint32_t flag);

  // Observes a URI (or a "*" pattern): stores the handler, subscribes, and for an exact URI
  // delivers the current content (read with GET) as a Create event when the read succeeds.
  void ObserveResource(std::string_view uri, ResourceHandler handler);

  // Publishes an Update of the resource at `uri` with `value` (a BindingProperty or a
  // registered struct): under the URI's event name and under "OnJsonApiEvent".
  template <typename T>
  RequestResult<> PublishResource(std::string_view uri, const T& value);

  // Converts `payload` (a registered struct with a "uri" member, or a BindingProperty) and
  // publishes it under the event name of its URI, then, if different, under `eventName`.
  template <typename T>
  RequestResult<> SendEvent(std::string_view eventName, const T& payload, uint32_t flags);
  RequestResult<> SendEventValue(std::string_view eventName,
                                 const Binding::BindingProperty& payload, uint32_t flags);

  // ---- Requests through the host ----

  // An API call; on success the result stays in `response` for the caller to read.
  RequestResult<> CallApi(ApiCallResponse& response, Api::HttpMethod method,
                          std::string_view target);
  // The same with named arguments, converted to the host's native arguments first (a failure
  // is status 400 and nothing is sent).
  RequestResult<> CallApi(ApiCallResponse& response, Api::HttpMethod method,
                          std::string_view target, const ApiParameters& parameters);
  // Reads a response's body stream to its end (yielding to the host while data is missing),
  // releases the stream and parses the text as JSON.
  [[nodiscard]] Binding::ValueResult ReadResponseBody(ApiResponseRecord& response);
  // An API call whose answer is converted to T (a BindingProperty or a registered struct).
  template <typename T>
  [[nodiscard]] RequestResult<T> GetResource(Api::HttpMethod method, std::string_view target);
  // An external HTTP request; deciding what the status and the marks mean is the caller's.
  [[nodiscard]] ExternalResponse SendExternal(const ExternalRequest& request);
  // Fills `record` from `request`; `headerPairs` receives the pairs the record points to (a
  // "user-agent" first unless the request has one in any letter case).
  void FillExternalRequest(const ExternalRequest& request, ExternalRequestRecord& record,
                           std::vector<ApiHeader>& headerPairs) const;

  // ---- Service proxy ----

  // Matches the received responses against the waiting requests: the first match is answered
  // and both entries are removed.
  void FulfillServiceRequests();
  // Waits for the response with `key` (a uuid, or "service.method"); answered at once if it
  // was received already.
  void AddServiceRequest(std::string key, ServiceProxyHandler waiting);
  // Handles async responses of "service.method".
  void AddAsyncServiceHandler(std::string key, ServiceProxyHandler handler);
  // Received responses nobody has waited for yet.
  [[nodiscard]] size_t ReceivedServiceResponseCount() const;
  // Null before Start.
  [[nodiscard]] TelemetrySink* Telemetry() noexcept { return telemetrySink_.get(); }

  // ---- Jobs ----

  // Runs `job` once, on a host thread, no earlier than `deadline`.
  void ScheduleAt(std::string_view name, std::chrono::steady_clock::time_point deadline, Job job);
  // Jobs scheduled and not yet run.
  [[nodiscard]] size_t PendingJobCount() const;

  [[nodiscard]] uint32_t PluginHandle() const noexcept { return pluginHandle_; }
  [[nodiscard]] const std::string& ShortName() const noexcept { return shortName_; }
  [[nodiscard]] const std::string& UserAgent() const noexcept { return userAgent_; }
  [[nodiscard]] Binding::BindingRegistry* Registry() const noexcept { return registry_; }

 protected:
  void SetRegistry(Binding::BindingRegistry* registry) noexcept { registry_ = registry; }
  // What Start gives the core: the host's handle, the names, and the service-proxy
  // subscriptions.
  void StartCore(uint32_t pluginHandle, std::string shortName, std::string userAgent);
  // Refuses every later host callback and waits for the running ones (Unload's first step).
  void CloseCallbacks() noexcept { gate_.Close(); }

 private:
  struct TimerEntry {
    PluginCore* owner = nullptr;
    uint64_t id = 0;
    std::string name;
    Job job;
  };
  struct ReceivedResponse {
    PluginServiceProxyResponse response;
    std::list<std::string>::iterator order;
  };

  // The host's callbacks: the context is a token of gate_.
  static void EventCallback(const HostEvent* event) noexcept;
  static void JobCallback(void* context) noexcept;

  [[nodiscard]] Binding::BindingRegistry& RequireRegistry() const;
  // A name's subscription count, and what the host was last told of it.
  struct SubscriptionState {
    uint32_t count = 0;
    bool atHost = false;   // subscribed at the host
    bool syncing = false;  // a thread is bringing the host in line with the count
  };

  void AddHostEventHandler(std::string_view eventName, HostEventHandler handler, uint32_t flag);
  // eventMutex_ held: true when the caller is to bring the host in line with `state` (the host
  // disagrees with the count, and no other thread is doing it already).
  [[nodiscard]] static bool ClaimHostSync(SubscriptionState& state) noexcept;
  // Subscribes or unsubscribes `name` at the host until it agrees with the count; called with a
  // claim and no lock held.
  void SyncHostSubscription(const std::string& name);
  template <typename Payload>
  [[nodiscard]] HostEventHandler Converting(std::function<void(const Payload&)> handler,
                                            const char* typeName);
  void Deliver(const HostEvent& event);
  void RouteResource(const PluginResourceEvent& event);
  void RunJob(uint64_t id);
  RequestResult<> GetResourceValue(Api::HttpMethod method, std::string_view target,
                                   Binding::BindingProperty& out);
  RequestResult<> SendApiRequest(ApiCallResponse& response, Api::HttpMethod method,
                                 std::string_view target,
                                 const std::vector<ApiNativeArgument>& arguments);
  void HandleServiceProxyResponse(const PluginServiceProxyResponse& response, bool byUuid);
  void HandleAsyncServiceProxyResponse(const PluginServiceProxyResponse& response);
  void StoreReceivedLocked(std::string key, const PluginServiceProxyResponse& response,
                           bool& dropped);  // serviceMutex_ held

  template <typename T>
  [[nodiscard]] RequestResult<T> ConvertError(std::string_view format, Api::HttpMethod method,
                                              std::string_view target, std::string_view error);

  // Guards exactResourceHandlers_, patternResourceHandlers_, eventHandlers_ and
  // subscriptionCounts_; held only for map operations.
  mutable std::shared_mutex eventMutex_;
  std::unordered_map<std::string, std::shared_ptr<const ResourceHandler>> exactResourceHandlers_;
  std::unordered_map<std::string, std::shared_ptr<const ResourceHandler>> patternResourceHandlers_;
  Binding::BindingRegistry* registry_ = nullptr;
  uint32_t pluginHandle_ = 0;
  std::string shortName_;
  std::string userAgent_;
  std::unique_ptr<TelemetrySink> telemetrySink_;
  std::unordered_map<std::string, std::shared_ptr<const HostEventHandler>> eventHandlers_;
  std::unordered_map<std::string, SubscriptionState> subscriptionCounts_;

  // Guards the three service-proxy tables, receivedOrder_ and droppedWarned_.
  mutable std::mutex serviceMutex_;
  std::unordered_map<std::string, ServiceProxyHandler> pendingServiceRequests_;
  std::unordered_map<std::string, ServiceProxyHandler> asyncServiceHandlers_;
  std::unordered_map<std::string, ReceivedResponse> receivedServiceResponses_;
  std::list<std::string> receivedOrder_;  // keys of receivedServiceResponses_, oldest first
  bool droppedWarned_ = false;

  // Guards timers_ and nextTimerId_.
  mutable std::mutex timerMutex_;
  std::unordered_map<uint64_t, TimerEntry> timers_;
  uint64_t nextTimerId_ = 1;

  // The context of every event subscription: a token of gate_, never the object's address.
  uintptr_t eventToken_ = 0;
  // Last member: closed first on destruction, before anything a callback reads goes away.
  CallbackGate gate_;
};

// ---- templates ----

template <typename T>
RequestResult<> PluginCore::SendEvent(std::string_view eventName, const T& payload,
                                      uint32_t flags) {
  Binding::ValueResult converted = ToProperty(payload, RequireRegistry());
  if (!converted.Ok()) return RequestResult<>::Error(std::string(converted.ErrorMessage()));
  return SendEventValue(eventName, converted.Value(), flags);
}

template <typename T>
RequestResult<> PluginCore::PublishResource(std::string_view uri, const T& value) {
  Binding::ValueResult converted = ToProperty(value, RequireRegistry());
  if (!converted.Ok()) {
    const std::string uriText(uri);
    Trace("%s: Couldn't convert resource %s for event uri \"%s\"", shortName_.c_str(),
          Binding::TypeIdOf<T>().Name(), uriText.c_str());
    return RequestResult<>::Error(std::string(converted.ErrorMessage()));
  }
  const PluginResourceEvent event{std::string(uri), PluginResourceEventType::Update,
                                  std::move(converted.Value())};
  return SendEvent("OnJsonApiEvent", event, 0);
}

template <typename T>
RequestResult<T> PluginCore::ConvertError(std::string_view format, Api::HttpMethod method,
                                          std::string_view target, std::string_view error) {
  return RequestError::FromTemplate(0, format, {Api::MethodText(method), target, error});
}

template <typename T>
RequestResult<T> PluginCore::GetResource(Api::HttpMethod method, std::string_view target) {
  Binding::BindingProperty value;
  RequestResult<> fetched = GetResourceValue(method, target, value);
  if (!fetched.Ok()) return std::move(fetched.Failure());
  if constexpr (std::is_same_v<T, Binding::BindingProperty>) {
    return value;
  } else {
    T native{};
    Binding::ValueResult read = FromProperty(value, native, "<result>", RequireRegistry());
    if (!read.Ok()) {
      return ConvertError<T>("Error converting response for {method} {url}: {error}", method,
                             target, read.ErrorMessage());
    }
    return native;
  }
}

}  // namespace Oxle::Client::Plugin
