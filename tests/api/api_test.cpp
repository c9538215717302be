// The API layer: route names, templates and matching, and requests driven the way a host drives
// them (a request record to an export entry's callback, the response record read back and freed
// through its own callback).
#include "api/routes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <stdexcept>

#include "api/api_handler.h"
#include "api/api_registry.h"
#include "api/argument_binding.h"
#include "api/dispatch.h"
#include "api/resource_uri.h"
#include "api/route_pattern.h"
#include "api/route_registration.h"
#include "binding/types/builtin_types.h"
#include "binding/types/host_value.h"
#include "binding/types/type_binding.h"
#include "binding/value/binding_property.h"
#include "log/allocation_hooks.h"
#include "support/binding_values.h"
#include "support/small_stack.h"
#include "support/value_shape.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Api {
namespace {

// Method codes and texts, function names, URL decoding and what the dispatch tables do not set.
TEST(RouteTextTest, MethodsNamesDecodingAndSetters) {
  // The host's codes 1 to 8 are kept and any other is Any; 1 to 7 have names.
  const std::string_view names[] = {"",      "DELETE", "GET", "HEAD", "OPTIONS",
                                    "PATCH", "POST",   "PUT", "",     ""};
  for (const uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 0x80000002u}) {
    EXPECT_EQ(MethodText(static_cast<HttpMethod>(code)), code < 10 ? names[code] : "") << code;
    EXPECT_EQ(HttpMethodFromHost(code),
              code >= 1 && code <= 8 ? static_cast<HttpMethod>(code) : HttpMethod::Any)
        << code;
  }
  const std::tuple<std::string_view, std::string_view, std::string_view> functionNames[] = {
      {"GET", "/qel-mhx/v1/games/{gameId}", "GetQelMhxV1GamesByGameId"},
      {"DELETE", "/a_b.c!d+e-f", "DeleteABCDEF"},
      {"pOST", "/x", "PostX"},  // the rest of the prefix is lower-cased
      {"", "help", "Help"},     // no prefix: the path alone, first letter capitalised
      {"", "/a}b", "Ab"},       // "}" leaves the flag cleared
      {"", "/{}x", "ByX"},      // and leaves it set
      {"", "/files/{+path}", "FilesByPath"},
      {"", "/aB/9c", "AB9c"},  // a digit consumes the flag
      {"x", "", "X"},
  };
  for (const auto& [prefix, path, name] : functionNames)
    EXPECT_EQ(MakeFunctionName(prefix, path), name) << prefix << " " << path;
  EXPECT_EQ(MakeFunctionName(HttpMethod::Put, "/a/{id}"), "PutAById");
  EXPECT_EQ(MakeFunctionName(HttpMethod::Other, "/a"), "A");

  // Non-hex digits count as 16; a trailing "%" is dropped, and so is one with a single
  // character after it.
  const std::pair<std::string_view, std::string> escapes[] = {
      {"%41%4a%4A", "AJJ"}, {"x%2Fy", "x/y"},     {"%zz", "\x10"}, {"%z1", "\x01"},
      {"%1z", "\x10"},      {"%00a", {"\0a", 2}}, {"%ff", "\xff"}, {"a%", "a"},
      {"a%4", "a4"},        {"%%41", "\0041"},  // "%%4" is 0x04, then "1"
      {"b+c", "b c"},       {"%2B", "+"},         {"", ""},
  };
  // Decoding into a string replaces what it held.
  std::string into(100, 'z');
  for (const auto& [text, decoded] : escapes) {
    EXPECT_EQ(UrlDecode(text), decoded) << text;
    UrlDecodeInto(into, text);
    EXPECT_EQ(into, decoded) << text;
  }
  // Neither a path nor a function: no template. A location past the end fills the gap with Any.
  RouteBinding binding;
  SetArgumentLocation(binding, 1, ArgumentLocation::Body);
  SetArgumentLocation(binding, 2, ArgumentLocation::Path);
  EXPECT_EQ(std::tuple(RouteTemplate(binding), binding.argumentLocations),
            std::tuple("", std::vector{ArgumentLocation::Any, ArgumentLocation::Body,
                                       ArgumentLocation::Path}));
}

using Kind = PathParameterKind;

// Route matching seen from outside: what a pattern makes of a target, as one comparable text,
// and the same worked out independently of the matcher, from the template's regular expression.
// "no match", or the parameters as "name=value;" in name order ("" for none).
std::string DescribeMatch(bool matched, const PathParameterMap& parameters) {
  std::string text = matched ? "" : "no match";
  for (const auto& [name, value] :
       std::map<std::string, std::string>(parameters.begin(), parameters.end()))
    text += name + "=" + value + ";";
  return text;
}

// The route `pathTemplate` stands for, by definition: byte equality for a template without "{";
// otherwise the whole-target ECMAScript match of its expression, each group URL-decoded under
// the parameter of the same index (a later equal name replacing an earlier one).
std::string MatchByDefinition(std::string_view pathTemplate, const std::string& target) {
  if (pathTemplate.find('{') == std::string_view::npos)
    return DescribeMatch(target == pathTemplate, {});
  std::vector<PathParameter> names;
  const std::regex regex(TemplateToRegex(pathTemplate, names),
                         std::regex::ECMAScript | std::regex::optimize);
  std::smatch groups;
  PathParameterMap parameters;
  const bool matched = std::regex_match(target, groups, regex);
  for (size_t i = 1; matched && i < groups.size() && i <= names.size(); ++i)
    parameters.insert_or_assign(names[i - 1].name, UrlDecode(groups[i].str()));
  return DescribeMatch(matched, parameters);
}

TEST(TemplateToRegexTest, ConvertsTemplates) {
  const std::tuple<std::string_view, std::string_view, std::vector<PathParameter>> cases[] = {
      {"/a/{id}", "/a/([^/]*)", {{Kind::Segment, "id"}}},
      {"/files/{+path}", "/files/(.*)", {{Kind::Reserved, "path"}}},
      {"/doc{#frag}", "/doc#(.*)", {{Kind::Fragment, "frag"}}},
      {"/v1.0/(x)/{a}", "/v1\\.0/\\(x\\)/([^/]*)", {{Kind::Segment, "a"}}},
      {"^$*+?[]|\\{a}", "\\^\\$\\*\\+\\?\\[\\]\\|\\\\([^/]*)", {{Kind::Segment, "a"}}},
      // A stray "}" adds a nameless parameter without a group.
      {"/a}/{b}", "/a/([^/]*)", {{Kind::None, ""}, {Kind::Segment, "b"}}},
      // "{" inside braces restarts a plain parameter and keeps the name.
      {"{+a{b}", "([^/]*)", {{Kind::Segment, "ab"}}},
      {"{{+a}", "(.*)", {{Kind::Reserved, "a"}}},
      // "+" and "#" switch only first thing in a plain parameter.
      {"{++a}{a+}{#}",
       "(.*)([^/]*)#(.*)",
       {{Kind::Reserved, "+a"}, {Kind::Segment, "a+"}, {Kind::Fragment, ""}}},
      {"/x{y", "/x", {}},  // an unclosed parameter is dropped
  };
  for (const auto& [pathTemplate, regex, expected] : cases) {
    std::vector<PathParameter> parameters;
    EXPECT_EQ(TemplateToRegex(pathTemplate, parameters), regex) << pathTemplate;
    EXPECT_EQ(parameters, expected) << pathTemplate;
    EXPECT_EQ(PathMatcher::Compile(pathTemplate)->Expression(), regex);
  }
}

