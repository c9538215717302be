// A plugin API version as text ("18.0.0"): the one spelling of a version number the framework,
// the host and its endpoints show. Plain function; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace Oxle::Client::Api {

// "major.minor.patch" in decimal.
[[nodiscard]] std::string VersionText(uint32_t major, uint32_t minor, uint32_t patch);

}  // namespace Oxle::Client::Api
