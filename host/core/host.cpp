#include "core/host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <set>
#include <thread>

#include "api/resource_uri.h"
#include "binding/types/host_value.h"
#include "core/host_core.h"

namespace Oxle::Client::Host {

using Api::EventNameForUri;

using Binding::BindingProperty;
using Binding::ValueResult;

namespace {

// A scheduled delay beyond this (about 31 years) is clamped, so the due time cannot overflow.
constexpr double kMaxDelaySeconds = 1e9;
// Empty reads in a row after which a response body counts as stalled.
constexpr int kMaxEmptyBodyReads = 1000;

[[nodiscard]] std::string ExceptionText(const std::exception& error) {
  return error.what();
}

[[nodiscard]] std::string MethodLabel(uint32_t method, const char* methodName) {
  const std::string_view text = Api::MethodText(Api::HttpMethodFromHost(method));
  if (!text.empty()) return std::string(text);
  if (method == 8 && methodName != nullptr) return methodName;
  return "method " + std::to_string(method);
}

[[nodiscard]] char* CopyText(std::string_view text) noexcept {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// The body of a host-owned response: the whole text, read out piece by piece.
struct HostBody {
  std::string data;
  size_t offset = 0;
};

uint8_t ReadHostBody(void* stream, void* buffer, uint32_t* length, uint8_t* moreData) noexcept {
  if (stream == nullptr || length == nullptr || moreData == nullptr) return 0;
  HostBody& body = *static_cast<HostBody*>(stream);
  const size_t count = std::min<size_t>(*length, body.data.size() - body.offset);
  if (count != 0) {
    if (buffer == nullptr) return 0;
    std::memcpy(buffer, body.data.data() + body.offset, count);
  }
  body.offset += count;
  *length = static_cast<uint32_t>(count);
  *moreData = body.offset < body.data.size() ? 1 : 0;
  return 1;
}

// Destroys the body's bytes; the object itself goes with the record's free callback, which a
// caller runs after this (release, then free), so free never meets a deleted stream.
void ReleaseHostBody(void* stream) noexcept {
  if (stream == nullptr) return;
  HostBody& body = *static_cast<HostBody*>(stream);
  std::string().swap(body.data);
  body.offset = 0;
}

// Frees a response record the host filled: every text, the header array, the value, the body.
void FreeHostResponse(ApiResponseRecord* response) noexcept {
  if (response == nullptr) return;
  std::free(response->errorMessage);
  std::free(response->text);
  if (response->headers != nullptr) {
    for (uint32_t i = 0; i < response->headerCount; ++i) {
      std::free(const_cast<char*>(response->headers[i].name));
      std::free(const_cast<char*>(response->headers[i].value));
    }
    std::free(response->headers);
  }
  delete static_cast<HostBody*>(response->bodyStream);  // host-owned records carry HostBody
  Binding::ReleaseHostValue(response->value);
  std::memset(response, 0, sizeof *response);
}

void FillHostError(ApiResponseRecord& response, uint32_t status,
                   std::string_view message) noexcept {
  FreeHostResponse(&response);
  response.error = 1;
  response.errorMessage = CopyText(message);
  response.status = status;
  response.text = CopyText("");
  response.free = &FreeHostResponse;
}

// Gives a host-owned response its one header.
void SetHostHeader(ApiResponseRecord& response, std::string_view name, std::string_view value) {
  auto* header = static_cast<ApiHeader*>(std::calloc(1, sizeof(ApiHeader)));
  if (header == nullptr) throw std::bad_alloc();
  response.headers = header;
  response.headerCount = 1;
  header->name = CopyText(name);
  header->value = CopyText(value);
  if (header->name == nullptr || header->value == nullptr) throw std::bad_alloc();
}

// The methods of the routes whose pattern matches `path`, in alphabetical order, comma-separated
// as an Allow header lists them; empty when no route serves the path.
[[nodiscard]] std::string AllowedMethods(const RouteTable& routes, const std::string& path) {
  std::set<std::string, std::less<>> methods;
  Api::PathParameterMap parameters = Api::MakePathParameterMap();
  for (const Api::RoutePattern& pattern : routes.patterns) {
    if (pattern.binding == nullptr) continue;
    const Api::RouteBinding& binding = *pattern.binding;
    const std::string_view method = binding.method == Api::HttpMethod::Other
                                        ? std::string_view(binding.methodName)
                                        : Api::MethodText(binding.method);
    if (method.empty() || methods.contains(method)) continue;
    parameters.clear();
    if (Api::MatchPath(pattern, path, parameters)) methods.emplace(method);
  }
  std::string allowed;
  for (const std::string& method : methods)
    allowed += (allowed.empty() ? "" : ", ") + method;
  return allowed;
}

// Reads a response body stream to its end; false when a read fails or the stream stalls.
[[nodiscard]] bool ReadWholeBody(const ApiResponseRecord& response, std::string& out) {
  uint8_t more = 1;
  int emptyReads = 0;
  char buffer[4096];
  while (more != 0) {
    uint32_t length = sizeof buffer;
    if (response.readBody(response.bodyStream, buffer, &length, &more) == 0) return false;
    if (length > sizeof buffer) return false;
    out.append(buffer, length);
    if (length == 0 && more != 0) {
      if (++emptyReads > kMaxEmptyBodyReads) return false;
      std::this_thread::yield();
    } else {
      emptyReads = 0;
    }
  }
  return true;
}

[[nodiscard]] HeaderList ReadHeaders(const ApiHeader* headers, uint32_t count) {
  HeaderList list;
  if (headers == nullptr) return list;
  for (uint32_t i = 0; i < count; ++i) {
    list.emplace_back(headers[i].name != nullptr ? headers[i].name : "",
                      headers[i].value != nullptr ? headers[i].value : "");
  }
  return list;
}

[[nodiscard]] bool Routable(ModuleState state) {
  return state == ModuleState::Started;
}

}  // namespace

// ---- construction ----

HostCore::HostCore(HostOptions options)
    : options_(std::move(options)),
      logSink_(options_.logSink ? options_.logSink : std::make_shared<MemoryLogSink>()),
      routes_(std::make_shared<RouteTable>()),
      transport_(options_.transport) {
  if (options_.mode == HostMode::Manual) {
    auto manual = std::make_unique<ManualClock>();
    manualClock_ = manual.get();
    clock_ = std::move(manual);
    scheduler_ = std::make_unique<Scheduler>(*clock_, 0);
  } else {
    clock_ = std::make_unique<SteadyClock>();
    scheduler_ = std::make_unique<Scheduler>(*clock_, std::max<uint32_t>(options_.workerCount, 1));
  }
}

HostCore::~HostCore() {
  UnloadAll();
  scheduler_->Stop();
}

void HostCore::Log(int32_t level, std::string module, std::string text) noexcept {
  try {
    logSink_->Write(LogEntry{level, std::move(module), std::move(text)});
  } catch (...) {
    // A failing sink loses the message; the caller must not fail for it.
  }
}

void HostCore::SetTransport(std::shared_ptr<ExternalTransport> transport) {
  std::lock_guard lock(transportMutex_);
  transport_ = std::move(transport);
}

// ---- modules ----

LoadedModule* HostCore::Find(ModuleId id) const {
  std::lock_guard lock(modulesMutex_);
  for (const auto& module : modules_)
    if (module->id == id) return module.get();
  return nullptr;
}

Result<ModuleId> HostCore::Register(PluginExportFunction exportFunction, std::string origin,
                                    void* library) {
  auto closeLibrary = [&] {
    if (library != nullptr) dlclose(library);
  };
  if (exportFunction == nullptr) {
    closeLibrary();
    return Status::Error("The export function of module '" + origin + "' is null");
  }
  auto module = std::make_unique<LoadedModule>();
  module->host = this;
  module->origin = origin;
  module->library = library;
  module->table.api = MakeHostApi();
  module->table.module = module.get();
  {
    std::lock_guard lock(modulesMutex_);
    module->id = nextId_++;
  }
  PluginDescriptor& descriptor = module->descriptor;
  descriptor.major = options_.coreVersion.major;
  descriptor.minor = options_.coreVersion.minor;
  descriptor.patch = options_.coreVersion.patch;
  try {
    module->object = exportFunction(&descriptor);
  } catch (const std::exception& error) {
    closeLibrary();
    return Status::Error("The export of module '" + origin + "' threw: " + ExceptionText(error));
  } catch (...) {
    closeLibrary();
    return Status::Error("The export of module '" + origin + "' threw a non-standard exception");
  }
  if (descriptor.callbacks == nullptr) {
    closeLibrary();
    return Status::Error("Module '" + origin + "' filled in no callback table");
  }
  module->callbacks = *descriptor.callbacks;
  if (module->callbacks.Start == nullptr || module->callbacks.Unload == nullptr) {
    closeLibrary();
    return Status::Error("Module '" + origin + "' has no " +
                         (module->callbacks.Start == nullptr ? "Start" : "Unload") + " callback");
  }
  // From here on the module can be unloaded, so a bad record unloads it before failing.
  auto reject = [&](const std::string& message) -> Status {
    try {
      module->callbacks.Unload(descriptor.context);
    } catch (...) {
      HostError("Module '" + origin + "' threw from Unload after a failed load");
    }
    closeLibrary();
    return Status::Error(message);
  };
  if (descriptor.shortName == nullptr) return reject("Module '" + origin + "' gave no short name");
  module->shortName = descriptor.shortName;
  const ApiExportTable* table = descriptor.exportTable;
  if (table != nullptr && table->entryCount != 0) {
    if (table->entries == nullptr) {
      return reject("Module '" + module->shortName + "' exports " +
                    std::to_string(table->entryCount) + " API entries but no entry array");
    }
    module->bindings.reserve(table->entryCount);
    for (uint32_t i = 0; i < table->entryCount; ++i) {
      const ApiExportEntry& entry = table->entries[i];
      const std::string label = "Module '" + module->shortName + "': export entry " +
                                std::to_string(i) + " (" +
                                (entry.function.name != nullptr ? entry.function.name : "") + ")";
      if (entry.callback == nullptr) {
        Log(kLogWarn, kHostLogName, label + " has no callback; it is not routed");
        continue;
      }
      if (entry.pathTemplate == nullptr) {
        Log(kLogWarn, kHostLogName, label + " has no path template; it is not routed");
        continue;
      }
      Api::RouteBinding binding;
      Api::SetRoutePath(binding, entry.pathTemplate);
      Api::SetRouteMethod(binding, Api::HttpMethodFromHost(entry.method));
      if (binding.method == Api::HttpMethod::Other && entry.methodName != nullptr) {
        binding.methodName = entry.methodName;
      }
      module->bindings.push_back(std::move(binding));
      module->entries.push_back(&entry);
    }
  }
  const ModuleId id = module->id;
  std::lock_guard lock(modulesMutex_);
  modules_.push_back(std::move(module));
  return id;
}

Status HostCore::Start(ModuleId id) {
  LoadedModule* module = Find(id);
  if (module == nullptr) return Status::Error("No module has the id " + std::to_string(id));
  if (module->state.load() != ModuleState::Loaded) {
    return Status::Error("Module '" + module->shortName + "' was already started or unloaded");
  }
  module->hostContext = HostContext{&module->table.api, module->id};
  uint8_t started = 0;
  std::string failure;
  try {
    started = module->callbacks.Start(module->descriptor.context, &module->hostContext);
  } catch (const std::exception& error) {
    failure = "Module '" + module->shortName + "' threw from Start: " + ExceptionText(error);
  } catch (...) {
    failure = "Module '" + module->shortName + "' threw from Start";
  }
  if (started == 0 && failure.empty()) failure = "Module '" + module->shortName + "' did not start";
  module->state = started != 0 && failure.empty() ? ModuleState::Started : ModuleState::StartFailed;
  if (!failure.empty()) return Status::Error(failure);
  RebuildRoutes();
  return Status();
}

void HostCore::DropSubscriptions(LoadedModule& module) {
  std::vector<std::shared_ptr<Subscription>> dropped;
  {
    std::lock_guard lock(subscriptionsMutex_);
    for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
      auto& list = it->second;
      for (auto sub = list.begin(); sub != list.end();) {
        if ((*sub)->module == &module) {
          dropped.push_back(std::move(*sub));
          sub = list.erase(sub);
        } else {
          ++sub;
        }
      }
      it = list.empty() ? subscriptions_.erase(it) : std::next(it);
    }
  }
  for (const auto& subscription : dropped)
    subscription->gate.Close();
}

Status HostCore::Unload(ModuleId id) {
  LoadedModule* module = Find(id);
  if (module == nullptr) return Status::Error("No module has the id " + std::to_string(id));
  if (module->gate.InsideOnThisThread()) {
    return Status::Error("Module '" + module->shortName +
                         "' can't be unloaded from inside one of its own callbacks");
  }
  ModuleState state = module->state.load();
  do {
    if (state == ModuleState::Unloading || state == ModuleState::Unloaded) {
      return Status::Error("Module '" + module->shortName + "' is already unloaded");
    }
  } while (!module->state.compare_exchange_weak(state, ModuleState::Unloading));
  RebuildRoutes();
  DropSubscriptions(*module);
  // No job, delivery or API call starts after this, and those running elsewhere have ended.
  module->gate.Close();
  Jobs().Cancel(module->id);
  try {
    module->callbacks.Unload(module->descriptor.context);
  } catch (const std::exception& error) {
    HostError("Module '" + module->shortName + "' threw from Unload: " + ExceptionText(error));
  } catch (...) {
    HostError("Module '" + module->shortName + "' threw from Unload");
  }
  // A subscription the module made while unloading must not outlive it either.
  DropSubscriptions(*module);
  if (module->library != nullptr) {
    dlclose(module->library);
    module->library = nullptr;
  }
  module->state = ModuleState::Unloaded;
  return Status();
}

void HostCore::UnloadAll() {
  std::vector<ModuleId> ids;
  {
    std::lock_guard lock(modulesMutex_);
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
      const ModuleState state = (*it)->state.load();
      if (state != ModuleState::Unloaded && state != ModuleState::Unloading) {
        ids.push_back((*it)->id);
      }
    }
  }
  for (ModuleId id : ids) {
    const Status status = Unload(id);
    if (!status.Ok()) HostError(status.ErrorMessage());
  }
}

