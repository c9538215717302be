// TelemetrySink: posts telemetry events as API calls to "/telemetry/v1/events/<name>" through
// the plugin's host. Created by the plugin at start; the plugin outlives it. Post blocks until
// the host has answered, so the returned future is always ready.
#pragma once

#include <future>
#include <string_view>

#include "plugin/plugin_core.h"

namespace Oxle::Client::Plugin {

class TelemetrySink {
 public:
  explicit TelemetrySink(PluginCore& core) noexcept : core_(core) {}

  // A POST of `parameters` as named arguments; the future holds the call's outcome.
  [[nodiscard]] std::future<RequestResult<>> Post(std::string_view name,
                                                  const ApiParameters& parameters);

 private:
  PluginCore& core_;
};

}  // namespace Oxle::Client::Plugin
