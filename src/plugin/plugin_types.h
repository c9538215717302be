// The framework's own registered records: resource events, the plugin-manager state, LCDS
// messages and service-proxy responses, with RegisterPluginTypes, which registers them and their
// events (each tagged "zclient") with a plugin's API registry. Also the two conversions between
// a native payload and a BindingProperty that every event and request path shares.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "binding/types/binding_registry.h"
#include "binding/types/type_binding.h"
#include "binding/value/binding_property.h"
#include "binding/value/value_result.h"

namespace Oxle::Client::Plugin {

enum class PluginResourceEventType : int32_t { Create = 0, Update = 1, Delete = 2 };

// A change of a resource: which one, what happened, and its content.
struct PluginResourceEvent {
  std::string uri;
  PluginResourceEventType eventType = PluginResourceEventType::Create;
  Binding::BindingProperty data;
};

enum class PluginManagerState : int32_t { NotReady = 0, PluginsInitialized = 1 };

struct PluginManagerResource {
  PluginManagerState state = PluginManagerState::NotReady;
};

struct PluginLcdsEvent {
  std::string clientId;
  std::string subtopic;
  std::string typeName;
  Binding::BindingProperty body;
};

struct PluginLcdsResponse {
  std::string typeName;
  Binding::BindingProperty body;
};

struct PluginServiceProxyResponse {
  std::string uuid;
  std::string serviceName;
  std::string methodName;
  std::string payload;
  std::string status;
  std::string error;
};

void DescribeBinding(Binding::TypeDescriber<PluginResourceEventType>& type);
void DescribeBinding(Binding::TypeDescriber<PluginResourceEvent>& type);
void DescribeBinding(Binding::TypeDescriber<PluginManagerState>& type);
void DescribeBinding(Binding::TypeDescriber<PluginManagerResource>& type);
void DescribeBinding(Binding::TypeDescriber<PluginLcdsEvent>& type);
void DescribeBinding(Binding::TypeDescriber<PluginLcdsResponse>& type);
void DescribeBinding(Binding::TypeDescriber<PluginServiceProxyResponse>& type);

// Registers the types above and the events "OnJsonApiEvent", "OnLcdsEvent",
// "OnServiceProxyUuidEvent", "OnServiceProxyMethodEvent" and "OnServiceProxyAsyncEvent". An event
// registered before keeps its description and tags.
void RegisterPluginTypes(Binding::BindingRegistry& registry);

// The value of a native payload: a BindingProperty is copied, a registered struct written.
template <typename T>
[[nodiscard]] Binding::ValueResult ToProperty(const T& value, Binding::BindingRegistry& registry) {
  if constexpr (std::is_same_v<T, Binding::BindingProperty>) {
    (void)registry;
    return Binding::ValueResult(value);
  } else {
    return Binding::WriteNative(value, registry);
  }
}

// Reads `value` into a native payload under `label`: a BindingProperty is copied, a registered
// struct read field by field.
template <typename T>
[[nodiscard]] Binding::ValueResult FromProperty(const Binding::BindingProperty& value, T& out,
                                                const char* label,
                                                Binding::BindingRegistry& registry) {
  if constexpr (std::is_same_v<T, Binding::BindingProperty>) {
    (void)label;
    (void)registry;
    out = value;
    return Binding::ValueResult();
  } else {
    return Binding::ReadNative(value, out, label, registry);
  }
}

}  // namespace Oxle::Client::Plugin
