#include "binding/types/host_value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "binding/types/type_identity.h"
#include "log/allocation_hooks.h"
#include "support/value_shape.h"

namespace Oxle::Client::Binding {
namespace {

enum class Mood : int32_t { Calm = 1, Angry = -3 };
enum class Unregistered : int32_t { Any = 5 };

// A compact, exact picture of a HostValue: kinds, payloads, order; an owned key is marked
// with "*".
std::string DescribeHost(const HostValue& value) {
  const uint32_t kind = value.kind;
  switch (kind) {
    case HOST_VALUE_EMPTY:
      return "empty";
    case HOST_VALUE_BOOL:
      return "bool:" + std::to_string(value.payload.boolean);
    case HOST_VALUE_SIGNED:
      return "signed:" + std::to_string(static_cast<long long>(value.payload.signedValue));
    case HOST_VALUE_UNSIGNED:
      return "unsigned:" +
             std::to_string(static_cast<unsigned long long>(value.payload.unsignedValue));
    case HOST_VALUE_FLOAT: {
      char digits[32];
      std::snprintf(digits, sizeof digits, "%.17g", value.payload.floatValue);
      return "float:" + std::string(digits);
    }
    case HOST_VALUE_STRING_BORROWED:
    case HOST_VALUE_STRING_OWNED: {
      const char* text = value.payload.string.text;
      return "string" + std::to_string(kind) + ":" + (text != nullptr ? text : "(null)") + "/" +
             std::to_string(value.payload.string.length);
    }
    case HOST_VALUE_BLOB_BORROWED:
    case HOST_VALUE_BLOB_OWNED: {
      std::string text = "blob" + std::to_string(kind) + ":";
      for (uint32_t i = 0; i < value.payload.blob.size; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", value.payload.blob.bytes[i]);
        text += hex;
      }
      return text;
    }
    case HOST_VALUE_COLLECTION: {
      std::string text = "[";
      for (uint32_t i = 0; i < value.payload.collection.count; ++i) {
        if (i != 0) text += ",";
        text += DescribeHost(value.payload.collection.items[i]);
      }
      return text + "]";
    }
    case HOST_VALUE_STRUCTURE: {
      std::string text = "{";
      for (uint32_t i = 0; i < value.payload.structure.count; ++i) {
        const HostValueEntry& entry = value.payload.structure.entries[i];
        if (i != 0) text += ",";
        text += std::string(entry.key) + (entry.keyOwned != 0 ? "*" : "") + ":" +
                DescribeHost(entry.value);
      }
      return text + "}";
    }
    default:
      return "kind" + std::to_string(kind);
  }
}

bool AllZero(const HostValue& value) {
  HostValue zero;
  std::memset(&zero, 0, sizeof(zero));
  return std::memcmp(&value, &zero, sizeof(value)) == 0;
}

HostValue Scalar(uint32_t kind) {
  HostValue value;
  std::memset(&value, 0, sizeof(value));
  value.kind = kind;
  return value;
}

HostValue Signed(int64_t number) {
  HostValue value = Scalar(HOST_VALUE_SIGNED);
  value.payload.signedValue = number;
  return value;
}

HostValue Text(uint32_t kind, const char* text, uint32_t length) {
  HostValue value = Scalar(kind);
  value.payload.string.text = text;
  value.payload.string.length = length;
  return value;
}

HostValue Collection(HostValue* items, uint32_t count) {
  HostValue value = Scalar(HOST_VALUE_COLLECTION);
  value.payload.collection.items = items;
  value.payload.collection.count = count;
  return value;
}

HostValue Structure(HostValueEntry* entries, uint32_t count) {
  HostValue value = Scalar(HOST_VALUE_STRUCTURE);
  value.payload.structure.entries = entries;
  value.payload.structure.count = count;
  return value;
}

HostValueEntry Entry(const char* key, const HostValue& value) {
  HostValueEntry entry;
  std::memset(&entry, 0, sizeof(entry));
  entry.key = key;
  entry.value = value;
  return entry;
}

// A value with every kind that survives a round trip unchanged, nested both ways.
BindingProperty EveryKind() {
  BindingProperty value;
  value.Get("empty");
  value.Get("true").SetBool(true);
  value.Get("false").SetBool(false);
  value.Get("signed").SetSigned(std::numeric_limits<int64_t>::min());
  value.Get("unsigned").SetUnsigned(std::numeric_limits<uint64_t>::max());
  value.Get("float").SetFloat(-0.5);
  value.Get("string").SetString("h\xC3\xA9llo");
  value.Get("emptyString").SetString("");
  const uint8_t bytes[] = {0, 0, 255, 0};
  value.Get("blob").SetBlob(std::span<const uint8_t>(bytes));
  value.Get("emptyBlob").SetBlob(std::span<const uint8_t>());
  BindingProperty& list = value.Get("list");
  list.At(0).SetSigned(1);
  list.At(1).At(0).SetUnsigned(2);
  list.At(1).At(1).MakeCollection();
  list.At(2).MakeStructure();
  value.Get("nested").Get("inner").Get("deeper").At(0).SetBool(true);
  value.Get("").SetString("empty key");
  return value;
}

TEST(HostValueTest, KindNamesCoverOneToTenOnly) {
  const std::vector<std::pair<uint32_t, std::string_view>> cases = {
      {0, ""}, {1, "bool"}, {10, "structure"}, {11, ""}};
  for (const auto& [kind, name] : cases)
    EXPECT_EQ(HostValueKindName(kind), name) << kind;
}

// Keys with a NUL inside, as a decoder may keep them: "", "\0x", "a", "a\0b", "a\0c", "b".
BindingProperty KeysWithNuls() {
  BindingProperty value;
  value.Get("").SetSigned(5);
  value.Get(std::string_view("\0x", 2)).SetSigned(4);
  value.Get("a").SetSigned(0);
  value.Get(std::string_view("a\0b", 3)).Get("inner").SetString("dropped");
  value.Get(std::string_view("a\0c", 3)).SetSigned(2);
  value.Get("b").SetString("kept");
  return value;
}

TEST(HostValueTest, ToHostValueSendsKeysEqualUpToTheirFirstNulAsOneEntry) {
  const BindingProperty value = KeysWithNuls();
  ASSERT_EQ(value.Size(), 6u) << "the value keeps the keys apart";
  HostValue out;
  ASSERT_TRUE(ToHostValue(value, nullptr, out));
  // Of keys equal up to their NUL, the last in key order is sent, under the shared key.
  EXPECT_EQ(DescribeHost(out), "{*:signed:4,a*:signed:2,b*:string6:kept/4}");
  BindingProperty back;
  ValueResult result;
  ASSERT_TRUE(FromHostValue(out, back, result, "x"));
  EXPECT_EQ(Shape(back), "{:i4;a:i2;b:'kept';}");
  ReleaseHostValue(out);

  // Nested, and with the run at the end of the structure.
  BindingProperty nested;
  nested.At(0).Get("k").SetSigned(1);
  nested.At(0).Get(std::string_view("k\0\0", 3)).SetSigned(2);
  ASSERT_TRUE(ToHostValue(nested, nullptr, out));
  EXPECT_EQ(DescribeHost(out), "[{k*:signed:2}]");
  ReleaseHostValue(out);
}

TEST(HostValueTest, ToHostValueCopiesTextsUpToTheirNulAndBlobsAndNeverGivesNullPointers) {
  BindingProperty value;
  value.At(0).SetString("text");
  const uint8_t bytes[] = {0, 7, 0};
  value.At(1).SetBlob(std::span<const uint8_t>(bytes));
  value.At(2).SetString("");
  value.At(3).SetBlob(std::span<const uint8_t>());
  value.At(4).MakeCollection();
  value.At(5).MakeStructure();
  value.At(6).SetString(std::string_view("ab\0c", 4));
  HostValue out;
  ASSERT_TRUE(ToHostValue(value, nullptr, out));
  EXPECT_EQ(DescribeHost(out),
            "[string6:text/4,blob8:000700,string6:/0,blob8:,[],{},string6:ab/2]");
  const HostValue* items = out.payload.collection.items;
  // Packed fields are copied out before the comparisons take them by reference.
  const void* pointers[] = {items[0].payload.string.text, items[2].payload.string.text,
                            items[3].payload.blob.bytes, items[4].payload.collection.items,
                            items[5].payload.structure.entries};
  EXPECT_NE(pointers[0], value.At(0).GetString().data()) << "an owned copy";
  for (const void* pointer : pointers)
    EXPECT_NE(pointer, nullptr);
  ReleaseHostValue(out);
}

TEST(HostValueTest, ToHostValueSendsEnumsByRegisteredNameElseSignExtended) {
  BindingRegistry registry;
  registry.BeginType(sizeof(Mood), "Mood", TypeIdOf<Mood>(), true)
      .AddEnumValue("Calm", 1, "")
      .AddEnumValue("Angry", -3, "");
  struct Case {
    const char* name;
    int32_t enumerator;
    const TypeId* type;
    const BindingRegistry* registry;
    std::string expected;
  };
  const Case cases[] = {
      {"named", -3, &TypeIdOf<Mood>(), &registry, "string6:Angry/5"},
      {"no registry", -3, &TypeIdOf<Mood>(), nullptr, "signed:-3"},
      {"value without a name", 7, &TypeIdOf<Mood>(), &registry, "signed:7"},
      {"type not registered", 5, &TypeIdOf<Unregistered>(), &registry, "signed:5"},
  };
  for (const Case& test : cases) {
    BindingProperty value;
    value.SetEnum(test.enumerator, *test.type);
    HostValue out;
    ASSERT_TRUE(ToHostValue(value, test.registry, out)) << test.name;
    EXPECT_EQ(DescribeHost(out), test.expected) << test.name;
    ReleaseHostValue(out);
  }
}

TEST(HostValueTest, EveryKindSurvivesARoundTrip) {
  const BindingProperty original = EveryKind();
  HostValue host;
  ASSERT_TRUE(ToHostValue(original, nullptr, host));
  BindingProperty copy;
  ValueResult result;
  ASSERT_TRUE(FromHostValue(host, copy, result, "value"));
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(Shape(copy), Shape(original));
  EXPECT_EQ(Shape(copy),
            "{:'empty key';blob:b'0000ff00';empty:~;emptyBlob:b'';emptyString:'';false:F;"
            "float:f-0.5;list:[i1,[u2,[]],{}];nested:{inner:{deeper:[T];};};"
            "signed:i-9223372036854775808;string:'h\xC3\xA9llo';true:T;"
            "unsigned:u18446744073709551615;}");
  ReleaseHostValue(host);
}

TEST(HostValueTest, FromHostValueReadsEachKind) {
  static const char kAbNulC[] = {'a', 'b', '\0', 'c', '\0'};
  static const uint8_t kBytes[] = {0, 1, 0, 2};
  HostValue truthy = Scalar(HOST_VALUE_BOOL);
  truthy.payload.boolean = 2;
  HostValue unsignedValue = Scalar(HOST_VALUE_UNSIGNED);
  unsignedValue.payload.unsignedValue = 42;
  HostValue floatValue = Scalar(HOST_VALUE_FLOAT);
  floatValue.payload.floatValue = 0.25;
  HostValue borrowedBlob = Scalar(HOST_VALUE_BLOB_BORROWED);
  borrowedBlob.payload.blob.bytes = kBytes;
  borrowedBlob.payload.blob.size = 3;  // only the first three bytes
  HostValue ownedBlob = borrowedBlob;
  ownedBlob.kind = HOST_VALUE_BLOB_OWNED;
  ownedBlob.payload.blob.size = 4;
  HostValue nullBlob = Scalar(HOST_VALUE_BLOB_OWNED);
  struct Case {
    const char* name;
    HostValue in;
    std::string expected;
  };
  const Case cases[] = {
      {"false", Scalar(HOST_VALUE_BOOL), "F"},
      {"any non-zero byte is true", truthy, "T"},
      {"signed", Signed(-7), "i-7"},
      {"unsigned", unsignedValue, "u42"},
      {"float", floatValue, "f0.25"},
      {"text up to the first NUL, length unused", Text(5, kAbNulC, 4), "'ab'"},
      {"length shorter than the text", Text(6, "hello", 2), "'hello'"},
      {"null text is the empty string", Text(5, nullptr, 3), "''"},
      {"borrowed blob of size bytes", borrowedBlob, "b'000100'"},
      {"owned blob", ownedBlob, "b'00010002'"},
      {"null blob of size 0", nullBlob, "b''"},
      {"empty collection", Collection(nullptr, 0), "[]"},
  };
  for (const Case& test : cases) {
    BindingProperty value;
    value.SetString("previous");
    ValueResult result;
    EXPECT_TRUE(FromHostValue(test.in, value, result, "x")) << test.name;
    EXPECT_TRUE(result.Ok()) << test.name;
    EXPECT_EQ(Shape(value), test.expected) << test.name;
  }
}

TEST(HostValueTest, FromHostValueStructureKeepsTheLastOfARepeatedKey) {
  HostValueEntry entries[] = {Entry("k", Signed(1)), Entry("j", Signed(2)),
                              Entry("k", Text(5, "last", 4)), Entry(nullptr, Signed(3))};
  BindingProperty value;
  ValueResult result;
  ASSERT_TRUE(FromHostValue(Structure(entries, 4), value, result, "x"));
  EXPECT_EQ(Shape(value), "{:i3;j:i2;k:'last';}") << "a null key is the empty key";
}

TEST(HostValueTest, FromHostValueReplacesAnEarlierContainer) {
  BindingProperty value;
  for (size_t i = 0; i < 5; ++i)
    value.At(i).SetSigned(9);
  HostValue items[] = {Signed(1), Signed(2)};
  ValueResult result;
  ASSERT_TRUE(FromHostValue(Collection(items, 2), value, result, "x"));
  EXPECT_EQ(Shape(value), "[i1,i2]");

  value.Get("old").SetSigned(9);
  HostValueEntry entries[] = {Entry("new", Signed(1))};
  ASSERT_TRUE(FromHostValue(Structure(entries, 1), value, result, "x"));
  EXPECT_EQ(Shape(value), "{new:i1;}");
}

TEST(HostValueTest, FromHostValueRejectsUnknownKindsAndKeepsThePartialValue) {
  HostValue items[] = {Signed(1), Scalar(11), Signed(3)};
  BindingProperty value;
  ValueResult result;
  EXPECT_FALSE(FromHostValue(Collection(items, 3), value, result, "payload"));
  EXPECT_EQ(result.ErrorMessage(),
            "Couldn't assign value to 'payload' of type object because the input is of an "
            "incompatible type ''.");
  EXPECT_EQ(Shape(value), "[i1,~]");

  HostValueEntry entries[] = {Entry("a", Signed(1)), Entry("b", Scalar(0xFFFFFFFFu)),
                              Entry("c", Signed(3))};
  BindingProperty structure;
  ValueResult structureResult;
  EXPECT_FALSE(FromHostValue(Structure(entries, 3), structure, structureResult, nullptr));
  EXPECT_EQ(structureResult.ErrorMessage(),
            "Couldn't assign value to '' of type object because the input is of an incompatible "
            "type ''.");
  EXPECT_EQ(Shape(structure), "{a:i1;b:~;}");
}

TEST(HostValueTest, FromHostValueRejectsNullDataAndOversizedCollections) {
  HostValue nullBlob = Scalar(HOST_VALUE_BLOB_BORROWED);
  nullBlob.payload.blob.size = 3;
  HostValue one = Signed(1);
  struct Case {
    const char* name;
    HostValue in;
    std::string message;
  };
  const Case cases[] = {
      {"blob", nullBlob,
       "Couldn't assign value to 'arg' because the input blob has a null pointer and a size of "
       "3."},
      {"collection", Collection(nullptr, 2),
       "Couldn't assign value to 'arg' because the input collection has a null pointer and a "
       "size of 2."},
      {"structure", Structure(nullptr, 1),
       "Couldn't assign value to 'arg' because the input structure has a null pointer and a "
       "size of 1."},
      // Refused before a single item is read, so the one real item is enough.
      {"too many elements", Collection(&one, 0x10000000u),
       "Couldn't assign value to 'arg' because the input collection has 268435456 elements, "
       "more than 268435455."},
  };
  for (const Case& test : cases) {
    BindingProperty value;
    ValueResult result;
    EXPECT_FALSE(FromHostValue(test.in, value, result, "arg")) << test.name;
    EXPECT_EQ(result.ErrorMessage(), test.message) << test.name;
  }
}

TEST(HostValueTest, FromHostValueKeepsTheFirstFailure) {
  ValueResult result;
  result.SetError("earlier");
  BindingProperty value;
  EXPECT_FALSE(FromHostValue(Scalar(12), value, result, "x"));
  EXPECT_EQ(result.ErrorMessage(), "earlier");
}

// `levels` containers, each holding the next; the innermost is empty.
class NestedHostValue {
 public:
  NestedHostValue(uint32_t kind, size_t levels) : items_(levels), entries_(levels) {
    HostValue* slot = &root_;
    for (size_t level = 0; level < levels; ++level) {
      const bool last = level + 1 == levels;
      if (kind == HOST_VALUE_COLLECTION) {
        *slot = Collection(last ? nullptr : &items_[level], last ? 0 : 1);
        slot = &items_[level];
      } else {
        entries_[level].key = "k";
        *slot = Structure(last ? nullptr : &entries_[level], last ? 0 : 1);
        slot = &entries_[level].value;
      }
    }
  }
  [[nodiscard]] const HostValue& Root() const { return root_; }

