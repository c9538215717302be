// Resource URIs as the host's events see them: the event name under which changes of a URI
// travel ("/qel-login/v1/session" gives "OnJsonApiEvent_qel-login_v1_session"; several URIs
// share a name), and the "*" patterns by which a plugin observes a family of resources.
// Pure functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace Oxle::Client::Api {

// "OnJsonApiEvent" and the URI's non-empty segments joined with "_", keeping at most the first
// four entries (six when the first segment is "qel-platform-config").
[[nodiscard]] std::string EventNameForUri(std::string_view uri);

// True when `uri` contains a "*", which makes it a pattern.
[[nodiscard]] bool IsResourcePattern(std::string_view uri) noexcept;

// Matches without recursion or backtracking: a "*" takes one or more characters other than "/"
// at the end of the pattern and zero or more before a "/"; other characters match themselves.
// "/a/*" matches "/a/b", not "/a/" nor "/a/b/c"; "/a/*/c" matches "/a/x/c".
[[nodiscard]] bool MatchesResourcePattern(std::string_view pattern, std::string_view uri) noexcept;

}  // namespace Oxle::Client::Api
