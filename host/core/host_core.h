// Internal to tpk_host: the host's state behind Host and the ten HostApi slots. A module's
// HostApi table is the first member of its ModuleApiTable, so a slot finds its module (and the
// host) from the table's address alone; the table lives as long as the host.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/route_pattern.h"
#include "api/routes.h"
#include "core/call_gate.h"
#include "core/host.h"
#include "core/resource_store.h"
#include "core/scheduler.h"

namespace Oxle::Client::Host {

struct LoadedModule;

// Standard layout with the HostApi first: a HostApi pointer converts back to the table.
struct ModuleApiTable {
  HostApi api;
  LoadedModule* module;
};

struct LoadedModule {
  ModuleApiTable table{};
  HostCore* host = nullptr;
  ModuleId id = 0;
  HostContext hostContext{};
  std::string shortName;
  std::string origin;
  void* library = nullptr;  // Platform::OpenSharedLibrary handle, or null
  PluginDescriptor descriptor{};
  PluginCallbacks callbacks{};
  void* object = nullptr;
  // Built once at load and never resized, so the route patterns may point into it.
  std::vector<Api::RouteBinding> bindings;
  std::vector<const ApiExportEntry*> entries;  // parallel to bindings
  // Every call into the module made by the host: deliveries, jobs, API calls.
  CallGate gate;
  std::atomic<ModuleState> state{ModuleState::Loaded};
};

// One module's subscription to one event name.
struct Subscription {
  LoadedModule* module = nullptr;
  HostEventCallback callback = nullptr;
  void* context = nullptr;
  uint32_t flag = 0;
  CallGate gate;  // closed by UnsubscribeEvent
};

// One observer of the host's publications.
struct Observer {
  ObserverHandle handle = 0;
  EventObserver callback;
  CallGate gate;  // closed by RemoveEventObserver
};

// The export entries of started modules, in load order, as the matcher wants them.
struct RouteTable {
  std::vector<Api::RoutePattern> patterns;
  std::vector<std::pair<LoadedModule*, const ApiExportEntry*>> targets;  // parallel
};

inline constexpr int32_t kSlotOk = 0;
inline constexpr int32_t kSlotFailed = -1;

class HostCore {
 public:
  explicit HostCore(HostOptions options);
  ~HostCore();

  Result<ModuleId> Register(PluginExportFunction exportFunction, std::string origin, void* library);
  Status Start(ModuleId id);
  Status Unload(ModuleId id);
  void UnloadAll();
  [[nodiscard]] Result<ModuleInfo> Info(ModuleId id) const;
  [[nodiscard]] Result<ModuleMemoryStats> MemoryStats(ModuleId id) const;

  // Delivery to subscribers, after the store has seen a resource-event payload.
  void Publish(std::string name, Binding::BindingProperty payload, uint32_t flags);
  ResourceChange SetResource(std::string_view uri, const Binding::BindingProperty& value);
  bool DeleteResource(std::string_view uri);
  [[nodiscard]] const ResourceStore& Store() const noexcept { return store_; }
  ObserverHandle AddObserver(EventObserver observer);
  bool RemoveObserver(ObserverHandle handle);

  // Takes a module's own answer while the module is held, and the request's label for messages:
  // true when it took the answer, false when it left the answer (or its failure) in `response`.
  using ModuleAnswerReader = std::function<bool(
      const ApiResponseRecord& answer, ApiResponseRecord& response, const std::string& label)>;

  // Fills `response` (zeroed first) for `request`, a module's answer copied; never throws.
  void Route(ApiResponseRecord& response, const ApiRequestRecord& request) noexcept;
  // The same with a module's answer given to `read`; true when `read` took it, and `response`
  // is then all zero.
  bool Route(ApiResponseRecord& response, const ApiRequestRecord& request,
             const ModuleAnswerReader& read) noexcept;
  [[nodiscard]] ApiCallResult Call(const ApiCall& call);
  [[nodiscard]] std::optional<ModuleId> Owner(const ApiCall& call) const;

