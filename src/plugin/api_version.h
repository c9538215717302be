// ApiVersion: a plugin API version (major.minor.patch plus optional pre-release and build texts)
// with its text form and the rule by which a plugin accepts the core that loads it.
// Plain values; safe to copy and use from any thread. Not a general semantic-version library:
// pre-release and build take no part in compatibility or ordering.
#pragma once

#include <cstdint>
#include <string>

namespace Oxle::Client::Plugin {

struct ApiVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
  std::string preRelease;
  std::string build;

  // "18.2.1", then "-" and the pre-release and "+" and the build when they are not empty.
  [[nodiscard]] std::string ToString() const;
};

// The plugin API version this framework implements.
inline constexpr uint32_t kPluginApiMajor = 18;
inline constexpr uint32_t kPluginApiMinor = 0;
inline constexpr uint32_t kPluginApiPatch = 0;

// True when a core at `core` can run a plugin built for `plugin`: same major, and a newer minor
// or the same minor with at least the plugin's patch.
[[nodiscard]] bool IsCompatible(const ApiVersion& plugin, const ApiVersion& core) noexcept;

}  // namespace Oxle::Client::Plugin
