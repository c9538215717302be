// Split and Join: the string helpers of event naming ("/qel-login/v1/session" ->
// {"qel-login", "v1", "session"} -> "OnJsonApiEvent_qel-login_v1_session").
// Both are total: any text, separator set and index range gives a result, never an error.
// Not a tokenizer: there is no quoting or escaping, and empty runs are always dropped.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Oxle::Client::Binding {

// The non-empty runs of `text` between characters of `separators`, in order: "/a//b/" split
// at "/" gives {"a", "b"}. Without separators the whole text is one run (none if empty).
[[nodiscard]] std::vector<std::string> Split(std::string_view text, std::string_view separators);

// parts[first] .. parts[last] (inclusive) joined with `separator`; a negative `last` means to
// the end. A `last` past the end stops at the end; a range that selects nothing gives "".
[[nodiscard]] std::string Join(std::span<const std::string> parts, std::string_view separator,
                               size_t first = 0, std::ptrdiff_t last = -1);

}  // namespace Oxle::Client::Binding
