#include "codec/json.h"

#include <gtest/gtest.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "binding/types/binding_registry.h"
#include "binding/value/type_id.h"
#include "binding/value/value_visitor.h"
#include "support/small_stack.h"
#include "support/value_shape.h"

namespace Oxle::Client::Codec {
namespace {

using Binding::BindingProperty;
using Binding::BindingRegistry;
using Binding::ValueKind;
using Binding::ValueResult;

[[nodiscard]] std::string Compact(const BindingProperty& value) {
  return WriteJson(value, nullptr, nullptr);
}

// Parses and writes back compactly, or gives the failure message prefixed by "!".
[[nodiscard]] std::string RoundTrip(const std::string& text) {
  const ValueResult result = ParseJson(text);
  if (!result.Ok()) return "!" + std::string(result.ErrorMessage());
  return Compact(result.Value());
}

struct ParseCase {
  const char* name;
  std::string input;
  std::string expected;  // compact JSON of the tree, or "!" and the exact message
};

TEST(ParseJsonTest, MapsDocumentsToTreesAndMessages) {
  using namespace std::string_literals;
  const ParseCase cases[] = {
      // Empty documents are ok and empty.
      {"empty text", "", ""},
      {"whitespace only", " \r\n\t ", ""},
      {"null", "null", ""},
      {"form feed is not whitespace", "\f", "!Error: Invalid value. at offset 0."},
      {"vertical tab is not whitespace", " \v1", "!Error: Invalid value. at offset 1."},
      // Scalars and containers.
      {"true", "true", "true"},
      {"false in an array", "[false]", "[false]"},
      {"nested", R"({"a":[true,1.0,{"b":[]}],"c":{}})", R"({"a":[true,1.0,{"b":[]}],"c":{}})"},
      // Numbers.
      {"integers by sign", "[1,-1,1.5,4294967296,-4294967296,18446744073709551615]",
       "[1,-1,1.5,4294967296,-4294967296,18446744073709551615]"},
      {"2^64 is a float", "18446744073709551616", "18446744073709553000.0"},
      {"int64 minimum", "-9223372036854775808", "-9223372036854775808"},
      {"below int64 minimum is a float", "-9223372036854775809", "-9223372036854776000.0"},
      {"negative fraction", "-2.5e-3", "-0.0025"},
      // Strings.
      {"escapes", R"(["\"\\\/\b\f\n\r\t"])", R"(["\"\\/\b\f\n\r\t"])"},
      {"control escape is written upper case", R"("\u001f")", R"("\u001F")"},
      {"two-byte utf-8", R"("\u00e9")", "\"\xC3\xA9\""},
      {"surrogate pair", R"("\ud83d\ude00")", "\"\xF0\x9F\x98\x80\""},
      {"\\u0000 ends the string", R"(["a\u0000b","c"])", R"(["a","c"])"},
      {"\\u0000 ends the key", R"({"k\u0000x":1})", R"({"k":1})"},
      {"\\u0000 first gives the empty string", R"("\u0000")", R"("")"},
      // Keys.
      {"repeated key keeps the last value", R"({"a":1,"a":2})", R"({"a":2})"},
      {"repeated key replaces a structure", R"({"a":{"x":1},"a":{"y":2}})", R"({"a":{"y":2}})"},
      {"members in byte order of keys", R"({"b":1,"a":2,"B":3,"":4})",
       R"({"":4,"B":3,"a":2,"b":1})"},
      // The first NUL ends the document.
      {"NUL then garbage", "[1]\0garbage"s, "[1]"},
      {"NUL inside a string", "\"a\0b\""s,
       "!Error: Missing a closing quotation mark in string. at offset 2."},
      {"NUL after whitespace", " \0[1]"s, ""},
      // Each message of the reader, by its code.
      {"root followed by a value", "{} a",
       "!Error: The document root must not be followed by other values. at offset 3."},
      {"leading zero", "01",
       "!Error: The document root must not be followed by other values. at offset 1."},
      {"trailing comma", "[1,]", "!Error: Invalid value. at offset 3."},
      {"missing name", "{1:2}", "!Error: Missing a name for object member. at offset 1."},
      {"missing colon", R"({"a" 1})",
       "!Error: Missing a colon after a name of object member. at offset 5."},
      {"missing comma in object", R"({"a":1 "b":2})",
       "!Error: Missing a comma or '}' after an object member. at offset 7."},
      {"missing comma in array", "[1 2]",
       "!Error: Missing a comma or ']' after an array element. at offset 3."},
      {"bad hex digit", R"("\u12G4")",
       "!Error: Incorrect hex digit after \\u escape in string. at offset 1."},
      {"lone high surrogate", R"("x\ud800y")",
       "!Error: The surrogate pair in string is invalid. at offset 2."},
      {"bad escape", R"("\x")", "!Error: Invalid escape character in string. at offset 1."},
      {"unclosed string", R"("abc)",
       "!Error: Missing a closing quotation mark in string. at offset 4."},
      {"number too big", "[1e400]", "!Error: Number too big to be stored in double. at offset 1."},
      {"missing fraction", "1.", "!Error: Miss fraction part in number. at offset 2."},
      {"missing exponent", "1e", "!Error: Miss exponent in number. at offset 2."},
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(RoundTrip(c.input), c.expected) << c.name;
  }
}

