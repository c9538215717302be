#include "plugin/api_version.h"

#include "api/version_text.h"

namespace Oxle::Client::Plugin {

std::string ApiVersion::ToString() const {
  std::string text = Api::VersionText(major, minor, patch);
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
