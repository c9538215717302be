#include "plugin/plugin_name.h"

#include "binding/format/positional_format.h"
#include "log/log_record.h"
#include "log/logger.h"

namespace Oxle::Client::Plugin {

PluginName MakePluginName(std::string_view shortName, std::string_view kind) {
  PluginName name;
  name.shortName = shortName;
  name.kind = kind;
  std::string_view prefix;
  if (kind == "backend") {
    prefix = "tpk-be-";
  } else if (kind == "frontend") {
    prefix = "tpk-fe-";
  } else {
    prefix = "tpk-xx-";
    const std::string message = Binding::FormatToString(
        "GetFullNameFromShortNameAndType(\"%1\", \"%2\") called with an unknown type", shortName,
        kind);
    Log::Log(Log::ERROR, 1, 0, "            Plugin Manager| %s", message.c_str());
  }
  name.fullName.append(prefix).append(shortName);
  return name;
}

}  // namespace Oxle::Client::Plugin