Result<ModuleInfo> HostCore::Info(ModuleId id) const {
  const LoadedModule* module = Find(id);
  if (module == nullptr) return Status::Error("No module has the id " + std::to_string(id));
  ModuleInfo info;
  info.id = module->id;
  info.shortName = module->shortName;
  info.origin = module->origin;
  info.moduleVersion = {module->descriptor.major, module->descriptor.minor,
                        module->descriptor.patch};
  info.state = module->state.load();
  const bool alive = info.state != ModuleState::Unloaded && info.state != ModuleState::Unloading;
  info.exportTable = alive ? module->descriptor.exportTable : nullptr;
  info.object = alive ? module->object : nullptr;
  info.routeCount = module->bindings.size();
  return info;
}

Result<ModuleMemoryStats> HostCore::MemoryStats(ModuleId id) const {
  LoadedModule* module = Find(id);
  if (module == nullptr) return Status::Error("No module has the id " + std::to_string(id));
  if (module->callbacks.GetMemoryStats == nullptr) {
    return Status::Error("Module '" + module->shortName + "' reports no memory statistics");
  }
  CallGate::Entry entry(module->gate);
  if (!entry || module->state.load() == ModuleState::Unloading) {
    return Status::Error("Module '" + module->shortName + "' is unloaded");
  }
  uint32_t words[14] = {};
  try {
    module->callbacks.GetMemoryStats(module->descriptor.context, words);
  } catch (...) {
    return Status::Error("Module '" + module->shortName + "' threw from GetMemoryStats");
  }
  auto counter = [&](int index) {
    return static_cast<uint64_t>(words[2 * index]) |
           (static_cast<uint64_t>(words[2 * index + 1]) << 32);
  };
  return ModuleMemoryStats{counter(0), counter(1), counter(2), counter(3), counter(4), counter(5)};
}

