// Version numbers as text.
#include "api/version_text.h"

#include "binding/format/positional_format.h"

namespace Oxle::Client::Api {

std::string VersionText(uint32_t major, uint32_t minor, uint32_t patch) {
  return Binding::FormatToString<33>("%1.%2.%3", major, minor, patch);
}

}  // namespace Oxle::Client::Api
