// HostCore's modules: the core's construction, a module's load through its export function (its
// descriptor, callbacks and export entries checked), its start and unload, and what the host
// reports about it (info, memory statistics).

#include <algorithm>
#include <string>

#include "core/catch_all.h"
#include "core/host_core.h"
#include "platform/shared_library.h"

namespace Oxle::Client::Host {

namespace {

// The routes of the module's export entries; an entry without a callback or a path template is
// logged and left out. Fails when the table counts entries but has no entry array.
[[nodiscard]] Status BindExportEntries(HostCore& host, LoadedModule& module) {
  const ApiExportTable* table = module.descriptor.exportTable;
  if (table == nullptr || table->entryCount == 0) return Status();
  if (table->entries == nullptr) {
    return Status::Error("Module '" + module.shortName + "' exports " +
                         std::to_string(table->entryCount) + " API entries but no entry array");
  }
  module.bindings.reserve(table->entryCount);
  for (uint32_t i = 0; i < table->entryCount; ++i) {
    const ApiExportEntry& entry = table->entries[i];
    const std::string label = "Module '" + module.shortName + "': export entry " +
                              std::to_string(i) + " (" +
                              (entry.function.name != nullptr ? entry.function.name : "") + ")";
    if (entry.callback == nullptr) {
      host.Log(kLogWarn, kHostLogName, label + " has no callback; it is not routed");
      continue;
    }
    if (entry.pathTemplate == nullptr) {
      host.Log(kLogWarn, kHostLogName, label + " has no path template; it is not routed");
      continue;
    }
    Api::RouteBinding binding;
    Api::SetRoutePath(binding, entry.pathTemplate);
    Api::SetRouteMethod(binding, Api::HttpMethodFromHost(entry.method));
    if (binding.method == Api::HttpMethod::Other && entry.methodName != nullptr) {
      binding.methodName = entry.methodName;
    }
    module.bindings.push_back(std::move(binding));
    module.entries.push_back(&entry);
  }
  return Status();
}

}  // namespace

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
  // A failing sink loses the message; the caller must not fail for it.
  CatchAll(
      [&] {
        logSink_->Write(LogEntry{level, std::move(module), std::move(text)});
      },
      [](const char*) {});
}

void HostCore::SetTransport(std::shared_ptr<ExternalTransport> transport) {
  std::lock_guard lock(transportMutex_);
  transport_ = std::move(transport);
}

LoadedModule* HostCore::Find(ModuleId id) const {
  std::lock_guard lock(modulesMutex_);
  for (const auto& module : modules_)
    if (module->id == id) return module.get();
  return nullptr;
}

Result<ModuleId> HostCore::Register(PluginExportFunction exportFunction, std::string origin,
                                    void* library) {
  auto closeLibrary = [&] { Platform::CloseSharedLibrary(library); };
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
  const Status exported = CatchAll(
      [&] {
        module->object = exportFunction(&descriptor);
        return Status();
      },
      [&](const char* what) {
        return Status::Error("The export of module '" + origin + "' threw" +
                             (what != nullptr ? std::string(": ") + what
                                              : std::string(" a non-standard exception")));
      });
  if (!exported.Ok()) {
    closeLibrary();
    return exported;
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
    CatchAll([&] { module->callbacks.Unload(descriptor.context); },
             [&](const char*) {
               HostError("Module '" + origin + "' threw from Unload after a failed load");
             });
    closeLibrary();
    return Status::Error(message);
  };
  if (descriptor.shortName == nullptr) return reject("Module '" + origin + "' gave no short name");
  module->shortName = descriptor.shortName;
  if (const Status bound = BindExportEntries(*this, *module); !bound.Ok()) {
    return reject(bound.ErrorMessage());
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
  std::string failure = CatchAll(
      [&] {
        started = module->callbacks.Start(module->descriptor.context, &module->hostContext);
        return std::string();
      },
      [&](const char* what) {
        return WithReason("Module '" + module->shortName + "' threw from Start", what);
      });
  if (started == 0 && failure.empty()) failure = "Module '" + module->shortName + "' did not start";
  module->state = started != 0 && failure.empty() ? ModuleState::Started : ModuleState::StartFailed;
  if (!failure.empty()) return Status::Error(failure);
  RebuildRoutes();
  return Status();
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
  CatchAll([&] { module->callbacks.Unload(module->descriptor.context); },
           [&](const char* what) {
             HostError(WithReason("Module '" + module->shortName + "' threw from Unload", what));
           });
  // A subscription the module made while unloading must not outlive it either.
  DropSubscriptions(*module);
  if (module->library != nullptr) {
    Platform::CloseSharedLibrary(module->library);
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
  const Status read = CatchAll(
      [&] {
        module->callbacks.GetMemoryStats(module->descriptor.context, words);
        return Status();
      },
      [&](const char*) {
        return Status::Error("Module '" + module->shortName + "' threw from GetMemoryStats");
      });
  if (!read.Ok()) return read;
  auto counter = [&](int index) {
    return static_cast<uint64_t>(words[2 * index]) |
           (static_cast<uint64_t>(words[2 * index + 1]) << 32);
  };
  return ModuleMemoryStats{counter(0), counter(1), counter(2), counter(3), counter(4), counter(5)};
}

}  // namespace Oxle::Client::Host
