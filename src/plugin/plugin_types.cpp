#include "plugin/plugin_types.h"

namespace Oxle::Client::Plugin {

namespace {

constexpr const char* kTag = "zclient";

template <typename T>
void RegisterEvent(Binding::BindingRegistry& registry, const char* name, const char* description) {
  bool created = false;
  Binding::EventRecord* event =
      registry.FindOrRegisterEvent(name, Binding::RegisterType<T>(registry), created);
  if (!created || event == nullptr) return;
  event->description = description;
  event->tags.emplace_back(kTag);
}

}  // namespace

void DescribeBinding(Binding::TypeDescriber<PluginResourceEventType>& type) {
  type.Name("PluginResourceEventType")
      .Tag(kTag)
      .Value("Create", PluginResourceEventType::Create)
      .Value("Update", PluginResourceEventType::Update)
      .Value("Delete", PluginResourceEventType::Delete);
}

void DescribeBinding(Binding::TypeDescriber<PluginResourceEvent>& type) {
  type.Name("PluginResourceEvent")
      .Tag(kTag)
      .Field("uri", &PluginResourceEvent::uri)
      .Field("eventType", &PluginResourceEvent::eventType)
      .Field("data", &PluginResourceEvent::data);
}

void DescribeBinding(Binding::TypeDescriber<PluginManagerState>& type) {
  type.Name("PluginManagerState")
      .Tag(kTag)
      .Value("NotReady", PluginManagerState::NotReady)
      .Value("PluginsInitialized", PluginManagerState::PluginsInitialized);
}

void DescribeBinding(Binding::TypeDescriber<PluginManagerResource>& type) {
  type.Name("PluginManagerResource").Tag(kTag).Field("state", &PluginManagerResource::state);
}

void DescribeBinding(Binding::TypeDescriber<PluginLcdsEvent>& type) {
  type.Name("PluginLcdsEvent")
      .Tag(kTag)
      .Field("clientId", &PluginLcdsEvent::clientId)
      .Field("subtopic", &PluginLcdsEvent::subtopic)
      .Field("typeName", &PluginLcdsEvent::typeName)
      .Field("body", &PluginLcdsEvent::body);
}

void DescribeBinding(Binding::TypeDescriber<PluginLcdsResponse>& type) {
  type.Name("PluginLcdsResponse")
      .Tag(kTag)
      .Field("typeName", &PluginLcdsResponse::typeName)
      .Field("body", &PluginLcdsResponse::body);
}

void DescribeBinding(Binding::TypeDescriber<PluginServiceProxyResponse>& type) {
  type.Name("PluginServiceProxyResponse")
      .Tag(kTag)
      .Field("uuid", &PluginServiceProxyResponse::uuid)
      .Field("serviceName", &PluginServiceProxyResponse::serviceName)
      .Field("methodName", &PluginServiceProxyResponse::methodName)
      .Field("payload", &PluginServiceProxyResponse::payload)
      .Field("status", &PluginServiceProxyResponse::status)
      .Field("error", &PluginServiceProxyResponse::error);
}

void RegisterPluginTypes(Binding::BindingRegistry& registry) {
  Binding::RegisterType<PluginManagerState>(registry);
  Binding::RegisterType<PluginManagerResource>(registry);
  Binding::RegisterType<PluginResourceEventType>(registry);
  Binding::RegisterType<PluginResourceEvent>(registry);
  Binding::RegisterType<PluginLcdsEvent>(registry);
  Binding::RegisterType<PluginLcdsResponse>(registry);
  Binding::RegisterType<PluginServiceProxyResponse>(registry);
  RegisterEvent<PluginResourceEvent>(registry, "OnJsonApiEvent",
                                     "Fired when a resource is changed.");
  RegisterEvent<PluginLcdsEvent>(registry, "OnLcdsEvent",
                                 "Fired when a message is received over the LCDS connection.");
  RegisterEvent<PluginServiceProxyResponse>(
      registry, "OnServiceProxyUuidEvent",
      "Fired when a uuid-based service proxy message is received.");
  RegisterEvent<PluginServiceProxyResponse>(
      registry, "OnServiceProxyMethodEvent",
      "Fired when a method-based service proxy message is received.");
  RegisterEvent<PluginServiceProxyResponse>(
      registry, "OnServiceProxyAsyncEvent",
      "Fired when an async service proxy message is received.");
}

}  // namespace Oxle::Client::Plugin