TEST(ParseJsonTest, NumbersGetTheKindOfTheirSign) {
  const struct {
    const char* input;
    const char* shape;
  } cases[] = {
      {"[0,-0,4294967296,-2147483649]", "[u0,i0,u4294967296,i-2147483649]"},
      {"[9223372036854775808,-9223372036854775808,18446744073709551615]",
       "[u9223372036854775808,i-9223372036854775808,u18446744073709551615]"},
      {"[-0.0,1.5,18446744073709551616]", "[f-0,f1.5,f1.8446744073709552e+19]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Shape(ParseJson(c.input).Value()), c.shape) << c.input;
  }
}

TEST(ParseJsonTest, AFailureHoldsOnlyTheErrorMember) {
  const ValueResult result = ParseJson(R"({"a":[1,2,{"b":3}],"c":})");
  ASSERT_FALSE(result.Ok());
  EXPECT_EQ(Compact(result.Value()), R"({"error":"Error: Invalid value. at offset 23."})");
}

TEST(ParseJsonTest, NullTextIsAnEmptyDocument) {
  const ValueResult result = ParseJson(static_cast<const char*>(nullptr));
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(result.Value().Kind(), ValueKind::Empty);
}

// Nesting.

[[nodiscard]] std::string Arrays(size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

[[nodiscard]] std::string Objects(size_t depth) {
  std::string text;
  for (size_t i = 0; i < depth; ++i)
    text += R"({"a":)";
  text += "1";
  text.append(depth, '}');
  return text;
}

TEST(ParseJsonTest, NestingIsLimitedTo512Containers) {
  struct Case {
    const char* name;
    std::string input;
    const char* message;  // empty when the parse succeeds
  };
  const Case cases[] = {
      {"512 arrays", Arrays(512), ""},
      {"513 arrays", Arrays(513), "Error: Nesting is too deep. at offset 513."},
      {"512 objects", Objects(512), ""},
      {"513 objects", Objects(513), "Error: Nesting is too deep. at offset 2561."},
      {"mixed, too deep", "[" + Objects(512) + "]", "Error: Nesting is too deep. at offset 2557."},
      {"too deep but malformed earlier", "[1 " + Arrays(600),
       "Error: Missing a comma or ']' after an array element. at offset 3."},
      {"siblings do not add up", "[" + Arrays(511) + "," + Arrays(511) + "]", ""},
  };
  for (const Case& c : cases) {
    const ValueResult result = ParseJson(c.input);
    EXPECT_EQ(result.ErrorMessage(), c.message) << c.name;
    EXPECT_EQ(result.Ok(), *c.message == '\0') << c.name;
  }
  const ValueResult deepest = ParseJson(Arrays(512));
  EXPECT_EQ(Compact(deepest.Value()), Arrays(512));
  EXPECT_EQ(ParseJson(Objects(512)).Value().Get("a").Get("a").Kind(), ValueKind::Structure);
}

TEST(ParseJsonTest, AMillionOpenBracketsFailOnASmallStack) {
  const std::string arrays(1000000, '[');
  std::string objects;
  for (int i = 0; i < 1000000; ++i)
    objects += R"({"a":)";
  std::string arrayMessage;
  std::string objectMessage;
  auto work = [&] {
    arrayMessage = std::string(ParseJson(arrays).ErrorMessage());
    objectMessage = std::string(ParseJson(objects).ErrorMessage());
  };
  RunOnSmallStack(work);
  EXPECT_EQ(arrayMessage, "Error: Nesting is too deep. at offset 513.");
  EXPECT_EQ(objectMessage, "Error: Nesting is too deep. at offset 2561.");
}

TEST(WriteJsonTest, The512DeepValueWritesOnASmallStack) {
  const std::string text = std::string(256, '[') + Objects(256) + std::string(256, ']');
  const ValueResult deep = ParseJson(text);
  ASSERT_TRUE(deep.Ok());
  std::string compact;
  std::string indented;
  auto work = [&] {
    compact = WriteJson(deep.Value(), nullptr, nullptr);
    indented = WriteJson(deep.Value(), nullptr, "\n");
  };
  RunOnSmallStack(work);
  EXPECT_EQ(compact, text);
  EXPECT_EQ(RoundTrip(indented), compact);
}

// Writing.

struct WriteCase {
  const char* name;
  std::string input;  // JSON text parsed into the value
  const char* separator;
  std::string expected;
};

TEST(WriteJsonTest, LaysOutCompactAndIndentedText) {
  const std::string doc = R"({"a":[true,1.0],"b":{},"c":[],"d":{"e":"x\ny"}})";
  const WriteCase cases[] = {
      {"compact", doc, nullptr, R"({"a":[true,1.0],"b":{},"c":[],"d":{"e":"x\ny"}})"},
      {"empty separator is compact", doc, "", R"({"a":[true,1.0],"b":{},"c":[],"d":{"e":"x\ny"}})"},
      {"LF", doc, "\n",
       "{\n    \"a\": [\n        true,\n        1.0\n    ],\n    \"b\": {},\n    \"c\": [],\n"
       "    \"d\": {\n        \"e\": \"x\\ny\"\n    }\n}"},
      {"CR LF", doc, "\r\n",
       "{\r\n    \"a\": [\r\n        true,\r\n        1.0\r\n    ],\r\n    \"b\": {},\r\n"
       "    \"c\": [],\r\n    \"d\": {\r\n        \"e\": \"x\\ny\"\r\n    }\r\n}"},
      {"other separator", "[1,[2]]", "<br>", "[<br>    1,<br>    [<br>        2<br>    ]<br>]"},
      {"scalar root indented", "\"s\"", "\r\n", "\"s\""},
      {"empty root compact", "", nullptr, ""},
      {"empty root indented", "null", "\r\n", ""},
      {"null element", "[null]", nullptr, "[null]"},
      {"zero and negative zero", "[0.0,-0.0,0,-0]", nullptr, "[0.0,-0.0,0,0]"},
      {"slash and high bytes unescaped", "\"/\xC3\xA9\x7F\"", nullptr, "\"/\xC3\xA9\x7F\""},
  };
  for (const WriteCase& c : cases) {
    const ValueResult parsed = ParseJson(c.input);
    ASSERT_TRUE(parsed.Ok()) << c.name;
    EXPECT_EQ(WriteJson(parsed.Value(), nullptr, c.separator), c.expected) << c.name;
  }
}

TEST(WriteJsonTest, WritesTheShortestTextThatReadsBackTheSameDouble) {
  struct Case {
    double value;
    const char* expected;
  };
  const Case cases[] = {
      {1e300, "1e300"},
      {-1.5e-300, "-1.5e-300"},
      {5e-324, "5e-324"},
      {123456789012.5, "123456789012.5"},
      {1e21, "1e21"},
      {1e20, "100000000000000000000.0"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
  };
  for (const Case& c : cases) {
    BindingProperty value;
    value.SetFloat(c.value);
    EXPECT_EQ(Compact(value), c.expected) << c.expected;
  }
}

TEST(WriteJsonTest, WritesBlobsAsPaddedBase64) {
  struct Case {
    Binding::Blob bytes;
    const char* expected;
  };
  const Case cases[] = {
      {{}, R"("")"},
      {{0xFB, 0xFF, 0xBF, 0x00}, R"("+/+/AA==")"},
  };
  for (const Case& c : cases) {
    BindingProperty value;
    value.Get("b").SetBlob(c.bytes);
    EXPECT_EQ(Compact(value), std::string(R"({"b":)") + c.expected + "}");
  }
}

TEST(WriteJsonTest, WritesEnumsByRegistryNameOrAsSignedNumbers) {
  static const Binding::TypeId kColour(0x00C0104Eu, "Colour");
  static const Binding::TypeId kOther(0x0000BEEFu, "Other");
  BindingRegistry registry;
  registry.BeginType(4, "Colour", kColour, true)
      .AddEnumValue("Red", 1, "")
      .AddEnumValue("Green", 2, "")
      .AddEnumValue("Aqua", 2, "")
      .AddEnumValue("Minus", -1, "");
  struct Case {
    const char* name;
    const Binding::TypeId* type;
    int32_t value;
    const BindingRegistry* registry;
    const char* expected;
  };
  const Case cases[] = {
      {"named", &kColour, 1, &registry, R"(["Red"])"},
      {"first name in byte order", &kColour, 2, &registry, R"(["Aqua"])"},
      {"negative named", &kColour, -1, &registry, R"(["Minus"])"},
      {"unnamed value", &kColour, 7, &registry, "[7]"},
      {"unregistered type", &kOther, 1, &registry, "[1]"},
      {"no registry", &kColour, 1, nullptr, "[1]"},
      {"no registry, negative", &kColour, -2147483647 - 1, nullptr, "[-2147483648]"},
  };
  for (const Case& c : cases) {
    BindingProperty value;
    value.Append().SetEnum(c.value, *c.type);
    EXPECT_EQ(WriteJson(value, c.registry, nullptr), c.expected) << c.name;
  }
}

TEST(WriteJsonTest, NonFiniteFloatsAreWrittenAsNull) {
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  BindingProperty list;
  list.Append().SetFloat(kNan);
  list.Append().SetUnsigned(1);
  list.Append().SetFloat(-kInf);
  EXPECT_EQ(Compact(list), "[null,1,null]");
  EXPECT_EQ(WriteJson(list, nullptr, "\n"), "[\n    null,\n    1,\n    null\n]");

  BindingProperty object;
  object.Get("a").SetFloat(kInf);
  object.Get("b").SetBool(false);
  EXPECT_EQ(Compact(object), R"({"a":null,"b":false})");

  BindingProperty root;
  root.SetFloat(kNan);
  EXPECT_EQ(Compact(root), "null");
}

// The library's own writers as the reference layout: every event of the walk forwarded to a
// Writer or PrettyWriter (4 spaces, 324 decimal places), with '\n' then replaced by the
// separator.
template <typename Writer>
class ReferenceVisitor final : public Binding::ValueVisitor {
 public:
  explicit ReferenceVisitor(Writer& writer) : writer_(writer) {}
  void OnEmpty() override { writer_.Null(); }
  void OnBool(bool value) override { writer_.Bool(value); }
  void OnSigned(int64_t value) override { writer_.Int64(value); }
  void OnUnsigned(uint64_t value) override { writer_.Uint64(value); }
  void OnFloat(double value) override { writer_.Double(value); }
  void OnString(std::string_view text) override {
    writer_.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  }
  void OnBlob(const Binding::Blob&) override { ADD_FAILURE() << "no blobs in these trees"; }
  void OnEnum(const Binding::EnumValue&) override { ADD_FAILURE() << "no enums in these trees"; }
  void BeginCollection(size_t) override { writer_.StartArray(); }
  void BeginElement(size_t) override {}
  void EndElement(size_t) override {}
  void EndCollection() override { writer_.EndArray(); }
  void BeginStructure(size_t) override { writer_.StartObject(); }
  void BeginMember(std::string_view key) override {
    writer_.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
  }
  void EndMember(std::string_view) override {}
  void EndStructure() override { writer_.EndObject(); }

 private:
  Writer& writer_;
};

std::string ReferenceJson(const BindingProperty& value, const char* separator) {
  rapidjson::StringBuffer buffer;
  if (separator == nullptr) {
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.SetMaxDecimalPlaces(324);
    ReferenceVisitor visitor(writer);
    value.Accept(visitor);
    return buffer.GetString();
  }
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
  writer.SetIndent(' ', 4);
  writer.SetMaxDecimalPlaces(324);
  ReferenceVisitor visitor(writer);
  value.Accept(visitor);
  std::string out;
  for (const char c : std::string_view(buffer.GetString(), buffer.GetSize())) {
    if (c == '\n') {
      out += separator;
    } else {
      out += c;
    }
  }
  return out;
}

// Texts of 0-40 bytes, so that both whole groups of eight and the tail are seen, drawn mostly
// from bytes that need no escape with every byte value possible.
std::string RandomText(std::mt19937& random) {
  std::string text(random() % 41, ' ');
  for (char& c : text) {
    c = random() % 4 == 0 ? static_cast<char>(random() % 256)
                          : static_cast<char>('a' + random() % 26);
  }
  return text;
}

void FillRandom(std::mt19937& random, BindingProperty& value, int depth, int& budget) {
  --budget;
  const unsigned pick = random() % (depth < 40 && budget > 0 ? 10 : 7);
  switch (pick) {
    case 0:
      value.Clear();
      return;
    case 1:
      value.SetBool(random() % 2 == 0);
      return;
    case 2:
      value.SetSigned(static_cast<int64_t>((uint64_t{random()} << 32) | random()) >>
                      (random() % 64));
      return;
    case 3:
      value.SetUnsigned(((uint64_t{random()} << 32) | random()) >> (random() % 64));
      return;
    case 4: {
      double number;
      do {
        const uint64_t bits = (uint64_t{random()} << 32) | random();
        number = random() % 2 == 0 ? std::bit_cast<double>(bits)
                                   : static_cast<double>(static_cast<int32_t>(bits)) / 1000;
      } while (!std::isfinite(number));
      value.SetFloat(number);
      return;
    }
    case 5:
    case 6:
      value.SetString(RandomText(random));
      return;
    case 7:
      // A deep chain of single elements, below the prepared indents and past them.
      FillRandom(random, value.Append(), depth + 1, budget);
      return;
    case 8: {
      value.MakeCollection();
      for (unsigned count = random() % 5; count > 0; --count) {
        FillRandom(random, value.Append(), depth + 1, budget);
      }
      return;
    }
    default: {
      value.MakeStructure();
      for (unsigned count = random() % 5; count > 0; --count) {
        FillRandom(random, value.Get(RandomText(random)), depth + 1, budget);
      }
      return;
    }
  }
}

TEST(WriteJsonTest, LaysOutEveryTreeAsTheLibraryWritersDo) {
  const char* const separators[] = {nullptr, "\n", "\r\n", "<a separator over sixteen bytes>"};
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 random(seed);
    BindingProperty value;
    int budget = 300;
    FillRandom(random, value, 0, budget);
    if (value.Kind() == ValueKind::Empty) continue;
    for (const char* separator : separators) {
      ASSERT_EQ(WriteJson(value, nullptr, separator), ReferenceJson(value, separator))
          << "seed " << seed << ", separator " << (separator != nullptr ? separator : "none");
    }
  }
}

TEST(WriteJsonTest, LongTextsAndDeepIndentsLeaveNothingOut) {
  // A string far past the first buffer, with escapes at group edges, inside lists nested past
  // the prepared indents.
  std::string text(100000, 'x');
  for (size_t at = 7; at < text.size(); at += 997)
    text[at] = at % 2 == 0 ? '"' : '\x01';
  BindingProperty value;
  BindingProperty* inner = &value;
  for (int depth = 0; depth < 70; ++depth)
    inner = &inner->Append();
  inner->SetString(text);
  for (const char* separator : {static_cast<const char*>(nullptr), "\n"}) {
    EXPECT_EQ(WriteJson(value, nullptr, separator), ReferenceJson(value, separator));
  }
  const ValueResult back = ParseJson(WriteJson(value, nullptr, "\n"));
  ASSERT_TRUE(back.Ok());
  const BindingProperty* found = &back.Value();
  for (int depth = 0; depth < 70; ++depth)
    found = &found->At(0);
  EXPECT_EQ(found->GetString(), text);
}

}  // namespace
}  // namespace Oxle::Client::Codec
