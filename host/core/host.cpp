// Host: the public face of the host core, each member handed to HostCore; a module loaded by
// path is opened here (the platform's shared library, then its export looked up) before
// HostCore registers it.
#include "core/host.h"

#include <cstring>

#include "core/host_core.h"
#include "platform/shared_library.h"

namespace Oxle::Client::Host {

using Binding::BindingProperty;

Host::Host(HostOptions options) : core_(std::make_unique<HostCore>(std::move(options))) {}
Host::~Host() = default;

Result<ModuleId> Host::LoadModule(const std::string& path, const std::string& exportName) {
  std::string reason;
  void* library = Platform::OpenSharedLibrary(path, reason);
  if (library == nullptr) return Status::Error("Couldn't load module '" + path + "': " + reason);
  void* symbol = Platform::FindLibrarySymbol(library, exportName, reason);
  if (symbol == nullptr) {
    Platform::CloseSharedLibrary(library);
    return Status::Error("Couldn't find export '" + exportName + "' in module '" + path +
                         "': " + reason);
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
std::vector<std::string> Host::ResourceUris() const {
  return core_->Store().Uris();
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
bool Host::WaitDelivered(std::chrono::nanoseconds limit) {
  return core_->Jobs().WaitDelivered(limit);
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