 private:
  HostValue root_{};
  std::vector<HostValue> items_;
  std::vector<HostValueEntry> entries_;
};

size_t DepthOf(const BindingProperty& value) {
  size_t depth = 0;
  const BindingProperty* current = &value;
  while (current->Kind() == ValueKind::Collection || current->Kind() == ValueKind::Structure) {
    ++depth;
    current = current->Kind() == ValueKind::Collection ? &current->At(0) : &current->Get("k");
  }
  return depth;
}

TEST(HostValueTest, FromHostValueAcceptsNestingUpTo512Containers) {
  for (uint32_t kind : {HOST_VALUE_COLLECTION, HOST_VALUE_STRUCTURE}) {
    struct Case {
      size_t levels;
      bool ok;
    };
    for (const Case test : {Case{512, true}, Case{513, false}, Case{100000, false}}) {
      const NestedHostValue nested(kind, test.levels);
      BindingProperty value;
      ValueResult result;
      EXPECT_EQ(FromHostValue(nested.Root(), value, result, "deep"), test.ok)
          << kind << " " << test.levels;
      if (test.ok) {
        EXPECT_TRUE(result.Ok());
        EXPECT_EQ(DepthOf(value), 512u);
      } else {
        EXPECT_EQ(result.ErrorMessage(),
                  "Couldn't assign value to 'deep' because the input is nested too deeply.");
        EXPECT_EQ(DepthOf(value), 512u) << "the partial value stops above the refused level";
      }
    }
  }
}

// `levels` containers as a value, each holding the next as element 0 or member "k"; the
// innermost is empty.
BindingProperty NestedValue(bool structures, size_t levels) {
  BindingProperty value;
  BindingProperty* slot = &value;
  for (size_t level = 0; level + 1 < levels; ++level)
    slot = structures ? &slot->Get("k") : &slot->At(0);
  if (structures) {
    slot->MakeStructure();
  } else {
    slot->MakeCollection();
  }
  return value;
}

size_t DepthOfHost(const HostValue& value) {
  size_t depth = 0;
  const HostValue* current = &value;
  while (current->kind == HOST_VALUE_COLLECTION || current->kind == HOST_VALUE_STRUCTURE) {
    ++depth;
    if (current->kind == HOST_VALUE_COLLECTION) {
      if (current->payload.collection.count == 0) break;
      current = &current->payload.collection.items[0];
    } else {
      if (current->payload.structure.count == 0) break;
      current = &current->payload.structure.entries[0].value;
    }
  }
  return depth;
}

TEST(HostValueTest, ToHostValueAcceptsNestingUpTo512Containers) {
  for (const bool structures : {false, true}) {
    for (const size_t levels : {size_t{512}, size_t{513}, size_t{601}}) {
      const std::string name =
          (structures ? "structures " : "collections ") + std::to_string(levels);
      const BindingProperty value = NestedValue(structures, levels);
      const bool ok = levels <= 512;
      HostValue out;
      std::memset(&out, 0xA5, sizeof(out));
      EXPECT_EQ(ToHostValue(value, nullptr, out), ok) << name;
      EXPECT_EQ(DepthOfHost(out), ok ? levels : 0u) << name;
      EXPECT_EQ(AllZero(out), !ok) << name;
      ReleaseHostValue(out);

      ValueResult result;
      std::memset(&out, 0xA5, sizeof(out));
      EXPECT_EQ(ToHostValue(value, nullptr, out, result), ok) << name;
      EXPECT_EQ(std::string(result.ErrorMessage()),
                ok ? "" : "Couldn't convert value to a host value because it is nested too deeply.")
          << name;
      EXPECT_EQ(AllZero(out), !ok) << name;
      ReleaseHostValue(out);
    }
  }
}

TEST(HostValueTest, ToHostValueKeepsAnEarlierFailure) {
  ValueResult result;
  result.SetError("earlier");
  HostValue out;
  EXPECT_FALSE(ToHostValue(NestedValue(false, 513), nullptr, out, result));
  EXPECT_EQ(result.ErrorMessage(), "earlier");
}

TEST(HostValueTest, ReleaseLeavesBorrowedMemoryAloneAndZeroesTheValue) {
  static char text[] = "borrowed";
  static uint8_t bytes[] = {1, 2};
  HostValue blob = Scalar(HOST_VALUE_BLOB_BORROWED);
  blob.payload.blob.bytes = bytes;
  blob.payload.blob.size = 2;
  HostValue values[] = {Text(HOST_VALUE_STRING_BORROWED, text, 8), blob, Signed(4), Scalar(99)};
  for (HostValue& value : values) {
    ReleaseHostValue(value);
    EXPECT_TRUE(AllZero(value)) << DescribeHost(value);
  }
  EXPECT_STREQ(text, "borrowed");
}

class HostValueTrackingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Log::GetAllocationHooks();
    Log::InstallAllocationTracking();
  }
  void TearDown() override { Log::SetAllocationHooks(saved_); }