TEST(BuildRoutePatternTest, MatchesAndCapturesDecodedAsTheBindingsTemplate) {
  Binding::FunctionRecord function;
  const auto path = [](const char* to) { return [to](RouteBinding& b) { b.pathTemplate = to; }; };
  // `change` changes the binding after SetRoutePath, as a caller writing the record directly would;
  // `effective` is the template the pattern must then stand for.
  const struct {
    std::string_view path, functionName;
    std::function<void(RouteBinding&)> change;
    std::string_view effective;
  } cases[] = {
      {"/a/{id}", "", nullptr, "/a/{id}"},
      {"/a/{id}/", "", nullptr, "/a/{id}"},
      {"/files/{+path}", "", nullptr, "/files/{+path}"},
      {"/{x}/{y}", "", nullptr, "/{x}/{y}"},
      {"/doc{#frag}", "", nullptr, "/doc{#frag}"},
      {"/a/b", "", nullptr, "/a/b"},
      {"", "Items{id}", nullptr, "Items{id}"},
      {"", "Help", nullptr, "Help"},
      {"/a/{id}", "", path("/files/{+path}"), "/files/{+path}"},
      {"/a/{id}", "", path("/a/b"), "/a/b"},
      {"/a/b", "", path("/{x}/{y}"), "/{x}/{y}"},
      {"", "Items{id}", [&](RouteBinding&) { function.name = "/{x}/{y}"; }, "/{x}/{y}"},
      {"/a}/{b}", "", nullptr, "/a}/{b}"},    // names shift after a stray "}"
      {"/{a}/{a}", "", nullptr, "/{a}/{a}"},  // a later equal name replaces
      {"{a}{b}/{+c}", "", nullptr, "{a}{b}/{+c}"},
      {"/{+a}", "", nullptr, "/{+a}"},                       // "." stops at line terminators
      {"/files/{+path}//", "", nullptr, "/files/{+path}/"},  // one trailing slash goes
      {"/", "", nullptr, "/"},
      {"a/", "", nullptr, "a"},  // the shortest path that loses its slash
  };
  const std::string targets[] = {
      "/a/7",     "/a/",    "/a/7/",    "/a/x%2Fy", "/a/b",    "/A/7",  "/files/x/y",
      "/files/",  "/files", "/doc#top", "/doc",     "/doctop", "/x/y",  "/x/y/z",
      "Items7",   "Items",  "Items/7",  "items7",   "Help",    "/Help", "",
      "/a/7?q=1", "/a/b+c", "/a/b/c",   "/a/x",     "/x\ny",   "/x\ry", "/v1.0/b",
      "/v1x0/b",  "xyz",    "x/y/z",    "/",        "a",       "a/",    "/files/x/y/",
  };
  // One binding takes path after path: its route is the latest and nothing earlier.
  RouteBinding binding;
  binding.function = &function;
  for (const auto& c : cases) {
    function.name = c.functionName;
    SetRoutePath(binding, c.path);
    if (c.change) c.change(binding);
    const RoutePattern pattern = BuildRoutePattern(binding);
    for (const std::string& target : targets) {
      PathParameterMap parameters;
      EXPECT_EQ(DescribeMatch(MatchPath(pattern, target, parameters), parameters),
                MatchByDefinition(c.effective, target))
          << c.effective << " on '" << target;
    }
    std::vector<PathParameter> parameters;
    if (c.effective.find('{') != std::string_view::npos)
      (void)TemplateToRegex(c.effective, parameters);
    EXPECT_EQ(pattern.Parameters(), parameters) << c.effective;
    EXPECT_EQ(std::tie(pattern.binding, pattern.function), std::tuple(&binding, &function));
  }
}

// The lightest match wins and ties go to the earlier route; the method must fit; no match leaves
// the result empty. Each row: routes (a route of method Other is named PURGE), the request, and
// the index of the winner or -1.
TEST(MatchRoutesTest, PicksTheLightestRouteWhoseMethodFits) {
  using M = HttpMethod;
  using V = std::string_view;
  const std::tuple<std::vector<V>, M, V, M, V, bool, int> cases[] = {
      {{"/a/{x}", "/a/b"}, M::Any, "/a/b", M::Get, "", false, 1},    // the literal route weighs 0
      {{"/a/{x}", "/{y}/b"}, M::Any, "/a/b", M::Get, "", false, 0},  // equal weights
      {{"/{p}/{q}", "/a/{x}"}, M::Any, "/a/bc", M::Get, "", false, 1},  // 3 against 2
      {{"/a/b", "/a/{x}"}, M::Any, "/a/b", M::Get, "", false, 0},
      {{"/{x}", "/{+y}", "/{z}"}, M::Any, "/ab", M::Get, "", false, 0},
      {{"/a/{x}"}, M::Any, "/b", M::Get, "", false, -1},
      {{"/a"}, M::Other, "/a", M::Other, "PURGE", false, 0},
      {{"/a"}, M::Other, "/a", M::Other, "purge", false, -1},
      {{"/a"}, M::Other, "/a", M::Get, "PURGE", false, -1},
      {{"/a"}, M::Other, "/a", M::Get, "", true, 0},
      {{"/a"}, M::Other, "/b", M::Other, "PURGE", false, -1},
      {{"/a"}, M::Any, "/a", M::Delete, "", false, 0},
      {{"/a"}, M::Get, "/a", M::Delete, "", false, -1},
  };
  for (const auto& [paths, routeMethod, target, method, methodName, ignore, winner] : cases) {
    Binding::FunctionRecord functions[3];
    RouteBinding bindings[3];
    std::vector<RoutePattern> patterns;
    for (size_t i = 0; i < paths.size(); ++i) {
      bindings[i].function = &functions[i];
      SetRouteMethod(bindings[i], routeMethod);
      bindings[i].methodName = routeMethod == M::Other ? "PURGE" : "";
      SetRoutePath(bindings[i], paths[i]);
      patterns.push_back(BuildRoutePattern(bindings[i]));
    }
    RouteMatch match;
    match.target = paths[0];  // a match before, so that a failed one must clear it
    ASSERT_TRUE(MatchRoutes(match, patterns, true));
    match.target = target;
    match.method = method;
    match.methodName = methodName;
    const bool found = winner >= 0;
    EXPECT_EQ(MatchRoutes(match, patterns, ignore), found) << target;
    EXPECT_EQ(
        std::tuple(match.function, match.binding, found || match.pathParameters.empty()),
        std::tuple(found ? &functions[winner] : nullptr, found ? &bindings[winner] : nullptr, true))
        << target;
    if (routeMethod != M::Get) continue;
    patterns[0].binding = nullptr;  // no binding: no method check
    EXPECT_TRUE(MatchRoutes(match, patterns, false));
  }
}

// A 256 KiB stack is far below what a per-character recursive matcher needs for these targets.
TEST(PathMatcherTest, MatchesMegabyteParametersOnASmallStack) {
  size_t matched = 0, captured = 0;
  auto work = [&] {
    const std::string big(1'000'000, 'x');
    const std::tuple<std::string_view, std::string, bool> cases[] = {
        {"/files/{+path}", "/files/" + big, true},
        {"/a/{id}/b", "/a/" + big + "/b", true},
        {"/{+a}/{b}/{c}", "/" + big + "/" + big, false},
        {"{+a}{+b}{+c}/{+d}z", big + "z", false},  // cubic without memory of failed positions
    };
    for (const auto& [pathTemplate, target, matches] : cases) {
      RouteBinding binding;
      SetRoutePath(binding, pathTemplate);
      PathParameterMap parameters;
      matched += MatchPath(BuildRoutePattern(binding), target, parameters) == matches;
      for (const auto& entry : parameters)
        captured += entry.second.size();
    }
  };
  RunOnSmallStack(work);
  EXPECT_EQ(std::tuple(matched, captured), std::tuple(4u, 2'000'000u));
}

// Builds a target that the expression may match: literal text as written, each group filled
// with random characters (which may or may not fit the group).
std::string TargetFor(std::string_view regex, std::mt19937& random, std::string_view alphabet) {
  std::string target;
  for (size_t i = 0; i < regex.size();) {
    if (regex[i] == '\\') {
      target.push_back(regex[i + 1]);
      i += 2;
    } else if (regex[i] == '(') {
      for (size_t length = random() % 4; length > 0; --length)
        target.push_back(alphabet[random() % alphabet.size()]);
      i = regex.find(')', i) + 1;
    } else {
      target.push_back(regex[i++]);
    }
  }
  return target;
}

