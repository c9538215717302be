#include "core/resource_store.h"

#include <algorithm>

namespace Oxle::Client::Host {

using Binding::BindingProperty;
using Binding::ValueKind;

std::string_view ResourceChangeName(ResourceChange change) noexcept {
  switch (change) {
    case ResourceChange::Create:
      return "Create";
    case ResourceChange::Update:
      return "Update";
    case ResourceChange::Delete:
      return "Delete";
  }
  return "";
}

std::string NormalizeResourceUri(std::string_view uri) {
  while (!uri.empty() && uri.front() == '/')
    uri.remove_prefix(1);
  std::string normal = "/";
  normal.append(uri);
  return normal;
}

BindingProperty MakeResourceEvent(std::string_view uri, ResourceChange change,
                                  const BindingProperty& data) {
  BindingProperty event;
  event.MakeStructure();
  event.Get("uri").SetString(uri);
  event.Get("eventType").SetString(ResourceChangeName(change));
  event.Get("data") = data;
  return event;
}

ResourceChange ResourceStore::Set(std::string_view uri, const BindingProperty& value) {
  BindingProperty copy = value;  // copied before the lock: the copy may allocate
  std::string key = NormalizeResourceUri(uri);
  std::lock_guard lock(mutex_);
  auto [it, inserted] = resources_.try_emplace(std::move(key));
  it->second = std::move(copy);
  return inserted ? ResourceChange::Create : ResourceChange::Update;
}

bool ResourceStore::Delete(std::string_view uri) {
  const std::string key = NormalizeResourceUri(uri);
  BindingProperty removed;  // destroyed outside the lock
  std::lock_guard lock(mutex_);
  const auto it = resources_.find(key);
  if (it == resources_.end()) return false;
  removed = std::move(it->second);
  resources_.erase(it);
  return true;
}

std::optional<BindingProperty> ResourceStore::Get(std::string_view uri) const {
  const std::string key = NormalizeResourceUri(uri);
  std::lock_guard lock(mutex_);
  const auto it = resources_.find(key);
  if (it == resources_.end()) return std::nullopt;
  return it->second;
}

size_t ResourceStore::Size() const {
  std::lock_guard lock(mutex_);
  return resources_.size();
}

std::vector<std::string> ResourceStore::Uris() const {
  std::vector<std::string> uris;
  std::lock_guard lock(mutex_);
  uris.reserve(resources_.size());
  for (const auto& [uri, value] : resources_)
    uris.push_back(uri);
  return uris;
}

namespace {

[[nodiscard]] std::optional<ResourceChange> ChangeOf(const BindingProperty& type) {
  switch (type.Kind()) {
    case ValueKind::String: {
      const std::string_view name = type.GetString();
      for (ResourceChange change :
           {ResourceChange::Create, ResourceChange::Update, ResourceChange::Delete}) {
        if (name == ResourceChangeName(change)) return change;
      }
      return std::nullopt;
    }
    case ValueKind::Signed:
    case ValueKind::Unsigned: {
      const int64_t code = type.Kind() == ValueKind::Unsigned
                               ? static_cast<int64_t>(std::min<uint64_t>(type.GetUnsigned(0), 3))
                               : type.GetSigned(-1);
      if (code < 0 || code > 2) return std::nullopt;
      return static_cast<ResourceChange>(code);
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<ResourceChange> ResourceEventChange(const BindingProperty& payload) {
  if (payload.Kind() != ValueKind::Structure) return std::nullopt;
  const BindingProperty& uri = payload.Get("uri");
  if (uri.Kind() != ValueKind::String || uri.GetString().empty()) return std::nullopt;
  return ChangeOf(payload.Get("eventType"));
}

bool ResourceStore::Apply(const BindingProperty& payload) {
  const std::optional<ResourceChange> change = ResourceEventChange(payload);
  if (!change) return false;
  const BindingProperty& uri = payload.Get("uri");
  if (*change == ResourceChange::Delete) {
    Delete(uri.GetString());
  } else {
    Set(uri.GetString(), payload.Get("data"));
  }
  return true;
}

}  // namespace Oxle::Client::Host
