#include "binding/format/split_join.h"

#include <algorithm>

namespace Oxle::Client::Binding {

std::vector<std::string> Split(std::string_view text, std::string_view separators) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at < text.size()) {
    const size_t begin = text.find_first_not_of(separators, at);
    if (begin == std::string_view::npos) break;
    const size_t end = std::min(text.find_first_of(separators, begin), text.size());
    parts.emplace_back(text.substr(begin, end - begin));
    at = end;
  }
  return parts;
}

std::string Join(std::span<const std::string> parts, std::string_view separator, size_t first,
                 std::ptrdiff_t last) {
  const size_t end =
      last < 0 ? parts.size() : std::min(parts.size(), static_cast<size_t>(last) + 1);
  std::string joined;
  for (size_t index = first; index < end; ++index) {
    if (index != first) joined.append(separator);
    joined.append(parts[index]);
  }
  return joined;
}

}  // namespace Oxle::Client::Binding