// Matches `target` with `matcher` and with `regex`, which must agree on the outcome and on
// every group; returns whether they matched.
bool Agree(const PathMatcher& matcher, const std::regex& regex, const std::string& pathTemplate,
           const std::string& target) {
  std::smatch expected;
  const bool expectedMatch = std::regex_match(target, expected, regex);
  std::vector<std::string_view> actual;
  const std::string where = "template '" + pathTemplate + "' target '" + target + "'";
  EXPECT_EQ(matcher.Match(target, actual), expectedMatch) << where;
  if (!expectedMatch) return false;
  EXPECT_EQ(actual.size(), matcher.GroupCount()) << where;
  for (size_t g = 0; g < actual.size() && g + 1 < expected.size(); ++g)
    EXPECT_EQ(actual[g], expected[g + 1].str()) << where << " group " << g + 1;
  return true;
}

TEST(PathMatcherTest, AgreesWithTheRegexLibrary) {
  // Single characters (stray braces included) mixed with whole parameters, so that most
  // templates have several groups.
  constexpr std::string_view kTemplateAlphabet = "/.(+#{}ab", kTargetAlphabet = "/#%\n\rab+.";
  constexpr std::string_view kParameters[] = {"{x}", "{+x}", "{#x}"};
  std::mt19937 random(20240611u);
  size_t matches = 0, multiGroupMatches = 0, manyGroupMatches = 0;
  for (int t = 0; t < 4300; ++t) {
    const bool many = t >= 4000;
    std::string pathTemplate;
    // Past 4000: more groups than the matcher keeps its search state for on the stack: mostly
    // segment groups between slashes, at most two reserved ones, so that the regex library's
    // backtracking stays short.
    for (size_t g = 0, groups = many ? 9 + random() % 8 : 0, reserved = 0; g < groups; ++g) {
      pathTemplate.push_back(random() % 4 == 0 ? '.' : '/');
      const bool plus = reserved < 2 && random() % 6 == 0;
      reserved += plus ? 1 : 0;
      pathTemplate.append(plus ? "{+x}" : "{x}");
    }
    for (size_t i = 0, length = many ? 0 : random() % 8; i < length; ++i) {
      if (random() % 3 == 0) {
        pathTemplate.append(kParameters[random() % 3]);
      } else {
        pathTemplate.push_back(kTemplateAlphabet[random() % kTemplateAlphabet.size()]);
      }
    }
    const auto matcher = PathMatcher::Compile(pathTemplate);
    const std::regex regex(matcher->Expression(), std::regex::ECMAScript | std::regex::optimize);
    ASSERT_EQ(regex.mark_count(), matcher->GroupCount()) << pathTemplate;
    for (int k = 0; k < 12 && !HasFailure(); ++k) {
      std::string target;
      if (k % 2 == 0 || many) {
        target = TargetFor(matcher->Expression(), random, many ? "/ab." : kTargetAlphabet);
      } else {
        for (size_t size = random() % 7; size > 0; --size)
          target.push_back(kTargetAlphabet[random() % kTargetAlphabet.size()]);
      }
      if (many && k % 4 == 3 && !target.empty()) target.erase(random() % target.size(), 1);
      if (!Agree(*matcher, regex, pathTemplate, target)) continue;
      ++matches;
      multiGroupMatches += matcher->GroupCount() > 1;
      manyGroupMatches += matcher->GroupCount() > 8;
    }
  }
  // The generator must reach real matches with several groups, not only rejections.
  EXPECT_GT(matches, 10000u);
  EXPECT_GT(multiGroupMatches, 5000u);
  EXPECT_GT(manyGroupMatches, 400u);
}

TEST(EventNameForUri, KeepsFourEntriesOrSixForPlatformConfig) {
  const std::pair<const char*, const char*> cases[] = {
      {"/qel-login/v1/session", "OnJsonApiEvent_qel-login_v1_session"},
      {"/qel-login/v1/session/extra", "OnJsonApiEvent_qel-login_v1_session"},
      {"/qel-mhx/v2/recently-played-champions/7",
       "OnJsonApiEvent_qel-mhx_v2_recently-played-champions"},
      {"/qel-platform-config/v1/namespaces/LoginDataPacket/platformId",
       "OnJsonApiEvent_qel-platform-config_v1_namespaces_LoginDataPacket_platformId"},
      {"/qel-platform-config/v1/namespaces/KRTMHX",
       "OnJsonApiEvent_qel-platform-config_v1_namespaces_KRTMHX"},
      {"/qel-platform-config/a/b/c/d/e/f", "OnJsonApiEvent_qel-platform-config_a_b_c_d"},
      {"//qel-login///v1/", "OnJsonApiEvent_qel-login_v1"},
      {"qel-login/v1/session", "OnJsonApiEvent_qel-login_v1_session"},
      {"/x/qel-platform-config/a/b/c", "OnJsonApiEvent_x_qel-platform-config_a"},
      {"", "OnJsonApiEvent"},
      {"///", "OnJsonApiEvent"},
  };
  for (const auto& [uri, name] : cases)
    EXPECT_EQ(EventNameForUri(uri), name) << uri;
}

TEST(MatchesResourcePattern, StarTakesOneSegmentPiece) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"/a/*", "/a/b", true},
      {"/a/*", "/a/", false},
      {"/a/*", "/a/b/c", false},
      {"/a/*/c", "/a/x/c", true},
      {"/a/*/c", "/a//c", true},
      {"/a/*/c", "/a/x/d", false},
      {"/a/b", "/a/b", true},
      {"/a/b", "/a/bc", false},
      {"/a/bc", "/a/b", false},
      {"/a/*x", "/a/bx", false},
      {"*", "abc", true},
      {"*", "", false},
      {"", "", true},
      {"/a/**", "/a/b", false},
  };
  for (const auto& [pattern, uri, matches] : cases)
    EXPECT_EQ(MatchesResourcePattern(pattern, uri), matches) << pattern << " against " << uri;
}

// A response record the host has received, dirty before as the host's is; freed through its own
// callback. Describe gives the result in the decoders' shape notation, or "error STATUS: text".
struct HostResponse {
  HostResponse() { std::memset(&record, 0xA5, sizeof record); }
  HostResponse(const HostResponse&) = delete;
  ~HostResponse() {
    if (record.free != nullptr) record.free(&record);
  }
  [[nodiscard]] std::string Describe() const {
    Binding::BindingProperty value;
    Binding::ValueResult result;
    if (record.error == 1)
      return "error " + std::to_string(record.status) + ": " + record.errorMessage;
    return FromHostValue(record.value, value, result, "r") ? Client::Shape(value) : "<unreadable>";
  }
  ApiResponseRecord record;
};

constexpr uint32_t kGet = 2, kPost = 6;

