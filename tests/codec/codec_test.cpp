// The codecs: JSON reading and writing (the latter against the library's own writers), the
// MessagePack and YAML decoders, and the tree builder they share.
#include "codec/json.h"

#include <gtest/gtest.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "binding/types/binding_registry.h"
#include "binding/types/host_value.h"
#include "binding/value/value_context.h"
#include "binding/value/value_visitor.h"
#include "codec/msgpack.h"
#include "codec/tree_builder.h"
#include "codec/yaml.h"
#include "support/binding_values.h"
#include "support/peak_memory.h"
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

// `text` `count` times over.
[[nodiscard]] std::string Repeat(const std::string& text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i)
    out += text;
  return out;
}

[[nodiscard]] std::string Objects(size_t depth) {
  return Repeat(R"({"a":)", depth) + "1" + std::string(depth, '}');
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
  const ValueResult none = ParseJson(static_cast<const char*>(nullptr));
  EXPECT_EQ(std::tuple(none.Ok(), none.Value().Kind()), std::tuple(true, ValueKind::Empty));
  // Numbers get the kind of their sign.
  const std::pair<const char*, const char*> kinds[] = {
      {"[0,-0,4294967296,-2147483649]", "[u0,i0,u4294967296,i-2147483649]"},
      {"[9223372036854775808,-9223372036854775808,18446744073709551615]",
       "[u9223372036854775808,i-9223372036854775808,u18446744073709551615]"},
      {"[-0.0,1.5,18446744073709551616]", "[f-0,f1.5,f1.8446744073709552e+19]"},
  };
  for (const auto& [input, shape] : kinds)
    EXPECT_EQ(Shape(ParseJson(input).Value()), shape) << input;
}

const Binding::TypeId kColour(0x00C0104Eu, "Colour");

// Layouts and values the library writers never see: an empty separator, an empty root, zeros by
// sign, doubles in their shortest text that reads back the same, blobs as padded base64,
// non-finite floats as null, enums by registry name or as numbers. The rest of the layout is
// checked against those writers below. Each row: the value as its shape, with enums of kColour.
TEST(WriteJsonTest, WritesValuesOfEveryKind) {
  Binding::BindingRegistry registry, other;
  registry.BeginType(4, "Colour", kColour, true)
      .AddEnumValue("Red", 1, "")
      .AddEnumValue("Green", 2, "")
      .AddEnumValue("Aqua", 2, "")
      .AddEnumValue("Minus", -1, "");
  const std::string doc = R"({"a":[true,1.0],"b":{},"c":[],"d":{"e":"x\ny"}})";
  using R = const Binding::BindingRegistry*;
  const R r = &registry;
  const std::tuple<const char*, const char*, R, const char*, std::string> cases[] = {
      {"empty separator is compact", "{a:[T,f1];b:{};c:[];d:{e:'x\ny';};}", nullptr, "", doc},
      {"empty root compact", "~", nullptr, nullptr, ""},
      {"empty root indented", "~", nullptr, "\r\n", ""},
      {"zero and negative zero", "[f0,f-0,u0,i0]", nullptr, nullptr, "[0.0,-0.0,0,0]"},
      {"small negative", "[f-1.5e-300]", nullptr, nullptr, "[-1.5e-300]"},
      {"exponent from 1e21", "[f1e21]", nullptr, nullptr, "[1e21]"},
      {"digits below 1e21", "[f1e20]", nullptr, nullptr, "[100000000000000000000.0]"},
      {"NaN", "[fnan]", nullptr, nullptr, "[null]"},
      {"NaN indented", "[fnan]", nullptr, "\n", "[\n    null\n]"},
      {"NaN root", "fnan", nullptr, nullptr, "null"},
      {"-infinity", "[f-inf]", nullptr, nullptr, "[null]"},
      {"infinite member", "{a:finf;b:F;}", nullptr, nullptr, R"({"a":null,"b":false})"},
      {"empty blob", "[b'']", nullptr, nullptr, R"([""])"},
      {"padded blob", "[b'fbffbf00']", nullptr, nullptr, R"(["+/+/AA=="])"},
      {"named", "[e1]", r, nullptr, R"(["Red"])"},
      {"first name in byte order", "[e2]", r, nullptr, R"(["Aqua"])"},
      {"negative named", "[e-1]", r, nullptr, R"(["Minus"])"},
      {"unnamed value", "[e7]", r, nullptr, "[7]"},
      {"unregistered type", "[e1]", &other, nullptr, "[1]"},
      {"no registry", "[e1]", nullptr, nullptr, "[1]"},
      {"no registry, negative", "[e-2147483648]", nullptr, nullptr, "[-2147483648]"},
  };
  for (const auto& [name, shape, withRegistry, separator, expected] : cases)
    EXPECT_EQ(WriteJson(Client::Parse(shape, &kColour), withRegistry, separator), expected) << name;
}