// ---- routing ----

void HostCore::RebuildRoutes() {
  auto table = std::make_shared<RouteTable>();
  std::lock_guard lock(modulesMutex_);
  for (const auto& module : modules_) {
    if (!Routable(module->state.load())) continue;
    for (size_t i = 0; i < module->bindings.size(); ++i) {
      table->patterns.push_back(Api::BuildRoutePattern(module->bindings[i]));
      table->targets.emplace_back(module.get(), module->entries[i]);
    }
  }
  routes_ = std::move(table);
}

std::shared_ptr<const RouteTable> HostCore::Routes() const {
  std::lock_guard lock(modulesMutex_);
  return routes_;
}

namespace {

// Copies a module's response into host-owned memory, so that the caller may keep it after the
// module is gone. Body streams are read to the end while the module is still held.
void CopyResponse(const ApiResponseRecord& from, ApiResponseRecord& to, const std::string& label) {
  std::memset(&to, 0, sizeof to);
  to.free = &FreeHostResponse;
  BindingProperty value;
  ValueResult converted;
  if (!Binding::FromHostValue(from.value, value, converted, "<result>")) {
    FillHostError(
        to, 500,
        "The result of " + label + " did not convert: " + std::string(converted.ErrorMessage()));
    return;
  }
  if (!Binding::ToHostValue(value, nullptr, to.value)) {
    FillHostError(to, 500, "The result of " + label + " could not be copied");
    return;
  }
  to.error = from.error != 0 ? 1 : 0;
  if (from.errorMessage != nullptr) {
    to.errorMessage = CopyText(from.errorMessage);
  } else if (to.error != 0) {
    to.errorMessage = CopyText("");
  }
  to.settingByte = from.settingByte;
  to.settingCode = from.settingCode;
  to.status = from.status;
  to.text = CopyText(from.text != nullptr ? from.text : "");
  if (from.headerCount != 0 && from.headers == nullptr) {
    FillHostError(to, 500, "The response of " + label + " has headers but no header array");
    return;
  }
  if (from.headerCount != 0) {
    to.headers = static_cast<ApiHeader*>(std::calloc(from.headerCount, sizeof(ApiHeader)));
    if (to.headers != nullptr) {
      to.headerCount = from.headerCount;
      for (uint32_t i = 0; i < from.headerCount; ++i) {
        to.headers[i].name = CopyText(from.headers[i].name != nullptr ? from.headers[i].name : "");
        to.headers[i].value =
            CopyText(from.headers[i].value != nullptr ? from.headers[i].value : "");
      }
    }
  }
  if (from.bodyStream != nullptr && from.readBody != nullptr) {
    auto body = std::make_unique<HostBody>();
    if (!ReadWholeBody(from, body->data)) {
      FillHostError(to, 502, "The body of the response to " + label + " could not be read");
      return;
    }
    to.bodySize = static_cast<uint32_t>(body->data.size());
    to.bodyStream = body.release();
    to.readBody = &ReadHostBody;
    to.releaseBody = &ReleaseHostBody;
  }
}

}  // namespace

