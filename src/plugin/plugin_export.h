// ExportPlugin: the body of a module's one export. A feature's export is one line:
//   extern "C" __attribute__((visibility("default"))) void* load_x(PluginDescriptor* d) {
//     return Oxle::Client::Plugin::ExportPlugin<Feature>(d, "x");
//   }
// It allocates the plugin, registers it through the descriptor and returns it. Nothing thrown
// reaches the host: a failure is logged and answered with null.
#pragma once

#include <concepts>
#include <exception>
#include <string_view>

#include "log/log_record.h"
#include "log/logger.h"
#include "plugin/plugin_base.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Plugin {

template <std::derived_from<PluginBase> T>
[[nodiscard]] void* ExportPlugin(PluginDescriptor* descriptor,
                                 std::string_view shortName) noexcept {
  T* plugin = nullptr;
  try {
    plugin = new T();
    plugin->Register(descriptor, shortName);
    return plugin;
  } catch (const std::exception& error) {
    Log::Log(Log::ERROR, 1, 0, "Loading the plugin failed: %s", error.what());
  } catch (...) {
    Log::Log(Log::ERROR, 1, 0, "Loading the plugin failed: unknown exception");
  }
  delete plugin;
  return nullptr;
}

}  // namespace Oxle::Client::Plugin