// A request under construction, GET unless told otherwise; the texts it points to live in the
// object. The other fields of `record` (caller context) are set directly.
struct HostRequest {
  HostRequest(std::string target, uint32_t method = kGet) : target(std::move(target)) {
    record.method = method;
  }
  HostRequest(const char* target, uint32_t method = kGet)
      : HostRequest(std::string(target), method) {}
  HostRequest& Header(std::string name, std::string value) {
    headerTexts.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  // The body is held in an exact-size buffer so that a read past its end is caught.
  HostRequest& Body(std::string type, const std::string& bytes) {
    contentType = std::move(type);
    body.emplace(bytes.begin(), bytes.end());
    return *this;
  }
  // A native argument (a null name binds by position); the value is borrowed.
  HostRequest& Native(const char* name, const HostValue& value) {
    natives.push_back(ApiNativeArgument{name, value});
    return *this;
  }

  // Fills the record for a call to the entry whose user data is `userData`.
  const ApiRequestRecord& Record(void* userData) {
    headers.clear();
    for (const auto& [name, value] : headerTexts)
      headers.push_back({name.c_str(), value.c_str()});
    record.target = target.c_str();
    record.userData = userData;
    record.headers = headers.empty() ? nullptr : headers.data();
    record.headerCount = static_cast<uint32_t>(headers.size());
    record.nativeArguments = natives.empty() ? nullptr : natives.data();
    record.nativeArgumentCount = static_cast<uint32_t>(natives.size());
    record.contentType = contentType.c_str();
    record.body = body ? body->data() : nullptr;
    record.bodyLength = body ? static_cast<uint32_t>(body->size()) : 0;
    record.methodName = methodName.c_str();
    return record;
  }

  ApiRequestRecord record{};
  std::string target, contentType, methodName;
  std::vector<std::pair<std::string, std::string>> headerTexts;
  std::vector<ApiHeader> headers;
  std::vector<ApiNativeArgument> natives;
  std::optional<std::vector<uint8_t>> body;
};

// The export entry of `name` in `table`, or null.
const ApiExportEntry* FindEntry(const ApiExportTable& table, std::string_view name) {
  const ApiExportEntry* entry = table.entries;
  while (entry != nullptr && (entry->function.name == nullptr || name != entry->function.name))
    entry = reinterpret_cast<const ApiExportEntry*>(entry->function.next);
  return entry;
}
// Calls the export entry of `name` with `request` into `response`.
void Send(const ApiExportTable& table, std::string_view name, HostRequest& request,
          HostResponse& response) {
  const ApiExportEntry* entry = FindEntry(table, name);
  ASSERT_NE(entry, nullptr) << name;
  entry->callback(&response.record, &request.Record(entry->function.userData));
}

using Binding::BindingProperty;
using C = Binding::BindingCode;
using L = ArgumentLocation;

// Answers with the bound argument values as they reached the handler, as a
// collection; or with what the test sets in `answer`.
class EchoHandler final : public ApiHandler {
 public:
  struct Call final : PreparedCall {
    std::vector<BindingProperty> arguments;
  };
  std::unique_ptr<PreparedCall> Prepare(ApiResponse&, std::span<BindingProperty> arguments,
                                        void*) override {
    ++prepared;
    auto call = std::make_unique<Call>();
    call->arguments.assign(arguments.begin(), arguments.end());
    return call;
  }
  void Invoke(ApiResponse& response, const RequestInfo* request, PreparedCall* call,
              void* context) override {
    if (request != nullptr) seen = *request;
    seenContext = context;
    if (during) response.text = "outer";
    if (during) during();
    if (answer) return void(response = answer());
    BindingProperty& list = response.result.Value();
    list.MakeCollection();
    for (const BindingProperty& value : static_cast<Call*>(call)->arguments)
      list.Append() = value;
  }
  const Binding::TypeId& ResultType() const noexcept override {
    return requestAware ? Binding::TypeIdOf<RequestAwareResponse>()
                        : Binding::TypeIdOf<ApiResponse>();
  }

  std::function<ApiResponse()> answer;
  std::function<void()> during;  // runs before the answer, after the response text is set
  bool requestAware = false;
  int prepared = 0;
  RequestInfo seen;
  void* seenContext = nullptr;
};

struct Argument {
  const char* name;
  C code;
  L location;
  bool optional = false;
};

// A full answer: a value, status, text, settings and a header, and the body if
// given.
ApiResponse FullAnswer(std::unique_ptr<BodyStream> body = nullptr) {
  ApiResponse response;
  response.result.Value().Get("k").SetString("v");
  response.status = 201;
  response.text = body ? "Created" : std::string(5000, 't');
  response.settingByte = 9;
  response.settingCode = 2;
  response.headers["h1"] = "v1";
  response.body = std::move(body);
  return response;
}

class DispatchTest : public ::testing::Test {
 protected:
  // Registers an echoing function for `path`, named as routes are.
  EchoHandler& Add(HttpMethod method, const std::string& path, std::vector<Argument> arguments) {
    auto handler = std::make_shared<EchoHandler>();
    Binding::FunctionRecord* function =
        registry.RegisterFunction(MakeFunctionName(method, path), arguments.size());
    RouteBinding& binding = registry.CreateRouteBinding(*function);
    binding.handler = handler;
    SetRoutePath(binding, path);
    SetRouteMethod(binding, method);
    for (size_t i = 0; i < arguments.size(); ++i) {
      function->arguments[i].type.code = arguments[i].code;
      function->arguments[i].optional = arguments[i].optional;
      DeclareArgument(registry, *function, arguments[i].name, "", arguments[i].location);
    }
    return *handler;
  }
  const ApiExportTable& Table() { return registry.BuildExportTable(); }

  std::string Call(const std::string& name, HostRequest request) {
    HostResponse response;
    Send(Table(), name, request, response);
    return response.Describe();
  }
  // Calls each row's function with the row's request and compares the answers.
  void Expect(std::initializer_list<std::tuple<const char*, HostRequest, std::string>> rows) {
    for (const auto& [name, request, expected] : rows)
      EXPECT_EQ(Call(name, request), expected) << name << " " << request.target;
  }
  // The same through Dispatch over the function's pattern, which binds path
  // parameters from the map MatchRoutes fills; with `withRegistry`, builtins
  // run.
  std::string GetMatched(const std::string& name, const std::string& target,
                         bool withRegistry = false) {
    const RoutePattern pattern =
        BuildRoutePattern(*registry.FindRouteBinding(*registry.FindFunction(name)));
    HostRequest request(target);
    HostResponse response;
    Dispatch(withRegistry ? &registry : nullptr, response.record, request.Record(nullptr),
             std::span<const RoutePattern>(&pattern, 1));
    return response.Describe();
  }
  // The entry count and reserved field, each entry as "|name path method 'name' flags
  // count:locations/lists", then each flat function name after "~", in order; every entry calls
  // the export callback with its registry and binding.
  std::string Describe() {
    const ApiExportTable& table = registry.BuildExportTable();
    std::set<std::string> parts;
    for (const ApiExportEntry* entry = table.entries; entry != nullptr;
         entry = reinterpret_cast<const ApiExportEntry*>(entry->function.next)) {
      const auto* pair = static_cast<const ApiExportUserData*>(entry->function.userData);
      EXPECT_EQ(
          std::tuple(+entry->callback, pair->registry, pair->binding),
          std::tuple(&ExportCallback, &registry,
                     registry.FindRouteBinding(*registry.FindFunction(entry->function.name))));
      std::string text = "|" + std::string(entry->function.name) + " " + entry->pathTemplate + " " +
                         std::to_string(entry->method) + " '" + entry->methodName + "' " +
                         std::to_string(entry->flags) + " " +
                         std::to_string(entry->function.argumentCount) + ":";
      for (const auto* l = entry->argumentLocations; l != nullptr; l = l->next)
        text += std::to_string(l->location);
      text += "/" + std::to_string(entry->stringListCount) + ":";
      for (const auto* list = entry->stringLists; list != nullptr; list = list->next)
        text += "[" + std::accumulate(list->texts, list->texts + list->count, std::string()) + "]";
      parts.insert(text);
    }
    for (const FlatFunctionRecord* f = table.functions; f != nullptr; f = f->next)
      parts.insert(std::string("~") + f->name);
    std::string text = std::to_string(table.entryCount) + " " + std::to_string(table.reserved);
    for (const std::string& part : parts)
      text += part;
    return text;
  }