std::optional<ModuleId> HostCore::Owner(const ApiCall& call) const {
  Api::RouteMatch match;
  match.method = Api::HttpMethodFromHost(call.method);
  if (match.method == Api::HttpMethod::Other) match.methodName = call.methodName;
  match.target = call.target.substr(0, call.target.find('?'));
  const std::shared_ptr<const RouteTable> routes = Routes();
  if (!Api::MatchRoutes(match, routes->patterns, false)) return std::nullopt;
  for (size_t i = 0; i < routes->patterns.size(); ++i)
    if (routes->patterns[i].binding == match.binding) return routes->targets[i].first->id;
  return std::nullopt;
}

void HostCore::Route(ApiResponseRecord& response, const ApiRequestRecord& request) noexcept {
  std::memset(&response, 0, sizeof response);
  try {
    if (request.target == nullptr) {
      FillHostError(response, 400, "The request has no target");
      return;
    }
    const std::string_view target(request.target);
    const std::string method = MethodLabel(request.method, request.methodName);
    const std::string label = method + " " + std::string(target);
    Api::RouteMatch match;
    match.method = Api::HttpMethodFromHost(request.method);
    if (match.method == Api::HttpMethod::Other && request.methodName != nullptr) {
      match.methodName = request.methodName;
    }
    match.target = std::string(target.substr(0, target.find('?')));
    const std::shared_ptr<const RouteTable> routes = Routes();
    if (Api::MatchRoutes(match, routes->patterns, false)) {
      size_t index = 0;
      while (routes->patterns[index].binding != match.binding)
        ++index;
      auto [module, entry] = routes->targets[index];
      CallGate::Entry inside(module->gate);
      if (!inside) {
        FillHostError(
            response, 503,
            "Module '" + module->shortName + "' is unloading; " + label + " was not delivered");
        return;
      }
      ApiRequestRecord forwarded = request;
      forwarded.userData = entry->function.userData;
      ApiResponseRecord answer;
      std::memset(&answer, 0, sizeof answer);
      std::string thrown;
      try {
        entry->callback(&answer, &forwarded);
        CopyResponse(answer, response, label);
      } catch (const std::exception& error) {
        thrown = ExceptionText(error);
      } catch (...) {
        thrown = "a non-standard exception";
      }
      if (answer.bodyStream != nullptr && answer.releaseBody != nullptr) {
        try {
          answer.releaseBody(answer.bodyStream);
        } catch (...) {
          thrown = "an exception from its body release callback";
        }
        // The pointer stays: the module's free callback may still own what it points to (the
        // release callback destroys the stream, not necessarily its holder).
      }
      if (answer.free != nullptr) {
        try {
          answer.free(&answer);
        } catch (...) {
          thrown = "an exception from its response's free callback";
        }
      } else {
        Log(kLogError, kHostLogName,
            "Module '" + module->shortName + "' left no free callback in its response to " + label);
      }
      if (!thrown.empty()) {
        FillHostError(response, 500,
                      "Module '" + module->shortName + "' threw from " + label + ": " + thrown);
      }
      return;
    }
    if (match.method == Api::HttpMethod::Get) {
      if (std::optional<BindingProperty> value = store_.Get(match.target)) {
        if (!Binding::ToHostValue(*value, nullptr, response.value)) {
          FillHostError(response, 500, "The resource " + match.target + " could not be converted");
          return;
        }
        response.status = 200;
        response.text = CopyText("");
        response.free = &FreeHostResponse;
        return;
      }
    }
    // A path served for other methods only: the caller learns which.
    if (const std::string allowed = AllowedMethods(*routes, match.target); !allowed.empty()) {
      FillHostError(response, 405,
                    method + " is not served at " + match.target + " (allowed: " + allowed + ")");
      SetHostHeader(response, "Allow", allowed);
      return;
    }
    FillHostError(response, 404, "No API function or resource answers " + label);
  } catch (const std::exception& error) {
    FillHostError(response, 500, "The host failed to route the request: " + ExceptionText(error));
  } catch (...) {
    FillHostError(response, 500, "The host failed to route the request");
  }
}

