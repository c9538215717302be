// ResourceSubscriber: the root of the plugin object's layers: something that can subscribe to
// and unsubscribe from a resource URI. The defaults do nothing; PluginCore counts references.
#pragma once

#include <string_view>

namespace Oxle::Client::Plugin {

class ResourceSubscriber {
 public:
  virtual void Subscribe(std::string_view uri) { (void)uri; }
  virtual void Unsubscribe(std::string_view uri) { (void)uri; }
  virtual ~ResourceSubscriber() = default;
};

}  // namespace Oxle::Client::Plugin
