#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "binding/format/named_format.h"
#include "binding/format/positional_format.h"
#include "binding/format/split_join.h"
#include "support/binding_values.h"

// Test-local types in a namespace of their own: they become formattable only through the
// FormatArgument found next to them by argument-dependent lookup.
namespace FormatTestTypes {

using Oxle::Client::Binding::FormatContext;
using Oxle::Client::Binding::FormatToString;
using Oxle::Client::Binding::FormatValue;

struct Version {
  uint32_t major = 0, minor = 0, patch = 0;
  std::string preRelease;
};
size_t FormatArgument(FormatContext& context, const Version& v) {
  std::string text = FormatToString<33>("%1.%2.%3", v.major, v.minor, v.patch);
  if (!v.preRelease.empty()) text += "-" + v.preRelease;
  return FormatValue(context, std::string_view(text));
}

// As a star width or precision, a version is its major number.
int32_t FormatArgumentAsInt32(const Version& v) {
  return static_cast<int32_t>(v.major);
}

}  // namespace FormatTestTypes

namespace Oxle::Client::Binding {
namespace {

using FormatTestTypes::Version;

const std::string kZeros = std::string(15, '0');
const std::string kSpaces = std::string(15, ' ');
// Formats into a buffer of 16 characters, so that 15 are kept.
const auto Cut16 = [](auto&&... arguments) { return FormatToString<16>(arguments...); };

TEST(PositionalFormatTest, FormatsExactly) {
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"version text", FormatToString("%1.%2.%3", 18, 0, 0), "18.0.0"},
      {"reordered", FormatToString("%2 %1", "A", "B"), "B A"},
      {"missing argument ends the output", FormatToString("%2 %1 %3", "A", "B"), "B A "},
      {"doubled percent", FormatToString("100%%"), "100%"},
      {"lone percent at the end", FormatToString("abc%", 1), "abc"},
      {"uint64 bare is %llu", FormatToString("%1", UINT64_MAX), "18446744073709551615"},
      {"int64 bare", FormatToString("%1", INT64_MIN), "-9223372036854775808"},
      {"char bare is %c", FormatToString("%1", 'A'), "A"},
      {"uint8 bare is %u", FormatToString("%1", uint8_t{200}), "200"},
      {"double bare is %g", FormatToString("%1", 0.1), "0.1"},
      {"null C string", FormatToString("%1", static_cast<const char*>(nullptr)), "(null)"},
      {"std::string", FormatToString("<%1>", std::string("text")), "<text>"},
      {"dot after a bare placeholder is text", FormatToString("%1.5f", 2), "2.5f"},
      {"number beyond the count is a width", FormatToString("%10d", 42), "        42"},
      {"N$ beyond the count ends the output", FormatToString("x%5$dy", 42), "x"},
      {"sequential", FormatToString("%s-%d", "a", 7), "a-7"},
      {"bare ones do not advance the sequence", FormatToString("%2 %s %s", "A", "B"), "B A B"},
      {"sequence past the count ends the output", FormatToString("%d %d|", 1), "1 "},
      {"custom type", FormatToString("v%1", Version{18, 2, 1, {}}), "v18.2.1"},
      {"custom, flags", FormatToString("[%1$-12s]", Version{1, 0, 0, "beta"}), "[1.0.0-beta  ]"},
      {"custom type as a star width", FormatToString("[%2$*1$s]", Version{4, 0, 0, {}}, "ab"),
       "[  ab]"},
      {"hex with width", FormatToString("%1$5x", 255), "   ff"},
      {"unknown letter uses the default", FormatToString("%1$5q", 255), "  255"},
      {"string letter on an integer: the default", FormatToString("%1$s", 7), "7"},
      {"integer letter on a double: the default", FormatToString("%1$d", 2.5), "2.5"},
      {"int32 as unsigned", FormatToString("%1$u", -1), "4294967295"},
      {"hh narrows an int", FormatToString("%1$hhd", 300), "44"},
      {"h narrows an int", FormatToString("%1$hx", -1), "ffff"},
      {"ll on an int32 is ignored", FormatToString("%1$lld", 5), "5"},
      {"h on an int64 is ignored", FormatToString("%1$hd", int64_t{70000}), "70000"},
      {"int64 as hex", FormatToString("%1$x", int64_t{-1}), "ffffffffffffffff"},
      {"L on a double is ignored", FormatToString("%1$Lf", 1.5), "1.500000"},
      {"l on a string is ignored", FormatToString("%1$ls", "ab"), "ab"},
      {"c on an int64", FormatToString("%1$c", int64_t{65}), "A"},
      {"int8 as a number", FormatToString("%1$d", 'A'), "65"},
      {"plus flag", FormatToString("%1$+d", 5), "+5"},
      {"alternate hex", FormatToString("%1$#x", 255), "0xff"},
      {"zero padded double", FormatToString("%1$08.3f", -1.5), "-001.500"},
      {"string precision", FormatToString("%1$.2s", "abcdef"), "ab"},
      {"string left-justified", FormatToString("%1$-4s|", "ab"), "ab  |"},
      {"zero flag pads strings with spaces", FormatToString("%1$04s", "ab"), "  ab"},
      {"%n prints nothing", FormatToString("a%1$nb", 5), "ab"},
      {"sequential %n consumes its argument", FormatToString("%n%d", 1, 2), "2"},
      {"star width", FormatToString("[%*d]", 5, 42), "[   42]"},
      {"negative star width left-justifies", FormatToString("[%*d]", -5, 42), "[42   ]"},
      {"negative star precision is absent", FormatToString("%.*f", -1, 1.5), "1.500000"},
      {"numbered stars", FormatToString("[%3$*1$.*2$f]", 8, 2, 3.14159), "[    3.14]"},
      {"star from a string ends the output", FormatToString("a%*db", "x", 5), "a"},
      {"star from a double ends the output", FormatToString("a%*db", 2.0, 5), "a"},
      // Widths and precisions far beyond the buffer are clamped, yet the 15 visible characters
      // are exactly those of the full rendering.
      {"huge width", Cut16("%1$999999999d", 7), kSpaces},
      {"huge left width", Cut16("%1$-999999999d", 7), "7" + kSpaces.substr(1)},
      {"huge zero width", Cut16("%1$0999999999d", 7), kZeros},
      {"fifty-digit width", Cut16("%1$" + std::string(50, '9') + "d", 7), kSpaces},
      {"INT_MAX star width", Cut16("%*d", INT_MAX, 7), kSpaces},
      {"INT_MIN star width", Cut16("%*d|", INT_MIN, 7), "7" + kSpaces.substr(1)},
      {"INT_MAX star precision", Cut16("%.*d", INT_MAX, 7), kZeros},
      {"INT_MAX star, f", Cut16("%.*f", INT_MAX, 1.0), "1." + kZeros.substr(2)},
      {"width > huge d precision", Cut16("%1$2000000003.2000000000d", 7), "   " + kZeros.substr(3)},
      {"width < huge d precision", Cut16("%1$1000.2000000000d", 7), kZeros},
      {"huge f precision", Cut16("%1$2000000003.2000000000f", 1.0), " 1." + kZeros.substr(3)},
      {"huge e precision", Cut16("%1$2000000010.2000000000e", 1.0), "    1." + kZeros.substr(6)},
      {"huge g precision", Cut16("%1$2000000003.2000000000g", 0.5), kSpaces},
      {"huge #g precision", Cut16("%1$#.2000000000g", 0.5), "0.5" + kZeros.substr(3)},
      {"huge on inf", Cut16("%1$-2000000003.2000000000f|", HUGE_VAL), "inf" + kSpaces.substr(3)},
      {"huge width in the full buffer", FormatToString("%1$5000d", 7), std::string(4095, ' ')},
      // A placeholder must be shorter than sixty characters.
      {"59 characters", FormatToString(">%" + std::string(56, '-') + "1d<", 5), ">5<"},
      {"60 characters", FormatToString(">%" + std::string(57, '-') + "1d<", 5), ">"},
      // Output is cut at the buffer's end.
      {"cut text argument", FormatToString<6>("%1", "abcdefgh"), "abcde"},
      {"cut after a fitting argument", FormatToString<4>("ab%1", "c"), "abc"},
      {"cut inside an argument", FormatToString<4>("ab%1", "cd"), "abc"},
      {"cut number", FormatToString<4>("%1", 123456), "123"},
      {"cut padding", FormatToString<4>("%1$5d", 1), "   "},
      {"cut before a doubled percent", FormatToString<3>("ab%%", 1), "ab"},
      {"no room at all", FormatToString<1>("abc"), ""},
      {"cut long text", FormatToString(std::string(5000, 'x')), std::string(4095, 'x')},
      {"cut long argument", FormatToString("%1", std::string(5000, 'y')), std::string(4095, 'y')},
      {"cut at 32", FormatToString<33>("%1", std::string(40, 'z')), std::string(32, 'z')},
  };
  for (const auto& [name, got, expected] : cases)
    EXPECT_EQ(got, expected) << name;
}