ApiCallResult HostCore::Call(const ApiCall& call) {
  std::vector<ApiHeader> headers;
  for (const auto& [name, value] : call.headers)
    headers.push_back(ApiHeader{name.c_str(), value.c_str()});
  ApiRequestRecord request{};
  request.method = call.method;
  request.target = call.target.c_str();
  request.headers = headers.empty() ? nullptr : headers.data();
  request.headerCount = static_cast<uint32_t>(headers.size());
  request.contentType = call.contentType.c_str();
  if (call.body) {
    request.body = reinterpret_cast<const uint8_t*>(call.body->data());
    request.bodyLength = static_cast<uint32_t>(call.body->size());
  }
  request.methodName = call.methodName.c_str();
  ApiResponseRecord response;
  Route(response, request);
  // Every response Route gives is host-owned, so reading it cannot fault.
  ApiCallResult result;
  result.failed = response.error != 0;
  if (response.errorMessage != nullptr) result.errorMessage = response.errorMessage;
  result.status = response.status;
  if (response.text != nullptr) result.text = response.text;
  result.headers = ReadHeaders(response.headers, response.headerCount);
  ValueResult converted;
  if (!Binding::FromHostValue(response.value, result.value, converted, "<result>")) {
    result.readError = std::string(converted.ErrorMessage());
  }
  if (response.bodyStream != nullptr && response.readBody != nullptr) {
    std::string body;
    if (ReadWholeBody(response, body)) {
      result.body = std::move(body);
    } else {
      result.readError = "The response body could not be read";
    }
  }
  FreeHostResponse(&response);
  return result;
}

