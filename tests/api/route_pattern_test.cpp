#include "api/route_pattern.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "api/route_match.h"

namespace Oxle::Client::Api {
namespace {

using Kind = PathParameterKind;

TEST(TemplateToRegexTest, ConvertsTemplates) {
  const struct {
    std::string_view pathTemplate;
    std::string_view regex;
    std::vector<PathParameter> parameters;
  } cases[] = {
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
  for (const auto& c : cases) {
    std::vector<PathParameter> parameters;
    EXPECT_EQ(TemplateToRegex(c.pathTemplate, parameters), c.regex) << c.pathTemplate;
    EXPECT_EQ(parameters, c.parameters) << c.pathTemplate;
    EXPECT_EQ(PathMatcher::Compile(c.pathTemplate)->Expression(), c.regex);
  }
}

TEST(BuildRoutePatternTest, MatchesAndCapturesDecodedAsTheBindingsTemplate) {
  Binding::FunctionRecord function;
  const std::function<void(RouteBinding&)> keep = [](RouteBinding&) {};
  const struct {
    std::string_view path;
    std::string_view functionName;
    // Changes the binding after SetRoutePath, as a caller writing the record directly would.
    std::function<void(RouteBinding&)> change;
    std::string_view effective;  // the template the pattern must then stand for
  } cases[] = {
      {"/a/{id}", "", keep, "/a/{id}"},
      {"/a/{id}/", "", keep, "/a/{id}"},
      {"/files/{+path}", "", keep, "/files/{+path}"},
      {"/{x}/{y}", "", keep, "/{x}/{y}"},
      {"/doc{#frag}", "", keep, "/doc{#frag}"},
      {"/a/b", "", keep, "/a/b"},
      {"", "Items{id}", keep, "Items{id}"},
      {"", "Help", keep, "Help"},
      {"/a/{id}", "", [](RouteBinding& b) { b.pathTemplate = "/files/{+path}"; }, "/files/{+path}"},
      {"/a/{id}", "", [](RouteBinding& b) { b.pathTemplate = "/a/b"; }, "/a/b"},
      {"/a/b", "", [](RouteBinding& b) { b.pathTemplate = "/{x}/{y}"; }, "/{x}/{y}"},
      {"", "Items{id}", [&](RouteBinding&) { function.name = "/{x}/{y}"; }, "/{x}/{y}"},
      {"/a}/{b}", "", keep, "/a}/{b}"},    // names shift after a stray "}"
      {"/{a}/{a}", "", keep, "/{a}/{a}"},  // a later equal name replaces
      {"{a}{b}/{+c}", "", keep, "{a}{b}/{+c}"},
      {"/{+a}", "", keep, "/{+a}"},  // "." stops at line terminators
  };
  const std::string targets[] = {
      "/a/7",    "/a/",      "/a/7/", "/a/x%2Fy", "/a/b",    "/A/7",     "/files/x/y", "/files/",
      "/files",  "/doc#top", "/doc",  "/doctop",  "/x/y",    "/x/y/z",   "Items7",     "Items",
      "Items/7", "items7",   "Help",  "/Help",    "",        "/a/7?q=1", "/a/b+c",     "/a/b/c",
      "/a/x",    "/x\ny",    "/x\ry", "/v1.0/b",  "/v1x0/b", "xyz",      "x/y/z",
  };
  for (const auto& c : cases) {
    function.name = c.functionName;
    RouteBinding binding;
    binding.function = &function;
    SetRoutePath(binding, c.path);
    c.change(binding);
    size_t matched = 0;
    for (const std::string& target : targets) {
      const std::string expected = Testing::MatchByDefinition(c.effective, target);
      EXPECT_EQ(Testing::MatchThroughBinding(binding, target), expected)
          << c.path << " as " << c.effective << " on '" << target << "'";
      matched += expected != "no match" ? 1 : 0;
    }
    // Every template meets targets it matches and targets it rejects.
    EXPECT_GT(matched, 0u) << c.effective;
    EXPECT_LT(matched, std::size(targets)) << c.effective;

    std::vector<PathParameter> parameters;
    if (c.effective.find('{') != std::string_view::npos) {
      (void)TemplateToRegex(c.effective, parameters);
    }
    const RoutePattern pattern = BuildRoutePattern(binding);
    EXPECT_EQ(pattern.Parameters(), parameters) << c.effective;
    EXPECT_EQ(pattern.binding, &binding);
    EXPECT_EQ(pattern.function, &function);
  }
}

struct Routes {
  Binding::FunctionRecord functions[3];
  RouteBinding bindings[3];
  std::vector<RoutePattern> patterns;

  explicit Routes(const std::vector<std::string_view>& paths, HttpMethod method = HttpMethod::Any) {
    size_t i = 0;
    for (std::string_view path : paths) {
      bindings[i].function = &functions[i];
      SetRouteMethod(bindings[i], method);
      SetRoutePath(bindings[i], path);
      ++i;
    }
    for (size_t j = 0; j < i; ++j)
      patterns.push_back(BuildRoutePattern(bindings[j]));
  }
};

RouteMatch Request(std::string_view target, HttpMethod method = HttpMethod::Get,
                   std::string_view methodName = "") {
  RouteMatch match;
  match.target = target;
  match.method = method;
  match.methodName = methodName;
  return match;
}

TEST(MatchRoutesTest, PrefersTheLightestMatchAndTiesToTheEarlier) {
  const struct {
    std::vector<std::string_view> paths;
    std::string_view target;
    size_t winner;
  } cases[] = {
      {{"/a/{x}", "/a/b"}, "/a/b", 1},       // the literal route weighs 0
      {{"/a/{x}", "/{y}/b"}, "/a/b", 0},     // equal weights
      {{"/{p}/{q}", "/a/{x}"}, "/a/bc", 1},  // 3 against 2
      {{"/a/b", "/a/{x}"}, "/a/b", 0},      {{"/{x}", "/{+y}", "/{z}"}, "/ab", 0},
  };
  for (const auto& c : cases) {
    Routes routes(c.paths);
    RouteMatch match = Request(c.target);
    ASSERT_TRUE(MatchRoutes(match, routes.patterns, false)) << c.target;
    EXPECT_EQ(match.function, &routes.functions[c.winner]) << c.target;
    EXPECT_EQ(match.binding, &routes.bindings[c.winner]) << c.target;
  }
}

TEST(MatchRoutesTest, ChecksTheMethod) {
  Routes routes({"/a"}, HttpMethod::Other);
  routes.bindings[0].methodName = "PURGE";
  const struct {
    RouteMatch request;
    bool ignoreMethod;
    bool matches;
  } cases[] = {
      {Request("/a", HttpMethod::Other, "PURGE"), false, true},
      {Request("/a", HttpMethod::Other, "purge"), false, false},
      {Request("/a", HttpMethod::Get, "PURGE"), false, false},
      {Request("/a", HttpMethod::Get), true, true},
      {Request("/b", HttpMethod::Other, "PURGE"), false, false},
  };
  for (const auto& c : cases) {
    RouteMatch match = c.request;
    EXPECT_EQ(MatchRoutes(match, routes.patterns, c.ignoreMethod), c.matches)
        << match.methodName << " " << match.target;
  }

  Routes any({"/a"});
  RouteMatch match = Request("/a", HttpMethod::Delete);
  EXPECT_TRUE(MatchRoutes(match, any.patterns, false));
  Routes get({"/a"}, HttpMethod::Get);
  EXPECT_FALSE(MatchRoutes(match, get.patterns, false));
  get.patterns[0].binding = nullptr;  // no binding: no method check
  EXPECT_TRUE(MatchRoutes(match, get.patterns, false));
}

TEST(MatchRoutesTest, NoMatchLeavesTheResultEmpty) {
  Routes routes({"/a/{x}"});
  RouteMatch match = Request("/a/b");
  ASSERT_TRUE(MatchRoutes(match, routes.patterns, false));
  match.target = "/b";
  EXPECT_FALSE(MatchRoutes(match, routes.patterns, false));
  EXPECT_EQ(match.function, nullptr);
  EXPECT_EQ(match.binding, nullptr);
  EXPECT_TRUE(match.pathParameters.empty());
}

// A 256 KiB stack is far below what a per-character recursive matcher needs for these targets.
TEST(PathMatcherTest, MatchesMegabyteParametersOnASmallStack) {
  struct Work {
    size_t matched = 0;
    size_t captured = 0;
  } work;
  const auto run = [](void* argument) -> void* {
    auto& out = *static_cast<Work*>(argument);
    const std::string big(1'000'000, 'x');
    const struct {
      std::string_view pathTemplate;
      std::string target;
      bool matches;
    } cases[] = {
        {"/files/{+path}", "/files/" + big, true},
        {"/a/{id}/b", "/a/" + big + "/b", true},
        {"/{+a}/{b}/{c}", "/" + big + "/" + big, false},
        // Cubic for a backtracking matcher without memory of failed positions.
        {"{+a}{+b}{+c}/{+d}z", big + "z", false},
    };
    for (const auto& c : cases) {
      RouteBinding binding;
      SetRoutePath(binding, c.pathTemplate);
      PathParameterMap parameters;
      if (MatchPath(BuildRoutePattern(binding), c.target, parameters) == c.matches) ++out.matched;
      for (const auto& entry : parameters)
        out.captured += entry.second.size();
    }
    return nullptr;
  };
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, run, &work), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(work.matched, 4u);
  EXPECT_EQ(work.captured, 2'000'000u);
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
      const size_t length = random() % 4;
      for (size_t j = 0; j < length; ++j)
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
  constexpr std::string_view kTemplateAlphabet = "/.(+#{}ab";
  constexpr std::string_view kParameters[] = {"{x}", "{+x}", "{#x}"};
  constexpr std::string_view kTargetAlphabet = "/#%\n\rab+.";
  std::mt19937 random(20240611u);
  size_t matches = 0;
  size_t multiGroupMatches = 0;
  size_t manyGroupMatches = 0;
  for (int t = 0; t < 4300; ++t) {
    std::string pathTemplate;
    if (t >= 4000) {
      // More groups than the matcher keeps its search state for on the stack: mostly segment
      // groups between slashes, at most two reserved ones, so that the regex library's
      // backtracking stays short.
      const size_t groups = 9 + random() % 8;
      for (size_t g = 0, reserved = 0; g < groups; ++g) {
        pathTemplate.push_back(random() % 4 == 0 ? '.' : '/');
        const bool plus = reserved < 2 && random() % 6 == 0;
        reserved += plus ? 1 : 0;
        pathTemplate.append(plus ? "{+x}" : "{x}");
      }
    }
    const size_t length = t >= 4000 ? 0 : random() % 8;
    for (size_t i = 0; i < length; ++i) {
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
      if (k % 2 == 0 || t >= 4000) {
        target = TargetFor(matcher->Expression(), random, t >= 4000 ? "/ab." : kTargetAlphabet);
      } else {
        const size_t size = random() % 7;
        for (size_t i = 0; i < size; ++i) {
          target.push_back(kTargetAlphabet[random() % kTargetAlphabet.size()]);
        }
      }
      if (t >= 4000 && k % 4 == 3 && !target.empty()) target.erase(random() % target.size(), 1);
      if (!Agree(*matcher, regex, pathTemplate, target)) continue;
      ++matches;
      if (matcher->GroupCount() > 1) ++multiGroupMatches;
      if (matcher->GroupCount() > 8) ++manyGroupMatches;
    }
  }
  // The generator must reach real matches with several groups, not only rejections.
  EXPECT_GT(matches, 10000u);
  EXPECT_GT(multiGroupMatches, 5000u);
  EXPECT_GT(manyGroupMatches, 400u);
}

}  // namespace
}  // namespace Oxle::Client::Api
