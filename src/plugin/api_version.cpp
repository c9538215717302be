#include "plugin/api_version.h"

#include "binding/format/positional_format.h"

namespace Oxle::Client::Plugin {

std::string ApiVersion::ToString() const {
  std::string text = Binding::FormatToString<33>("%1.%2.%3", major, minor, patch);
  if (!preRelease.empty()) text.append("-").append(preRelease);
  if (!build.empty()) text.append("+").append(build);
  return text;
}

bool IsCompatible(const ApiVersion& plugin, const ApiVersion& core) noexcept {
  if (core.major != plugin.major) return false;
  if (core.minor != plugin.minor) return core.minor > plugin.minor;
  return core.patch >= plugin.patch;
}

}  // namespace Oxle::Client::Plugin
