// JSON reading and writing, and the tree builder the decoders share.
#include "codec/json.h"

#include <gtest/gtest.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <sstream>

#include "binding/types/binding_registry.h"
#include "binding/value/value_context.h"
#include "binding/value/value_visitor.h"
#include "codec/tree_builder.h"
#include "support/small_stack.h"
#include "support/value_shape.h"

namespace Oxle::Client::Codec {
namespace {

using Binding::BindingProperty;
using Binding::ValueKind;
using Binding::ValueResult;
using namespace std::string_literals;

[[nodiscard]] std::string Compact(const BindingProperty& value) {
  return WriteJson(value, nullptr, nullptr);
}

// Parses and writes back compactly, or gives the failure message prefixed by "!"; a failure
// holds only its error member.
[[nodiscard]] std::string RoundTrip(const std::string& text) {
  const ValueResult result = ParseJson(text);
  if (result.Ok()) return Compact(result.Value());
  const std::string message(result.ErrorMessage());
  BindingProperty error;
  error.Get("error").SetString(message);
  EXPECT_EQ(Compact(result.Value()), Compact(error));
  return "!" + message;
}

[[nodiscard]] std::string Arrays(size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

[[nodiscard]] std::string Objects(size_t depth) {
  std::string text;
  for (size_t i = 0; i < depth; ++i)
    text += R"({"a":)";
  return text + "1" + std::string(depth, '}');
}

// Each row: name, document, then its compact JSON ("=" for the document itself), or "!" and the
// exact message.
TEST(ParseJsonTest, MapsDocumentsToTreesAndMessages) {
  const std::string e = "!Error: ", tooDeep = e + "Nesting is too deep. at offset ";
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"empty text", "", "="},
      {"whitespace only", " \r\n\t ", ""},
      {"null", "null", ""},
      {"form feed is not whitespace", "\f", e + "Invalid value. at offset 0."},
      {"vertical tab is not whitespace", " \v1", e + "Invalid value. at offset 1."},
      {"nested", R"({"a":[true,1.0,{"b":[false]}],"c":{}})", "="},
      {"integers by sign", "[1,-1,1.5,4294967296,-4294967296]", "="},
      {"2^64 - 1", "18446744073709551615", "="},
      {"2^64 is a float", "18446744073709551616", "18446744073709553000.0"},
      {"int64 minimum", "-9223372036854775808", "="},
      {"below int64 minimum is a float", "-9223372036854775809", "-9223372036854776000.0"},
      {"escapes", R"(["\"\\\/\b\f\n\r\t"])", R"(["\"\\/\b\f\n\r\t"])"},
      {"control escape is written upper case", R"("\u001f")", R"("\u001F")"},
      {"\\u0000 ends the string", R"(["a\u0000b","c"])", R"(["a","c"])"},
      {"\\u0000 ends the key", R"({"k\u0000x":1})", R"({"k":1})"},
      {"\\u0000 first gives the empty string", R"("\u0000")", R"("")"},
      {"repeated key keeps the last value", R"({"a":1,"a":2})", R"({"a":2})"},
      {"repeated key replaces a structure", R"({"a":{"x":1},"a":{"y":2}})", R"({"a":{"y":2}})"},
      {"key order", R"({"b":1,"a":2,"B":3,"":4})", R"({"":4,"B":3,"a":2,"b":1})"},
      {"NUL then garbage", "[1]\0garbage"s, "[1]"},
      {"NUL in string", "\"a\0b\""s,
       e + "Missing a closing quotation mark in string. at offset 2."},
      {"NUL after whitespace", " \0[1]"s, ""},
      {"root, value", "{} a",
       e + "The document root must not be followed by other values. at offset 3."},
      {"0 then 1", "01",
       e + "The document root must not be followed by other values. at offset 1."},
      {"trailing comma", "[1,]", e + "Invalid value. at offset 3."},
      {"comma, [", "[1 2]", e + "Missing a comma or ']' after an array element. at offset 3."},
      {"unclosed", R"("abc)", e + "Missing a closing quotation mark in string. at offset 4."},
      {"missing exponent", "1e", e + "Miss exponent in number. at offset 2."},
      // Nesting is limited to 512 containers; siblings do not add up.
      {"512 arrays", Arrays(512), "="},
      {"513 arrays", Arrays(513), tooDeep + "513."},
      {"512 objects", Objects(512), "="},
      {"513 objects", Objects(513), tooDeep + "2561."},
      {"mixed, too deep", "[" + Objects(512) + "]", tooDeep + "2557."},
      {"malformed first", "[1 " + Arrays(600),
       e + "Missing a comma or ']' after an array element. at offset 3."},
      {"siblings", "[" + Arrays(511) + "," + Arrays(511) + "]", "="},
  };
  for (const auto& [name, input, expected] : cases)
    EXPECT_EQ(RoundTrip(input), expected == "=" ? input : expected) << name;
  EXPECT_EQ(ParseJson(static_cast<const char*>(nullptr)).Value().Kind(), ValueKind::Empty);
  EXPECT_TRUE(ParseJson(static_cast<const char*>(nullptr)).Ok());
}

