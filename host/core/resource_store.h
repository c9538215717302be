// ResourceStore: the host's copy of every published resource, by URI, and the resource-event
// payload {uri, eventType, data} that carries its changes. URIs are kept with one leading "/"
// (a module may publish "qel-login/v1/session"). Thread-safe; values are copied in and out, so
// no caller shares a tree with another thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/value/binding_property.h"

namespace Oxle::Client::Host {

enum class ResourceChange : uint32_t { Create = 0, Update = 1, Delete = 2 };

// "Create", "Update", "Delete".
[[nodiscard]] std::string_view ResourceChangeName(ResourceChange change) noexcept;
// The URI with exactly one "/" in front.
[[nodiscard]] std::string NormalizeResourceUri(std::string_view uri);
// The payload a module's resource publication carries: {"uri", "eventType" (the change's name),
// "data"}.
[[nodiscard]] Binding::BindingProperty MakeResourceEvent(std::string_view uri,
                                                         ResourceChange change,
                                                         const Binding::BindingProperty& data);
// The change a resource-event payload carries: a structure whose "uri" is a non-empty string and
// whose "eventType" is "Create", "Update", "Delete" or the number 0, 1 or 2. Null for any other
// payload.
[[nodiscard]] std::optional<ResourceChange> ResourceEventChange(
    const Binding::BindingProperty& payload);

class ResourceStore {
 public:
  // Stores a copy; Create when the URI held nothing, else Update.
  ResourceChange Set(std::string_view uri, const Binding::BindingProperty& value);
  // True when something was stored there.
  bool Delete(std::string_view uri);
  [[nodiscard]] std::optional<Binding::BindingProperty> Get(std::string_view uri) const;
  [[nodiscard]] size_t Size() const;
  // The URIs that hold something, sorted.
  [[nodiscard]] std::vector<std::string> Uris() const;
  // Applies a resource-event payload (see ResourceEventChange). Returns false, changing nothing,
  // for any other payload.
  bool Apply(const Binding::BindingProperty& payload);

 private:
  mutable std::mutex mutex_;  // guards resources_
  std::map<std::string, Binding::BindingProperty, std::less<>> resources_;
};

}  // namespace Oxle::Client::Host