// ---- events and resources ----

void HostCore::Publish(std::string name, BindingProperty payload, uint32_t flags) {
  store_.Apply(payload);
  if (Observed()) {
    if (const std::optional<ResourceChange> change = ResourceEventChange(payload)) {
      const std::string uri = NormalizeResourceUri(payload.Get("uri").GetString());
      Notify(ObservedEvent{name, uri, ResourceChangeName(*change), payload.Get("data"), flags});
    } else {
      Notify(ObservedEvent{name, {}, {}, payload, flags});
    }
  }
  Targets targets = SubscribersOf(name);
  Jobs().Post([this, name = std::move(name), targets = std::move(targets),
               payload = std::move(payload), flags] { Deliver(name, targets, payload, flags); });
}

void HostCore::PublishResourceChange(std::string_view uri, ResourceChange change,
                                     const BindingProperty& data) {
  const std::string normal = NormalizeResourceUri(uri);
  BindingProperty event = MakeResourceEvent(normal, change, data);
  std::string name = EventNameForUri(normal);
  if (Observed()) Notify(ObservedEvent{name, normal, ResourceChangeName(change), data, 0});
  // A module's publication of a resource goes out under its URI's name and the generic one.
  if (name != "OnJsonApiEvent") {
    Targets targets = SubscribersOf(name);
    Jobs().Post([this, name = std::move(name), targets = std::move(targets), event] {
      Deliver(name, targets, event, 0);
    });
  }
  Targets generic = SubscribersOf("OnJsonApiEvent");
  Jobs().Post([this, targets = std::move(generic), event = std::move(event)] {
    Deliver("OnJsonApiEvent", targets, event, 0);
  });
}

