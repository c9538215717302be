#include "api/routes.h"

#include <gtest/gtest.h>

#include "api/route_pattern.h"

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
      {"%41%4a%4A", "AJJ"},
      {"x%2Fy", "x/y"},
      {"%zz", "\x10"},
      {"%z1", "\x01"},
      {"%1z", "\x10"},
      {"%00a", {"\0a", 2}},
      {"%ff", "\xff"},
      {"a%", "a"},
      {"a%4", "a4"},
      {"%%41",
       "\x04"
       "1"},
      {"b+c", "b c"},
      {"%2B", "+"},
      {"", ""},
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

}  // namespace
}  // namespace Oxle::Client::Api
