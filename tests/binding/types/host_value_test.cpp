#include "binding/types/host_value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "binding/types/type_identity.h"
#include "log/allocation_hooks.h"
#include "support/binding_values.h"

namespace Oxle::Client::Binding {
namespace {

enum class Mood : int32_t { Calm = 1, Angry = -3 };
enum class Unregistered : int32_t { Any = 5 };

bool AllZero(const HostValue& value) {
  static const HostValue zero{};
  return std::memcmp(&value, &zero, sizeof(value)) == 0;
}

HostValue Host(uint32_t kind, const std::function<void(HostValue&)>& fill = {}) {
  HostValue value;
  std::memset(&value, 0, sizeof(value));
  value.kind = kind;
  if (fill) fill(value);
  return value;
}
HostValue Signed(int64_t n) {
  return Host(HOST_VALUE_SIGNED, [n](HostValue& v) { v.payload.signedValue = n; });
}
HostValue Text(uint32_t kind, const char* text, uint32_t length) {
  return Host(kind, [=](HostValue& v) { v.payload.string = {text, length}; });
}
HostValue Collection(HostValue* items, uint32_t count) {
  return Host(HOST_VALUE_COLLECTION, [=](HostValue& v) { v.payload.collection = {items, count}; });
}
HostValue Structure(HostValueEntry* entries, uint32_t count) {
  return Host(HOST_VALUE_STRUCTURE, [=](HostValue& v) { v.payload.structure = {entries, count}; });
}
HostValueEntry Entry(const char* key, const HostValue& value, bool owned = false) {
  HostValueEntry entry;
  std::memset(&entry, 0, sizeof(entry));
  entry.key = key;
  entry.keyOwned = owned ? 1 : 0;
  entry.value = value;
  return entry;
}

// The value `in` reads as: its shape, or the failure's message after its partial shape.
std::string FromHost(const HostValue& in, const char* previous = "'previous'") {
  BindingProperty value = Parse(previous);
  ValueResult result;
  const bool ok = FromHostValue(in, value, result, "x");
  EXPECT_EQ(ok, result.Ok()) << result.ErrorMessage();
  return ok ? Shape(value) : Shape(value) + " " + std::string(result.ErrorMessage());
}

// A HostValue as the shape it reads as, with what reading hides: the kind number of a text or
// blob, a text's length field, and "*" after an owned key.
std::string DescribeHost(const HostValue& v) {
  const uint32_t kind = v.kind;
  if (kind == 5 || kind == 6)
    return std::to_string(kind) + FromHost(v) + "/" + std::to_string(v.payload.string.length);
  if (kind != HOST_VALUE_COLLECTION && kind != HOST_VALUE_STRUCTURE)
    return (kind == 7 || kind == 8 ? std::to_string(kind) : "") + FromHost(v);
  std::string text = kind == HOST_VALUE_COLLECTION ? "[" : "{";
  for (uint32_t i = 0; kind == HOST_VALUE_COLLECTION && i < v.payload.collection.count; ++i)
    text += (i != 0 ? "," : "") + DescribeHost(v.payload.collection.items[i]);
  for (uint32_t i = 0; kind == HOST_VALUE_STRUCTURE && i < v.payload.structure.count; ++i) {
    const HostValueEntry& entry = v.payload.structure.entries[i];
    text += std::string(entry.key) + (entry.keyOwned != 0 ? "*:" : ":") +
            DescribeHost(entry.value) + ";";
  }
  return text + (kind == HOST_VALUE_COLLECTION ? "]" : "}");
}

// A value with every kind that survives a round trip unchanged, nested both ways.
constexpr const char* kEveryKind =
    "{:'empty key';blob:b'0000ff00';empty:~;emptyBlob:b'';emptyString:'';false:F;float:f-0.5;"
    "list:[i1,[u2,[]],{}];nested:{inner:{deeper:[T];};};signed:i-9223372036854775808;"
    "string:'h\xC3\xA9llo';true:T;unsigned:u18446744073709551615;}";

// Keys with a NUL inside, as a decoder may keep them: "", "\0x", "a", "a\0b", "a\0c", "b".
BindingProperty KeysWithNuls() {
  BindingProperty value = Parse("{:i5;a:i0;b:'kept';}");
  value.Get(std::string_view("\0x", 2)).SetSigned(4);
  value.Get(std::string_view("a\0b", 3)).Get("inner").SetString("dropped");
  value.Get(std::string_view("a\0c", 3)).SetSigned(2);
  return value;
}

TEST(HostValueTest, KindNamesCoverOneToTenOnly) {
  for (const auto& [kind, name] :
       {std::pair<uint32_t, std::string_view>{0, ""}, {1, "bool"}, {10, "structure"}, {11, ""}})
    EXPECT_EQ(HostValueKindName(kind), name) << kind;
}

TEST(HostValueTest, ToHostValueSendsEachKindAndKeysUpToTheirFirstNul) {
  BindingRegistry registry;
  registry.BeginType(sizeof(Mood), "Mood", TypeIdOf<Mood>(), true)
      .AddEnumValue("Calm", 1, "")
      .AddEnumValue("Angry", -3, "");
  BindingProperty nested;  // a run of keys equal up to their NUL at the end of a structure
  nested.At(0).Get("k").SetSigned(1);
  nested.At(0).Get(std::string_view("k\0\0", 3)).SetSigned(2);
  BindingProperty texts = Parse("['text',b'000700','',b'',[],{}]");
  texts.Append().SetString(std::string_view("ab\0c", 4));
  const std::tuple<BindingProperty, const BindingRegistry*, std::string> cases[] = {
      // Of keys equal up to their NUL, the last in key order is sent, under the shared key.
      {KeysWithNuls(), nullptr, "{*:i4;a*:i2;b*:6'kept'/4;}"},
      {nested, nullptr, "[{k*:i2;}]"},
      {texts, nullptr, "[6'text'/4,8b'000700',6''/0,8b'',[],{},6'ab'/2]"},
      {Parse("e-3", &TypeIdOf<Mood>()), &registry, "6'Angry'/5"},
      {Parse("e-3", &TypeIdOf<Mood>()), nullptr, "i-3"},
      {Parse("e7", &TypeIdOf<Mood>()), &registry, "i7"},
      {Parse("e5", &TypeIdOf<Unregistered>()), &registry, "i5"},
      {Parse(kEveryKind), nullptr,
       "{*:6'empty key'/9;blob*:8b'0000ff00';empty*:~;emptyBlob*:8b'';emptyString*:6''/0;false*:F;"
       "float*:f-0.5;list*:[i1,[u2,[]],{}];nested*:{inner*:{deeper*:[T];};};"
       "signed*:i-9223372036854775808;string*:6'h\xC3\xA9llo'/6;true*:T;"
       "unsigned*:u18446744073709551615;}"},
  };
  for (const auto& [value, registry, expected] : cases) {
    HostValue out;
    ASSERT_TRUE(ToHostValue(value, registry, out)) << expected;
    EXPECT_EQ(DescribeHost(out), expected);
    if (out.kind == HOST_VALUE_COLLECTION && expected.find("'text'") != std::string::npos) {
      // Owned copies, and never a null pointer, even for empty texts, blobs and arrays.
      const HostValue* items = out.payload.collection.items;
      const void* pointers[] = {items[0].payload.string.text, items[2].payload.string.text,
                                items[3].payload.blob.bytes, items[4].payload.collection.items,
                                items[5].payload.structure.entries};
      EXPECT_NE(pointers[0], value.At(0).GetString().data());
      for (const void* pointer : pointers)
        EXPECT_NE(pointer, nullptr);
    }
    ReleaseHostValue(out);
  }
  EXPECT_EQ(KeysWithNuls().Size(), 6u) << "the value keeps the keys apart";
}

TEST(HostValueTest, FromHostValueReadsEachKindAndRefusesBadInput) {
  static const char kAbNulC[] = {'a', 'b', '\0', 'c', '\0'};
  static const uint8_t kBytes[] = {0, 1, 0, 2};
  HostValue one = Signed(1);
  HostValue two[] = {Signed(1), Signed(2)};
  HostValueEntry renewed[] = {Entry("new", Signed(1))};
  HostValueEntry scalars[] = {
      Entry("b", Host(1, [](HostValue& v) { v.payload.boolean = 1; })),
      Entry("u", Host(3, [](HostValue& v) { v.payload.unsignedValue = 7; })),
      Entry("f", Host(4, [](HostValue& v) { v.payload.floatValue = 2; }))};
  HostValue items[] = {Signed(1), Host(11), Signed(3)};
  HostValueEntry last[] = {Entry("k", Signed(1)), Entry("j", Signed(2)),
                           Entry("k", Text(5, "last", 4)), Entry(nullptr, Signed(3))};
  HostValueEntry bad[] = {Entry("a", Signed(1)), Entry("b", Host(0xFFFFFFFFu)),
                          Entry("c", Signed(3))};
  const std::string badKind =
      "Couldn't assign value to 'x' of type object because the input is of an incompatible type "
      "''.";
  const std::string nullData = "Couldn't assign value to 'x' because the input ";
  const struct {
    const char* name;
    HostValue in;
    std::string expected;
    const char* previous = "'previous'";
  } cases[] = {
      {"empty", Host(HOST_VALUE_EMPTY), "~"},
      {"an earlier collection is replaced", Collection(two, 2), "[i1,i2]", "[i9,i9,i9,i9,i9]"},
      {"an earlier structure is replaced", Structure(renewed, 1), "{new:i1;}", "{old:i9;}"},
      {"false", Host(HOST_VALUE_BOOL), "F"},
      {"any non-zero byte is true",
       Host(HOST_VALUE_BOOL, [](HostValue& v) { v.payload.boolean = 2; }), "T"},
      {"signed", Signed(-7), "i-7"},
      {"unsigned", Host(HOST_VALUE_UNSIGNED, [](HostValue& v) { v.payload.unsignedValue = 42; }),
       "u42"},
      {"float", Host(HOST_VALUE_FLOAT, [](HostValue& v) { v.payload.floatValue = 0.25; }), "f0.25"},
      {"text up to the first NUL, length unused", Text(5, kAbNulC, 4), "'ab'"},
      {"length shorter than the text", Text(6, "hello", 2), "'hello'"},
      {"null text is the empty string", Text(5, nullptr, 3), "''"},
      {"borrowed blob of size bytes",
       Host(7,
            [](HostValue& v) {
              v.payload.blob = {kBytes, 3};
            }),
       "b'000100'"},
      {"owned blob",
       Host(8,
            [](HostValue& v) {
              v.payload.blob = {kBytes, 4};
            }),
       "b'00010002'"},
      {"null blob of size 0", Host(HOST_VALUE_BLOB_OWNED), "b''"},
      {"empty collection", Collection(nullptr, 0), "[]"},
      {"empty structure", Structure(nullptr, 0), "{}"},
      {"scalars into new members", Structure(scalars, 3), "{b:T;f:f2;u:u7;}"},
      {"a repeated key keeps the last, a null key is the empty key", Structure(last, 4),
       "{:i3;j:i2;k:'last';}"},
      {"unknown kind in a collection", Collection(items, 3), "[i1,~] " + badKind},
      {"unknown kind in a structure", Structure(bad, 3), "{a:i1;b:~;} " + badKind},
      {"null blob", Host(7, [](HostValue& v) { v.payload.blob.size = 3; }),
       "'previous' " + nullData + "blob has a null pointer and a size of 3."},
      {"null collection", Collection(nullptr, 2),
       "'previous' " + nullData + "collection has a null pointer and a size of 2."},
      {"null structure", Structure(nullptr, 1),
       "'previous' " + nullData + "structure has a null pointer and a size of 1."},
      // Refused before a single item is read, so the one real item is enough.
      {"too many elements", Collection(&one, 0x10000000u),
       "'previous' " + nullData + "collection has 268435456 elements, more than 268435455."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FromHost(c.in, c.previous), c.expected) << c.name;
  BindingProperty value;
  ValueResult result;
  EXPECT_FALSE(FromHostValue(Structure(bad, 3), value, result, nullptr));
  EXPECT_EQ(result.ErrorMessage(),
            "Couldn't assign value to '' of type object because the input is "
            "of an incompatible type ''.")
      << "a null label is the empty label";
  result.SetError("earlier");
  EXPECT_FALSE(FromHostValue(Host(12), value, result, "x"));
  EXPECT_EQ(result.ErrorMessage(), "earlier") << "the first failure is kept";
}

// `levels` containers as a value, each holding the next as element 0 or member "k"; the
// innermost is empty.
BindingProperty NestedValue(bool structures, size_t levels) {
  std::string text = structures ? "{}" : "[]";
  for (size_t level = 1; level < levels; ++level)
    text = structures ? "{k:" + text + ";}" : "[" + text + "]";
  return Parse(text);
}

size_t Depth(const std::string& shape) {
  return static_cast<size_t>(
      std::count_if(shape.begin(), shape.end(), [](char c) { return c == '[' || c == '{'; }));
}

TEST(HostValueTest, BothDirectionsAcceptNestingUpTo512Containers) {
  const std::string tooDeep = "is nested too deeply.";
  for (const bool structures : {false, true}) {
    for (const size_t levels : {size_t{512}, size_t{513}, size_t{100000}}) {
      const bool ok = levels <= 512;
      // From: `levels` containers each holding the next, the innermost holding one empty value.
      std::vector<HostValue> items(levels + 1);
      std::vector<HostValueEntry> entries(levels);
      for (size_t i = levels; i-- > 0;) {
        entries[i] = Entry("k", items[i + 1]);
        items[i] = structures ? Structure(&entries[i], 1) : Collection(&items[i + 1], 1);
      }
      BindingProperty read;
      ValueResult result;
      EXPECT_EQ(FromHostValue(items[0], read, result, "deep"), ok) << levels;
      EXPECT_EQ(std::string(result.ErrorMessage()),
                ok ? "" : "Couldn't assign value to 'deep' because the input " + tooDeep);
      EXPECT_EQ(Depth(Shape(read)), 512u) << "a partial value stops above the refused level";
      if (levels > 513) continue;
      const BindingProperty value = NestedValue(structures, levels);
      for (const bool withResult : {false, true}) {
        HostValue out;
        std::memset(&out, 0xA5, sizeof(out));
        ValueResult toResult;
        EXPECT_EQ(withResult ? ToHostValue(value, nullptr, out, toResult)
                             : ToHostValue(value, nullptr, out),
                  ok);
        EXPECT_EQ(AllZero(out) ? 0 : Depth(FromHost(out)), ok ? levels : 0);
        EXPECT_EQ(std::string(toResult.ErrorMessage()),
                  ok || !withResult
                      ? ""
                      : "Couldn't convert value to a host value because it " + tooDeep);
        ReleaseHostValue(out);
      }
    }
  }
  ValueResult earlier = ValueResult::Error("earlier");
  HostValue out;
  EXPECT_FALSE(ToHostValue(NestedValue(false, 513), nullptr, out, earlier));
  EXPECT_EQ(earlier.ErrorMessage(), "earlier") << "the first failure is kept";
}

TEST(HostValueTest, ReleaseLeavesBorrowedMemoryAloneAndZeroesTheValue) {
  static char text[] = "borrowed";
  static uint8_t bytes[] = {1, 2};
  HostValue values[] = {Text(HOST_VALUE_STRING_BORROWED, text, 8),
                        Host(HOST_VALUE_BLOB_BORROWED,
                             [](HostValue& v) {
                               v.payload.blob = {bytes, 2};
                             }),
                        Signed(4), Host(99)};
  for (HostValue& value : values) {
    ReleaseHostValue(value);
    EXPECT_TRUE(AllZero(value)) << DescribeHost(value);
  }
  EXPECT_STREQ(text, "borrowed");
}

// Allocation hooks that fail once `budget` allocations succeeded; they count live blocks.
class HostValueAllocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Log::GetAllocationHooks();
    Log::SetAllocationHooks(
        {.allocate = &Allocate, .free = &Free, .duplicate = &Duplicate, .context = this});
  }
  void TearDown() override { Log::SetAllocationHooks(saved_); }

