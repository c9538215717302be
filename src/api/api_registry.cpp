#include "api/api_registry.h"

#include <cstring>
#include <utility>

#include "api/dispatch.h"

namespace Oxle::Client::Api {

ApiRegistry::~ApiRegistry() = default;

RouteBinding& ApiRegistry::CreateRouteBinding(const Binding::FunctionRecord& function) {
  auto binding = std::make_unique<RouteBinding>();
  binding->function = &function;
  binding->argumentLocations.assign(function.arguments.size(), ArgumentLocation::Any);
  RouteBinding& created = *binding;
  std::lock_guard<std::mutex> lock(bindingsMutex_);
  std::unique_ptr<RouteBinding>& slot = bindings_[&function];
  if (slot) retiredBindings_.push_back(std::move(slot));
  slot = std::move(binding);
  return created;
}

RouteBinding* ApiRegistry::FindRouteBinding(const Binding::FunctionRecord& function) const {
  std::lock_guard<std::mutex> lock(bindingsMutex_);
  const auto found = bindings_.find(&function);
  return found != bindings_.end() ? found->second.get() : nullptr;
}

std::vector<const RouteBinding*> ApiRegistry::CopyRouteBindings() const {
  std::lock_guard<std::mutex> lock(bindingsMutex_);
  std::vector<const RouteBinding*> copy;
  copy.reserve(bindings_.size());
  for (const auto& [function, binding] : bindings_)
    copy.push_back(binding.get());
  return copy;
}

void ApiRegistry::FillExportEntry(ApiExportEntry& entry, const NamedBinding& routed,
                                  size_t& nextLocation, size_t& nextList) {
  const auto& [name, binding] = routed;
  if (const FlatFunctionRecord* flat = flat_.FindFunction(name)) entry.function = *flat;
  const size_t arguments = binding->function->arguments.size();
  if (arguments > 0) entry.argumentLocations = &locations_[nextLocation];
  for (size_t i = 0; i < arguments; ++i, ++nextLocation) {
    const auto code = static_cast<uint32_t>(DeclaredLocation(*binding, i));
    locations_[nextLocation].location = code >= 1 && code <= 5 ? code : 0;
    locations_[nextLocation].next = i + 1 < arguments ? &locations_[nextLocation + 1] : nullptr;
  }
  entry.pathTemplate = binding->pathTemplate.c_str();
  const auto method = static_cast<uint32_t>(binding->method);
  entry.method = method >= 1 && method <= 8 ? method : 0;
  entry.flags = binding->flags;
  if (!binding->stringLists.empty()) entry.stringLists = &stringLists_[nextList];
  entry.stringListCount = static_cast<uint32_t>(binding->stringLists.size());
  for (size_t i = 0; i < binding->stringLists.size(); ++i, ++nextList) {
    std::vector<const char*>& texts = stringListTexts_.emplace_back();
    for (const std::string& text : binding->stringLists[i])
      texts.push_back(text.c_str());
    stringLists_[nextList].texts = texts.empty() ? nullptr : texts.data();
    stringLists_[nextList].count = static_cast<uint32_t>(texts.size());
    stringLists_[nextList].next =
        i + 1 < binding->stringLists.size() ? &stringLists_[nextList + 1] : nullptr;
  }
  entry.methodName = binding->methodName.c_str();
}

void ApiRegistry::LinkExportUserData(const std::vector<NamedBinding>& routed) {
  // The map starts at 8 buckets and doubles while it would be loaded beyond its maximum.
  userData_.clear();
  size_t buckets = 8;
  while (static_cast<float>(buckets) <
         static_cast<float>(entries_.size()) / userData_.max_load_factor()) {
    buckets *= 2;
  }
  userData_.rehash(buckets);
  for (size_t i = 0; i < entries_.size(); ++i) {
    ApiExportUserData& pair = userData_[std::string(routed[i].first)];
    pair.registry = this;
    pair.binding = const_cast<RouteBinding*>(routed[i].second);
    entries_[i].function.userData = &pair;
    entries_[i].callback = &ExportCallback;
  }
}

const ApiExportTable& ApiRegistry::BuildExportTable() {
  // Bindings by their function's name (the names live in the function records), then fixed in
  // that map's order for the entries and their user data.
  std::unordered_map<std::string_view, const RouteBinding*> byName;
  for (const RouteBinding* binding : CopyRouteBindings()) {
    if (binding->function != nullptr) byName[binding->function->name] = binding;
  }
  const std::vector<NamedBinding> routed(byName.begin(), byName.end());
  const auto functions = CopyFunctions();
  const auto types = CopyTypes();
  const auto events = CopyEvents();
  const Binding::FlatApiArrays arrays =
      Binding::BuildFlatApiDescription(flat_, functions, types, events);

  // Size every array first: entries point into them.
  size_t locationCount = 0;
  size_t listCount = 0;
  for (const auto& [name, binding] : routed) {
    locationCount += binding->function->arguments.size();
    listCount += binding->stringLists.size();
  }
  entries_.assign(routed.size(), ApiExportEntry{});
  locations_.assign(locationCount, ApiArgumentLocationRecord{});
  stringLists_.assign(listCount, ApiStringListRecord{});
  stringListTexts_.clear();
  stringListTexts_.reserve(listCount);

  size_t nextLocation = 0;
  size_t nextList = 0;
  for (size_t i = 0; i < routed.size(); ++i) {
    FillExportEntry(entries_[i], routed[i], nextLocation, nextList);
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    entries_[i].function.next = i + 1 < entries_.size() ? &entries_[i + 1].function : nullptr;
  }
  // The user-data pairs, found by name from the entries.
  LinkExportUserData(routed);

  table_.entries = entries_.empty() ? nullptr : entries_.data();
  table_.entryCount = static_cast<uint32_t>(entries_.size());
  table_.functions = arrays.functions;
  table_.types = arrays.types;
  table_.events = arrays.events;
  table_.reserved = 0;
  return table_;
}

void DeclareArgument(ApiRegistry& registry, Binding::FunctionRecord& function,
                     std::string_view name, std::string_view description,
                     ArgumentLocation location) {
  const size_t index = function.nextArgument;
  Binding::BindingRegistry::AddArgument(function, name, description);
  if (RouteBinding* binding = registry.FindRouteBinding(function)) {
    SetArgumentLocation(*binding, index, location);
  }
}

}  // namespace Oxle::Client::Api
