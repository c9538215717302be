#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "binding/value/binding_property.h"
#include "binding/value/interned_string.h"
#include "binding/value/slab_allocator.h"
#include "binding/value/value_context.h"
#include "binding/value/value_result.h"
#include "binding/value/value_storage.h"
#include "platform/page_source.h"
#include "support/binding_values.h"
#include "support/small_stack.h"

namespace Oxle::Client::Binding {
namespace {

// The shape with the sizes, indices and keys the walk hands to each call.
struct TraceVisitor : ShapeVisitor {
  void BeginCollection(size_t n) override { text += "[" + std::to_string(n) + ":"; }
  void BeginElement(size_t i) override { text += "<" + std::to_string(i); }
  void EndElement(size_t i) override { text += std::to_string(i) + ">"; }
  void BeginStructure(size_t n) override { text += "{" + std::to_string(n) + ":"; }
  void EndMember(std::string_view k) override { text += "/" + std::string(k) + ";"; }
};

const TypeId kColourType(0x12345678u);

TEST(BindingPropertyTest, StrictReadersNeverConvert) {
  const BindingProperty u = Parse("u3"), s = Parse("'abc'"), e = Parse("e4", &kColourType);
  EXPECT_EQ(std::to_string(u.GetSigned(7)) + std::to_string(u.GetUnsigned(7)) +
                std::to_string(u.GetFloat(1.5)) + std::to_string(u.GetBool(true)) +
                std::string(u.GetString("|fallback|")) + std::string(s.GetString("fallback")) +
                std::to_string(s.GetUnsigned(9)) + std::to_string(s.GetBlob().size()) +
                std::to_string(e.GetEnum().value) + std::to_string(e.GetSigned(-1)) +
                BindingProperty::KindName(static_cast<ValueKind>(10)),
            "731.5000001|fallback|abc904-1");
  EXPECT_EQ(e.GetEnum().type, &kColourType);
}

TEST(BindingPropertyTest, ToBoolToStringAndSizeFollowEachKind) {
  const std::tuple<const char*, bool, std::string, size_t> cases[] = {
      {"~", false, "", 0},
      {"'1'", true, "1", 1},
      {"'true'", true, "true", 4},
      {"'True'", false, "True", 4},
      {"fnan", true, "nan", 1},
      {"f-0", false, "-0.000000", 1},
      {"f2", true, "2.000000", 1},
      {"f-0.0000004", true, "-0.000000", 1},
      {"f1e22", true, "10000000000000000000000.000000", 1},
      {"i-1", true, "-1", 1},
      {"i-9223372036854775808", true, "-9223372036854775808", 1},
      {"u0", false, "0", 1},
      {"u18446744073709551615", true, "18446744073709551615", 1},
      {"T", true, "true", 1},
      {"F", false, "false", 1},
      {"e0", false, "0", 1},
      {"e-3", true, "-3", 1},
      // Base64 with each padding length, the two last letters of the alphabet and no bytes.
      {"b''", false, "", 0},
      {"b'00'", true, "AA==", 1},
      {"b'616263'", true, "YWJj", 3},
      {"b'6162'", true, "YWI=", 2},
      {"b'fbff'", true, "+/8=", 2},
      {"[]", false, "", 0},
      {"[~]", true, "", 1},
      {"{}", false, "", 0},
      {"{:~;}", true, "", 1},
  };
  for (const auto& [shape, truth, text, size] : cases) {
    const BindingProperty v = Parse(shape, &kColourType);
    EXPECT_EQ(std::tuple(v.ToBool(), v.ToString(), v.Size()), std::tuple(truth, text, size))
        << shape;
  }
  EXPECT_EQ(Parse("f-1.7976931348623157e308").ToString().size(), 1 + 309 + 7u)
      << "sign, 309 digits, point and 6 decimals";
}

TEST(BindingPropertyTest, MutableAccessGrowsOrKeepsTheKindAndConstAccessNeverDoes) {
  BindingProperty value = Parse("'replaced'");
  value.At(5).SetSigned(5);
  value.Append().SetString("last");
  value.MakeCollection();
  EXPECT_EQ(Shape(value), "[~,~,~,~,~,i5,'last']");
  EXPECT_FALSE(value.At(5).IsRoot());
  const BindingProperty& constant = value;
  EXPECT_EQ(constant.At(6).GetString(), value.Elements().back().GetString());
  const BindingProperty scalar = Parse("T");
  for (const BindingProperty* null : {&constant.At(7), &scalar.At(0), &scalar.Get("a")})
    EXPECT_EQ(null, &BindingProperty::Null());
  EXPECT_EQ(Shape(scalar), "T");
  value.MakeStructure();
  value.Get("k");
  value.MakeStructure();
  EXPECT_EQ(Shape(value), "{k:~;}");
  EXPECT_FALSE(value.Has("K") || scalar.Has("a"));
}

TEST(BindingPropertyTest, AppendTurnsAnyValueIntoACollectionFillsReservedRoomInPlaceUpToTheLimit) {
  BindingProperty value = Parse("'a text long enough to need a record of its own, not a slot'");
  value.Append().SetSigned(1);
  EXPECT_EQ(Shape(value), "[i1]");
  value.Reserve(100);
  const BindingProperty* first = &value.At(0);
  std::string expected = "[i1";
  for (int i = 2; i <= 100; ++i) {
    BindingProperty& element = value.Append();
    EXPECT_TRUE(!element.IsRoot() && element.Kind() == ValueKind::Empty);
    element.SetSigned(i);
    expected += ",i" + std::to_string(i);
  }
  EXPECT_EQ(&value.At(0), first);
  value.Append().SetString("past the reserve");
  EXPECT_EQ(Shape(value), expected + ",'past the reserve']");
  EXPECT_EQ(value.At(100).Context(), value.Context());
  // The collection length limit is a length error; other kinds reserve nothing.
  EXPECT_THROW(value.At(BindingProperty::kMaxElements), std::length_error);
  EXPECT_THROW(value.Reserve(BindingProperty::kMaxElements + 1), std::length_error);
  BindingProperty scalar = Parse("i1");
  scalar.Reserve(BindingProperty::kMaxElements + 1);
  EXPECT_EQ(Shape(scalar), "i1");
}

TEST(BindingPropertyTest, MembersIterateAndAreWalkedInByteOrderOfTheirKeysAndStayFindable) {
  BindingProperty mixed;
  for (const char* key : {"ab", "a", "B", "", "\xC3\xA9", "Z", "a b", "b"})
    mixed.Get(key);
  EXPECT_EQ(Shape(mixed), "{:~;B:~;Z:~;a:~;a b:~;ab:~;b:~;\xC3\xA9:~;}");
  // Keys may carry NUL bytes; such keys stay distinct members.
  BindingProperty withNul;
  withNul.Get(std::string("a\0b", 3)).SetSigned(1);
  withNul.Get(std::string("a\0c", 3)).SetSigned(2);
  withNul.Get("a").SetSigned(0);
  EXPECT_EQ(Shape(withNul), std::string("{a:i0;a\0b:i1;a\0c:i2;}", 21));
  // Many, in a scrambled insertion order that exercises every rebalancing case.
  BindingProperty value;
  std::vector<std::string> keys;
  for (int i = 0; i < 2000; ++i) {
    keys.push_back("key" + std::to_string((i * 7919) % 2000));
    value.Get(keys.back()).SetSigned((i * 7919) % 2000);
  }
  std::sort(keys.begin(), keys.end());
  std::string expected = "{";
  for (const std::string& key : keys)
    expected += key + ":i" + key.substr(3) + ";";
  EXPECT_EQ(Shape(value), expected + "}");
  for (int i = 0; i < 2000; ++i)
    EXPECT_EQ(value.Get("key" + std::to_string(i)).GetSigned(-1), i);
  for (auto member : value.Members())
    member.value.SetBool(true);
  EXPECT_TRUE(value.Get("key1999").GetBool(false));
  // Accept walks depth first in key order.
  TraceVisitor visitor;
  Parse("{z:F;a:[b'0102',u2];m:e3;e:~;}", &kColourType).Accept(visitor);
  EXPECT_EQ(visitor.text, "{4:a:[2:<0b'0102'0><1u21>]/a;e:~/e;m:e3/m;z:F/z;}");
}

TEST(BindingPropertyTest, InOrderAppendsAndLaterInsertionsKeepOneOrder) {
  BindingProperty value;
  for (const char* key : {"a", "b", "d", "e"})
    value.Get(key, Fnv1a(key)).SetString(key);
  value.Get("c").SetSigned(3);              // between present keys
  value.Get("f", Fnv1a("f")).SetSigned(6);  // after the last again
  value.Get("b", Fnv1a("b")).SetSigned(2);  // present: found, not appended
  value.Get("0").SetSigned(0);              // before the first
  EXPECT_EQ(Shape(value), "{0:i0;a:'a';b:i2;c:i3;d:'d';e:'e';f:i6;}");
  BindingProperty copy(value);
  copy.Get("g", Fnv1a("g"));
  EXPECT_EQ(Shape(copy), "{0:i0;a:'a';b:i2;c:i3;d:'d';e:'e';f:i6;g:~;}")
      << "a copy knows its largest key too";
  EXPECT_EQ(std::pair(Fnv1a(""), Fnv1a("foobar")), std::pair(0x811C9DC5u, 0xBF9CF968u));
}

TEST(BindingPropertyTest, EqualStringsShareOneRecordUntilTheLastGoes) {
  BindingProperty tree;
  tree.At(0).SetString("x");
  tree.At(1).SetString(std::string("x"));
  tree.At(2).Get("x").SetString("y");  // a key and a value
  const InternTable& strings = tree.Context()->Strings();
  ASSERT_NE(strings.Find("x"), nullptr);
  EXPECT_EQ(std::pair(strings.Size(), strings.Find("x")->refCount), std::pair(size_t{2}, 3u));
  tree.At(0).Clear();
  tree.At(1).SetSigned(1);
  EXPECT_EQ(strings.Find("x")->refCount, 1u);
  tree.At(2).Clear();
  // The table starts at eight buckets, grows at load one and shrinks back only when empty.
  EXPECT_TRUE(!strings.Find("x") && strings.Size() == 0 && strings.BucketCount() == 8);
  for (size_t i = 0; i < 100; ++i)
    tree.At(i).SetString(std::to_string(i));
  EXPECT_TRUE(strings.Size() == 100 && strings.BucketCount() >= 100);
  for (size_t i = 0; i < 99; ++i)
    tree.At(i).Clear();
  EXPECT_GT(strings.BucketCount(), 8u) << "only an empty table shrinks";
  tree.At(99).SetBool(true);
  EXPECT_EQ(strings.BucketCount(), 8u);
}

TEST(BindingPropertyTest, CopyIsDeepAndReinternsIntoTheNewTree) {
  const std::string before = "{list:[e7,~,b'0908'];name:'alpha';nested:{deep:f0.25;};}";
  BindingProperty source = Parse(before, &kColourType);
  BindingProperty copy(source);
  EXPECT_EQ(Shape(copy), before);
  ASSERT_NE(copy.Context(), source.Context());
  EXPECT_NE(copy.Context()->Strings().Find("alpha"), source.Context()->Strings().Find("alpha"));
  copy.Get("name").SetString("beta");
  copy.Get("list").At(2).SetBlob(Blob{1});
  EXPECT_EQ(Shape(source), before) << "the source is untouched by changes to the copy";
  BindingProperty assigned = Parse("'old'");
  assigned = source;
  EXPECT_EQ(Shape(assigned), before);
  EXPECT_EQ(assigned.Context()->Strings().Find("old"), nullptr);
  assigned = assigned;  // self-assignment changes nothing
  EXPECT_EQ(Shape(assigned), before);
  // Repeated strings are counted in the new tree, apart from the source's.
  BindingProperty many;
  for (size_t i = 0; i < 300; ++i)
    many.At(i).Get("kind").SetString(i % 3 == 0 ? "alpha" : "beta");
  BindingProperty manyCopy(many);
  const InternTable& strings = manyCopy.Context()->Strings();
  EXPECT_EQ(strings.Find("kind")->refCount, 300u);
  EXPECT_EQ(strings.Find("beta")->refCount, 200u);
  manyCopy.At(0).Clear();
  EXPECT_EQ(strings.Find("alpha")->refCount, 99u);
  EXPECT_EQ(many.Context()->Strings().Find("alpha")->refCount, 100u);
}

TEST(BindingPropertyTest, CopyMoveAndSettersWithinOneTreeHandleOverlap) {
  const BindingProperty root = Parse("{a:{b:'leaf';};c:i3;}");
  BindingProperty unwrapped(root);  // from a descendant into its ancestor
  unwrapped = unwrapped.Get("a");
  EXPECT_EQ(Shape(unwrapped), "{b:'leaf';}");
  BindingProperty nested(root);  // from an ancestor into its descendant: it gets the old whole
  nested.Get("a").Get("b") = nested;
  EXPECT_EQ(Shape(nested), "{a:{b:{a:{b:'leaf';};c:i3;};};c:i3;}");
  BindingProperty siblings(root);  // between siblings, which shares the strings of the tree
  siblings.Get("c") = siblings.Get("a");
  EXPECT_EQ(Shape(siblings), "{a:{b:'leaf';};c:{b:'leaf';};}");
  EXPECT_EQ(siblings.Context()->Strings().Find("leaf")->refCount, 2u);

  const BindingProperty data = Parse("{data:[~,'payload'];meta:i9;}");
  BindingProperty unwrap(data);  // the common unwrap: a root takes over one of its own members
  BindingProperty& member = unwrap.Get("data");
  unwrap = std::move(member);
  EXPECT_EQ(Shape(unwrap), "[~,'payload']");
  BindingProperty sideways(data);  // a member into a sibling: taken over, the source left empty
  sideways.Get("meta") = std::move(sideways.Get("data"));
  EXPECT_EQ(Shape(sideways), "{data:~;meta:[~,'payload'];}");
  EXPECT_EQ(sideways.Context()->Strings().Find("payload")->refCount, 1u);
  // Into its own descendant: clearing the source takes the destination with it.
  BindingProperty inward(data);
  inward.Get("data").At(0) = std::move(inward.Get("data"));
  EXPECT_EQ(Shape(inward), "{data:~;meta:i9;}");
  BindingProperty whole(data);
  whole.Get("meta") = std::move(whole);
  EXPECT_EQ(Shape(whole), "~");
  // Setters take text from the value itself.
  const std::string text = "a long text that does not fit any small string buffer";
  BindingProperty value = Parse("'" + text + "'");
  value.SetString(value.GetString());
  EXPECT_EQ(value.GetString(), text);
  value.Get(value.GetString()).SetSigned(1);  // the key is the text being replaced
  EXPECT_EQ(Shape(value), "{" + text + ":i1;}");
  BindingProperty blob = Parse("b'010203'");
  blob.SetBlob(blob.GetBlob());
  EXPECT_EQ(Shape(blob), "b'010203'");
}

TEST(BindingPropertyTest, MoveBetweenRootsExchangesContextsAndFromAChildCopies) {
  BindingProperty a = Parse("{k:'from a';}"), b = Parse("['from b']");
  const ValueContext *contextA = a.Context(), *contextB = b.Context();
  b = std::move(a);
  EXPECT_TRUE(b.Context() == contextA && a.Context() == contextB) << "contexts are exchanged";
  EXPECT_EQ(Shape(a) + "|" + Shape(b), "~|{k:'from a';}") << "the source is cleared";
  EXPECT_EQ(contextB->Strings().Size(), 0u) << "b's old content was released";
  BindingProperty constructed(std::move(b));
  EXPECT_TRUE(constructed.Context() == contextA && b.Context() == nullptr);
  EXPECT_EQ(Shape(b), "~");

  BindingProperty tree = Parse("{child:{x:'value';};}");
  BindingProperty root;
  root = std::move(tree.Get("child"));
  EXPECT_NE(root.Context(), tree.Context());
  EXPECT_EQ(Shape(root) + "|" + Shape(tree), "{x:'value';}|{child:~;}");
  EXPECT_EQ(tree.Context()->Strings().Find("value"), nullptr);
  BindingProperty other = Parse("{y:i1;}");
  tree.Get("child") = std::move(other);  // root into a child of another tree
  EXPECT_EQ(Shape(tree) + "|" + Shape(other), "{child:{y:i1;};}|~");
}

TEST(BindingPropertyTest, SlabPagesGoBackToThePageSource) {
  auto& pages = Platform::PageSource::Instance();
  // Regions holding a page; fully free ones may stay mapped as the source's reserve.
  auto regionsHolding = [&pages] { return pages.RegionsInUse() - pages.ReserveRegions(); };
  const size_t regionsBefore = regionsHolding();
  const size_t pagesBefore = pages.PagesInUse();
  for (const bool clearFirst : {true, false}) {
    {
      BindingProperty value;
      for (int i = 0; i < 5000; ++i) {
        BindingProperty& leaf = value.Get("member" + std::to_string(i)).At(0);
        clearFirst ? leaf.SetString("v") : leaf.SetBlob(Blob{1});
      }
      EXPECT_GT(value.Context()->Slab().PagesHeld(), 16u);
      EXPECT_GT(regionsHolding(), regionsBefore);
      if (clearFirst) value.Clear();
      // Every page emptied by the clear is returned at once; destroyed whole, all together.
      EXPECT_EQ(value.Context()->Slab().PagesHeld() == 0, clearFirst);
    }
    EXPECT_EQ(pages.PagesInUse(), pagesBefore);
    EXPECT_EQ(regionsHolding(), regionsBefore);
  }
}

TEST(BindingPropertyTest, NestingOfFiveHundredTwelveFitsASmallStack) {
  // Copy, walk and destruction recurse once per level; 512 levels must fit a 256 KiB thread.
  auto work = [] {
    BindingProperty root;
    BindingProperty* level = &root;
    for (int i = 0; i < 512; ++i)
      level = i % 2 == 0 ? &level->At(0) : &level->Get("k");
    level->SetString("bottom");
    BindingProperty copy(root);
    BindingProperty inTree;
    inTree.Get("x") = copy;
    EXPECT_EQ(Shape(copy), Shape(root));
    BindingProperty moved;
    moved = std::move(inTree.Get("x"));
  };
  RunOnSmallStack(work);
}

TEST(BindingPropertyTest, KeyPrefixesAreTheFirstSixteenBytesZeroPaddedAndBigEndian) {
  // Against the plain construction, for every length around the load widths and bytes that
  // include NUL and 0xFF.
  std::mt19937 random(7);
  for (size_t size = 0; size <= 20; ++size) {
    for (int round = 0; round < 200; ++round) {
      std::string key(size, '\0');
      for (char& c : key)
        c = static_cast<char>(round % 3 == 0 ? (random() % 2 ? 0xFF : 0x00) : random() % 256);
      uint64_t halves[2] = {};
      for (size_t i = 0; i < 16; ++i)
        halves[i / 8] = halves[i / 8] << 8 | (i < size ? static_cast<unsigned char>(key[i]) : 0);
      const KeyPrefix prefix(key);
      ASSERT_EQ(std::pair(prefix.high, prefix.low), std::pair(halves[0], halves[1])) << size;
    }
  }
}

TEST(InternTableTest, RandomInternAndReleaseAgreeWithACountingModelAndTheEmptyTextIsShared) {
  // Short keys over a small alphabet collide in their home buckets, which exercises the probe
  // runs and the backward shift that closes a gap when a record goes.
  std::mt19937 random(12345);
  SlabAllocator slab;
  InternTable table(slab);
  std::map<std::string, std::vector<InternedString*>> model;
  for (int step = 0; step < 20000; ++step) {
    std::string text(1 + random() % 3, 'a');
    for (char& c : text)
      c = static_cast<char>('a' + random() % 6);
    // A quarter of the texts are long enough to straddle the largest record a slab slot holds.
    if (random() % 4 == 0) text.append(52 + random() % 8, '-');
    auto& held = model[text];
    if (!held.empty() && random() % 2 == 0) {
      table.Release(held.back());
      held.pop_back();
    } else {
      InternedString* record = table.Intern(text);
      ASSERT_TRUE(held.empty() || record == held.front()) << "one record per text";
      held.push_back(record);
    }
    if (step % 97 == 0) {
      size_t live = 0;
      for (const auto& [key, records] : model) {  // found with its count and text, if held
        const InternedString* found = table.Find(key);
        live += records.empty() ? 0 : 1;
        ASSERT_EQ(found ? std::to_string(found->refCount) + std::string(found->Text()) : "",
                  records.empty() ? "" : std::to_string(records.size()) + key);
      }
      ASSERT_EQ(table.Size(), live);
      ASSERT_LE(table.Size() * 4, table.BucketCount() * 3) << "at most three quarters full";
    }
  }
  for (auto& [key, records] : model)
    for (InternedString* record : records)
      table.Release(record);
  EXPECT_EQ(std::pair(table.Size(), table.BucketCount()),
            std::pair(size_t{0}, InternTable::kInitialBuckets));
  EXPECT_EQ(slab.PagesHeld(), 0u) << "every record in a slot was given back";
  // The empty text is the shared, uncounted record; others keep embedded NULs.
  InternedString* empty = table.Intern("");
  table.Release(empty);
  EXPECT_EQ(std::to_string(table.Size()) + std::to_string(empty->refCount), "00");
  EXPECT_EQ(empty, table.Find("")) << "the shared record, found too";
  EXPECT_EQ(empty, &InternTable::Empty());
  const std::string text("a\0b", 3);
  InternedString* record = table.Intern(text);
  EXPECT_EQ(record->Text(), text);
  EXPECT_EQ(record->Data()[3], '\0') << "the record text is NUL-terminated";
  EXPECT_EQ(table.Find("a"), nullptr) << "\"a\" is another text";
  table.Release(record);
}

// How many slots of `slotSize` a page of `pageSize` bytes offers after its header.
size_t SlotsPerPage(size_t pageSize, size_t slotSize) {
  return pageSize / slotSize - SlabAllocator::FirstSlot(slotSize);
}

TEST(SlabAllocatorTest, SizesRoundUpToAClassThatFillsTheBuiltinPageThenWholePagesOfAlignedSlots) {
  for (size_t size : {4u, 12u, 24u, 40u, 64u, 72u}) {
    SlabAllocator slab;
    std::vector<void*> slots(SlotsPerPage(144, size) + 3 * SlotsPerPage(4096, size));
    for (void*& slot : slots) {
      slot = slab.Allocate(size);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(slot) % 4, 0u);
    }
    EXPECT_EQ(slab.PagesHeld(), 3u) << "the built-in page is used before any other";
    slab.Free(slots[7], size);  // a full page takes it back, and it is the next one handed out
    EXPECT_EQ(slab.Allocate(size), slots[7]);
    for (void* slot : slots)
      slab.Free(slot, size);
    EXPECT_EQ(slab.PagesHeld(), 0u);
  }
  // Sizes round up to their class.
  for (const auto& [size, index] : {std::pair<size_t, size_t>{1, 0}, {4, 0}, {5, 1}, {72, 17}})
    EXPECT_EQ(SlabAllocator::ClassIndex(size), index) << size;
  EXPECT_EQ(SlabAllocator::SlotSize(13), 16u);
  if (sizeof(void*) == 4) {
    EXPECT_EQ(sizeof(SlabAllocator::PageHeader), 16u);
    EXPECT_EQ(SlabAllocator::FirstSlot(4), 4u);
    EXPECT_EQ(SlabAllocator::FirstSlot(12), 2u);
    EXPECT_EQ(SlabAllocator::FirstSlot(72), 1u);
  }
}

TEST(SlabAllocatorTest, ReleasingEverythingGivesBackFullAndPartialPages) {
  Platform::PageSource& source = Platform::PageSource::Instance();
  const size_t before = source.PagesInUse();
  auto owned = std::make_unique<SlabAllocator>();
  SlabAllocator* slab = owned.get();
  // Two full pages and a partly used one in one class, a partly used page in another, and a
  // slot freed from a full page (which moves it back among the pages with room).
  const size_t count = SlotsPerPage(144, 24) + 2 * SlotsPerPage(4096, 24) + 5;
  std::vector<void*> slots;
  for (size_t i = 0; i < count; ++i)
    slots.push_back(slab->Allocate(24));
  for (size_t i = 0; i < SlotsPerPage(144, 72) + 1; ++i)
    (void)slab->Allocate(72);
  slab->Free(slots[SlotsPerPage(144, 24) + 1], 24);
  EXPECT_EQ(std::pair(slab->PagesHeld(), source.PagesInUse()), std::pair(size_t{4}, before + 4));

  slab->ReleaseEverything();
  EXPECT_EQ(std::pair(slab->PagesHeld(), source.PagesInUse()), std::pair(size_t{0}, before));
  // As new: the built-in page comes first again.
  (void)slab->Allocate(24);
  EXPECT_EQ(slab->PagesHeld(), 0u);
  owned.reset();
  EXPECT_EQ(source.PagesInUse(), before);
}

// Random allocation and release in a few classes, with pages filling and emptying through both
// the chain of freed slots and the slots never used: every live slot keeps its bytes, no slot is
// handed out twice, and every page goes back at the end.
TEST(SlabAllocatorTest, RandomAllocationAndReleaseKeepEverySlotApart) {
  auto& pages = Platform::PageSource::Instance();
  const size_t before = pages.PagesInUse();
  SlabAllocator slab;
  std::vector<std::tuple<unsigned char*, size_t, unsigned char>> live;  // slot, size, fill
  std::set<unsigned char*> handedOut;
  std::mt19937 next(12345);
  const size_t sizes[] = {4, 24, 48, 72};
  for (int step = 0; step < 40000; ++step) {
    // Mostly allocations in the first half, mostly releases in the second.
    const bool allocate = live.empty() || next() % 100 < (step < 20000 ? 60u : 40u);
    if (allocate) {
      const size_t size = sizes[next() % 4];
      auto* slot = static_cast<unsigned char*>(slab.Allocate(size));
      ASSERT_TRUE(handedOut.insert(slot).second) << "a live slot was handed out again";
      const auto fill = static_cast<unsigned char>(next());
      std::memset(slot, fill, size);
      live.push_back({slot, size, fill});
    } else {
      const size_t i = next() % live.size();
      const auto [slot, size, fill] = live[i];
      ASSERT_EQ(std::count(slot, slot + size, fill), std::ptrdiff_t(size))
          << "a slot was overwritten";
      slab.Free(slot, size);
      handedOut.erase(slot);
      live[i] = live.back();
      live.pop_back();
    }
  }
  for (const auto& [slot, size, fill] : live)
    slab.Free(slot, size);
  EXPECT_EQ(std::pair(slab.PagesHeld(), pages.PagesInUse()), std::pair(size_t{0}, before));
}

TEST(ValueResultTest, SetErrorReplacesTheValueWithTheErrorMember) {
  ValueResult result;
  result.Value().At(3).SetString("data");
  result.SetError("Something failed.");
  EXPECT_EQ(std::to_string(result.Ok()) + std::string(result.ErrorMessage()) + "|" +
                Shape(result.Value()),
            "0Something failed.|{error:'Something failed.';}");

  // A message taken from the result itself survives the clear.
  result.SetError(result.ErrorMessage());
  EXPECT_EQ(result.ErrorMessage(), "Something failed.");
  // The message is empty when the result is ok or its member is no string; SetOk clears.
  result = ValueResult::Error("boom");
  result.Value().Get("error").SetSigned(5);
  EXPECT_EQ(std::to_string(result.Ok()) + std::string(result.ErrorMessage()), "0");
  result.SetOk();
  EXPECT_TRUE(result.Ok() && result.Value().Kind() == ValueKind::Empty);
  result.Value().Get("error").SetString("not a failure");
  EXPECT_EQ(result.ErrorMessage(), "");
}

}  // namespace
}  // namespace Oxle::Client::Binding
