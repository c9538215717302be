// Host: loads plugin modules and drives them through the C ABI the way the game client would.
// Usage:
//   Host host({.mode = HostMode::Manual});
//   auto id = host.LoadModule("/path/module.so", "load_x");   // or LoadModule(exportFn, "label")
//   host.StartModule(id.Value());
//   host.SetResource("/qel-login/v1/session", value);        // publishes Create, later Update
//   host.RunDueWork();                                        // manual mode: deliver and run jobs
//   host.AdvanceClock(std::chrono::seconds(5));               // manual mode: jobs become due
//   ApiCallResult r = host.Call({.method = 2, .target = "/x/v1/things/7"});
//   host.UnloadModule(id.Value());
// Threads: every member is thread-safe. In threaded mode worker threads deliver events (one at a
// time, in publication order) and run jobs (several at once); in manual mode nothing runs until
// RunDueWork. No exception crosses into a module, and none comes out of a module callback.
// Not an HTTP server: the command-line host puts one in front of Call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/value/binding_property.h"
#include "core/log_sink.h"
#include "core/resource_store.h"
#include "core/transport.h"
#include "result/host_result.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Host {

// The module's plugin handle: unique per loaded module, never reused by one host.
using ModuleId = uint32_t;

// The core's plugin API version, written into the descriptor before the export is called.
struct CoreVersion {
  uint32_t major = 18;
  uint32_t minor = 0;
  uint32_t patch = 0;
};

enum class HostMode { Threaded, Manual };

struct HostOptions {
  CoreVersion coreVersion;
  HostMode mode = HostMode::Threaded;
  uint32_t workerCount = 2;                      // threaded mode; at least 1 is used
  std::shared_ptr<LogSink> logSink;              // a MemoryLogSink when null
  std::shared_ptr<ExternalTransport> transport;  // none: external requests fail
};

enum class ModuleState { Loaded, Started, StartFailed, Unloading, Unloaded };

struct ModuleInfo {
  ModuleId id = 0;
  std::string shortName;
  std::string origin;                           // the path, or the label of an export function
  CoreVersion moduleVersion;                    // what the module wrote back into the descriptor
  const ApiExportTable* exportTable = nullptr;  // the module's; valid until it is unloaded
  void* object = nullptr;                       // what the export returned
  ModuleState state = ModuleState::Loaded;
  size_t routeCount = 0;  // export entries the host routes to
};

struct ModuleMemoryStats {
  uint64_t peakBytes = 0;
  uint64_t peakAllocations = 0;
  uint64_t bytesAllocated = 0;
  uint64_t allocations = 0;
  uint64_t bytesFreed = 0;
  uint64_t frees = 0;

  friend bool operator==(const ModuleMemoryStats&, const ModuleMemoryStats&) = default;
};

// An API call by the host's user, routed like a module's SendRequest.
struct ApiCall {
  uint32_t method = 2;     // HttpMethod code; 8 with methodName
  std::string target;      // path, optionally "?" and a query
  std::string methodName;  // for method 8
  HeaderList headers;
  std::string contentType;
  std::optional<std::string> body;
  bool valueAsJson = false;  // the result value comes back as JSON text, in ApiCallResult::json
};

struct ApiCallResult {
  bool failed = false;       // the response's error flag
  std::string errorMessage;  // when failed
  uint32_t status = 0;
  Binding::BindingProperty value;   // the result value; empty with ApiCall::valueAsJson
  std::optional<std::string> json;  // with ApiCall::valueAsJson: it as compact JSON, "" for empty
  std::string text;
  HeaderList headers;
  std::optional<std::string> body;  // when the response had a body stream that read fully
  std::string readError;            // when the result or body could not be read
};

// One publication as the host's observers see it. The views and the data belong to the
// publisher and are valid only during the call: an observer copies what it keeps.
struct ObservedEvent {
  std::string_view name;       // the event name it was published under
  std::string_view uri;        // a resource change: its URI with one leading "/"; else ""
  std::string_view eventType;  // a resource change: "Create", "Update" or "Delete"; else ""
  const Binding::BindingProperty& data;  // a resource change: its data; else the whole payload
  uint32_t flags = 0;
};