  // The slots, with the calling module found.
  int32_t PublishFromModule(LoadedModule& module, const HostEvent* event);
  int32_t Subscribe(LoadedModule& module, const char* name, uint32_t handle,
                    HostEventCallback callback, void* context, uint32_t flag);
  int32_t Unsubscribe(LoadedModule& module, const char* name, uint32_t handle);
  int32_t ScheduleJob(LoadedModule& module, const char* name, HostJobCallback callback,
                      void* context, double delaySeconds);
  int32_t SendExternal(LoadedModule& module, ExternalResponseRecord* response,
                       const ExternalRequestRecord* request);
  int32_t MarkWait(LoadedModule& module, const char* text);
  int32_t EndWait(LoadedModule& module);

  void Log(int32_t level, std::string module, std::string text) noexcept;
  void HostError(const std::string& text) noexcept { Log(kLogError, kHostLogName, text); }

  Scheduler& Jobs() noexcept { return *scheduler_; }
  [[nodiscard]] const Scheduler& Jobs() const noexcept { return *scheduler_; }
  [[nodiscard]] const Clock& HostClock() const noexcept { return *clock_; }
  ManualClock* Manual() noexcept { return manualClock_; }
  [[nodiscard]] uint32_t WaitingThreads() const noexcept { return waiting_.load(); }
  void SetTransport(std::shared_ptr<ExternalTransport> transport);
  [[nodiscard]] LogSink& Logs() const noexcept { return *logSink_; }

 private:
  [[nodiscard]] LoadedModule* Find(ModuleId id) const;
  void RebuildRoutes();
  [[nodiscard]] std::shared_ptr<const RouteTable> Routes() const;
  // The subscriptions of `name` at the moment of a publication: an event reaches those who were
  // subscribed when it was published, not a module that subscribes before it is delivered.
  using Targets = std::vector<std::shared_ptr<Subscription>>;
  [[nodiscard]] Targets SubscribersOf(const std::string& name);
  void Deliver(const std::string& name, const Targets& targets,
               const Binding::BindingProperty& payload, uint32_t flags);
  void DropSubscriptions(LoadedModule& module);
  void PublishResourceChange(std::string_view uri, ResourceChange change,
                             const Binding::BindingProperty& data);
  // Calls every observer; the caller holds no lock.
  void Notify(const ObservedEvent& event);
  [[nodiscard]] bool Observed() const noexcept { return observerCount_.load() != 0; }

  const HostOptions options_;
  std::shared_ptr<LogSink> logSink_;
  std::unique_ptr<Clock> clock_;
  ManualClock* manualClock_ = nullptr;  // clock_ in manual mode
  std::unique_ptr<Scheduler> scheduler_;
  ResourceStore store_;
  std::atomic<uint32_t> waiting_{0};

  mutable std::mutex modulesMutex_;                     // guards modules_, nextId_, routes_
  std::vector<std::unique_ptr<LoadedModule>> modules_;  // kept until the host dies
  ModuleId nextId_ = 1;
  std::shared_ptr<const RouteTable> routes_;

  std::mutex subscriptionsMutex_;  // guards subscriptions_
  std::unordered_map<std::string, std::vector<std::shared_ptr<Subscription>>> subscriptions_;

  mutable std::mutex transportMutex_;  // guards transport_
  std::shared_ptr<ExternalTransport> transport_;

  std::mutex observersMutex_;  // guards observers_, nextObserver_
  std::vector<std::shared_ptr<Observer>> observers_;
  ObserverHandle nextObserver_ = 1;
  std::atomic<size_t> observerCount_{0};  // observers_.size(), read without the lock
};

// The HostApi table every module gets (the slots), defined with the slots.
[[nodiscard]] HostApi MakeHostApi() noexcept;

}  // namespace Oxle::Client::Host
