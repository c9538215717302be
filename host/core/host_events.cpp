// HostCore's events: a publication shown to the host's observers and queued for delivery to the
// subscribers of its name, a resource change kept in the store and published under its URI's
// event name and the generic one, and the subscriptions dropped for a module that unloads.
#include <algorithm>

#include "api/resource_uri.h"
#include "binding/types/host_value.h"
#include "core/catch_all.h"
#include "core/host_core.h"

namespace Oxle::Client::Host {

using Binding::BindingProperty;

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
  std::string name = Api::EventNameForUri(normal);
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
    CatchAll([&] { observer->callback(event); },
             [&](const char* what) {
               HostError(WithReason(
                   "An event observer threw for event '" + std::string(event.name) + "'", what));
             });
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
    CatchAll([&] { subscription->callback(&event); },
             [&](const char* what) {
               HostError(WithReason("Module '" + module.shortName +
                                        "' threw from its callback for event '" + name + "'",
                                    what));
             });
  }
  Binding::ReleaseHostValue(value);
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

}  // namespace Oxle::Client::Host