  Log::AllocationHooks saved_;
};

Log::AllocationCounters Delta(const Log::AllocationCounters& before,
                              const Log::AllocationCounters& after) {
  Log::AllocationCounters delta;
  delta.allocations = after.allocations - before.allocations;
  delta.frees = after.frees - before.frees;
  delta.bytesAllocated = after.bytesAllocated - before.bytesAllocated;
  delta.bytesFreed = after.bytesFreed - before.bytesFreed;
  return delta;
}

TEST_F(HostValueTrackingTest, ReleaseFreesOwnedKeysOnlyAndHandlesAnyDepth) {
  const Log::AllocationCounters before = Log::ReadAllocationCounters();
  // 100,000 levels alternating collection and structure, every level holding a leaf beside
  // the next level, and structure keys alternately owned and borrowed.
  constexpr size_t kLevels = 100000;
  HostValue root;
  std::memset(&root, 0, sizeof(root));
  HostValue* slot = &root;
  for (size_t level = 0; level < kLevels; ++level) {
    if (level % 2 == 0) {
      auto* items = static_cast<HostValue*>(Log::Allocate(2 * sizeof(HostValue)));
      ASSERT_NE(items, nullptr);
      std::memset(items, 0, 2 * sizeof(HostValue));
      items[0] = Text(HOST_VALUE_STRING_OWNED, Log::DuplicateString("leaf"), 4);
      *slot = Collection(items, 2);
      slot = &items[1];
    } else {
      auto* entries = static_cast<HostValueEntry*>(Log::Allocate(2 * sizeof(HostValueEntry)));
      ASSERT_NE(entries, nullptr);
      const bool owned = level % 4 == 1;
      entries[0] = Entry(owned ? Log::DuplicateString("next") : "next", Scalar(0));
      entries[0].keyOwned = owned ? 1 : 0;
      entries[1] = Entry("leaf", Signed(1));
      *slot = Structure(entries, 2);
      slot = &entries[0].value;
    }
  }
  const Log::AllocationCounters built = Delta(before, Log::ReadAllocationCounters());
  EXPECT_EQ(built.allocations, kLevels + kLevels / 2 + kLevels / 4);
  ReleaseHostValue(root);
  const Log::AllocationCounters total = Delta(before, Log::ReadAllocationCounters());
  EXPECT_EQ(total.frees, total.allocations);
  EXPECT_EQ(total.bytesFreed, total.bytesAllocated);
  EXPECT_TRUE(AllZero(root));
}