TEST(PositionalFormatTest, NeverWritesPastTheBufferAndStopsAtUnusableDescriptors) {
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(FormatToBuffer(std::span<char>(buffer, 0), "abc"), 0u);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(FormatToBuffer(std::span<char>(buffer, 4), "%1$-20s", "abcdef"), 3u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(buffer[4], '#');
  const int32_t value = 3;
  const void* arguments[] = {&value, &value};
  const FormatArgDescriptor* descriptors[] = {&FormatDescriptorOf<int32_t>(), nullptr};
  auto format = [&](const char* text, const FormatArgDescriptor* const* with, size_t count) {
    return std::to_string(FormatPositional(buffer, sizeof buffer, text, with, arguments, count)) +
           "|" + buffer;
  };
  EXPECT_EQ(format("%1,%2,", descriptors, 2), "2|3,");
  EXPECT_EQ(format("a%1", nullptr, 1), "1|a");
  EXPECT_EQ(format(nullptr, descriptors, 1), "0|");
}

using Arguments = std::vector<NamedArgument>;
const auto B = &NamedArgument::Bool;
const auto I = &NamedArgument::Signed;
const auto U = &NamedArgument::Unsigned;
const auto D = &NamedArgument::Double;
const auto S = &NamedArgument::String;

TEST(FormatNamedTest, TranslatesFieldsFormatsThemRecordsTheirValuesAndAppends) {
  // Each row: the named format, its arguments, and "positional format|text formatted from it
  // with the same arguments|parameters recorded".
  const std::tuple<const char*, Arguments, std::string> cases[] = {
      {"GET {url}: {error}",
       {S("/x"), S("boom")},
       "GET %1: %2|GET /x: boom|{error:'boom';url:'/x';}"},
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
  // Appends to its output, rewrites filtered arguments and never trims earlier text.
  Arguments one{I(1)};
  std::string out = "kept ";
  BindingProperty parameters;
  FormatNamed("{x!}", one, out, parameters);
  EXPECT_EQ(out + "|" + Shape(parameters), "kept |{x:i1;}");
  Arguments filtered{I(-12)};
  FormatNamed("{v@str}", filtered, out, parameters);
  EXPECT_EQ(out + "|" + Shape(parameters), "kept %1|{v:'-12';x:i1;}") << "records are added";
  EXPECT_EQ(filtered[0].kind, NamedArgumentKind::String);
  EXPECT_EQ(filtered[0].text, "-12");
  Arguments none;
  BindingProperty empty;
  FormatNamed("plain text", none.data(), none.size(), out, empty);
  EXPECT_EQ(out + "|" + Shape(empty), "kept %1plain text|{}");
}

using Parts = std::vector<std::string>;

TEST(SplitJoinTest, SplitKeepsOnlyNonEmptyRunsAndJoinTakesTheInclusiveRangeSafely) {
  EXPECT_EQ(Split("/a//b/", "/"), (Parts{"a", "b"}));
  EXPECT_EQ(Split("a,b;;c", ",;"), (Parts{"a", "b", "c"}));
  EXPECT_EQ(Split("abc", ""), (Parts{"abc"}));
  EXPECT_EQ(Split("///", "/"), Parts{});
  EXPECT_EQ(Split("", "/"), Parts{});
  const Parts parts{"a", "b", "c"};
  const std::tuple<size_t, ptrdiff_t, const char*> cases[] = {
      {0, 1, "a_b"},    {1, -1, "b_c"}, {2, 2, "c"}, {0, 0, "a"},
      {0, 99, "a_b_c"}, {2, 0, ""},     {3, -1, ""}, {SIZE_MAX, PTRDIFF_MAX, ""},
      {1, -7, "b_c"}};
  for (const auto& [first, last, joined] : cases)
    EXPECT_EQ(Join(parts, "_", first, last), joined) << first << " " << last;
  EXPECT_EQ(Join(parts, ", "), "a, b, c");
  EXPECT_EQ(Join(Parts{}, "_"), "");
}

}  // namespace
}  // namespace Oxle::Client::Binding
