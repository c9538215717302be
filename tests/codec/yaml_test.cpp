#include "codec/yaml.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codec/value_shape.h"

namespace Oxle::Client::Codec {
namespace {

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
          {".5", "f0.500000"},
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
          {"18446744073709551616", "f18446744073709551616.000000"},
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
          {"!!float 1", "f1.000000"},
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

TEST(YamlTest, AMillionOpenFlowSequencesFailOnASmallStack) {
  const std::string deep(1000000, '[');
  std::string message;
  struct Job {
    const std::string* input;
    std::string* message;
  } job{&deep, &message};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attributes,
                [](void* argument) -> void* {
                  auto* work = static_cast<Job*>(argument);
                  *work->message = std::string(Parse(*work->input).ErrorMessage());
                  return nullptr;
                },
                &job),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(message, "Nesting is too deep. At line: 1 col: 513");
}

}  // namespace
}  // namespace Oxle::Client::Codec