TEST(ParseJsonTest, NumbersGetTheKindOfTheirSign) {
  const std::pair<const char*, const char*> cases[] = {
      {"[0,-0,4294967296,-2147483649]", "[u0,i0,u4294967296,i-2147483649]"},
      {"[9223372036854775808,-9223372036854775808,18446744073709551615]",
       "[u9223372036854775808,i-9223372036854775808,u18446744073709551615]"},
      {"[-0.0,1.5,18446744073709551616]", "[f-0,f1.5,f1.8446744073709552e+19]"},
  };
  for (const auto& [input, shape] : cases)
    EXPECT_EQ(Shape(ParseJson(input).Value()), shape) << input;
}

TEST(WriteJsonTest, LaysOutCompactAndIndentedText) {
  const std::string doc = R"({"a":[true,1.0],"b":{},"c":[],"d":{"e":"x\ny"}})";
  const std::tuple<const char*, std::string, const char*, std::string> cases[] = {
      {"empty separator is compact", doc, "", doc},
      {"other separator", "[1,[2]]", "<br>", "[<br>    1,<br>    [<br>        2<br>    ]<br>]"},
      {"scalar root indented", "\"s\"", "\r\n", "\"s\""},
      {"empty root compact", "", nullptr, ""},
      {"empty root indented", "null", "\r\n", ""},
      {"null element", "[null]", nullptr, "[null]"},
      {"zero and negative zero", "[0.0,-0.0,0,-0]", nullptr, "[0.0,-0.0,0,0]"},
      {"slash and high bytes unescaped", "\"/\xC3\xA9\x7F\"", nullptr, "\"/\xC3\xA9\x7F\""},
  };
  for (const auto& [name, input, separator, expected] : cases) {
    const ValueResult parsed = ParseJson(input);
    ASSERT_TRUE(parsed.Ok()) << name;
    EXPECT_EQ(WriteJson(parsed.Value(), nullptr, separator), expected) << name;
  }
}

const Binding::TypeId kColour(0x00C0104Eu, "Colour"), kOther(0x0000BEEFu, "Other");