  ApiRegistry registry;
};

// Query, index-path, location and sniffing rules, each row a GET of one target.
TEST_F(DispatchTest, GetTargetsBindByTheirRules) {
  Add(HttpMethod::Get, "/flags",
      {{"force", C::Bool, L::Query}, {"quiet", C::Bool, L::Query, true}, {"a", C::String, L::Any}});
  Add(HttpMethod::Get, "/items", {{"items", C::Vector, L::Query}, {"n", C::Uint64, L::Query}});
  Add(HttpMethod::Get, "/items/{id}", {{"id", C::Uint64, L::Path}, {"q", C::String, L::Query}});
  Add(HttpMethod::Get, "/deep", {{"obj", C::Object, L::Query}});
  Add(HttpMethod::Post, "/m", {});
  const std::string unknown = "error 400: Unknown argument ", index = "error 400: Index ";
  const auto deep = [](size_t n) {  // an index path of `n` segments
    std::string key = "/deep?obj";
    for (size_t i = 0; i < n; ++i)
      key += ".x";
    return key + "=1";
  };
  const std::string tooDeep =
      "error 400: Couldn't assign value to 'x' because the input is nested too deeply.";
  Expect({
      {"GetFlags", "/flags", "[F,~,~]"},  // a required bool not mentioned is false
      {"GetFlags", "/flags?force", "[T,~,~]"},
      {"GetFlags", "/flags?force=&quiet", "[T,T,~]"},
      {"GetFlags", "/flags?force=true", "['true',~,~]"},  // text: the handler's conversion reads it
      {"GetFlags", "/flags?a=1&a=2", "[F,~,'2']"},
      {"GetFlags", "/flags?a=x%26y+z&", unknown + "'' for 'GetFlags'."},
      {"GetFlags", "/flags?a=x%26y+z", "[F,~,'x&y z']"},
      {"GetFlags", "/flags?%61=%7B%7D", "[F,~,'{}']"},  // a string argument is never sniffed
      // Query failures are reported in delivery order; a repeated key keeps its
      // first place.
      {"GetFlags", "/flags?zz=1&yy=2", unknown + "'zz' for 'GetFlags'."},
      {"GetFlags", "/flags?yy=2&zz=1", unknown + "'yy' for 'GetFlags'."},
      {"GetItems", "/items?n=&zz=1", "error 400: Expected value for argument 'n'."},
      {"GetItems", "/items?zz=1&n=&zz=2", unknown + "'zz' for 'GetItems'."},
      {"GetItems", "/items?n=&zz=1&n=5", unknown + "'zz' for 'GetItems'."},
      {"GetItems", "/items?items.x2=5", "[{x2:'5';},~]"},
      {"GetItems", "/items?items.0x1=a", "[[~,'a'],~]"},  // base 0: hexadecimal
      {"GetItems", "/items?items.010=a&items.0=b", "[['b',~,~,~,~,~,~,~,'a'],~]"},  // octal
      {"GetItems", "/items?items.1.k=v", "[[~,{k:'v';}],~]"},
      {"GetItems", "/items?items.2z=5", index + "2z is in an incorrect format"},
      {"GetItems", "/items?items.4294967296=5", index + "4294967296 is out of range"},
      {"GetItems", "/items?items.65536=5", index + "65536 is out of range"},
      {"GetItems", "/items?items=", "[[],~]"},
      {"GetItems", "/items?items.=5", "['5',~]"},  // an empty index path is no path
      // The query is not part of the path the route is matched against.
      {"GetItemsById", "/items/5?q=x", "['5','x']"},
      {"GetItemsById", "/items/5?id=6",
       "error 400: Argument 'id' for 'GetItemsById' was specified in an "
       "invalid location."},
      {"GetItemsById", "/items/a%2Fb", "['a/b',~]"},
      {"GetItemsById", "/other/5", "error 404: Invalid function"},
      {"PostM", "/m", "error 404: Invalid function"},  // the method must match too
      {"GetDeep", "/deep?obj=%7B%7D", "[{}]"},  // query values are sniffed as path values are
      // Index paths are walked without recursion, to a depth of 512 (below).
      {"GetDeep", deep(513), tooDeep},
      {"GetDeep", deep(10000), tooDeep},
      {"PostM", {"/m", kPost}, "[]"},
  });
  EXPECT_FALSE(Call("GetDeep", deep(512)).starts_with("error"));
  const std::string largest = Call("GetItems", "/items?items.65535=z");  // the largest index
  EXPECT_EQ(largest.substr(largest.size() - 8), ",'z'],~]");
}

// The export callback binds path parameters without building their map: in the
// map's order all the same (so the first failure reported is the same), and a
// repeated name takes its last value.
TEST_F(DispatchTest, ExportedAndMatchedDispatchesBindPathParametersAlike) {
  const std::vector<std::string> names = {"alpha",   "beta", "gamma", "delta",
                                          "epsilon", "zeta", "eta"};
  std::string path = "/p";
  std::vector<Argument> arguments;
  PathParameterMap map = MakePathParameterMap();
  for (const std::string& name : names) {
    path += "/{" + name + "}";
    arguments.push_back({name.c_str(), C::Object, L::Path});
    map.insert_or_assign(name, std::string());
  }
  // The case tells the orders apart only when the map's is not the template's.
  ASSERT_NE(map.begin()->first, names.front());
  Add(HttpMethod::Get, path, arguments);
  const std::string function = MakeFunctionName(HttpMethod::Get, path);
  // Every parameter fails to decode, or every second one, or only the last, or
  // none.
  for (const size_t failEvery : {1, 2, 7, 8}) {
    std::string target = "/p";
    for (size_t i = 0; i < names.size(); ++i)
      target += (i + 1) % failEvery == 0 ? "/%5B1" : "/%7B%7D";
    const std::string exported = Call(function, target);
    EXPECT_EQ(exported.substr(0, 23),
              failEvery == 8 ? "[{},{},{},{},{},{},{}]" : "error 400: Couldn't des")
        << target;
    EXPECT_EQ(exported, GetMatched(function, target)) << target;
  }
  Add(HttpMethod::Get, "/d/{a}/{b}/{a}", {{"a", C::Object, L::Path}, {"b", C::String, L::Path}});
  const std::string repeated = "GetDByAByBByA";
  // A stray "}" takes a parameter slot without a group: the group is stored
  // under its name.
  Add(HttpMethod::Get, "/s}/{v}", {{"v", C::String, L::Path}});
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {repeated, "/d/%5B1/x/%7B%7D", "[{},'x']"},
      {repeated, "/d/%7B%7D/x/%5B1",
       "error 400: Couldn't deserialize JSON value for parameter 'a' of '" + repeated +
           "': Error: Missing a comma or ']' after an array element. at offset 2."},
      {"GetSByV", "/s/1", "error 400: Unknown argument '' for 'GetSByV'."},
  };
  for (const auto& [function, target, expected] : cases) {
    EXPECT_EQ(Call(function, target), expected) << target;
    EXPECT_EQ(GetMatched(function, target), expected) << target;
  }
}

