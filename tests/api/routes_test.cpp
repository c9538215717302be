#include "api/routes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/route_match.h"
#include "api/route_pattern.h"

namespace Oxle::Client::Api {
namespace {

TEST(MethodTextTest, NamesCodesOneToSevenOnly) {
  const struct {
    uint32_t code;
    std::string_view text;
  } cases[] = {{0, ""},     {1, "DELETE"}, {2, "GET"}, {3, "HEAD"}, {4, "OPTIONS"},   {5, "PATCH"},
               {6, "POST"}, {7, "PUT"},    {8, ""},    {9, ""},     {0xFFFFFFFFu, ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(MethodText(static_cast<HttpMethod>(c.code)), c.text) << c.code;
  }
}

TEST(HttpMethodFromHostTest, KeepsOneToEightAndMapsTheRestToAny) {
  EXPECT_EQ(HttpMethodFromHost(0), HttpMethod::Any);
  EXPECT_EQ(HttpMethodFromHost(1), HttpMethod::Delete);
  EXPECT_EQ(HttpMethodFromHost(8), HttpMethod::Other);
  EXPECT_EQ(HttpMethodFromHost(9), HttpMethod::Any);
  EXPECT_EQ(HttpMethodFromHost(0x80000002u), HttpMethod::Any);
}

TEST(MakeFunctionNameTest, BuildsNamesFromPrefixAndPath) {
  const struct {
    std::string_view prefix;
    std::string_view path;
    std::string_view name;
  } cases[] = {
      {"GET", "/qel-mhx/v1/games/{gameId}", "GetQelMhxV1GamesByGameId"},
      {"GET", "/qel-mhx/v2/request-recently-played-champions/{accountId}",
       "GetQelMhxV2RequestRecentlyPlayedChampionsByAccountId"},
      {"DELETE", "/a_b.c!d+e-f", "DeleteABCDEF"},
      {"pOST", "/x", "PostX"},  // the rest of the prefix is lower-cased
      {"", "help", "Help"},     // no prefix: the path alone, first letter capitalised
      {"", "/a}b", "Ab"},       // "}" leaves the flag cleared
      {"", "/{}x", "ByX"},      // and leaves it set
      {"", "/files/{+path}", "FilesByPath"},
      {"", "/aB/9c", "AB9c"},  // a digit consumes the flag
      {"x", "", "X"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MakeFunctionName(c.prefix, c.path), c.name) << c.prefix << " " << c.path;
  }
  EXPECT_EQ(MakeFunctionName(HttpMethod::Put, "/a/{id}"), "PutAById");
  EXPECT_EQ(MakeFunctionName(HttpMethod::Other, "/a"), "A");
  EXPECT_EQ(MakeFunctionName(HttpMethod::Any, "/a"), "A");
}

TEST(UrlDecodeTest, DecodesEscapesAndPlus) {
  const struct {
    std::string_view text;
    std::string decoded;
  } cases[] = {
      {"%41%4a%4A", "AJJ"},
      {"x%2Fy", "x/y"},
      {"%zz", "\x10"},  // non-hex digits count as 16
      {"%z1", "\x01"},
      {"%1z", "\x10"},
      {"%00a", std::string("\0a", 2)},
      {"%ff", "\xff"},
      {"a%", "a"},    // a trailing "%" is dropped
      {"a%4", "a4"},  // and so is one with a single character after it
      {"%%41",
       "\x04"
       "1"},
      {"b+c", "b c"},
      {"%2B", "+"},
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(UrlDecode(c.text), c.decoded) << c.text;
}

TEST(UrlDecodeTest, IntoReplacesWhatTheStringHeld) {
  std::string out(100, 'z');
  UrlDecodeInto(out, "a+b%41");
  EXPECT_EQ(out, "a bA");
  UrlDecodeInto(out, "plain");
  EXPECT_EQ(out, "plain");
  UrlDecodeInto(out, "x%");
  EXPECT_EQ(out, "x");
  UrlDecodeInto(out, "");
  EXPECT_EQ(out, "");
}

TEST(SetRoutePathTest, DropsOneTrailingSlash) {
  const struct {
    std::string_view path;
    std::string_view stored;
  } cases[] = {{"/", "/"}, {"/a/", "/a"}, {"/a//", "/a/"}, {"/a", "/a"}, {"", ""}, {"a/", "a"}};
  for (const auto& c : cases) {
    RouteBinding binding;
    SetRoutePath(binding, c.path);
    EXPECT_EQ(binding.pathTemplate, c.stored) << c.path;
  }
}

// One binding given path after path: after each, its route is that path and nothing earlier.
TEST(SetRoutePathTest, TheBindingRoutesByItsLatestPath) {
  const struct {
    std::string_view path;
    std::vector<std::pair<std::string, std::string>> targets;  // target, match
  } steps[] = {
      {"/a/{id}/",
       {{"/a/7", "id=7;"}, {"/a/", "id=;"}, {"/a/7/", "no match"}, {"/a/x%2Fy", "id=x/y;"}}},
      {"/a/b", {{"/a/b", ""}, {"/a/7", "no match"}, {"/a/b/", "no match"}}},
      {"/files/{+path}//", {{"/files/x/y/", "path=x/y;"}, {"/files/x/y", "no match"}}},
      {"/", {{"/", ""}, {"", "no match"}, {"/a/b", "no match"}}},
      {"/{a}/{b}", {{"/x/y", "a=x;b=y;"}, {"/", "no match"}, {"/a/b", "a=a;b=b;"}}},
  };
  RouteBinding binding;
  for (const auto& step : steps) {
    SetRoutePath(binding, step.path);
    for (const auto& [target, expected] : step.targets) {
      EXPECT_EQ(Testing::MatchThroughBinding(binding, target), expected)
          << step.path << " on '" << target << "'";
    }
  }
}

TEST(SetRoutePathTest, AnEmptyPathRoutesByTheFunctionName) {
  Binding::FunctionRecord function;
  function.name = "Items{id}";
  RouteBinding binding;
  binding.function = &function;
  SetRoutePath(binding, "/a/{id}");
  SetRoutePath(binding, "");
  EXPECT_EQ(RouteTemplate(binding), "Items{id}");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Items7", "id=7;"},  {"Items", "id=;"},      {"Items/7", "no match"},
      {"/a/7", "no match"}, {"items7", "no match"}, {"Items{id}", "id={id};"},
  };
  for (const auto& [target, expected] : cases) {
    EXPECT_EQ(Testing::MatchThroughBinding(binding, target), expected) << target;
  }
}

TEST(SetRouteMethodTest, StoresTheMethodAndClearsTheName) {
  RouteBinding binding;
  binding.methodName = "PURGE";
  SetRouteMethod(binding, HttpMethod::Patch);
  EXPECT_EQ(binding.method, HttpMethod::Patch);
  EXPECT_EQ(binding.methodName, "");
}

TEST(SetArgumentLocationTest, GrowsWithAnyAndOverwrites) {
  RouteBinding binding;
  SetArgumentLocation(binding, 2, ArgumentLocation::Body);
  EXPECT_EQ(binding.argumentLocations,
            (std::vector<ArgumentLocation>{ArgumentLocation::Any, ArgumentLocation::Any,
                                           ArgumentLocation::Body}));
  SetArgumentLocation(binding, 0, ArgumentLocation::Path);
  EXPECT_EQ(binding.argumentLocations,
            (std::vector<ArgumentLocation>{ArgumentLocation::Path, ArgumentLocation::Any,
                                           ArgumentLocation::Body}));
}

}  // namespace
}  // namespace Oxle::Client::Api