ResourceChange HostCore::SetResource(std::string_view uri, const BindingProperty& value) {
  const ResourceChange change = store_.Set(uri, value);
  PublishResourceChange(uri, change, value);
  return change;
}

bool HostCore::DeleteResource(std::string_view uri) {
  if (!store_.Delete(uri)) return false;
  PublishResourceChange(uri, ResourceChange::Delete, BindingProperty());
  return true;
}

ObserverHandle HostCore::AddObserver(EventObserver observer) {
  auto entry = std::make_shared<Observer>();
  entry->callback = std::move(observer);
  std::lock_guard lock(observersMutex_);
  entry->handle = nextObserver_++;
  observers_.push_back(entry);
  observerCount_.store(observers_.size());
  return entry->handle;
}

bool HostCore::RemoveObserver(ObserverHandle handle) {
  std::shared_ptr<Observer> removed;
  {
    std::lock_guard lock(observersMutex_);
    const auto it = std::find_if(observers_.begin(), observers_.end(),
                                 [&](const auto& entry) { return entry->handle == handle; });
    if (it == observers_.end()) return false;
    removed = std::move(*it);
    observers_.erase(it);
    observerCount_.store(observers_.size());
  }
  // Waits, without the list's lock, for calls in progress on other threads.
  removed->gate.Close();
  return true;
}

void HostCore::Notify(const ObservedEvent& event) {
  std::vector<std::shared_ptr<Observer>> observers;
  {
    std::lock_guard lock(observersMutex_);
    observers = observers_;
  }
  for (const auto& observer : observers) {
    CallGate::Entry inside(observer->gate);
    if (!inside) continue;
    try {
      observer->callback(event);
    } catch (const std::exception& error) {
      HostError("An event observer threw for event '" + std::string(event.name) +
                "': " + ExceptionText(error));
    } catch (...) {
      HostError("An event observer threw for event '" + std::string(event.name) + "'");
    }
  }
}

HostCore::Targets HostCore::SubscribersOf(const std::string& name) {
  std::lock_guard lock(subscriptionsMutex_);
  const auto it = subscriptions_.find(name);
  return it == subscriptions_.end() ? Targets() : it->second;
}

void HostCore::Deliver(const std::string& name, const Targets& targets,
                       const BindingProperty& payload, uint32_t flags) {
  HostValue value{};
  if (!Binding::ToHostValue(payload, nullptr, value)) {
    HostError("The payload of event '" + name + "' could not be converted for delivery");
    return;
  }
  for (const auto& subscription : targets) {
    CallGate::Entry subscribed(subscription->gate);
    if (!subscribed) continue;
    LoadedModule& module = *subscription->module;
    CallGate::Entry inside(module.gate);
    if (!inside) continue;
    const HostEvent event{name.c_str(), value, flags, subscription->context};
    try {
      subscription->callback(&event);
    } catch (const std::exception& error) {
      HostError("Module '" + module.shortName + "' threw from its callback for event '" + name +
                "': " + ExceptionText(error));
    } catch (...) {
      HostError("Module '" + module.shortName + "' threw from its callback for event '" + name +
                "'");
    }
  }
  Binding::ReleaseHostValue(value);
}