// Headers bind by the lower-cased argument name; native arguments by name or by
// position after the path; the first failing step (Header, Path, Query, Native,
// Body) answers 400 and nothing runs.
TEST_F(DispatchTest, RequestPartsBindInOrderAndTheFirstFailureIsReported) {
  Add(HttpMethod::Get, "/h",
      {{"x-id", C::String, L::Any}, {"X-Id", C::String, L::Header}, {"x-q", C::String, L::Query}});
  Add(HttpMethod::Get, "/n/{id}",
      {{"id", C::String, L::Path}, {"a", C::Object, L::Any}, {"b", C::Object, L::Any}});
  HostValue text{}, one{};
  text.kind = HOST_VALUE_STRING_BORROWED;
  text.payload.string.text = "t";
  one.kind = HOST_VALUE_UNSIGNED;
  one.payload.unsignedValue = 1;
  const std::string unknown = "error 400: Unknown argument '";
  Expect({
      // A query-only argument ignores headers.
      {"GetH", HostRequest("/h").Header("x-id", "7").Header("x-q", "9"), "['7','7',~]"},
      {"GetH", HostRequest("/h").Header("X-Id", "7").Header("x-q", "9"), "[~,~,~]"},
      {"GetNById", HostRequest("/n/x").Native(nullptr, text).Native("b", one), "['x','t',u1]"},
      {"GetNById", HostRequest("/n/x").Native("zz", one), unknown + "zz' for 'GetNById'."},
      {"GetNById",
       HostRequest("/n/x").Native(nullptr, one).Native(nullptr, one).Native(nullptr, one),
       unknown + "3' for 'GetNById'."},
  });

  EchoHandler& handler = Add(HttpMethod::Post, "/f/{id}",
                             {{"h", C::Uint64, L::Header},
                              {"id", C::Object, L::Path},
                              {"q", C::String, L::Query},
                              {"n", C::Object, L::Any},
                              {"data", C::Object, L::Body}});
  const std::string comma = "Missing a comma or ']' after an array element. at offset 2.";
  const std::string header = "error 400: Expected value for argument 'h'.";
  const std::string path =
      "error 400: Couldn't deserialize JSON value for parameter 'id' of 'PostFById': Error: " +
      comma;
  // Which steps get a failing input, in binding order.
  const std::pair<std::string, std::string> cases[] = {
      {"HPQNB", header},
      {"-PQNB", path},
      {"--QNB", unknown + "zz' for 'PostFById'."},
      {"---NB", unknown + "nn' for 'PostFById'."},
      {"----B", "error 400: Error: " + comma},
      {"-----", "['3',{},'x',u1,[u2]]"},
  };
  for (const auto& [steps, expected] : cases) {
    HostRequest request(std::string(steps[1] == 'P' ? "/f/%5B1" : "/f/%7B%7D") +
                            (steps[2] == 'Q' ? "?q=x&zz=1" : "?q=x"),
                        kPost);
    request.Header("h", steps[0] == 'H' ? "" : "3")
        .Native(steps[3] == 'N' ? "nn" : "n", one)
        .Body("application/json", steps[4] == 'B' ? "[1" : "[2]");
    EXPECT_EQ(Call("PostFById", request), expected) << steps;
  }
  EXPECT_EQ(handler.prepared, 1);
}

// A body decodes by its content type's prefix; a malformed one answers the
// decoder's own message with 400 and an unhandled type 415, and the handler is
// not reached.
TEST_F(DispatchTest, BodiesDecodeByContentTypeOrAnswer400Or415) {
  EchoHandler& handler = Add(HttpMethod::Post, "/body", {{"data", C::Object, L::Body}});
  const std::string unsupported = "error 415: Unsupported body content type";
  const auto post = [](std::string type, const std::string& body, std::string expected) {
    return std::tuple("PostBody", HostRequest("/body", kPost).Body(type, body), expected);
  };
  Expect({
      post("Application/JSON; charset=utf-8", R"({"a":1})", "[{a:u1;}]"),
      post("application/vnd.api+json", "[true]", "[[T]]"),
      post("application/json", std::string("[1]\0garbage", 11), "[[u1]]"),
      post("application/x-msgpack", "\x81\xA1k\x01", "[{k:i1;}]"),
      post("application/x-yaml", "a: [1]\n", "[{a:[u1];}]"),
      post("application/x-yaml", std::string("a: [1]\0: : [", 12), "[{a:[u1];}]"),  // up to a NUL
      post("application/x-msgpack; v=5", "\xC1",
           "error 400: Invalid MessagePack data at position 1."),
      post("application/x-msgpack", "\x81\xA1k\x01\xC0",
           "error 400: Extra MessgePack data found in body"),
      post("application/json", "{\"a\":}", "error 400: Error: Invalid value. at offset 5."),
      post("Application/X-Yaml", "a: *x",
           "error 400: Undefined alias encountered: \"x\". At line: 1 col: 4"),
      post("text/x-yaml", "a: 1", unsupported),  // a parameter's type only
      post("", "{}", unsupported),
  });
  EXPECT_EQ(handler.prepared, 6);
}

// DecodeParameter on its own: the dispatcher's own binding passes no content
// type, so the explicit types are reached only by callers that pass one. A
// failure keeps status 0.
TEST(DecodeParameterTest, ContentTypesOrSniffingChooseTheDecoder) {
  const auto decode = [](std::string_view contentType, const std::string& text, bool sniff) {
    Binding::FunctionRecord function;
    function.name = "GetF";
    ApiResponse call;
    BindingProperty target;
    target.SetString("before");
    DecodeParameter(call, target, function, "p", text, contentType, sniff);
    // The wrapper of a failure is the dispatcher's own (see the GET rules) and the decoder's
    // message is its suite's: the format named is what tells the decoders apart here.
    const std::string message(call.result.ErrorMessage());
    return call.Ok() ? Client::Shape(target)
                     : "error " + std::to_string(call.status) + ": " +
                           message.substr(21, message.find(' ', 21) - 21);
  };
  const std::tuple<std::string_view, std::string, bool, std::string> cases[] = {
      {"application/x-msgpack", "\x81\xA1k\x01", false, "{k:i1;}"},
      {"application/x-msgpack-ext", "\x92\x01\xC3", false, "[i1,T]"},
      {"APPLICATION/X-MsgPack", "\x05\xC0\xC1", false, "i5"},  // bytes after the value ignored
      {"Application/Json; charset=utf-8", "5", false, "u5"},   // no "{" or "[" needed with a type
      {"TEXT/X-YAML", "a: [1]", false, "{a:[u1];}"},
      {"application/octet-stream", std::string("\0\xFF{", 3), true, "b'00ff7b'"},
      // Types that only bodies know, and unknown types, keep the text; a
      // content type turns sniffing off.
      {"application/vnd.api+json", "[1]", true, "'[1]'"},
      {"application/x-yaml", "a: 1", true, "'a: 1'"},
      {"application/jso", "[1]", true, "'[1]'"},
      {"", "{}", false, "'{}'"},
      // Sniffing recognises MessagePack by its first byte (which bytes: its suite), YAML by
      // "---" after spaces.
      {"", "\x7F", true, "'\x7F'"},
      {"", "\x80", true, "{}"},
      {"", std::string("\xDC\0\x01\x07", 4), true, "[i7]"},
      {"", "\n---\nk: v", true, "{k:'v';}"},
      {"", "--", true, "'--'"},
      {"application/x-msgpack", "\xC1", true, "error 0: MessagePack"},
      {"", "\x91\xA3xy", true, "error 0: MessagePack"},
      {"application/json", "[1", true, "error 0: JSON"},
      {"text/x-yaml", "a: *x", true, "error 0: YAML"},
      {"", "---\n? [a]\n: 1", true, "error 0: YAML"},
  };
  for (const auto& [contentType, text, sniff, expected] : cases)
    EXPECT_EQ(decode(contentType, text, sniff), expected) << contentType << text;
}

// A body of `size` bytes of 'b', read in pieces.
class PiecewiseBody final : public BodyStream {
 public:
  explicit PiecewiseBody(uint32_t size, bool* destroyed) : left_(size), destroyed_(destroyed) {}
  ~PiecewiseBody() override { *destroyed_ = true; }
  bool Read(void* buffer, uint32_t& length, bool& moreData) override {
    length = length < left_ ? length : left_;
    std::memset(buffer, 'b', length);
    left_ -= length;
    moreData = left_ > 0;
    return true;
  }
  uint32_t Size() const override { return 5; }

 private:
  uint32_t left_;
  bool* destroyed_;
};