// The library's own writers as the reference layout: every event of the walk forwarded to a
// Writer or PrettyWriter (4 spaces, 324 decimal places), with '\n' then replaced by the
// separator.
template <typename Writer>
class ReferenceVisitor final : public Binding::ValueVisitor {
 public:
  explicit ReferenceVisitor(Writer& writer) : writer_(writer) {}
  Writer& writer_;
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
  return uint64_t{random()} << 32 | random();
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

// A 512 deep value with a long text (escapes at group edges, far past the first buffer) is
// written on a small stack as the library writers do. (Reading stops at 513 containers, in the
// parse table.)
TEST(JsonTest, DeepAndLongDocumentsStayOffTheStack) {
  std::string text(100000, 'x');
  for (size_t at = 7; at < text.size(); at += 997)
    text[at] = at % 2 == 0 ? '"' : '\x01';
  BindingProperty long512;
  BindingProperty* inner = &long512;
  for (int depth = 0; depth < 512; ++depth)
    inner = depth % 2 == 0 ? &inner->Append() : &inner->Get("a");
  inner->SetString(text);
  std::string compact, indented;
  auto work = [&] {
    compact = WriteJson(long512, nullptr, nullptr);
    indented = WriteJson(long512, nullptr, "\n");
  };
  RunOnSmallStack(work);
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

// A host value is written as WriteJson writes the tree FromHostValue reads from it, and is
// refused (for the caller's way through that tree) where FromHostValue fails or a structure's
// keys are out of order.
TEST(WriteJsonTest, WritesAHostValueAsTheTreeItReadsAs) {
  const auto expected = [](const HostValue& in) -> std::optional<std::string> {
    BindingProperty read;
    ValueResult result;
    if (!Binding::FromHostValue(in, read, result, "x")) return std::nullopt;
    return Compact(read);
  };
  const auto written = [](const HostValue& in) -> std::optional<std::string> {
    std::string out = "stale";
    if (!WriteJson(in, out)) return std::nullopt;
    return out;
  };
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 random(seed);
    BindingProperty value;
    int budget = 300;
    FillRandom(random, value, 0, budget);
    value.Get("blob").SetBlob(std::vector<uint8_t>(seed % 7, static_cast<uint8_t>(seed)));
    HostValue host;
    ASSERT_TRUE(Binding::ToHostValue(value, nullptr, host));
    const std::optional<std::string> out = written(host);
    ASSERT_TRUE(out) << "seed " << seed;
    EXPECT_EQ(out, expected(host)) << "seed " << seed;
    Binding::ReleaseHostValue(host);
  }
  static const char kAbNulC[] = {'a', 'b', '\0', 'c', '\0'};
  static const uint8_t kBytes[] = {0, 1, 0xFF};
  const HostValue one{HOST_VALUE_SIGNED, {.signedValue = 1}};
  HostValue nan{HOST_VALUE_FLOAT, {.floatValue = std::nan("")}}, unknown{11, {}};
  HostValueEntry ordered[] = {{nullptr, one, 0}, {"a", nan, 0}, {"b", {1, {.boolean = 2}}, 0}};
  HostValueEntry repeated[] = {{"k", one, 0}, {"k", {HOST_VALUE_EMPTY, {}}, 0}};
  HostValueEntry unordered[] = {{"b", one, 0}, {"a", one, 0}};
  HostValueEntry badLater[] = {{"k", unknown, 0}, {"k", one, 0}};
  HostValue items[] = {one,
                       {HOST_VALUE_STRING_BORROWED, {.string = {kAbNulC, 4}}},
                       {HOST_VALUE_STRING_OWNED, {.string = {nullptr, 3}}},
                       {HOST_VALUE_BLOB_BORROWED, {.blob = {kBytes, 3}}},
                       {HOST_VALUE_BLOB_OWNED, {.blob = {nullptr, 0}}},
                       {HOST_VALUE_STRUCTURE, {.structure = {ordered, 3}}}};
  const struct {
    const char* name;
    HostValue in;
    bool written;
  } cases[] = {
      {"every scalar kind, a null key and a NaN", {9, {.collection = {items, 6}}}, true},
      {"an empty root", {HOST_VALUE_EMPTY, {}}, true},
      {"a repeated key", {10, {.structure = {repeated, 2}}}, false},
      {"keys out of order", {10, {.structure = {unordered, 2}}}, false},
      {"a bad value under a key given again", {10, {.structure = {badLater, 2}}}, false},
      {"an unknown kind", unknown, false},
      {"a null blob", {HOST_VALUE_BLOB_OWNED, {.blob = {nullptr, 1}}}, false},
      {"a null collection", {9, {.collection = {nullptr, 1}}}, false},
      {"a null structure", {10, {.structure = {nullptr, 1}}}, false},
      {"too many elements", {9, {.collection = {items, 0x10000000u}}}, false},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> out = written(c.in);
    EXPECT_EQ(out.has_value(), c.written) << c.name;
    if (out) {
      EXPECT_EQ(out, expected(c.in)) << c.name;
    }
  }
  for (const size_t levels : {size_t{512}, size_t{513}}) {
    std::vector<HostValue> chain(levels + 1);
    for (size_t i = levels; i-- > 0;)
      chain[i] = HostValue{9, {.collection = {&chain[i + 1], 1}}};
    EXPECT_EQ(written(chain[0]), expected(chain[0])) << levels;
    EXPECT_EQ(written(chain[0]).has_value(), levels == 512);
  }
}

// The builder's events are the decoders' own (see their tables); what they cannot show: a
// deferred builder left open releases what it gathered, keeping only the outer collection, empty,
// and no string or blob in the tree's context.
TEST(TreeBuilderTest, ADeferredBuilderLeftOpenReleasesWhatItGathered) {
  BindingProperty root;
  {
    TreeBuilder builder(root, ElementPlacement::Deferred);
    ASSERT_TRUE(builder.BeginCollection(ContainerMode::Replace));
    builder.Slot().SetString("element");
    ASSERT_TRUE(builder.BeginStructure(ContainerMode::Keep));
    builder.Key("key");
    builder.Slot().SetString("value");
    builder.Key("blob");
    builder.Slot().SetBlob(Binding::Blob{1});
    builder.Key("pending");
  }
  EXPECT_EQ(Compact(root) + " " + std::to_string(root.Context()->Strings().Size()) + "/" +
                std::to_string(root.Context()->Blobs()),
            "[] 0/0");
}

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

constexpr size_t kUnit = (size_t{1} << 20) / 4;  // the byte bound is 256 of these

// "- " + each item on its own line, so that the item on line n starts at column 3.
std::string Items(size_t count, const std::string& item) {
  return Repeat("- " + item + "\n", count);
}

// Bounds on nesting (aliases cannot stack it past 512 either), and on what aliases expand to,
// checked before the memory is spent (the exact bounds are below).
TEST(YamlTest, NestingAndAliasExpansionAreBounded) {
  std::string laughs = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (char level = 'b'; level <= 'i'; ++level) {
    const std::string alias = std::string("*") + static_cast<char>(level - 1);
    laughs +=
        std::string(1, level) + ": &" + level + " [" + alias + Repeat(", " + alias, 8) + "]\n";
  }
  const std::string half = Arrays(300);
  // Doubling with each copy, the sequence passes a million values at the 19th alias.
  const std::string doubling = "a: &x [1]\na: [*x" + Repeat(", *x", 24);
  const auto start = std::chrono::steady_clock::now();
  const std::pair<std::string, std::string> cases[] = {
      {Arrays(512), Arrays(512)},
      {Arrays(513), "!Nesting is too deep. At line: 1 col: 513"},
      {"a: &a " + Arrays(510) + "\nb: [*a]", "{a:[[["},  // the copy reaches 512 exactly
      {"a: &a " + Arrays(511) + "\nb: [*a]", "!Nesting is too deep."},
      {"a: &a " + half + "\nb: [[[[*a]]]]\nc: &c " + half + "\nd: " + std::string(300, '[') + "*c" +
           std::string(300, ']'),
       "!Nesting is too deep."},
      {laughs, "!Aliases expand to too many values."},  // each level measured past the cap
      {doubling + "]", "!Aliases expand to too many values. At line: 2 col: 77"},
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(Parse(input).substr(0, expected.size()), expected) << input.substr(0, 40);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // Each shape spends exactly the bound of values or of 64 MiB of alias text: its anchors, then
  // its aliases, which start at column 3 of their lines. One more, spent first, and the last alias
  // goes past the bound.
  const std::string unit(kUnit, 'x'), halfKey(kUnit / 2, 'k');
  // Half the copies as values, half as keys of one mapping, where a key alias copies its text.
  auto valuesAndKeys = [](const std::string& alias) {
    std::string lines = Items(128, alias) + "- " + alias + " : 1\n";
    for (int i = 2; i <= 128; ++i)
      lines += "  " + alias + " : " + std::to_string(i) + "\n";
    return lines;
  };
  // 1,000 values (itself and 999 elements), copied 1,000 times.
  const std::string thousand = "- &a [0" + Repeat(", 0", 998);
  const std::string bytes = "Aliases expand to too many bytes.",
                    values = "Aliases expand to too many values.";
  // Each row: the shape, its text at the bound, the number of its top-level items, and the
  // message once one more is spent first ("" for bytes, one more alias at the end).
  const std::tuple<const char*, std::string, size_t, std::string> shapes[] = {
      {"an anchored string", "- &s " + unit + "\n" + valuesAndKeys("*s"), 130, bytes},
      {"an anchored key", "- ? &k " + unit + "\n  : 0\n" + valuesAndKeys("*k"), 130, bytes},
      // Member keys count as much as strings: without them each copy would hold half as much.
      {"an anchored mapping with a long key",
       "- &m\n  ? " + halfKey + "\n  : [" + halfKey + "]\n" + Items(256, "*m"), 257, bytes},
      // A copy of a node that holds copies counts them in full: 4 units here, then 63 times 4.
      {"an anchored sequence of aliases",
       "- &a " + unit + "\n- &b [*a, *a, *a, *a]\n" + Items(63, "*b"), 65, bytes},
      {"a million values", thousand + "]\n" + Items(1000, "*a"), 1001, values},
      // Charged what the anchor's path holds now (a unit), not what it held when first aliased.
      {"a replaced anchor", "a: &x s\nb: *x\na: " + unit + "\nc:\n" + Items(255, "*x"), 3, ""},
  };
  for (const auto& [name, atBound, size, message] : shapes) {
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

// 10,000 anchors in a sequence under 511 mappings with 15-byte keys: 512 containers. A copy of the
// path per anchor would take 10,000 x 511 steps, some 250 MB: the decoding runs in a fresh child,
// whose peak of resident memory is then this decoding's, and exits 0 if it kept below 32 MiB (2 if
// not, 1 if the result is wrong).
TEST(YamlTest, DeepAnchorsShareTheirPathAndStopAtTheNestingLimit) {
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
  EXPECT_EQ(Parse(past),
            "!Nesting is too deep. At line: 1 col: " + std::to_string(past.find('[') + 1));
  const auto decode = [&atBound] {
    const size_t before = PeakResidentBytes();
    bool right = false;
    {  // the tree goes before the exit, which leak checkers watch
      ValueResult ok;
      right = Parse(atBound, &ok).empty() && ok.Value().Get("last").GetUnsigned(0) == 9999u;
    }
    std::exit(!right ? 1 : PeakResidentBytes() - before < 32 * 1024 * 1024 ? 0 : 2);
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh child, whatever ran here before
  EXPECT_EXIT(decode(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Oxle::Client::Codec