// Hooks whose allocations fail once `budget` of them succeeded; counts live blocks.
struct FailingAllocator {
  size_t budget = 0;
  size_t calls = 0;
  int64_t live = 0;

  static void* Allocate(size_t size, void* context) {
    auto& self = *static_cast<FailingAllocator*>(context);
    if (self.calls++ >= self.budget) return nullptr;
    void* block = std::malloc(size);
    if (block != nullptr) ++self.live;
    return block;
  }
  static char* Duplicate(const char* text, void* context) {
    const size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(Allocate(size, context));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
  }
  static void Free(void* block, void* context) {
    if (block == nullptr) return;
    --static_cast<FailingAllocator*>(context)->live;
    std::free(block);
  }
  [[nodiscard]] Log::AllocationHooks Hooks() {
    Log::AllocationHooks hooks;
    hooks.allocate = &FailingAllocator::Allocate;
    hooks.duplicate = &FailingAllocator::Duplicate;
    hooks.free = &FailingAllocator::Free;
    hooks.context = this;
    return hooks;
  }
};

TEST_F(HostValueTrackingTest, AFailedAllocationAnywhereLeaksNothingAndLeavesOutZero) {
  BindingRegistry registry;
  registry.BeginType(sizeof(Mood), "Mood", TypeIdOf<Mood>(), true).AddEnumValue("Angry", -3, "");
  BindingProperty value = EveryKind();
  value.Get("list").At(3).SetEnum(-3, TypeIdOf<Mood>());

  FailingAllocator allocator;
  allocator.budget = std::numeric_limits<size_t>::max();
  Log::SetAllocationHooks(allocator.Hooks());
  HostValue out;
  ASSERT_TRUE(ToHostValue(value, &registry, out));
  const size_t needed = allocator.calls;
  ReleaseHostValue(out);
  EXPECT_EQ(allocator.live, 0);
  ASSERT_GT(needed, 20u);

  for (size_t budget = 0; budget < needed; ++budget) {
    allocator.budget = budget;
    allocator.calls = 0;
    std::memset(&out, 0xA5, sizeof(out));
    EXPECT_FALSE(ToHostValue(value, &registry, out)) << budget;
    EXPECT_EQ(allocator.live, 0) << "after failing allocation " << budget;
    EXPECT_TRUE(AllZero(out)) << budget;
  }
  allocator.budget = needed;
  allocator.calls = 0;
  ASSERT_TRUE(ToHostValue(value, &registry, out));
  ReleaseHostValue(out);
  EXPECT_EQ(allocator.live, 0);
}

