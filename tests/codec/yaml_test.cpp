#include "codec/yaml.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "support/small_stack.h"
#include "support/value_shape.h"

namespace Oxle::Client::Codec {
namespace {

using Binding::ValueResult;

// Parses from a heap copy with no NUL after the text, so a read past the end is caught; gives
// the tree's shape (or "" when the result is kept), or "!" and the exact message of a failure.
std::string Parse(const std::string& text, ValueResult* kept = nullptr) {
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  std::memcpy(exact.get(), text.data(), text.size());
  ValueResult result;
  ParseYaml(result, exact.get(), text.size());
  const std::string shape = result.Ok() ? (kept != nullptr ? "" : Shape(result.Value()))
                                        : "!" + std::string(result.ErrorMessage());
  if (kept != nullptr) *kept = std::move(result);
  return shape;
}

// Plain scalars are typed by words and numbers, tags decide the kind, mappings and sequences
// nest, aliases copy and cycles fail.
TEST(YamlTest, DocumentsMapToTreesAndMessages) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "~"},
      {"1.0", "u1"},
      {"-2.0", "i-2"},
      {"-0", "u0"},
      {".5", "f0.5"},
      {"yes", "T"},
      {"Off", "F"},
      {"~", "~"},
      {"'yes'", "'yes'"},
      {"\"12\"", "'12'"},
      {"inf", "'inf'"},
      {"tRUE", "'tRUE'"},
      {"|\n  block 1\n", "'block 1\n'"},
      {"18446744073709551616", "f1.8446744073709552e+19"},
      {"!!str 12", "'12'"},
      {"!!int 12", "u12"},
      {"!!int -12", "i-12"},
      {"!!int 0x1F", "u31"},
      {"!!float 1", "f1"},
      {"!!bool yes", "T"},
      {"!!bool maybe", "~"},
      {"!!int 18446744073709551616",
       "!Value 18446744073709551616 for 'yaml' of type uint64_t is out of range"},
      {"!!int 1.5", "!Value 1.5 for 'yaml' of type uint64_t is in an incorrect format"},
      {"!!float x", "!Value x for 'yaml' of type double is in an incorrect format"},
      {"!custom 1", "!Unsupported YAML tag '!custom'."},
      {"a: 1\nb: [x, 'y', ~]\n", "{a:u1;b:['x','y',~];}"},
      {"1: one", "{1:'one';}"},
      {"- {k: v}\n- []\n", "[{k:'v';},[]]"},
      {"a: 1\na: 2", "{a:u2;}"},
      {"a: {x: 1}\na: 5", "{a:u5;}"},
      {"'': empty key\nnext: 1", "{:'empty key';next:u1;}"},
      {"!!int 1: one",
       "!Invalid mapping key. Only string scalar keys are allowed. At line: 1 col: 1"},
      {"? [a]\n: 1", "!Unexpected start of sequence. At line: 1 col: 3"},
      {"? {a: 1}\n: 1", "!Unexpected start of mapping. At line: 1 col: 3"},
      {"m: {&k key: 1}\nother: *k", "{m:{key:u1;};other:'key';}"},
      {"s: &s text\nt: *s", "{s:'text';t:'text';}"},
      {"base: &b {x: 1}\nlist: [*b, *b]", "{base:{x:u1;};list:[{x:u1;},{x:u1;}];}"},
      {"k: &k name\n*k : value", "{k:'name';name:'value';}"},
      // The copy lands in the collection that holds its source, which then grows.
      {"[&x 1, *x, *x]", "[u1,u1,u1]"},
      {"a,ab: [ &x  2, *x]\nb: *x", "{a,ab:[u2,u2];b:u2;}"},
      {"m: {&k key: *k}", "!Cannot deserialize cyclic aliases. Alias \"k\". At line: 1 col: 13"},
      {"a: &a [1, *a]", "!Cannot deserialize cyclic aliases. Alias \"a\". At line: 1 col: 11"},
      {"a: &a [&b {x: 1}, {y: *a}]",
       "!Cannot deserialize cyclic aliases. Alias \"a\". At line: 1 col: 23"},
      // The mapping's own anchor is still open after an anchor on one of its keys.
      {"&m {&k key: *m}", "!Cannot deserialize cyclic aliases. Alias \"m\". At line: 1 col: 13"},
      {"a: *nothing", "!Undefined alias encountered: \"nothing\". At line: 1 col: 4"},
      {"a: &x 1\n\nb: &x 2", "!Duplicate occurrence of anchor \"x\". At line: 3 col: 4"},
      // After a repeated key, an alias copies what the anchor's path holds.
      {"a: {b: &x 1}\na: {b: 2}\nc: *x", "{a:{b:u2;};c:u2;}"},
      {"a: {b: &x 1}\na: 5\nc: *x", "{a:u5;c:~;}"},
      {"{a: &x [1], b: *x, a: [2, 3], c: *x}", "{a:[u2,u3];b:[u1];c:[u2,u3];}"},
      {"{a: &x 1, b: *x, a: [2], c: *x}", "{a:[u2];b:u1;c:[u2];}"},
      {"[{a: &x 1}, *x, {a: 2, a: *x}]", "[{a:u1;},u1,{a:u1;}]"},
      {"a: {b: &x 1}\na: *x", "{a:u1;}"},  // the alias replaces the value its anchor lies in
      // The path now leads to a sequence still being filled, so each copy holds the last.
      {"a: &x [1]\na: [*x, *x]", "{a:[[~],[[~],~]];}"},
      {"--- &r\n--- [*r, *r]", "[[~],[[~],~]]"},
      {"--- 1\n--- 2\n", "!Multi-document YAML is not supported."},
      {"--- ~\n--- 2\n", "u2"},
      {"---\na: 1\n...\n", "{a:u1;}"},
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(Parse(input), expected) << input;
  // Parser errors count positions from 0.
  EXPECT_TRUE(Parse("[1, 2").starts_with("!YAML parser error: ")) << Parse("[1, 2");
  EXPECT_NE(Parse("[1, 2").find(". At line: 1 col: 0"), std::string::npos) << Parse("[1, 2");
  // Copies are independent.
  ValueResult result;
  ASSERT_EQ(Parse("a: &x [1, 2]\nb: *x\n", &result), "");
  EXPECT_EQ(Shape(result.Value()), "{a:[u1,u2];b:[u1,u2];}");
  result.Value().Get("b").At(0).SetSigned(9);
  EXPECT_EQ(Shape(result.Value().Get("a")), "[u1,u2]");
}