// Called on the publishing thread, possibly on several threads at once: it must be thread-safe,
// must not block and must not call back into the host's publishing members.
using EventObserver = std::function<void(const ObservedEvent&)>;
using ObserverHandle = uint64_t;

class HostCore;

class Host {
 public:
  explicit Host(HostOptions options = {});
  // Unloads every module still loaded (last loaded first), then stops the workers.
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Loads the shared library at `path` (dlopen RTLD_NOW | RTLD_LOCAL on Linux, LoadLibraryW on
  // Windows), then its export `exportName`; fills the descriptor.
  [[nodiscard]] Result<ModuleId> LoadModule(const std::string& path, const std::string& exportName);
  // The same with an export already in this process; `label` names it in messages.
  [[nodiscard]] Result<ModuleId> LoadModule(PluginExportFunction exportFunction,
                                            std::string_view label);
  // Calls Start with the module's HostContext; fails when Start returns false or throws. Only a
  // started module receives API calls.
  Status StartModule(ModuleId id);
  // Stops routing to the module, drops its subscriptions and pending jobs, waits for its calls in
  // progress on other threads, then calls its Unload (and dlclose for a path). Fails when called
  // from inside one of the module's own callbacks.
  Status UnloadModule(ModuleId id);
  [[nodiscard]] Result<ModuleInfo> Module(ModuleId id) const;
  [[nodiscard]] Result<ModuleMemoryStats> GetMemoryStats(ModuleId id) const;

  // Delivers `payload` under `name` to its subscribers, as a module's PublishEvent does (a
  // resource-event payload also updates the store).
  void PublishEvent(std::string_view name, const Binding::BindingProperty& payload,
                    uint32_t flags = 0);
  // Stores the resource and publishes Create (first time) or Update under EventNameForUri(uri)
  // and under "OnJsonApiEvent".
  ResourceChange SetResource(std::string_view uri, const Binding::BindingProperty& value);
  // Removes it and publishes Delete; false (nothing published) when nothing was stored.
  bool DeleteResource(std::string_view uri);
  [[nodiscard]] std::optional<Binding::BindingProperty> GetResource(std::string_view uri) const;
  // The URIs the store holds something at, sorted.
  [[nodiscard]] std::vector<std::string> ResourceUris() const;

  // From now on `observer` sees every event published through the host, once per publication:
  // each PublishEvent of a module or of this host, and each SetResource and DeleteResource (seen
  // under its URI's event name, not again as its "OnJsonApiEvent" copy). It is called on the
  // publishing thread after the store has taken the change, before any delivery, with no lock of
  // the host held. Handles are never reused.
  [[nodiscard]] ObserverHandle AddEventObserver(EventObserver observer);
  // When it returns the observer is not called again, and no call of it is in progress on
  // another thread (one on this thread, its caller, is not waited for). False for an unknown
  // handle.
  bool RemoveEventObserver(ObserverHandle handle);

  [[nodiscard]] ApiCallResult Call(const ApiCall& call);
  // The module whose route Call would deliver `call` to, as routing stands now; none when the
  // host itself would answer (a stored resource, 404, 405).
  [[nodiscard]] std::optional<ModuleId> RouteOwner(const ApiCall& call) const;

  // Manual mode: runs queued deliveries and due jobs on this thread until none is left (or
  // `limit` ran); returns how many ran. Threaded mode: 0.
  size_t RunDueWork(size_t limit = 100000);
  // Manual mode: moves the host's clock; false in threaded mode.
  bool AdvanceClock(std::chrono::nanoseconds by);
  [[nodiscard]] std::chrono::nanoseconds Now() const;
  // Threaded mode: waits at most `limit` for no queued or running delivery and no due job.
  [[nodiscard]] bool WaitIdle(std::chrono::nanoseconds limit);
  // Threaded mode: waits at most `limit` until every event published so far was delivered (jobs
  // are not waited for).
  [[nodiscard]] bool WaitDelivered(std::chrono::nanoseconds limit);
  [[nodiscard]] size_t PendingJobCount() const;
  // Threads between a module's MarkWait and EndWait.
  [[nodiscard]] uint32_t WaitingThreads() const;

  void SetTransport(std::shared_ptr<ExternalTransport> transport);
  [[nodiscard]] LogSink& Logs() const;

 private:
  std::unique_ptr<HostCore> core_;
};

}  // namespace Oxle::Client::Host