// ---- slots that need the module ----

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
  BindingProperty payload;
  ValueResult converted;
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
    try {
      callback(context);
    } catch (const std::exception& error) {
      HostError("Module '" + module.shortName + "' threw from job '" + jobName +
                "': " + ExceptionText(error));
    } catch (...) {
      HostError("Module '" + module.shortName + "' threw from job '" + jobName + "'");
    }
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
    try {
      answer = transport->Send(read.Value());
    } catch (const std::exception& error) {
      answer = {kTransportFailed, 0, {}, "The transport failed: " + ExceptionText(error)};
    } catch (...) {
      answer = {kTransportFailed, 0, {}, "The transport failed"};
    }
  }
  FillExternalResponse(*response, std::move(answer));
  return kSlotOk;
}

namespace {
thread_local uint32_t waitDepth = 0;  // MarkWait calls not yet ended on this thread
}  // namespace

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

// ---- Host ----

Host::Host(HostOptions options) : core_(std::make_unique<HostCore>(std::move(options))) {}
Host::~Host() = default;

Result<ModuleId> Host::LoadModule(const std::string& path, const std::string& exportName) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    return Status::Error("Couldn't load module '" + path + "': " + (reason ? reason : "unknown"));
  }
  dlerror();
  void* symbol = dlsym(library, exportName.c_str());
  const char* reason = dlerror();
  if (reason != nullptr || symbol == nullptr) {
    std::string message = "Couldn't find export '" + exportName + "' in module '" + path +
                          "': " + (reason != nullptr ? reason : "the symbol is null");
    dlclose(library);
    return Status::Error(std::move(message));
  }
  PluginExportFunction exportFunction = nullptr;
  static_assert(sizeof exportFunction == sizeof symbol);
  std::memcpy(&exportFunction, &symbol, sizeof symbol);
  return core_->Register(exportFunction, path, library);
}

Result<ModuleId> Host::LoadModule(PluginExportFunction exportFunction, std::string_view label) {
  return core_->Register(exportFunction, std::string(label), nullptr);
}

Status Host::StartModule(ModuleId id) {
  return core_->Start(id);
}
Status Host::UnloadModule(ModuleId id) {
  return core_->Unload(id);
}
Result<ModuleInfo> Host::Module(ModuleId id) const {
  return core_->Info(id);
}
Result<ModuleMemoryStats> Host::GetMemoryStats(ModuleId id) const {
  return core_->MemoryStats(id);
}

void Host::PublishEvent(std::string_view name, const BindingProperty& payload, uint32_t flags) {
  core_->Publish(std::string(name), payload, flags);
}
ResourceChange Host::SetResource(std::string_view uri, const BindingProperty& value) {
  return core_->SetResource(uri, value);
}
bool Host::DeleteResource(std::string_view uri) {
  return core_->DeleteResource(uri);
}
std::optional<BindingProperty> Host::GetResource(std::string_view uri) const {
  return core_->Store().Get(uri);
}
ObserverHandle Host::AddEventObserver(EventObserver observer) {
  return core_->AddObserver(std::move(observer));
}
bool Host::RemoveEventObserver(ObserverHandle handle) {
  return core_->RemoveObserver(handle);
}

ApiCallResult Host::Call(const ApiCall& call) {
  return core_->Call(call);
}

std::optional<ModuleId> Host::RouteOwner(const ApiCall& call) const {
  return core_->Owner(call);
}

size_t Host::RunDueWork(size_t limit) {
  return core_->Jobs().RunDue(limit);
}
bool Host::AdvanceClock(std::chrono::nanoseconds by) {
  ManualClock* clock = core_->Manual();
  if (clock == nullptr) return false;
  clock->Advance(by);
  return true;
}
std::chrono::nanoseconds Host::Now() const {
  return core_->HostClock().Now();
}
bool Host::WaitIdle(std::chrono::nanoseconds limit) {
  return core_->Jobs().WaitIdle(limit);
}
size_t Host::PendingJobCount() const {
  return core_->Jobs().PendingJobs();
}
uint32_t Host::WaitingThreads() const {
  return core_->WaitingThreads();
}
void Host::SetTransport(std::shared_ptr<ExternalTransport> transport) {
  core_->SetTransport(std::move(transport));
}
LogSink& Host::Logs() const {
  return core_->Logs();
}

}  // namespace Oxle::Client::Host