// Bounds on nesting (aliases cannot stack it past 512 either), and on what aliases expand to:
// values, then bytes, each checked before the memory is spent.
TEST(YamlTest, NestingAndAliasExpansionAreBounded) {
  std::string laughs = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (char level = 'b'; level <= 'i'; ++level) {
    laughs += std::string(1, level) + ": &" + level + " [*" + static_cast<char>(level - 1);
    for (int i = 1; i < 9; ++i)
      laughs += std::string(", *") + static_cast<char>(level - 1);
    laughs += "]\n";
  }
  const auto arrays = [](size_t n) { return std::string(n, '[') + std::string(n, ']'); };
  const std::string half = arrays(300);
  // Doubling with each copy, the sequence passes a million values at the 19th alias.
  std::string doubling = "a: &x [1]\na: [*x";
  for (int i = 1; i < 25; ++i)
    doubling += ", *x";
  const auto start = std::chrono::steady_clock::now();
  const std::pair<std::string, std::string> cases[] = {
      {arrays(512), arrays(512)},
      {arrays(513), "!Nesting is too deep. At line: 1 col: 513"},
      {"a: &a " + arrays(510) + "\nb: [*a]", "{a:[[["},  // the copy reaches 512 exactly
      {"a: &a " + arrays(511) + "\nb: [*a]", "!Nesting is too deep."},
      {"a: &a " + half + "\nb: [[[[*a]]]]\nc: &c " + half + "\nd: " + std::string(300, '[') + "*c" +
           std::string(300, ']'),
       "!Nesting is too deep."},
      {laughs, "!Aliases expand to too many values."},
      {doubling + "]", "!Aliases expand to too many values. At line: 2 col: 77"},
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(Parse(input).substr(0, expected.size()), expected) << input.substr(0, 40);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

constexpr size_t kUnit = (size_t{1} << 20) / 4;  // the byte bound is 256 of these

// "- " + each item on its own line, so that the item on line n starts at column 3.
std::string Items(size_t count, const std::string& item) {
  std::string text;
  for (size_t i = 0; i < count; ++i)
    text += "- " + item + "\n";
  return text;
}

// Each shape spends exactly the bound of values or of 64 MiB of alias text: its anchors, then
// its aliases, which start at column 3 of their lines. One more, spent first, and the last alias
// goes past the bound.
TEST(YamlTest, AliasTextAndValuesAreBoundedExactly) {
  const std::string unit(kUnit, 'x'), half(kUnit / 2, 'k');
  // Half the copies as values, half as keys of one mapping, where a key alias copies its text.
  auto valuesAndKeys = [](const std::string& alias) {
    std::string lines = Items(128, alias) + "- " + alias + " : 1\n";
    for (int i = 2; i <= 128; ++i)
      lines += "  " + alias + " : " + std::to_string(i) + "\n";
    return lines;
  };
  std::string thousand = "- &a [0";  // 1,000 values (itself and 999 elements), copied 1,000 times
  for (int i = 1; i < 999; ++i)
    thousand += ", 0";
  const std::string bytes = "Aliases expand to too many bytes.",
                    values = "Aliases expand to too many values.";
  // Each row: the shape, its text at the bound, the number of its top-level items, and the
  // message once one more is spent first ("" for bytes, one more alias at the end).
  const std::tuple<const char*, std::string, size_t, std::string> cases[] = {
      {"an anchored string", "- &s " + unit + "\n" + valuesAndKeys("*s"), 130, bytes},
      {"an anchored key", "- ? &k " + unit + "\n  : 0\n" + valuesAndKeys("*k"), 130, bytes},
      // Member keys count as much as strings: without them each copy would hold half as much.
      {"an anchored mapping with a long key",
       "- &m\n  ? " + half + "\n  : [" + half + "]\n" + Items(256, "*m"), 257, bytes},
      // A copy of a node that holds copies counts them in full: 4 units here, then 63 times 4.
      {"an anchored sequence of aliases",
       "- &a " + unit + "\n- &b [*a, *a, *a, *a]\n" + Items(63, "*b"), 65, bytes},
      {"a million values", thousand + "]\n" + Items(1000, "*a"), 1001, values},
      // Charged what the anchor's path holds now (a unit), not what it held when first aliased.
      {"a replaced anchor", "a: &x s\nb: *x\na: " + unit + "\nc:\n" + Items(255, "*x"), 3, ""},
  };
  for (const auto& [name, atBound, size, message] : cases) {
    SCOPED_TRACE(name);
    ValueResult result;
    ASSERT_EQ(Parse(atBound, &result), "");
    EXPECT_EQ(result.Value().Size(), size);
    const std::string past = !message.empty() ? "- &one x\n- *one\n" + atBound : atBound + "- *x\n";
    const size_t lines = static_cast<size_t>(std::count(past.begin(), past.end(), '\n'));
    EXPECT_EQ(Parse(past), "!" + (message.empty() ? bytes : message) +
                               " At line: " + std::to_string(lines) + " col: 3");
  }
}

// The kernel's resident-memory figure `field` ("VmRSS", "VmHWM") in KiB, or -1.
long StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Gives free heap pages back and restarts the peak from the current resident size.
bool RestartPeak() {
  malloc_trim(0);
  const int file = open("/proc/self/clear_refs", O_WRONLY);
  if (file < 0) return false;
  const bool reset = write(file, "5", 1) == 1;
  close(file);
  return reset;
}

TEST(YamlTest, DeepAnchorsShareTheirPathAndStopAtTheNestingLimit) {
  // 10,000 anchors in a sequence under 511 mappings with 15-byte keys: 512 containers.
  auto deep = [](size_t containers) {
    std::string text;
    char key[32];
    for (size_t i = 0; i + 1 < containers; ++i) {
      std::snprintf(key, sizeof key, "{k%014zu: ", i);
      text += key;
    }
    text += "[&a0 0";
    for (int i = 1; i < 10000; ++i)
      text += ", &a" + std::to_string(i) + " " + std::to_string(i);
    return text + "]" + std::string(containers - 2, '}') + ",\n last: *a9999}";
  };
  const std::string atBound = deep(512), past = deep(513);
  if (!RestartPeak()) GTEST_SKIP() << "the peak of resident memory cannot be reset here";
  const long before = StatusKiB("VmRSS");
  ValueResult ok;
  const std::string shape = Parse(atBound, &ok);
  const long peak = StatusKiB("VmHWM");
  ASSERT_TRUE(ok.Ok()) << shape;
  EXPECT_EQ(ok.Value().Get("last").GetUnsigned(0), 9999u);
  // A copy of the path per anchor would take 10,000 x 511 steps, some 250 MB.
  EXPECT_LT(peak - before, 32 * 1024) << "KiB at peak while decoding";
  EXPECT_EQ(Parse(past),
            "!Nesting is too deep. At line: 1 col: " + std::to_string(past.find('[') + 1));
}

TEST(YamlTest, AMillionOpenFlowSequencesFailOnASmallStack) {
  const std::string deep(1000000, '[');
  std::string message;
  auto work = [&] { message = Parse(deep); };
  RunOnSmallStack(work);
  EXPECT_EQ(message, "!Nesting is too deep. At line: 1 col: 513");
}

}  // namespace
}  // namespace Oxle::Client::Codec
