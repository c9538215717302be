// The MessagePack and YAML decoders: trees, exact messages and bounds.
#include "codec/msgpack.h"

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

#include "codec/yaml.h"
#include "support/value_shape.h"

namespace Oxle::Client::Codec {
namespace {

using Bytes = std::vector<uint8_t>;

// Decodes from a heap copy with no byte after the input, so ASan sees any read past the end;
// gives the tree's shape or "!" and the exact message, then "@" and the bytes consumed.
std::string Decode(const Bytes& bytes) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  Binding::ValueResult result;
  size_t consumed = 0;
  ReadMessagePack(result, consumed, bytes.empty() ? nullptr : exact.get(), bytes.size());
  return (result.Ok() ? Shape(result.Value()) : "!" + std::string(result.ErrorMessage())) + "@" +
         std::to_string(consumed);
}

TEST(MessagePackTest, DecodesEachFamilyOrNamesTheExactPosition) {
  const std::string invalid = "!Invalid MessagePack data", truncated = invalid + ". ";
  Bytes deep(512, 0x91), tooDeep(513, 0x91), maps;
  deep.push_back(0x07);
  tooDeep.push_back(0x07);
  for (int i = 0; i < 600; ++i)
    maps.insert(maps.end(), {0x81, 0xA0});
  const std::pair<Bytes, std::string> cases[] = {
      {{0x05}, "i5@1"},
      {{0xCC, 0x05}, "u5@2"},
      {{0xFF}, "i-1@1"},
      {{0xD0, 0xFF}, "i-1@2"},
      {{0xD1, 0x80, 0x00}, "i-32768@3"},
      {{0xD3, 0x80, 0, 0, 0, 0, 0, 0, 0}, "i-9223372036854775808@9"},
      {{0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "u18446744073709551615@9"},
      {{0xCA, 0x3F, 0xC0, 0x00, 0x00}, "f1.5@5"},
      {{0xCB, 0x40, 0x04, 0, 0, 0, 0, 0, 0}, "f2.5@9"},
      {{0xC0}, "~@1"},
      {{0xC2}, "F@1"},
      {{0xC3}, "T@1"},
      {{0xA2, 'h', 'i'}, "'hi'@3"},
      {{0xD9, 0x01, 'x'}, "'x'@3"},
      {{0xDA, 0x00, 0x00}, "''@3"},
      {{0xC4, 0x02, 0x01, 0x02}, "b'0102'@4"},
      {{0xC6, 0, 0, 0, 0}, "b''@5"},
      {{0x93, 0x01, 0x02, 0x03}, "[i1,i2,i3]@4"},
      {{0x81, 0xA1, 'a', 0xC3}, "{a:T;}@4"},
      {{0xDC, 0x00, 0x01, 0x90}, "[[]]@4"},
      {{0xDF, 0, 0, 0, 1, 0xA1, 'k', 0x80}, "{k:{};}@8"},
      {{0x82, 0xA1, 'b', 0x01, 0xA1, 'a', 0x02}, "{a:i2;b:i1;}@7"},
      {{0x81, 0x01, 0x02}, invalid + " at position 2. Map keys must be strings.@2"},
      {{0xC7}, invalid + " at position 1.@1"},
      {{0xC1}, invalid + " at position 1.@1"},
      {{0x91, 0xD8, 0x00}, invalid + " at position 2.@2"},
      {{0xCE, 0x00, 0x01}, truncated + "32-bit integer value at position 1 is truncated.@1"},
      {{0xCC}, truncated + "8-bit integer value at position 1 is truncated.@1"},
      {{0xDA, 0x00}, truncated + "16-bit integer value at position 1 is truncated.@1"},
      {{0xCB, 0x00}, truncated + "64-bit integer value at position 1 is truncated.@1"},
      {{0xCA, 0x00}, truncated + "32-bit integer value at position 1 is truncated.@1"},
      {{0xA5, 'a', 'b'}, truncated + "String of size 5 at position 1 is truncated.@1"},
      {{0xC5, 0x00, 0x09, 0x01}, truncated + "Raw bytes of size 9 at position 3 are truncated.@3"},
      {{0x81, 0xA3, 'a'}, truncated + "String of size 3 at position 2 is truncated.@2"},
      // Data ending between items ends the containers early.
      {{0x92, 0x01}, "[i1]@2"},
      {{0x82, 0xA1, 'a', 0x01}, "{a:i1;}@4"},
      {{0x82, 0xA1, 'a'}, "{}@3"},
      {{0x01, 0x02}, "i1@1"},
      {{}, "~@0"},
      {{0xDD, 0xFF, 0xFF, 0xFF, 0xFF}, "[]@5"},
      {{0xDF, 0xFF, 0xFF, 0xFF, 0xFF}, "{}@5"},
      // Repeated keys overwrite scalars and merge containers, up to the keys' first NUL: a map
      // merges into an earlier map, an array overwrites from its first element and keeps the
      // rest, a scalar replaces a container; a key of nothing but a NUL is the empty key.
      {{0x82, 0xA1, 'k', 0x01, 0xA1, 'k', 0x02}, "{k:i2;}@7"},
      {{0x82, 0xA1, 'm', 0x81, 0xA1, 'a', 1, 0xA1, 'm', 0x81, 0xA1, 'b', 2},
       "{m:{a:i1;b:i2;};}@13"},
      {{0x82, 0xA1, 'v', 0x92, 0x01, 0x02, 0xA1, 'v', 0x91, 0x09}, "{v:[i9,i2];}@10"},
      {{0x82, 0xA1, 'k', 0x92, 0x01, 0x02, 0xA1, 'k', 0x05}, "{k:i5;}@9"},
      {{0x82, 0xA1, 'k', 0x81, 0xA1, 'a', 0x01, 0xA1, 'k', 0xC0}, "{k:~;}@10"},
      {{0x83, 0xA3, 'a', 0, 'b', 1, 0xA3, 'a', 0, 'c', 2, 0xA1, 'b', 3}, "{a:i2;b:i3;}@14"},
      {{0x82, 0xA3, 'a', 0x00, 'b', 0x01, 0xA1, 'a', 0x05}, "{a:i5;}@9"},
      {{0x81, 0xA2, 0x00, 'x', 0x07}, "{:i7;}@5"},
      // Nesting of 512 passes and one more fails.
      {deep, std::string(512, '[') + "i7" + std::string(512, ']') + "@513"},
      {tooDeep, invalid + " at position 513. Nesting is too deep.@513"},
      {maps, invalid + " at position 1025. Nesting is too deep.@1025"},
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(Decode(input), expected);
}

TEST(MessagePackTest, EveryTruncationOfAValidDocumentDecodesOrFailsCleanly) {
  const Bytes document = {0x84, 0xA4, 'n',  'a',  'm',  'e',  0xD9, 0x03, 'a',  'b',  'c',  0xA3,
                          'i',  'd',  's',  0x93, 0xCD, 0x01, 0x00, 0xD2, 0xFF, 0xFF, 0xFF, 0xFE,
                          0xCB, 0x3F, 0xF0, 0,    0,    0,    0,    0,    0,    0xA3, 'b',  'i',
                          'n',  0xC5, 0x00, 0x02, 0xAA, 0xBB, 0xA1, 'm',  0x81, 0xA1, 'x',  0xC3};
  EXPECT_EQ(Decode(document), "{bin:b'aabb';ids:[u256,i-2,f1];m:{x:T;};name:'abc';}@48");
  for (size_t cut = 0; cut < document.size(); ++cut) {
    const std::string decoded =
        Decode(Bytes(document.begin(), document.begin() + static_cast<long>(cut)));
    EXPECT_LE(std::stoul(decoded.substr(decoded.rfind('@') + 1)), cut);
    EXPECT_TRUE(decoded[0] != '!' || decoded.find("truncated") != std::string::npos) << decoded;
  }
}

TEST(MessagePackTest, SniffsMapsAndArraysOnly) {
  const std::tuple<uint8_t, size_t, bool> cases[] = {
      {0x80, 1, true}, {0x7F, 1, false}, {0x9F, 1, true},  {0xA0, 1, false}, {0xDB, 1, false},
      {0xDC, 1, true}, {0xDF, 1, true},  {0xE0, 1, false}, {0x80, 0, false}};
  for (const auto& [first, size, expected] : cases)
    EXPECT_EQ(LooksLikeMessagePack(&first, size), expected) << int{first} << "/" << size;
  EXPECT_FALSE(LooksLikeMessagePack(nullptr, 4));
}

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

}  // namespace
}  // namespace Oxle::Client::Codec