  static void* Allocate(size_t size, void* context) {
    auto& self = *static_cast<HostValueAllocationTest*>(context);
    if (self.calls++ >= self.budget) return nullptr;
    ++self.live;
    return std::malloc(size);
  }
  static char* Duplicate(const char* text, void* context) {
    auto* copy = static_cast<char*>(Allocate(std::strlen(text) + 1, context));
    return copy != nullptr ? std::strcpy(copy, text) : nullptr;
  }
  static void Free(void* block, void* context) {
    static_cast<HostValueAllocationTest*>(context)->live -= block != nullptr ? 1 : 0;
    std::free(block);
  }

  size_t budget = std::numeric_limits<size_t>::max();
  size_t calls = 0;
  int64_t live = 0;
  Log::AllocationHooks saved_;
};

TEST_F(HostValueAllocationTest, ReleaseFreesOwnedKeysOnlyAndHandlesAnyDepth) {
  // 100,000 levels alternating collection and structure, every level holding a leaf beside
  // the next level, and structure keys alternately owned and borrowed.
  constexpr size_t kLevels = 100000;
  HostValue root = Host(HOST_VALUE_EMPTY);
  HostValue* slot = &root;
  for (size_t level = 0; level < kLevels; ++level) {
    if (level % 2 == 0) {
      auto* items = static_cast<HostValue*>(Log::Allocate(2 * sizeof(HostValue)));
      std::memset(items, 0, 2 * sizeof(HostValue));
      items[0] = Text(HOST_VALUE_STRING_OWNED, Log::DuplicateString("leaf"), 4);
      *slot = Collection(items, 2);
      slot = &items[1];
    } else {
      auto* entries = static_cast<HostValueEntry*>(Log::Allocate(2 * sizeof(HostValueEntry)));
      const bool owned = level % 4 == 1;
      entries[0] = Entry(owned ? Log::DuplicateString("next") : "next", Host(0), owned);
      entries[1] = Entry("leaf", Signed(1));
      *slot = Structure(entries, 2);
      slot = &entries[0].value;
    }
  }
  EXPECT_EQ(live, int64_t{kLevels + kLevels / 2 + kLevels / 4});
  ReleaseHostValue(root);
  EXPECT_EQ(live, 0);
  EXPECT_TRUE(AllZero(root));
}

TEST_F(HostValueAllocationTest, AFailedAllocationAnywhereLeaksNothingAndLeavesOutZero) {
  BindingRegistry registry;
  registry.BeginType(sizeof(Mood), "Mood", TypeIdOf<Mood>(), true).AddEnumValue("Angry", -3, "");
  BindingProperty everyKind = Parse(kEveryKind);
  everyKind.Get("list").At(3).SetEnum(-3, TypeIdOf<Mood>());
  // Of the merged keys, the entries, three keys and the text "kept": nothing of the dropped.
  for (const auto& [value, needed] :
       {std::pair<BindingProperty, size_t>{everyKind, 0}, {KeysWithNuls(), 5}}) {
    budget = std::numeric_limits<size_t>::max();
    calls = 0;
    HostValue out;
    ASSERT_TRUE(ToHostValue(value, &registry, out));
    const size_t all = calls;
    EXPECT_TRUE(needed == 0 ? all > 20 : all == needed) << all;
    ReleaseHostValue(out);
    EXPECT_EQ(live, 0);
    for (budget = 0; budget < all; ++budget) {
      calls = 0;
      std::memset(&out, 0xA5, sizeof(out));
      ValueResult result;
      EXPECT_FALSE(ToHostValue(value, &registry, out, result)) << budget;
      EXPECT_EQ(result.ErrorMessage(),
                "Couldn't convert value to a host value because memory ran out.");
      EXPECT_EQ(live, 0) << "after failing allocation " << budget;
      EXPECT_TRUE(AllZero(out)) << budget;
    }
  }
  // Too deep: the 512 levels above the refused one were built (an array and a key each) and
  // freed again.
  budget = std::numeric_limits<size_t>::max();
  calls = 0;
  HostValue out;
  EXPECT_FALSE(ToHostValue(NestedValue(true, 513), nullptr, out));
  EXPECT_EQ(calls, 1024u);
  EXPECT_EQ(live, 0);
}

}  // namespace
}  // namespace Oxle::Client::Binding
