#include "api/resource_uri.h"

#include <vector>

#include "binding/format/split_join.h"

namespace Oxle::Client::Api {

std::string EventNameForUri(std::string_view uri) {
  std::vector<std::string> parts{"OnJsonApiEvent"};
  for (std::string& segment : Binding::Split(uri, "/"))
    parts.push_back(std::move(segment));
  const bool platformConfig = parts.size() >= 2 && parts[1] == "qel-platform-config";
  const std::ptrdiff_t last = platformConfig ? 5 : 3;
  return Binding::Join(parts, "_", 0, last);
}

bool IsResourcePattern(std::string_view uri) noexcept {
  return uri.find('*') != std::string_view::npos;
}

bool MatchesResourcePattern(std::string_view pattern, std::string_view uri) noexcept {
  size_t p = 0;
  size_t u = 0;
  while (p < pattern.size() && u < uri.size()) {
    if (pattern[p] != '*') {
      if (pattern[p] != uri[u]) return false;
      ++p;
      ++u;
    } else if (uri[u] != '/') {
      ++u;
      if (u == uri.size()) ++p;
    } else {
      ++p;
    }
  }
  return p == pattern.size() && u == uri.size();
}

}  // namespace Oxle::Client::Api
