// Routes: method names, function names, URL decoding, templates and their matching, and the
// event names of resource URIs.
#include "api/routes.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <regex>

#include "api/resource_uri.h"
#include "api/route_pattern.h"
#include "support/small_stack.h"

namespace Oxle::Client::Api {
namespace {

// The host's codes 1 to 8 are kept and any other is Any; 1 to 7 have names.
TEST(MethodTextTest, NamesCodesOneToSevenAndTheHostKeepsOneToEight) {
  const std::string_view names[] = {"",      "DELETE", "GET", "HEAD", "OPTIONS",
                                    "PATCH", "POST",   "PUT", "",     ""};
  for (const uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 0x80000002u}) {
    EXPECT_EQ(MethodText(static_cast<HttpMethod>(code)), code < 10 ? names[code] : "") << code;
    EXPECT_EQ(HttpMethodFromHost(code),
              code >= 1 && code <= 8 ? static_cast<HttpMethod>(code) : HttpMethod::Any)
        << code;
  }
}

TEST(MakeFunctionNameTest, BuildsNamesFromPrefixAndPath) {
  const std::tuple<std::string_view, std::string_view, std::string_view> cases[] = {
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
  for (const auto& [prefix, path, name] : cases)
    EXPECT_EQ(MakeFunctionName(prefix, path), name) << prefix << " " << path;
  EXPECT_EQ(MakeFunctionName(HttpMethod::Put, "/a/{id}"), "PutAById");
  EXPECT_EQ(MakeFunctionName(HttpMethod::Other, "/a"), "A");
}

TEST(UrlDecodeTest, DecodesEscapesAndPlusIntoANewOrReusedString) {
  // Non-hex digits count as 16; a trailing "%" is dropped, and so is one with a single
  // character after it.
  const std::pair<std::string_view, std::string> cases[] = {
      {"%41%4a%4A", "AJJ"}, {"x%2Fy", "x/y"},     {"%zz", "\x10"}, {"%z1", "\x01"},
      {"%1z", "\x10"},      {"%00a", {"\0a", 2}}, {"%ff", "\xff"}, {"a%", "a"},
      {"a%4", "a4"},        {"%%41", "\0041"},  // "%%4" is 0x04, then "1"
      {"b+c", "b c"},       {"%2B", "+"},         {"", ""},
  };
  // Decoding into a string replaces what it held.
  std::string into(100, 'z');
  for (const auto& [text, decoded] : cases) {
    EXPECT_EQ(UrlDecode(text), decoded) << text;
    UrlDecodeInto(into, text);
    EXPECT_EQ(into, decoded) << text;
  }
}

TEST(RouteSettersTest, MethodClearsTheNameAndLocationsGrowWithAny) {
  RouteBinding binding;
  binding.methodName = "PURGE";
  SetRouteMethod(binding, HttpMethod::Patch);
  EXPECT_EQ(RouteTemplate(binding), "") << "neither a path nor a function";
  EXPECT_EQ(binding.method, HttpMethod::Patch);
  EXPECT_EQ(binding.methodName, "");
  SetArgumentLocation(binding, 2, ArgumentLocation::Body);
  SetArgumentLocation(binding, 0, ArgumentLocation::Path);
  EXPECT_EQ(binding.argumentLocations,
            (std::vector<ArgumentLocation>{ArgumentLocation::Path, ArgumentLocation::Any,
                                           ArgumentLocation::Body}));
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
    size_t matched = 0;
    const RoutePattern pattern = BuildRoutePattern(binding);
    for (const std::string& target : targets) {
      const std::string expected = MatchByDefinition(c.effective, target);
      PathParameterMap parameters;
      const bool found = MatchPath(pattern, target, parameters);
      EXPECT_EQ(DescribeMatch(found, parameters), expected) << c.effective << " on '" << target;
      matched += found ? 1 : 0;
    }
    // Every template meets targets it matches and targets it rejects.
    EXPECT_GT(matched, 0u) << c.effective;
    EXPECT_LT(matched, std::size(targets)) << c.effective;
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
  const std::tuple<std::vector<std::string_view>, M, std::string_view, M, std::string_view, bool,
                   int>
      cases[] = {
          {{"/a/{x}", "/a/b"}, M::Any, "/a/b", M::Get, "", false, 1},  // the literal route weighs 0
          {{"/a/{x}", "/{y}/b"}, M::Any, "/a/b", M::Get, "", false, 0},     // equal weights
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
    }
    for (size_t i = 0; i < paths.size(); ++i)
      patterns.push_back(BuildRoutePattern(bindings[i]));
    RouteMatch match;
    match.target = paths[0];  // a match before, so that a failed one must clear it
    ASSERT_TRUE(MatchRoutes(match, patterns, true));
    match.target = target;
    match.method = method;
    match.methodName = methodName;
    EXPECT_EQ(MatchRoutes(match, patterns, ignore), winner >= 0) << target;
    using Match = std::tuple<const Binding::FunctionRecord*, const RouteBinding*>;
    EXPECT_EQ(Match(match.function, match.binding),
              winner >= 0 ? Match(&functions[winner], &bindings[winner]) : Match())
        << target;
    EXPECT_TRUE(winner >= 0 || match.pathParameters.empty());
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

}  // namespace
}  // namespace Oxle::Client::Api