TEST_F(HostValueTrackingTest, ATooDeepValueLeaksNothing) {
  const BindingProperty value = NestedValue(true, 513);
  const Log::AllocationCounters before = Log::ReadAllocationCounters();
  HostValue out;
  ValueResult result;
  EXPECT_FALSE(ToHostValue(value, nullptr, out, result));
  const Log::AllocationCounters total = Delta(before, Log::ReadAllocationCounters());
  // The 512 levels above the refused one were built (an array and a key each) and freed again.
  EXPECT_EQ(total.allocations, 1024u);
  EXPECT_EQ(total.frees, total.allocations);
  EXPECT_EQ(total.bytesFreed, total.bytesAllocated);
}

TEST_F(HostValueTrackingTest, MergedKeysLeakNothingWhereverAnAllocationFails) {
  const BindingProperty value = KeysWithNuls();
  FailingAllocator allocator;
  allocator.budget = std::numeric_limits<size_t>::max();
  Log::SetAllocationHooks(allocator.Hooks());
  HostValue out;
  ASSERT_TRUE(ToHostValue(value, nullptr, out));
  // The entries, three keys and the text "kept": nothing of the dropped members.
  EXPECT_EQ(allocator.calls, 5u);
  ReleaseHostValue(out);
  EXPECT_EQ(allocator.live, 0);
  for (size_t budget = 0; budget < 5; ++budget) {
    allocator.budget = budget;
    allocator.calls = 0;
    ValueResult result;
    EXPECT_FALSE(ToHostValue(value, nullptr, out, result)) << budget;
    EXPECT_EQ(result.ErrorMessage(),
              "Couldn't convert value to a host value because memory ran out.")
        << budget;
    EXPECT_EQ(allocator.live, 0) << budget;
    EXPECT_TRUE(AllZero(out)) << budget;
  }
}

}  // namespace
}  // namespace Oxle::Client::Binding