TEST_F(DispatchTest, ResponsesCarryEverythingAndNothingOfOneReachesTheNext) {
  Log::InstallAllocationTracking();
  EchoHandler& handler =
      Add(HttpMethod::Get, "/r", {{"q", C::String, L::Query}, {"h", C::String, L::Header}});
  bool destroyed = false;
  handler.answer = [&] { return FullAnswer(std::make_unique<PiecewiseBody>(5, &destroyed)); };
  const ApiExportTable& table = Table();
  const Log::AllocationCounters before = Log::ReadAllocationCounters();
  {
    HostRequest request("/r");
    HostResponse response;
    Send(table, "GetR", request, response);
    const ApiResponseRecord& r = response.record;
    EXPECT_EQ(response.Describe(), "{k:'v';}");
    EXPECT_EQ(+r.errorMessage, nullptr);
    EXPECT_EQ(std::make_tuple(+r.status, std::string(r.text), +r.settingByte, +r.settingCode,
                              +r.bodySize, +r.reserved),
              std::make_tuple(201u, std::string("Created"), uint8_t{9}, 2u, 5u, 0u));
    ASSERT_EQ(+r.headerCount, 1u);
    EXPECT_EQ(std::string(r.headers[0].name) + "=" + r.headers[0].value, "h1=v1");
    char buffer[4];
    uint32_t length = sizeof buffer, last = sizeof buffer;
    uint8_t more = 9, lastMore = 9;  // more data to come
    ASSERT_EQ(r.readBody(r.bodyStream, buffer, &length, &more), 1);
    ASSERT_EQ(r.readBody(r.bodyStream, buffer, &last, &lastMore), 1);
    EXPECT_EQ(std::tuple(length, more, last, lastMore), std::tuple(4u, 1, 1u, 0));
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);  // the free callback destroys a body the host did not release
  const Log::AllocationCounters after = Log::ReadAllocationCounters();
  EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees);

  // Dispatches share buffers and value trees between calls: nothing of one call may reach the
  // next. Failures: a handler's status, a setting code outside 1 to 3 sent as 0, no status kept
  // 0 (the host chooses), and exceptions as server errors.
  const auto gone = [] {
    ApiResponse response = ApiResponse::Error("gone", 410);
    response.settingCode = 4;
    return response;
  };
  const auto broken = []() -> ApiResponse { throw std::runtime_error("broken"); };
  const std::tuple<std::function<ApiResponse()>, std::string, const char*, std::string> cases[] = {
      {[] { return FullAnswer(); }, "/r?q=" + std::string(3000, 'x'), "1", "{k:'v';}"},
      {nullptr, "/r", nullptr, "[~,~]"},
      {nullptr, "/r?q=x", "1", "['x','1']"},
      {gone, "/r", nullptr, "error 410: gone"},
      {nullptr, "/r?zz=1", nullptr, "error 400: Unknown argument 'zz' for 'GetR'."},
      {nullptr, "/r", nullptr, "[~,~]"},
      {[] { return ApiResponse::Error("refused", 0); }, "/r", nullptr, "error 0: refused"},
      {broken, "/r?q=x", nullptr, "error 500: broken"},
      {[]() -> ApiResponse { throw 7; }, "/r", nullptr, "error 500: Unknown error"},
      {[]() -> ApiResponse { throw std::bad_alloc(); }, "/r", "1", "error 500: std::bad_alloc"},
      {nullptr, "/r", nullptr, "[~,~]"},
  };
  for (const auto& [answer, target, header, expected] : cases) {
    handler.answer = answer;
    HostRequest request(target);
    if (header != nullptr) request.Header("h", header);
    HostResponse response;
    Send(table, "GetR", request, response);
    EXPECT_EQ(response.Describe(), expected);
    const ApiResponseRecord& r = response.record;
    if (r.status == 201) continue;
    EXPECT_EQ(std::tuple(std::string(r.text), +r.headerCount, +r.settingByte, +r.settingCode,
                         +r.bodyStream, r.error == 0 || r.value.kind == HOST_VALUE_EMPTY),
              std::tuple("", 0u, uint8_t{0}, 0u, nullptr, true))
        << target;
  }
}

