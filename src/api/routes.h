// Route bindings of HTTP-served API functions: the argument-location codes shared with the host
// (method codes are in http_method.h), the function-name rule ("GET" and "/a/{id}" give
// "GetAById"), URL decoding, and the RouteBinding record with its setters.
// A binding is written during registration and read-only afterwards; SetRoutePath compiles the
// binding's path matcher once, so dispatch never compiles. Matching itself lives in
// route_pattern.h; registry storage of bindings is not here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/http_method.h"
#include "binding/types/binding_registry.h"

namespace Oxle::Client::Api {

// The callable a binding dispatches to; defined with the dispatcher.
class ApiHandler;
// The compiled form of a path template; defined in route_pattern.h.
class PathMatcher;

// Where a request may supply an argument. Code 3 is unused.
enum class ArgumentLocation : uint32_t { Any = 0, Query = 1, Path = 2, Header = 4, Body = 5 };

// The API function name for a route: the prefix (a method text or any other word) as "Get/",
// then the path, with "!+-./_" dropped and capitalising the next character, "{" written as "By"
// (capitalising the next) and "}" dropped. An empty prefix adds nothing.
[[nodiscard]] std::string MakeFunctionName(std::string_view prefix, std::string_view path);
[[nodiscard]] std::string MakeFunctionName(HttpMethod method, std::string_view path);

// Decodes "%XY" escapes (a non-hex digit counts as 16, so "%zz" is byte 0x10) and "+" as a
// space. A "%" with fewer than two characters after it is dropped.
[[nodiscard]] std::string UrlDecode(std::string_view text);
// The same into `out`, replacing its content (and reusing its storage).
void UrlDecodeInto(std::string& out, std::string_view text);

struct RouteBinding {
  const Binding::FunctionRecord* function = nullptr;
  std::shared_ptr<ApiHandler> handler;
  std::string pathTemplate;
  HttpMethod method = HttpMethod::Any;
  std::string methodName;                             // compared only when method is Other
  uint8_t flags = 0;                                  // exported as is; nothing here sets it
  std::vector<std::vector<std::string>> stringLists;  // exported as is; nothing here sets it
  std::vector<ArgumentLocation> argumentLocations;    // by argument index, Any where undeclared
  // Compiled from the effective template (the path, or the function's name when the path is
  // empty) by SetRoutePath; null when that template has no "{".
  std::shared_ptr<const PathMatcher> pathMatcher;
};

// The template the binding is matched by: its path, or its function's name when the path is
// empty (or nothing without a function).
[[nodiscard]] std::string_view RouteTemplate(const RouteBinding& binding) noexcept;

// Stores the path without one trailing "/" (a lone "/" stays) and compiles its matcher.
void SetRoutePath(RouteBinding& binding, std::string_view path);
// Stores the method and empties the method name.
void SetRouteMethod(RouteBinding& binding, HttpMethod method);
// Records where argument `index` comes from, growing the list with Any as needed.
void SetArgumentLocation(RouteBinding& binding, size_t index, ArgumentLocation location);
// Where argument `index` may come from: as recorded, or Any.
[[nodiscard]] ArgumentLocation DeclaredLocation(const RouteBinding& binding, size_t index) noexcept;

}  // namespace Oxle::Client::Api
