#include "binding/format/named_format.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/binding_values.h"

namespace Oxle::Client::Binding {
namespace {

using Arguments = std::vector<NamedArgument>;
const auto B = &NamedArgument::Bool;
const auto I = &NamedArgument::Signed;
const auto U = &NamedArgument::Unsigned;
const auto D = &NamedArgument::Double;
const auto S = &NamedArgument::String;

TEST(FormatNamedTest, TranslatesFieldsFormatsThemAndRecordsTheirValues) {
  // Each row: the named format, its arguments, and "positional format|text formatted from it
  // with the same arguments|parameters recorded".
  const std::tuple<const char*, Arguments, std::string> cases[] = {
      {"Error response for {method} {url}: {error}",
       {S("GET"), S("/x"), S("boom")},
       "Error response for %1 %2: %3|Error response for GET /x: boom|"
       "{error:'boom';method:'GET';url:'/x';}"},
      {"{b} {s} {u} {d}",
       {B(true), I(-3), U(UINT64_MAX), D(0.5)},
       "%1 %2 %3 %4|1 -3 18446744073709551615 0.5|{b:T;d:f0.5;s:i-3;u:u18446744073709551615;}"},
      // Typed names get a suffix for their kind unless they carry one.
      {"{#flag}", {B(false)}, "%1|0|{flag_bool:F;}"},
      {"{#n}", {I(1)}, "%1|1|{n_int:i1;}"},
      {"{#n}", {U(1)}, "%1|1|{n_int:u1;}"},
      {"{#ratio}", {D(1)}, "%1|1|{ratio_float:f1;}"},
      {"{#name}", {S("x")}, "%1|x|{name_str:'x';}"},
      {"{#count_long}", {I(1)}, "%1|1|{count_long:i1;}"},
      {"{#started_time}", {U(1)}, "%1|1|{started_time:u1;}"},
      {"{#flag@str}", {B(true)}, "%1|true|{flag_str:'true';}"},
      {"{n}", {I(1)}, "%1|1|{n:i1;}"},
      // Modifiers: "?" alternate text, ":" printf flags, "@" filters, "!" silent.
      {"[{n?none}]", {I(0)}, "[none]|[none]|{n:i0;}"},
      {"[{n?none}]", {I(4)}, "[%1]|[4]|{n:i4;}"},
      {"[{s?100%}]", {S("")}, "[100%%]|[100%]|{s:'';}"},
      {"[{d?zero}]", {D(-0.0)}, "[zero]|[zero]|{d:f-0;}"},
      {"[{n:5d}]", {I(7)}, "[%1$5d]|[    7]|{n:i7;}"},
      {"[{id@hex}]", {U(255)}, "[%1$016llX]|[00000000000000FF]|{id:u255;}"},
      {"[{on@str}]", {B(true)}, "[%1]|[true]|{on:'true';}"},
      {"[{x@str}]", {D(1.5)}, "[%1]|[1.500000]|{x:'1.500000';}"},
      {"[{x@other}]", {I(2)}, "[%1]|[2]|{x:i2;}"},
      {"a  {x!}  b", {I(2)}, "a  b|a  b|{x:i2;}"},
      {"{a\\}b} \\n", {I(2)}, "%1 \\n|2 \\n|{a}b:i2;}"},
      {"{{{x}}}", {I(2)}, "{%1}|{2}|{x:i2;}"},
      {"}}}", {I(2)}, "}}|}}|{}"},
      {"{x}5 {x}$", {S("v")}, "%1$s5 %2$s$|v5 |{x:'v';}"},
      {"{x}0", {I(2)}, "%1$d0|20|{x:i2;}"},
      {"unclosed {x", {I(2)}, "unclosed |unclosed |{}"},
      {"{a} %d %1 %%s %-3s|",
       {S("A"), I(2), D(3), S("D")},
       "%1 %2$d %3 %%s %4$-3s||A 2 3 %s D  ||{a:'A';}"},
      // Fields past the arguments end the output.
      {"{a} {b} {c:5d} tail", {S("A")}, "%1 %2$s %3$5d tail|A |{a:'A';}"},
  };
  for (auto [named, arguments, expected] : cases) {
    std::string format;
    BindingProperty parameters;
    FormatNamed(named, std::span<NamedArgument>(arguments), format, parameters);
    EXPECT_EQ(format + "|" + FormatToString(format, arguments) + "|" + Shape(parameters), expected)
        << named;
  }
}

TEST(FormatNamedTest, AppendsToOutRewritesFilteredArgumentsAndNeverTrimsEarlierText) {
  Arguments one{I(1)};
  std::string out = "kept ";
  BindingProperty parameters;
  FormatNamed("{x!}", one, out, parameters);
  EXPECT_EQ(out, "kept ");
  EXPECT_EQ(Shape(parameters), "{x:i1;}");
  Arguments filtered{I(-12)};
  FormatNamed("{v@str}", filtered, out, parameters);
  EXPECT_EQ(out, "kept %1");
  EXPECT_EQ(filtered[0].kind, NamedArgumentKind::String);
  EXPECT_EQ(filtered[0].text, "-12");
  EXPECT_EQ(Shape(parameters), "{v:'-12';x:i1;}") << "records are added";
  Arguments none;
  BindingProperty empty;
  FormatNamed("plain text", none.data(), none.size(), out, empty);
  EXPECT_EQ(out, "kept %1plain text");
  EXPECT_EQ(Shape(empty), "{}");
}

}  // namespace
}  // namespace Oxle::Client::Binding