// Values the parser does not make: doubles in their shortest text that reads back the same,
// blobs as padded base64, non-finite floats as null, enums by registry name or as numbers.
TEST(WriteJsonTest, WritesValuesOfEveryKind) {
  Binding::BindingRegistry registry;
  registry.BeginType(4, "Colour", kColour, true)
      .AddEnumValue("Red", 1, "")
      .AddEnumValue("Green", 2, "")
      .AddEnumValue("Aqua", 2, "")
      .AddEnumValue("Minus", -1, "");
  const auto value = [](std::function<void(BindingProperty&)> set) {
    BindingProperty root;
    set(root.Append());
    return root;
  };
  const auto number = [&](double v) { return value([v](BindingProperty& p) { p.SetFloat(v); }); };
  const auto blob = [&](Binding::Blob b) {
    return value([b](BindingProperty& p) { p.SetBlob(Binding::Blob(b)); });
  };
  const auto colour = [&](int32_t v, const Binding::TypeId& type = kColour) {
    return value([v, &type](BindingProperty& p) { p.SetEnum(v, type); });
  };
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::tuple<const char*, BindingProperty, const Binding::BindingRegistry*, std::string>
      cases[] = {
          {"small negative", number(-1.5e-300), nullptr, "[-1.5e-300]"},
          {"exponent from 1e21", number(1e21), nullptr, "[1e21]"},
          {"digits below 1e21", number(1e20), nullptr, "[100000000000000000000.0]"},
          {"NaN", number(kNan), nullptr, "[null]"},
          {"-infinity", number(-kInf), nullptr, "[null]"},
          {"empty blob", blob({}), nullptr, R"([""])"},
          {"padded blob", blob({0xFB, 0xFF, 0xBF, 0x00}), nullptr, R"(["+/+/AA=="])"},
          {"named", colour(1), &registry, R"(["Red"])"},
          {"first name in byte order", colour(2), &registry, R"(["Aqua"])"},
          {"negative named", colour(-1), &registry, R"(["Minus"])"},
          {"unnamed value", colour(7), &registry, "[7]"},
          {"unregistered type", colour(1, kOther), &registry, "[1]"},
          {"no registry", colour(1), nullptr, "[1]"},
          {"no registry, negative", colour(-2147483647 - 1), nullptr, "[-2147483648]"},
      };
  for (const auto& [name, input, withRegistry, expected] : cases)
    EXPECT_EQ(WriteJson(input, withRegistry, nullptr), expected) << name;
  BindingProperty object;
  object.Get("a").SetFloat(kInf);
  object.Get("b").SetBool(false);
  EXPECT_EQ(Compact(object), R"({"a":null,"b":false})");
  EXPECT_EQ(WriteJson(number(kNan), nullptr, "\n"), "[\n    null\n]");
  object.SetFloat(kNan);
  EXPECT_EQ(Compact(object), "null");
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
  rapidjson::Writer<rapidjson::StringBuffer> compact(buffer);
  rapidjson::PrettyWriter<rapidjson::StringBuffer> pretty(buffer);
  pretty.SetIndent(' ', 4);
  pretty.SetMaxDecimalPlaces(324);
  compact.SetMaxDecimalPlaces(324);
  ReferenceVisitor compactVisitor(compact);
  ReferenceVisitor prettyVisitor(pretty);
  value.Accept(separator == nullptr ? static_cast<Binding::ValueVisitor&>(compactVisitor)
                                    : prettyVisitor);
  std::string out;
  for (const char c : std::string_view(buffer.GetString(), buffer.GetSize()))
    out += c == '\n' ? std::string(separator) : std::string(1, c);
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

uint64_t Random64(std::mt19937& random) {
  const uint64_t high = random();
  return high << 32 | random();
}

void FillRandom(std::mt19937& random, BindingProperty& value, int depth, int& budget) {
  --budget;
  const unsigned pick = random() % (depth < 40 && budget > 0 ? 10 : 7);
  if (pick == 0) return value.Clear();
  if (pick == 1) return value.SetBool(random() % 2 == 0);
  if (pick == 2) return value.SetSigned(static_cast<int64_t>(Random64(random)) >> (random() % 64));
  if (pick == 3) return value.SetUnsigned(Random64(random) >> (random() % 64));
  if (pick == 5 || pick == 6) return value.SetString(RandomText(random));
  // A deep chain of single elements, below the prepared indents and past them.
  if (pick == 7) return FillRandom(random, value.Append(), depth + 1, budget);
  if (pick == 4) {
    double number;
    do {
      const uint64_t bits = Random64(random);
      number = random() % 2 == 0 ? std::bit_cast<double>(bits)
                                 : static_cast<double>(static_cast<int32_t>(bits)) / 1000;
    } while (!std::isfinite(number));
    return value.SetFloat(number);
  }
  pick == 8 ? value.MakeCollection() : value.MakeStructure();
  for (unsigned count = random() % 5; count > 0; --count)
    FillRandom(random, pick == 8 ? value.Append() : value.Get(RandomText(random)), depth + 1,
               budget);
}

// A million open brackets fail on a small stack; a 512 deep value with a long text (escapes at
// group edges, far past the first buffer) is written there as the library writers do.
TEST(JsonTest, DeepAndLongDocumentsStayOffTheStack) {
  std::string objects;
  for (int i = 0; i < 1000000; ++i)
    objects += R"({"a":)";
  std::string text(100000, 'x');
  for (size_t at = 7; at < text.size(); at += 997)
    text[at] = at % 2 == 0 ? '"' : '\x01';
  BindingProperty long512;
  BindingProperty* inner = &long512;
  for (int depth = 0; depth < 512; ++depth)
    inner = depth % 2 == 0 ? &inner->Append() : &inner->Get("a");
  inner->SetString(text);
  std::string arrayMessage, objectMessage, compact, indented;
  auto work = [&] {
    arrayMessage = std::string(ParseJson(std::string(1000000, '[')).ErrorMessage());
    objectMessage = std::string(ParseJson(objects).ErrorMessage());
    compact = WriteJson(long512, nullptr, nullptr);
    indented = WriteJson(long512, nullptr, "\n");
  };
  RunOnSmallStack(work);
  EXPECT_EQ(arrayMessage, "Error: Nesting is too deep. at offset 513.");
  EXPECT_EQ(objectMessage, "Error: Nesting is too deep. at offset 2561.");
  EXPECT_EQ(RoundTrip(indented), compact);
  EXPECT_EQ(compact, ReferenceJson(long512, nullptr));
  EXPECT_EQ(indented, ReferenceJson(long512, "\n"));
  const ValueResult back = ParseJson(compact);
  ASSERT_TRUE(back.Ok());
  const BindingProperty* found = &back.Value();
  for (int depth = 0; depth < 512; ++depth)
    found = depth % 2 == 0 ? &found->At(0) : &found->Get("a");
  EXPECT_EQ(found->GetString(), text);
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

using Binding::BindingProperty;

// Runs builder events written as words: "{" and "[" begin (with "+", in Keep mode), "}" and "]"
// end, "k:NAME" selects a key, "@N" an element, "uN", "iN", "'TEXT" and "F" set the slot, and "?"
// notes whether a key is awaited (K) or not (V). Gives the notes, then the tree as compact JSON.
std::string Build(const std::string& events) {
  BindingProperty root;
  TreeBuilder builder(root);
  std::istringstream words(events);
  std::string notes;
  for (std::string w; words >> w;) {
    const ContainerMode mode =
        w.size() > 1 && w[1] == '+' ? ContainerMode::Keep : ContainerMode::Replace;
    EXPECT_TRUE(w[0] != '{' || builder.BeginStructure(mode));
    EXPECT_TRUE(w[0] != '[' || builder.BeginCollection(mode));
    if (w[0] == '}' || w[0] == ']') builder.End();
    if (w[0] == 'k') builder.Key(w.substr(2));
    if (w[0] == '@') builder.Element(std::stoul(w.substr(1)));
    if (w[0] == 'u') builder.Slot().SetUnsigned(std::stoul(w.substr(1)));
    if (w[0] == 'i') builder.Slot().SetSigned(std::stol(w.substr(1)));
    if (w[0] == '\'') builder.Slot().SetString(w.substr(1));
    if (w[0] == 'F') builder.Slot().SetBool(false);
    if (w[0] == '?') notes += builder.AwaitingKey() ? "K" : "V";
  }
  return notes + Compact(root);
}

TEST(TreeBuilderTest, EventsBuildTheTree) {
  const std::pair<const char*, const char*> cases[] = {
      // Keys select members, a value consumes the key, and a repeated key reuses its member.
      {"{ ? k:b ? u1 ? k:a { k:x i-1 } k:b u2 }", R"(KVK{"a":{"x":-1},"b":2})"},
      {"? [ ? ]", "VV[]"},  // no key is awaited outside a structure
      // Replace starts a container empty; Keep merges into an earlier one of the same kind.
      {"{ k:m { k:x u1 } k:s [ u1 ] k:m { k:y u2 } k:s [ u3 ] }", R"({"m":{"y":2},"s":[3]})"},
      {"{ k:m {+ k:x u1 } k:s [+ u1 ] k:m {+ k:y u2 } k:s [+ u3 ] }",
       R"({"m":{"x":1,"y":2},"s":[1,3]})"},
      {"{ k:a [ u1 ] k:a {+ } }", R"({"a":{}})"},
      // An element is selected instead of appended; beyond the end the gap fills with empty
      // elements, and without a selection the next value is appended again.
      {"[ u1 u2 u3 ] [+ @0 'first @4 F u9 ]", R"(["first",2,3,null,false,9])"},
  };
  for (const auto& [events, expected] : cases)
    EXPECT_EQ(Build(events), expected) << events;
}

// Random documents, fed as the same events to an in-place and a deferred builder: collections of
// any length, structures with keys in any order and repeated, nested.
// `budget` bounds the values of one document.
void FeedRandomDocument(std::mt19937& random, TreeBuilder& builder, int depth, int& budget) {
  const unsigned choice = random() % 10;
  if (depth > 4 || choice < 4 || --budget <= 0) {
    const unsigned kind = random() % 4;
    if (kind == 0) return builder.Slot().SetUnsigned(random() % 1000);
    if (kind == 1) return builder.Slot().SetString("s" + std::to_string(random() % 50));
    if (kind == 2) return builder.Slot().Clear();
    return builder.Slot().SetBlob(Binding::Blob{1, 2, 3});
  }
  const size_t count = random() % (choice == 9 && depth == 0 ? 300 : 12);
  const unsigned keys = choice % 2 == 0 ? 0 : 1 + random() % (count + 1);
  ASSERT_TRUE(keys == 0 ? builder.BeginCollection() : builder.BeginStructure());
  for (size_t i = 0; i < count; ++i) {
    if (keys != 0) builder.Key("key" + std::to_string(random() % keys));
    FeedRandomDocument(random, builder, depth + 1, budget);
  }
  builder.End();
}

TEST(TreeBuilderTest, DeferredPlacementBuildsTheSameTreesAsInPlace) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    BindingProperty trees[2];
    for (const ElementPlacement placement :
         {ElementPlacement::InPlace, ElementPlacement::Deferred}) {
      std::mt19937 random(seed);
      int budget = 400;
      TreeBuilder builder(trees[placement == ElementPlacement::Deferred], placement);
      FeedRandomDocument(random, builder, 0, budget);
    }
    ASSERT_EQ(Compact(trees[1]), Compact(trees[0])) << "seed " << seed;
  }
}

TEST(TreeBuilderTest, ADeferredBuilderLeftOpenReleasesWhatItGathered) {
  BindingProperty root;
  {
    TreeBuilder builder(root, ElementPlacement::Deferred);
    ASSERT_TRUE(builder.BeginCollection());
    builder.Slot().SetString("element");
    ASSERT_TRUE(builder.BeginStructure());
    builder.Key("key");
    builder.Slot().SetString("value");
    builder.Key("blob");
    builder.Slot().SetBlob(Binding::Blob{1});
    builder.Key("pending");
  }
  // Only the outer collection, empty, is in the tree: every gathered string went with the
  // builder.
  EXPECT_EQ(Compact(root), "[]");
  ASSERT_NE(root.Context(), nullptr);
  EXPECT_EQ(root.Context()->Strings().Size(), 0u);
  EXPECT_EQ(root.Context()->Blobs(), 0u);
}

}  // namespace
}  // namespace Oxle::Client::Codec
