// Path templates ("/a/{id}", "/files/{+path}", "/doc{#frag}") turned into patterns and matched
// against request targets, with the path parameters extracted and URL-decoded.
// A template's identity is the regular-expression text TemplateToRegex gives, but matching does
// not use a regex engine: PathMatcher runs a compiled program with the same results (match or
// not, every capture) as ECMAScript regex_match, backtracking per group with memoised failures,
// so no target length can exhaust the stack or time out exponentially. Immutable once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "api/routes.h"
#include "binding/types/binding_registry.h"

namespace Oxle::Client::Api {

// The state the closing "}" was in: Segment {name}, Reserved {+name}, Fragment {#name}; None for
// a stray "}" outside braces.
enum class PathParameterKind : uint32_t { None = 0, Segment = 1, Reserved = 2, Fragment = 3 };

struct PathParameter {
  PathParameterKind kind = PathParameterKind::None;
  std::string name;

  friend bool operator==(const PathParameter&, const PathParameter&) = default;
};

// Converts a template to its regular expression: literal text with "^$.*+?()[]|\" escaped,
// {name} as "([^/]*)", {+name} as "(.*)", {#name} as "#(.*)". Appends one parameter per "}"
// (a stray "}" adds a None parameter with an empty name and no group); an unclosed "{" at the
// end adds nothing.
[[nodiscard]] std::string TemplateToRegex(std::string_view pathTemplate,
                                          std::vector<PathParameter>& parameters);

// A compiled template. Matching is whole-target, byte-wise and case-sensitive; "." of the
// expression excludes '\n' and '\r' as the regex library does. Cost: at most one literal
// comparison per (group, end position) pair, so O(groups * target * literal) in the worst case
// and O(target) for the usual one-group-per-segment route; memory is O(groups).
class PathMatcher {
 public:
  [[nodiscard]] static std::shared_ptr<const PathMatcher> Compile(std::string_view pathTemplate);

  [[nodiscard]] const std::string& Template() const noexcept { return template_; }
  [[nodiscard]] const std::string& Expression() const noexcept { return expression_; }
  [[nodiscard]] const std::vector<PathParameter>& Parameters() const noexcept {
    return parameters_;
  }
  [[nodiscard]] size_t GroupCount() const noexcept { return groups_.size(); }
  // The captures MatchPath stores, one per distinct parameter name (the last capture under that
  // name), in the order the PathParameterMap it fills iterates them. That order depends only on
  // the names, so it is found once here and a dispatcher can bind path parameters in the same
  // order without building the map.
  [[nodiscard]] const std::vector<uint32_t>& StoredCaptures() const noexcept {
    return storedCaptures_;
  }

  // True when the whole target matches; `captures` then holds one view into `target` per
  // group, chosen as regex_match would (each group as long as the rest still allows).
  [[nodiscard]] bool Match(std::string_view target, std::vector<std::string_view>& captures) const;

 private:
  enum class GroupKind : uint8_t { Segment, Line };  // stops at '/'; stops at '\n' or '\r'
  struct Group {
    GroupKind kind = GroupKind::Segment;
    std::string literal;  // the text that must follow the group
  };
  struct Builder;

  PathMatcher() = default;
  [[nodiscard]] static bool Stops(GroupKind kind, char c) noexcept;
  // The first / last position in [from, to) of a character that stops a group of `kind`; `to`
  // when there is none.
  [[nodiscard]] static size_t FirstStop(GroupKind kind, std::string_view target, size_t from,
                                        size_t to) noexcept;
  [[nodiscard]] static size_t LastStop(GroupKind kind, std::string_view target, size_t from,
                                       size_t to) noexcept;

  std::string template_;
  std::string expression_;
  std::vector<PathParameter> parameters_;
  std::string head_;  // the text before the first group
  std::vector<Group> groups_;
  std::vector<uint32_t> storedCaptures_;
};

using PathParameterMap = std::unordered_map<std::string, std::string>;
// An empty map with a maximum load factor of 1.0 (buckets are allocated on first insertion).
[[nodiscard]] PathParameterMap MakePathParameterMap();

// One binding prepared for matching: a literal path when the template has no "{", else the
// binding's shared matcher.
struct RoutePattern {
  const Binding::FunctionRecord* function = nullptr;
  const RouteBinding* binding = nullptr;
  std::string literalPath;
  std::shared_ptr<const PathMatcher> matcher;

  // The template's parameters in template order (none for a literal path).
  [[nodiscard]] const std::vector<PathParameter>& Parameters() const noexcept;
};

struct RouteMatch {
  const Binding::FunctionRecord* function = nullptr;  // null when nothing matched
  const RouteBinding* binding = nullptr;              // null when nothing matched
  HttpMethod method = HttpMethod::Any;
  std::string methodName;  // the request's, for HttpMethod::Other
  std::string target;
  PathParameterMap pathParameters = MakePathParameterMap();
};

// The template is the binding's path, or its function's name when the path is empty. Reuses
// the matcher SetRoutePath compiled; compiles only if the binding was changed behind its back.
[[nodiscard]] RoutePattern BuildRoutePattern(const RouteBinding& binding);

// Matches the whole target; each capture is URL-decoded and stored under the name of the
// parameter with the same index (a later equal name replaces the value).
[[nodiscard]] bool MatchPath(const RoutePattern& pattern, std::string_view target,
                             PathParameterMap& parameters);

// Tries the patterns in order against match.target and match.method; the best match is the
// one with the smallest total length of parameter values (ties to the earlier pattern), and a
// match without parameters ends the search. On success fills function, binding and
// pathParameters; otherwise they are left empty.
[[nodiscard]] bool MatchRoutes(RouteMatch& match, std::span<const RoutePattern> patterns,
                               bool ignoreMethod);

}  // namespace Oxle::Client::Api
