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
#include <vector>

#include "support/small_stack.h"
#include "support/value_shape.h"

namespace Oxle::Client::Codec {
namespace {

using Binding::BindingProperty;
using Binding::ValueResult;

// Parses from a heap copy with no NUL after the text, so a read past the end is caught.
ValueResult Parse(const std::string& text) {
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  std::memcpy(exact.get(), text.data(), text.size());
  ValueResult result;
  ParseYaml(result, exact.get(), text.size());
  return result;
}

struct Case {
  std::string input;
  std::string expected;  // the tree's shape, or the exact message of a failure
};

void Check(const std::vector<Case>& cases, bool ok) {
  for (const Case& c : cases) {
    const ValueResult result = Parse(c.input);
    EXPECT_EQ(result.Ok(), ok) << c.input << " -> " << result.ErrorMessage();
    EXPECT_EQ(ok ? Shape(result.Value()) : std::string(result.ErrorMessage()), c.expected)
        << c.input;
  }
}

TEST(YamlTest, PlainScalarsAreTypedByWordsAndNumbers) {
  Check(
      {
          {"", "~"},
          {"1.0", "u1"},
          {"1e3", "u1000"},
          {"0x10", "u16"},
          {"-2.0", "i-2"},
          {"-0", "u0"},
          {".5", "f0.5"},
          {"yes", "T"},
          {"Off", "F"},
          {"~", "~"},
          {"null", "~"},
          {"'yes'", "'yes'"},
          {"\"12\"", "'12'"},
          {"inf", "'inf'"},
          {"nan", "'nan'"},
          {"hello world", "'hello world'"},
          {"TRUE", "T"},
          {"tRUE", "'tRUE'"},
          {"|\n  block 1\n", "'block 1\n'"},
          {"18446744073709551616", "f1.8446744073709552e+19"},
      },
      true);
}

TEST(YamlTest, TagsDecideTheKind) {
  Check(
      {
          {"!!str 12", "'12'"},
          {"!!int 12", "u12"},
          {"!!int -12", "i-12"},
          {"!!int 0x1F", "u31"},
          {"!!float 1", "f1"},
          {"!!bool yes", "T"},
          {"!!bool maybe", "~"},
      },
      true);
  Check(
      {
          {"!!int 18446744073709551616",
           "Value 18446744073709551616 for 'yaml' of type uint64_t is out of range"},
          {"!!int 1.5", "Value 1.5 for 'yaml' of type uint64_t is in an incorrect format"},
          {"!!float x", "Value x for 'yaml' of type double is in an incorrect format"},
          {"!custom 1", "Unsupported YAML tag '!custom'."},
      },
      false);
}

TEST(YamlTest, MappingsAndSequences) {
  Check(
      {
          {"a: 1\nb: [x, 'y', ~]\n", "{a:u1;b:['x','y',~];}"},
          {"1: one", "{1:'one';}"},
          {"- {k: v}\n- []\n", "[{k:'v';},[]]"},
          {"a: 1\na: 2", "{a:u2;}"},
          {"a: {x: 1}\na: 5", "{a:u5;}"},
          {"'': empty key\nnext: 1", "{:'empty key';next:u1;}"},
      },
      true);
  Check(
      {
          {"!!int 1: one",
           "Invalid mapping key. Only string scalar keys are allowed. At line: 1 col: 1"},
          {"? [a]\n: 1", "Unexpected start of sequence. At line: 1 col: 3"},
          {"? {a: 1}\n: 1", "Unexpected start of mapping. At line: 1 col: 3"},
      },
      false);
}

TEST(YamlTest, AliasesAreIndependentCopies) {
  const ValueResult result = Parse("a: &x [1, 2]\nb: *x\n");
  ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
  EXPECT_EQ(Shape(result.Value()), "{a:[u1,u2];b:[u1,u2];}");
  ValueResult copy = result;
  copy.Value().Get("b").At(0).SetSigned(9);
  EXPECT_EQ(Shape(copy.Value().Get("a")), "[u1,u2]");

  Check(
      {
          {"m: {&k key: 1}\nother: *k", "{m:{key:u1;};other:'key';}"},
          {"s: &s text\nt: *s", "{s:'text';t:'text';}"},
          {"base: &b {x: 1}\nlist: [*b, *b]", "{base:{x:u1;};list:[{x:u1;},{x:u1;}];}"},
          {"k: &k name\n*k : value", "{k:'name';name:'value';}"},
          // The copy lands in the collection that holds its source, which then grows.
          {"[&x 1, *x, *x]", "[u1,u1,u1]"},
          {"a,ab: [ &x  2, *x]\nb: *x", "{a,ab:[u2,u2];b:u2;}"},
      },
      true);
  Check(
      {
          {"m: {&k key: *k}", "Cannot deserialize cyclic aliases. Alias \"k\". At line: 1 col: 13"},
          {"a: &a [1, *a]", "Cannot deserialize cyclic aliases. Alias \"a\". At line: 1 col: 11"},
          {"a: &a [&b {x: 1}, {y: *a}]",
           "Cannot deserialize cyclic aliases. Alias \"a\". At line: 1 col: 23"},
          // The mapping's own anchor is still open after an anchor on one of its keys.
          {"&m {&k key: *m}", "Cannot deserialize cyclic aliases. Alias \"m\". At line: 1 col: 13"},
          {"a: *nothing", "Undefined alias encountered: \"nothing\". At line: 1 col: 4"},
          {"a: &x 1\n\nb: &x 2", "Duplicate occurrence of anchor \"x\". At line: 3 col: 4"},
      },
      false);
}

TEST(YamlTest, DocumentsAndParserErrors) {
  Check({{"--- 1\n--- 2\n", "Multi-document YAML is not supported."}}, false);
  Check({{"--- ~\n--- 2\n", "u2"}, {"---\na: 1\n...\n", "{a:u1;}"}}, true);
  const ValueResult unterminated = Parse("[1, 2");
  EXPECT_FALSE(unterminated.Ok());
  EXPECT_EQ(std::string(unterminated.ErrorMessage()).rfind("YAML parser error: ", 0), 0u)
      << unterminated.ErrorMessage();
  EXPECT_NE(std::string(unterminated.ErrorMessage()).find(". At line: 1 col: 0"), std::string::npos)
      << "parser positions count from 0: " << unterminated.ErrorMessage();
}

TEST(YamlTest, NestingOfFiveHundredTwelvePassesAndOneMoreFails) {
  const ValueResult ok = Parse(std::string(512, '[') + std::string(512, ']'));
  EXPECT_TRUE(ok.Ok()) << ok.ErrorMessage();
  const ValueResult deep = Parse(std::string(513, '[') + std::string(513, ']'));
  EXPECT_EQ(deep.ErrorMessage(), "Nesting is too deep. At line: 1 col: 513");

  // Aliases cannot stack nesting past the limit either.
  const std::string half = std::string(300, '[') + std::string(300, ']');
  const ValueResult stacked = Parse("a: &a " + half + "\nb: [[[[*a]]]]\nc: &c " + half +
                                    "\nd: " + std::string(300, '[') + "*c" + std::string(300, ']'));
  EXPECT_EQ(std::string(stacked.ErrorMessage()).rfind("Nesting is too deep.", 0), 0u)
      << stacked.ErrorMessage();
}

TEST(YamlTest, AliasExpansionIsBoundedBeforeTheMemoryIsSpent) {
  std::string laughs = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (char level = 'b'; level <= 'i'; ++level) {
    const char previous = static_cast<char>(level - 1);
    laughs += std::string(1, level) + ": &" + level + " [";
    for (int i = 0; i < 9; ++i)
      laughs += std::string(i == 0 ? "*" : ", *") + previous;
    laughs += "]\n";
  }
  const auto start = std::chrono::steady_clock::now();
  const ValueResult result = Parse(laughs);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(std::string(result.ErrorMessage()).rfind("Aliases expand to too many values.", 0), 0u)
      << result.ErrorMessage();
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

constexpr size_t kMiB = size_t{1} << 20;
// The byte bound is 256 of these.
constexpr size_t kUnit = kMiB / 4;

// "- " + each item on its own line, so that the item on line n starts at column 3.
std::string Items(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items)
    text += "- " + item + "\n";
  return text;
}

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Each shape spends exactly 64 MiB of alias text: its anchors, then its aliases, which start
// at column 3 of their lines.
struct ByteShape {
  const char* name;
  std::string anchors;
  std::string aliases;
  // Checks the value decoded at the bound.
  void (*check)(const BindingProperty& root, const std::string& unit);
};

TEST(YamlTest, AliasTextIsBoundedAtSixtyFourMebibytes) {
  const std::string unit(kUnit, 'x');
  // Half the copies as values, half as keys of one mapping, where a key alias copies its text.
  auto valuesAndKeys = [](const std::string& alias) {
    std::string lines = Items(std::vector<std::string>(128, alias));
    lines += "- " + alias + " : 1\n";
    for (int i = 2; i <= 128; ++i)
      lines += "  " + alias + " : " + std::to_string(i) + "\n";
    return lines;
  };
  auto checkValuesAndKeys = [](const BindingProperty& root, const std::string& unit) {
    EXPECT_EQ(root.Size(), 130u);
    EXPECT_EQ(root.At(128).GetString(), unit);
    EXPECT_EQ(root.At(129).Size(), 1u);
    EXPECT_EQ(root.At(129).Get(unit).GetUnsigned(0), 128u);
  };
  const std::vector<ByteShape> shapes = {
      {"an anchored string", "- &s " + unit + "\n", valuesAndKeys("*s"), checkValuesAndKeys},
      {"an anchored key", "- ? &k " + unit + "\n  : 0\n", valuesAndKeys("*k"), checkValuesAndKeys},
      // Member keys count as much as strings: without them each copy would hold half as much.
      {"an anchored mapping with a long key",
       "- &m\n  ? " + std::string(kUnit / 2, 'k') + "\n  : [" + std::string(kUnit / 2, 'v') + "]\n",
       Items(std::vector<std::string>(256, "*m")),
       [](const BindingProperty& root, const std::string&) {
         EXPECT_EQ(root.Size(), 257u);
         EXPECT_EQ(root.At(256).Get(std::string(kUnit / 2, 'k')).At(0).GetString(),
                   std::string(kUnit / 2, 'v'));
       }},
      // A copy of a node that holds copies counts them in full: 4 units here, then 63 times 4.
      {"an anchored sequence of aliases", "- &a " + unit + "\n- &b [*a, *a, *a, *a]\n",
       Items(std::vector<std::string>(63, "*b")),
       [](const BindingProperty& root, const std::string& unit) {
         EXPECT_EQ(root.Size(), 65u);
         EXPECT_EQ(root.At(64).Size(), 4u);
         EXPECT_EQ(root.At(64).At(3).GetString(), unit);
       }},
  };
  for (const ByteShape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    const ValueResult atBound = Parse(shape.anchors + shape.aliases);
    ASSERT_TRUE(atBound.Ok()) << atBound.ErrorMessage();
    shape.check(atBound.Value(), unit);
    // One byte more, spent first, and the last alias goes past the bound.
    const std::string past = "- &one x\n- *one\n" + shape.anchors + shape.aliases;
    EXPECT_EQ(Parse(past).ErrorMessage(), "Aliases expand to too many bytes. At line: " +
                                              std::to_string(Lines(past)) + " col: 3");
  }
}

TEST(YamlTest, AliasValuesAreBoundedAtAMillion) {
  // The anchored sequence is 1,000 values (itself and 999 elements), copied 1,000 times.
  std::string thousand = "- &a [0";
  for (int i = 1; i < 999; ++i)
    thousand += ", 0";
  thousand += "]\n";
  const std::vector<std::string> aliases(1000, "*a");
  const ValueResult atBound = Parse(thousand + Items(aliases));
  ASSERT_TRUE(atBound.Ok()) << atBound.ErrorMessage();
  EXPECT_EQ(atBound.Value().Size(), 1001u);
  EXPECT_EQ(atBound.Value().At(1000).Size(), 999u);
  const ValueResult past = Parse("- &one x\n- *one\n" + thousand + Items(aliases));
  EXPECT_EQ(past.ErrorMessage(), "Aliases expand to too many values. At line: 1003 col: 3");
}

TEST(YamlTest, AnAliasCopiesWhatTheAnchorsPathHoldsAfterARepeatedKey) {
  Check(
      {
          {"a: {b: &x 1}\na: {b: 2}\nc: *x", "{a:{b:u2;};c:u2;}"},
          {"a: {b: &x 1}\na: 5\nc: *x", "{a:u5;c:~;}"},
          {"{a: &x [1], b: *x, a: [2, 3], c: *x}", "{a:[u2,u3];b:[u1];c:[u2,u3];}"},
          {"{a: &x 1, b: *x, a: [2], c: *x}", "{a:[u2];b:u1;c:[u2];}"},
          {"[{a: &x 1}, *x, {a: 2, a: *x}]", "[{a:u1;},u1,{a:u1;}]"},
          // The alias replaces the very value its anchor lies in.
          {"a: {b: &x 1}\na: *x", "{a:u1;}"},
          // The path now leads to a sequence still being filled, so each copy holds the last.
          {"a: &x [1]\na: [*x, *x]", "{a:[[~],[[~],~]];}"},
          {"--- &r\n--- [*r, *r]", "[[~],[[~],~]]"},
      },
      true);

  // Doubling with each copy, the sequence passes a million values at the 19th alias.
  std::string doubling = "a: &x [1]\na: [*x";
  for (int i = 1; i < 25; ++i)
    doubling += ", *x";
  Check({{doubling + "]", "Aliases expand to too many values. At line: 2 col: 77"}}, false);

  // Charged what the anchor's path holds now (a unit), not what it held when first aliased.
  const std::string replaced = "a: &x s\nb: *x\na: " + std::string(kUnit, 'x') + "\nc:\n";
  const ValueResult fits = Parse(replaced + Items(std::vector<std::string>(255, "*x")));
  ASSERT_TRUE(fits.Ok()) << fits.ErrorMessage();
  EXPECT_EQ(fits.Value().Get("c").At(254).GetString(), std::string(kUnit, 'x'));
  EXPECT_EQ(Parse(replaced + Items(std::vector<std::string>(256, "*x"))).ErrorMessage(),
            "Aliases expand to too many bytes. At line: 260 col: 3");
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
    text += "]" + std::string(containers - 2, '}') + ",\n last: *a9999}";
    return text;
  };
  const std::string atBound = deep(512);
  if (!RestartPeak()) GTEST_SKIP() << "the peak of resident memory cannot be reset here";
  const long before = StatusKiB("VmRSS");
  const ValueResult ok = Parse(atBound);
  const long peak = StatusKiB("VmHWM");
  ASSERT_TRUE(ok.Ok()) << ok.ErrorMessage();
  EXPECT_EQ(ok.Value().Get("last").GetUnsigned(0), 9999u);
  // A copy of the path per anchor would take 10,000 x 511 steps, some 250 MB.
  EXPECT_LT(peak - before, 32 * 1024) << "KiB at peak while decoding";

  const std::string past = deep(513);
  EXPECT_EQ(Parse(past).ErrorMessage(),
            "Nesting is too deep. At line: 1 col: " + std::to_string(past.find('[') + 1));
}

TEST(YamlTest, AMillionOpenFlowSequencesFailOnASmallStack) {
  const std::string deep(1000000, '[');
  std::string message;
  auto work = [&] { message = std::string(Parse(deep).ErrorMessage()); };
  RunOnSmallStack(work);
  EXPECT_EQ(message, "Nesting is too deep. At line: 1 col: 513");
}

}  // namespace
}  // namespace Oxle::Client::Codec
