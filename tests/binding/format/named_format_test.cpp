#include "binding/format/named_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/value_shape.h"

namespace Oxle::Client::Binding {
namespace {

using Arguments = std::vector<NamedArgument>;

struct Translation {
  std::string format;  // positional
  std::string text;    // formatted with the same arguments
  BindingProperty parameters;
};

Translation Translate(std::string_view format, Arguments arguments) {
  Translation result;
  FormatNamed(format, std::span<NamedArgument>(arguments), result.format, result.parameters);
  result.text = FormatToString(result.format, arguments);
  return result;
}

TEST(FormatNamedTest, TranslatesFieldsAndRecordsTheirValues) {
  const Translation t = Translate(
      "Error response for {method} {url}: {error}",
      {NamedArgument::String("GET"), NamedArgument::String("/x"), NamedArgument::String("boom")});
  EXPECT_EQ(t.format, "Error response for %1 %2: %3");
  EXPECT_EQ(t.text, "Error response for GET /x: boom");
  EXPECT_EQ(Shape(t.parameters), "{error:'boom';method:'GET';url:'/x';}");
}

TEST(FormatNamedTest, AppendsToOutAndMakesParametersAStructure) {
  Arguments none;
  std::string out = "log: ";
  BindingProperty parameters;
  FormatNamed("plain text", none.data(), none.size(), out, parameters);
  EXPECT_EQ(out, "log: plain text");
  EXPECT_EQ(Shape(parameters), "{}");
}

TEST(FormatNamedTest, RecordsEachKindAsItsValueKind) {
  const Translation t = Translate(
      "{b} {s} {u} {d}", {NamedArgument::Bool(true), NamedArgument::Signed(-3),
                          NamedArgument::Unsigned(UINT64_MAX), NamedArgument::Double(0.5)});
  EXPECT_EQ(t.text, "1 -3 18446744073709551615 0.5");
  EXPECT_EQ(Shape(t.parameters), "{b:T;d:f0.5;s:i-3;u:u18446744073709551615;}");
}

TEST(FormatNamedTest, TypedNamesGetAKindSuffixUnlessMarked) {
  const struct {
    const char* format;
    NamedArgument argument;
    const char* key;
  } cases[] = {
      {"{#flag}", NamedArgument::Bool(false), "flag_bool"},
      {"{#n}", NamedArgument::Signed(1), "n_int"},
      {"{#n}", NamedArgument::Unsigned(1), "n_int"},
      {"{#ratio}", NamedArgument::Double(1), "ratio_float"},
      {"{#name}", NamedArgument::String("x"), "name_str"},
      {"{#count_long}", NamedArgument::Signed(1), "count_long"},
      {"{#started_time}", NamedArgument::Unsigned(1), "started_time"},
      {"{#flag@str}", NamedArgument::Bool(true), "flag_str"},
      {"{n}", NamedArgument::Signed(1), "n"},
  };
  for (const auto& c : cases) {
    const Translation t = Translate(c.format, {c.argument});
    EXPECT_TRUE(t.parameters.Has(c.key)) << c.format << " -> " << c.key;
    EXPECT_EQ(t.parameters.Size(), 1u) << c.format;
  }
}

TEST(FormatNamedTest, FieldModifiers) {
  const struct {
    const char* format;
    NamedArgument argument;
    const char* positional;
    const char* text;
  } cases[] = {
      {"[{n?none}]", NamedArgument::Signed(0), "[none]", "[none]"},
      {"[{n?none}]", NamedArgument::Signed(4), "[%1]", "[4]"},
      {"[{s?100%}]", NamedArgument::String(""), "[100%%]", "[100%]"},
      {"[{d?zero}]", NamedArgument::Double(-0.0), "[zero]", "[zero]"},
      {"[{n:5d}]", NamedArgument::Signed(7), "[%1$5d]", "[    7]"},
      {"[{id@hex}]", NamedArgument::Unsigned(255), "[%1$016llX]", "[00000000000000FF]"},
      {"[{on@str}]", NamedArgument::Bool(true), "[%1]", "[true]"},
      {"[{x@str}]", NamedArgument::Double(1.5), "[%1]", "[1.500000]"},
      {"[{x@other}]", NamedArgument::Signed(2), "[%1]", "[2]"},
      {"a  {x!}  b", NamedArgument::Signed(2), "a  b", "a  b"},
      {"{a\\}b} \\n", NamedArgument::Signed(2), "%1 \\n", "2 \\n"},
      {"{{{x}}}", NamedArgument::Signed(2), "{%1}", "{2}"},
      {"}}}", NamedArgument::Signed(2), "}}", "}}"},
      {"{x}5 {x}$", NamedArgument::String("v"), "%1$s5 %2$s$", "v5 "},
      {"{x}0", NamedArgument::Signed(2), "%1$d0", "20"},
      {"unclosed {x", NamedArgument::Signed(2), "unclosed ", "unclosed "},
  };
  for (const auto& c : cases) {
    const Translation t = Translate(c.format, {c.argument});
    EXPECT_EQ(t.format, c.positional) << c.format;
    EXPECT_EQ(t.text, c.text) << c.format;
  }
}

TEST(FormatNamedTest, FilterRewritesTheArgumentAndItsRecord) {
  Arguments arguments{NamedArgument::Signed(-12)};
  std::string out;
  BindingProperty parameters;
  FormatNamed("{v@str}", arguments, out, parameters);
  EXPECT_EQ(arguments[0].kind, NamedArgumentKind::String);
  EXPECT_EQ(arguments[0].text, "-12");
  EXPECT_EQ(Shape(parameters), "{v:'-12';}");
}

TEST(FormatNamedTest, SilentFieldNeverTrimsEarlierText) {
  Arguments arguments{NamedArgument::Signed(1)};
  std::string out = "kept ";
  BindingProperty parameters;
  FormatNamed("{x!}", arguments, out, parameters);
  EXPECT_EQ(out, "kept ");
  EXPECT_EQ(parameters.Get("x").GetSigned(0), 1);
}

TEST(FormatNamedTest, PercentPlaceholdersAreFieldsToo) {
  const Translation t =
      Translate("{a} %d %1 %%s %-3s|", {NamedArgument::String("A"), NamedArgument::Signed(2),
                                        NamedArgument::Double(3), NamedArgument::String("D")});
  EXPECT_EQ(t.format, "%1 %2$d %3 %%s %4$-3s|");
  EXPECT_EQ(t.text, "A 2 3 %s D  |");
}

TEST(FormatNamedTest, FieldsPastTheArgumentsEndTheOutput) {
  const Translation t = Translate("{a} {b} {c:5d} tail", {NamedArgument::String("A")});
  EXPECT_EQ(t.format, "%1 %2$s %3$5d tail");
  EXPECT_EQ(t.text, "A ");
  EXPECT_EQ(t.parameters.Size(), 1u);
}

}  // namespace
}  // namespace Oxle::Client::Binding
