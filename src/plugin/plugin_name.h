// PluginName: the names of a plugin as the client knows them: the full name (a prefix chosen by
// the plugin's kind, then the short name), the short name, the kind and the kind's second text.
// Only the short name is used after registration (trace prefix, user agent, API category).
#pragma once

#include <string>
#include <string_view>

namespace Oxle::Client::Plugin {

struct PluginName {
  std::string fullName;
  std::string shortName;
  std::string kind;
  std::string kindText;
};

// "backend" gives "tpk-be-<short>", "frontend" "tpk-fe-<short>"; any other kind gives
// "tpk-xx-<short>" and logs an error (category 1) naming the short name and the kind.
[[nodiscard]] PluginName MakePluginName(std::string_view shortName, std::string_view kind);

}  // namespace Oxle::Client::Plugin