// Request-aware handlers see the request; a handler may dispatch another request while its own
// call is in progress.
TEST_F(DispatchTest, RequestAwareHandlersSeeTheRequestAndMayDispatchAnother) {
  EchoHandler& handler = Add(HttpMethod::Other, "/info", {{"x", C::String, L::Query}});
  Add(HttpMethod::Get, "/inner/{id}", {{"id", C::String, L::Path}, {"v", C::String, L::Query}});
  std::string inner;
  handler.during = [&] { inner = Call("GetInnerById", "/inner/9?v=in"); };
  handler.requestAware = true;
  int context = 0;
  HostRequest request("/info?x=1", 8);
  request.Header("h", "1").methodName = "PURGE";
  request.record.callerContext = &context;
  // A method-8 binding with an empty name accepts only requests naming no method.
  EXPECT_EQ(Call("Info", request), "error 404: Invalid function");
  request.methodName.clear();
  HostResponse response;
  Send(Table(), "Info", request, response);
  EXPECT_EQ(std::tuple(response.Describe(), std::string(response.record.text), inner),
            std::tuple("['1']", "outer", "['9','in']"));
  const RequestInfo& seen = handler.seen;
  EXPECT_EQ(std::tie(seen.target, seen.method, seen.headers.at("h"), seen.callerContext,
                     handler.seenContext, seen.registry),
            std::make_tuple("/info?x=1", HttpMethod::Other, "1", &context, &context, &registry));
  EXPECT_GT(seen.time, 16'000'000'000'000'000ull);  // after 2020
}

// Builtins run only when dispatched with a registry: "Help" lists the registry
// in the format the query names (its content is the help builder's), any other
// builtin is refused.
TEST_F(DispatchTest, BuiltinsRunOnlyWhenDispatchedWithARegistry) {
  Binding::RegisterBuiltinEvents(registry);
  for (const char* name : {"Help", "help"}) {
    Binding::FunctionRecord* function = registry.RegisterFunction(name, 0);
    function->tags.push_back("$builtin");
    registry.CreateRouteBinding(*function).handler = std::make_shared<EchoHandler>();
  }
  EXPECT_EQ(GetMatched("help", "help", true), "error 400: Unsupported builtin function");
  EXPECT_EQ(GetMatched("Help", "Help", false), "[]");
  EXPECT_EQ(GetMatched("help", "help", false), "[]");
  const std::string full = "{events:[{description:'Fired when a callback is invoked.';";
  const std::string epytext = "{events:{OnCallback:'Fired when a callback is invoked.";
  const std::pair<const char*, std::string> formats[] = {{"Help", full},
                                                         {"Help?format=Full", full},
                                                         {"Help?format=1", full},
                                                         {"Help?format=Epytext", epytext},
                                                         {"Help?format=2", epytext},
                                                         {"Help?format=2&format=1", full}};
  for (const auto& [target, start] : formats)
    EXPECT_EQ(GetMatched("Help", target, true).substr(0, start.size()), start) << target;
}

// Entries describe every routed function (an unrouted one is in the flat description only) by
// its latest binding, the earlier one still alive for whoever held it; a rebuilt table holds
// every route.
TEST_F(DispatchTest, EntriesDescribeEveryRoutedFunctionByItsLatestBinding) {
  Add(HttpMethod::Get, "/a/{id}", {{"id", C::String, L::Path}, {"q", C::String, L::Query}});
  Add(HttpMethod::Get, "/b", {});
  RouteBinding& b = *registry.FindRouteBinding(*registry.FindFunction("GetB"));
  b.method = static_cast<HttpMethod>(9);  // exported as 0
  b.flags = 3;
  b.stringLists = {{"x", "y"}, {}};
  registry.RegisterFunction("Unrouted", 0);
  Binding::FunctionRecord* function = registry.RegisterFunction("F", 1);
  RouteBinding& first = registry.CreateRouteBinding(*function);
  SetRoutePath(first, "/first");
  RouteBinding& second = registry.CreateRouteBinding(*function);
  SetRoutePath(second, "/second");
  EXPECT_EQ(Describe(),
            "3 0|F /second 0 '' 0 1:0/0:|GetAById /a/{id} 2 '' 0 2:21/0:|GetB /b 0 '' 3 "
            "0:/2:[xy][]~F~GetAById~GetB~Unrouted");
  EXPECT_EQ(std::tuple(registry.FindRouteBinding(*function), second.argumentLocations.size(),
                       first.pathTemplate, registry.CopyRouteBindings().size()),
            std::tuple(&second, 1u, "/first", 3u));
  Add(HttpMethod::Get, "/c", {});
  EXPECT_NE(FindEntry(registry.BuildExportTable(), "GetC"), nullptr);
  // A call without user data is an invalid function.
  ApiResponseRecord response;
  ApiRequestRecord request{};
  request.target = "/a";
  ExportCallback(&response, &request);
  EXPECT_EQ(std::tuple(+response.error, std::string(response.errorMessage), +response.status),
            std::tuple(1, "Invalid function", 404u));
  EXPECT_STREQ(response.text, "");  // never null, even on the dispatcher's own failures
  response.free(&response);
  EXPECT_EQ(+response.errorMessage, nullptr);
}

struct Pick {
  int32_t championId = 0;
  std::string lane;
};
void DescribeBinding(Binding::TypeDescriber<Pick>& type) {
  type.Name("Pick").Field("championId", &Pick::championId).Field("lane", &Pick::lane);
}

// A member function, to be registered through its object.
struct Service {
  ApiResponse Game(uint64_t id) {
    return ApiResponse::FromValue(Client::Parse("{gameId:u" + std::to_string(id) + ";}"));
  }
};

// Routes registered from a handler of every signature the feature registers. Each function's record
// as "name(argument:code ...)returns", a returned struct with its record's name, an optional
// argument marked "?"; each has two invokers, the route's and the function record's. A native
// conversion that fails in Prepare is the caller's fault: 400. The error of a ValueOrError passes
// through with its status and headers. The function record's invoker keeps only the struct side of
// a ValueOrError: an empty value. A repeated registration keeps the first; request-aware handlers
// get the request.
TEST_F(DispatchTest, RegisteredRoutesRecordEverySignatureAndAnswerThroughTheExportTable) {
  Service service;
  std::string url, requests;
  const auto cached = [](uint64_t id) -> ValueOrError<Pick> {
    if (id != 0) return Pick{static_cast<int32_t>(id), "mid"};
    ApiResponse error = ApiResponse::Error("No session", 500);
    error.headers["retry"] = "later";
    return error;
  };
  const auto fetch = [](uint64_t id, bool force) -> ValueOrError<Pick> {
    return Pick{static_cast<int32_t>(id), force ? "top" : "bot"};
  };
  RegisterRoute(registry, HttpMethod::Get, "/v1/games/{id}", &service, &Service::Game,
                {{"id", L::Path}});
  RegisterRoute(
      registry, HttpMethod::Get, "/v2/request/{id}",
      [&](uint64_t id, bool force) { requests += std::to_string(id) + (force ? "!" : ""); },
      {{"id", L::Path}, {"force", L::Query}});
  RegisterRoute(registry, HttpMethod::Get, "/v2/request/current",
                [&](bool force) { requests += force ? "7!" : "7"; }, {{"force", L::Query}});
  RegisterRoute(registry, HttpMethod::Get, "/v2/cached/{id}", cached, {{"id", L::Path}});
  const auto plain = [](bool force) { return Pick{7, force ? "top" : "bot"}; };  // no error side
  RegisterRoute(registry, HttpMethod::Get, "/v2/cached/current", plain, {{"force", L::Query}});
  RegisterRoute(registry, HttpMethod::Get, "/v1/cached/{id}/", fetch,
                {{"id", L::Path}, {"force", L::Query}});
  RegisterRoute(registry, HttpMethod::Get, "/v1/delta",
                [] { return ApiResponse::FromValue(Client::Parse("{delta:i-1;}")); });
  RegisterRoute(registry, HttpMethod::Post, "/v1/endpoint-override",
                [&](Pick data) { return url = data.lane, ApiResponse(); }, {{"data", L::Body}});
  std::set<std::string> records;
  for (const Binding::FunctionRecord* function : registry.CopyFunctions()) {
    std::string text = function->name + "(";
    for (const auto& argument : function->arguments)
      text += argument.name + (argument.optional ? "?:" : ":") +
              Binding::BindingCodeName(argument.type.code) + " ";
    records.insert(text + ")" + Binding::BindingCodeName(function->returns.code) +
                   (function->returns.record ? " " + function->returns.record->name : ""));
    EXPECT_NE(registry.FindRouteBinding(*function)->handler.get(), function->callable.get());
  }
  EXPECT_EQ(records, (std::set<std::string>{
                         "GetV1CachedById(id:uint64 force:bool )struct Pick",
                         "GetV1Delta()object",
                         "GetV1GamesById(id:uint64 )object",
                         "GetV2CachedById(id:uint64 )struct Pick",
                         "GetV2CachedCurrent(force:bool )struct Pick",
                         "GetV2RequestById(id:uint64 force:bool )",
                         "GetV2RequestCurrent(force:bool )",
                         "PostV1EndpointOverride(data:struct )object",
                     }));
  const auto lane = [](const char* body) {
    return HostRequest("/v1/endpoint-override", kPost).Body("application/json", body);
  };
  Expect({
      {"GetV1GamesById", "/v1/games/42", "{gameId:u42;}"},
      {"GetV1GamesById", "/v1/games/x",
       "error 400: Value x for 'id' of type uint64 is in an incorrect format"},
      {"GetV1Delta", "/v1/delta", "{delta:i-1;}"},
      {"GetV2CachedById", "/v2/cached/3", "{championId:i3;lane:'mid';}"},
      {"GetV2CachedById", "/v2/cached/0", "error 500: No session"},
      {"GetV1CachedById", "/v1/cached/3?force", "{championId:i3;lane:'top';}"},
      {"GetV2CachedCurrent", "/v2/cached/current?force=false", "{championId:i7;lane:'bot';}"},
      {"GetV2RequestById", "/v2/request/5?force=true", "~"},
      {"GetV2RequestCurrent", "/v2/request/current", "~"},
      {"PostV1EndpointOverride", lane(R"({"lane":"x"})"), "~"},
      {"PostV1EndpointOverride", lane(R"({"lane":[1]})"),
       "error 400: Couldn't assign value to 'lane' because the input is not a string."},
  });
  EXPECT_EQ(requests, "5!7");
  EXPECT_EQ(url, "x");
  HostResponse response;
  HostRequest request("/v2/cached/0");
  Send(registry.BuildExportTable(), "GetV2CachedById", request, response);
  ASSERT_EQ(+response.record.headerCount, 1u);
  EXPECT_STREQ(response.record.headers[0].name, "retry");
  auto* invoker =
      dynamic_cast<ApiHandler*>(registry.FindFunction("GetV2CachedById")->callable.get());
  ASSERT_NE(invoker, nullptr);
  std::vector<Binding::BindingProperty> arguments(1);
  arguments[0].SetUnsigned(0);
  ApiResponse result;
  auto call = invoker->Prepare(result, arguments, nullptr);
  invoker->Invoke(result, nullptr, call.get(), nullptr);
  invoker->Release(std::move(call));
  EXPECT_EQ(std::tuple(result.Ok(), result.status, Client::Shape(result.result.Value())),
            std::tuple(true, 0u, "{championId:i0;lane:'';}"));
  const Binding::FunctionRecord* first = registry.FindFunction("GetV1Delta");
  EXPECT_EQ(RegisterRoute(registry, HttpMethod::Get, "/v1/delta", [] { return ApiResponse(); }),
            first);
  EXPECT_EQ(Call("GetV1Delta", "/v1/delta"), "{delta:i-1;}");
  std::string seen;
  RegisterRoute(registry, HttpMethod::Get, "/who/{name}",
                [&](const RequestInfo& request, std::string name) {
                  return seen = request.target + " " + name, ApiResponse();
                },
                {{"name", L::Path}});
  RegisterRoute(registry, HttpMethod::Get, "/ping",
                [&](const RequestInfo& request) { seen += "|" + request.target; });
  EXPECT_EQ(Call("GetWhoByName", "/who/ann"), "~");
  EXPECT_EQ(Call("GetPing", "/ping"), "~");
  EXPECT_EQ(seen, "/who/ann ann|/ping");
}

}  // namespace
}  // namespace Oxle::Client::Api
