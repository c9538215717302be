#include "binding/value/binding_property.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/value/value_context.h"
#include "binding/value/value_storage.h"
#include "binding/value/value_visitor.h"
#include "platform/page_source.h"
#include "support/small_stack.h"

namespace Oxle::Client::Binding {
namespace {

std::vector<std::string> Keys(const BindingProperty& value) {
  std::vector<std::string> keys;
  for (auto member : value.Members())
    keys.emplace_back(member.key);
  return keys;
}

// Writes the visitor calls as compact text, so a walk can be compared in one assertion.
class TraceVisitor : public ValueVisitor {
 public:
  std::string trace;
  void OnEmpty() override { trace += "~"; }
  void OnBool(bool v) override { trace += v ? "T" : "F"; }
  void OnSigned(int64_t v) override { trace += "i" + std::to_string(v); }
  void OnUnsigned(uint64_t v) override { trace += "u" + std::to_string(v); }
  void OnFloat(double v) override { trace += "f" + std::to_string(v); }
  void OnString(std::string_view v) override { trace += "'" + std::string(v) + "'"; }
  void OnBlob(const Blob& v) override { trace += "b" + std::to_string(v.size()); }
  void OnEnum(const EnumValue& v) override { trace += "e" + std::to_string(v.value); }
  void BeginCollection(size_t n) override { trace += "[" + std::to_string(n) + ":"; }
  void BeginElement(size_t i) override { trace += "<" + std::to_string(i); }
  void EndElement(size_t i) override { trace += std::to_string(i) + ">"; }
  void EndCollection() override { trace += "]"; }
  void BeginStructure(size_t n) override { trace += "{" + std::to_string(n) + ":"; }
  void BeginMember(std::string_view k) override { trace += std::string(k) + "="; }
  void EndMember(std::string_view k) override { trace += "/" + std::string(k) + ";"; }
  void EndStructure() override { trace += "}"; }
};

std::string Trace(const BindingProperty& value) {
  TraceVisitor visitor;
  value.Accept(visitor);
  return visitor.trace;
}

const TypeId kColourType(0x12345678u);

TEST(BindingPropertyTest, StrictReadersNeverConvert) {
  BindingProperty value;
  value.SetUnsigned(3);
  EXPECT_EQ(value.GetSigned(7), 7);
  EXPECT_EQ(value.GetUnsigned(7), 3u);
  EXPECT_EQ(value.GetFloat(1.5), 1.5);
  EXPECT_TRUE(value.GetBool(true));
  EXPECT_EQ(value.GetString(), "");
  EXPECT_EQ(value.GetString("fallback"), "fallback");
  value.SetString("abc");
  EXPECT_EQ(value.GetString(), "abc");
  EXPECT_EQ(value.GetString("fallback"), "abc");
  EXPECT_EQ(value.GetUnsigned(9), 9u);
  EXPECT_TRUE(value.GetBlob().empty());
  value.SetEnum(4, kColourType);
  EXPECT_EQ(value.GetEnum().value, 4);
  EXPECT_EQ(value.GetEnum().type, &kColourType);
  EXPECT_EQ(value.GetSigned(-1), -1);
}

TEST(BindingPropertyTest, SizeIsBytesForTextsAndBlobsAndOneForOtherScalars) {
  BindingProperty text;
  text.SetString("four");
  BindingProperty blob;
  blob.SetBlob(Blob{1, 2, 3});
  BindingProperty scalar;
  scalar.SetBool(false);
  EXPECT_EQ(text.Size(), 4u);
  EXPECT_EQ(blob.Size(), 3u);
  EXPECT_EQ(scalar.Size(), 1u);
  EXPECT_STREQ(BindingProperty::KindName(static_cast<ValueKind>(10)), "");
}

TEST(BindingPropertyTest, ToBoolFollowsEachKind) {
  struct Case {
    std::function<void(BindingProperty&)> make;
    bool expected;
    const char* what;
  };
  const std::vector<Case> cases = {
      {[](BindingProperty&) {}, false, "empty"},
      {[](BindingProperty& v) { v.SetString("1"); }, true, "string 1"},
      {[](BindingProperty& v) { v.SetString("true"); }, true, "string true"},
      {[](BindingProperty& v) { v.SetString("True"); }, false, "string True"},
      {[](BindingProperty& v) { v.SetFloat(std::nan("")); }, true, "NaN"},
      {[](BindingProperty& v) { v.SetFloat(-0.0); }, false, "negative zero"},
      {[](BindingProperty& v) { v.SetSigned(-1); }, true, "signed -1"},
      {[](BindingProperty& v) { v.SetUnsigned(0); }, false, "unsigned 0"},
      {[](BindingProperty& v) { v.SetBlob(Blob{}); }, false, "empty blob"},
      {[](BindingProperty& v) { v.SetBlob(Blob{0}); }, true, "one-byte blob"},
      {[](BindingProperty& v) { v.SetEnum(0, kColourType); }, false, "enum 0"},
      {[](BindingProperty& v) { v.SetEnum(-2, kColourType); }, true, "enum -2"},
      {[](BindingProperty& v) { v.MakeCollection(); }, false, "empty collection"},
      {[](BindingProperty& v) { v.At(0); }, true, "collection of one empty"},
      {[](BindingProperty& v) { v.MakeStructure(); }, false, "empty structure"},
      {[](BindingProperty& v) { v.Get(""); }, true, "structure with empty key"},
  };
  for (const Case& c : cases) {
    BindingProperty value;
    c.make(value);
    EXPECT_EQ(value.ToBool(), c.expected) << c.what;
  }
}

TEST(BindingPropertyTest, ToStringFollowsEachKind) {
  struct Case {
    std::function<void(BindingProperty&)> make;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {[](BindingProperty& v) { v.SetFloat(2); }, "2.000000"},
      {[](BindingProperty& v) { v.SetFloat(-0.0000004); }, "-0.000000"},
      {[](BindingProperty& v) { v.SetFloat(1e22); }, "10000000000000000000000.000000"},
      {[](BindingProperty& v) { v.SetSigned(std::numeric_limits<int64_t>::min()); },
       "-9223372036854775808"},
      {[](BindingProperty& v) { v.SetUnsigned(18446744073709551615u); }, "18446744073709551615"},
      {[](BindingProperty& v) { v.SetBool(true); }, "true"},
      {[](BindingProperty& v) { v.SetBool(false); }, "false"},
      {[](BindingProperty& v) { v.SetEnum(-3, kColourType); }, "-3"},
      {[](BindingProperty& v) { v.SetString("text"); }, "text"},
      {[](BindingProperty& v) { v.Get("a").SetSigned(1); }, ""},
      {[](BindingProperty& v) { v.At(0).SetSigned(1); }, ""},
      {[](BindingProperty&) {}, ""},
  };
  for (const Case& c : cases) {
    BindingProperty value;
    c.make(value);
    EXPECT_EQ(value.ToString(), c.expected);
  }
  // Base64 with each padding length, the two last letters of the alphabet and no bytes.
  const std::pair<Blob, std::string> blobs[] = {{{'a', 'b', 'c'}, "YWJj"},
                                                {{'a'}, "YQ=="},
                                                {{'a', 'b'}, "YWI="},
                                                {{0xFB, 0xFF}, "+/8="},
                                                {{}, ""}};
  for (const auto& [bytes, text] : blobs) {
    BindingProperty blob;
    blob.SetBlob(bytes);
    EXPECT_EQ(blob.ToString(), text);
  }
  BindingProperty largest;
  largest.SetFloat(-std::numeric_limits<double>::max());
  EXPECT_EQ(largest.ToString().size(), 1 + 309 + 7u) << "sign, 309 digits, point and 6 decimals";
}

TEST(BindingPropertyTest, MutableAtGrowsWithEmptyElementsAndConstAtNeverDoes) {
  BindingProperty value;
  value.SetString("replaced");
  value.At(5).SetSigned(5);
  ASSERT_EQ(value.Kind(), ValueKind::Collection);
  ASSERT_EQ(value.Size(), 6u);
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(value.At(i).Kind(), ValueKind::Empty);
  EXPECT_EQ(value.At(5).GetSigned(0), 5);
  EXPECT_FALSE(value.At(5).IsRoot());

  const BindingProperty& constant = value;
  EXPECT_EQ(&constant.At(6), &BindingProperty::Null());
  BindingProperty scalar;
  scalar.SetBool(true);
  const BindingProperty& constScalar = scalar;
  EXPECT_EQ(&constScalar.At(0), &BindingProperty::Null());
  EXPECT_EQ(&constScalar.Get("a"), &BindingProperty::Null());
  EXPECT_EQ(scalar.Kind(), ValueKind::Bool);
  EXPECT_FALSE(scalar.Has("a"));

  value.Append().SetString("last");
  EXPECT_EQ(value.Size(), 7u);
  EXPECT_EQ(value.Elements().back().GetString(), "last");
}

TEST(BindingPropertyTest, AppendTurnsAnyValueIntoACollectionAndFillsReservedRoomInPlace) {
  BindingProperty value;
  value.SetString("a text long enough to need a record of its own, not a slot");
  value.Append().SetSigned(1);
  ASSERT_EQ(value.Kind(), ValueKind::Collection);
  EXPECT_EQ(value.Size(), 1u);

  value.Reserve(100);
  const BindingProperty* first = &value.At(0);
  for (int i = 2; i <= 100; ++i) {
    BindingProperty& element = value.Append();
    EXPECT_FALSE(element.IsRoot());
    EXPECT_EQ(element.Kind(), ValueKind::Empty);
    element.SetSigned(i);
  }
  EXPECT_EQ(&value.At(0), first);
  value.Append().SetString("past the reserve");
  ASSERT_EQ(value.Size(), 101u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(value.At(static_cast<size_t>(i)).GetSigned(0), i + 1);
  EXPECT_EQ(value.At(100).GetString(), "past the reserve");
  EXPECT_EQ(value.At(100).Context(), value.Context());
}

TEST(BindingPropertyTest, MakeCollectionAndStructureKeepTheSameKind) {
  BindingProperty value;
  value.At(2);
  value.MakeCollection();
  EXPECT_EQ(value.Size(), 3u);
  value.MakeStructure();
  EXPECT_EQ(value.Size(), 0u);
  value.Get("k");
  value.MakeStructure();
  EXPECT_TRUE(value.Has("k"));
  EXPECT_FALSE(value.Has("K"));
}

TEST(BindingPropertyTest, MembersIterateInByteOrderOfTheirKeys) {
  BindingProperty mixed;
  for (const char* key : {"ab", "a", "B", "", "\xC3\xA9", "Z", "a b", "b"})
    mixed.Get(key);
  EXPECT_EQ(Keys(mixed),
            (std::vector<std::string>{"", "B", "Z", "a", "a b", "ab", "b", "\xC3\xA9"}));

  // Keys may carry NUL bytes; such keys stay distinct members.
  BindingProperty withNul;
  withNul.Get(std::string("a\0b", 3)).SetSigned(1);
  withNul.Get(std::string("a\0c", 3)).SetSigned(2);
  withNul.Get("a").SetSigned(0);
  ASSERT_EQ(withNul.Size(), 3u);
  EXPECT_EQ(withNul.Get(std::string("a\0c", 3)).GetSigned(0), 2);
  EXPECT_EQ(Keys(withNul)[0], "a");
}

TEST(BindingPropertyTest, ManyMembersStayOrderedAndFindable) {
  BindingProperty value;
  std::vector<std::string> keys;
  for (int i = 0; i < 2000; ++i) {
    // A scrambled insertion order exercises every rebalancing case.
    keys.push_back("key" + std::to_string((i * 7919) % 2000));
    value.Get(keys.back()).SetSigned((i * 7919) % 2000);
  }
  ASSERT_EQ(value.Size(), 2000u);
  std::vector<std::string> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(Keys(value), sorted);
  for (int i = 0; i < 2000; ++i) {
    EXPECT_EQ(value.Get("key" + std::to_string(i)).GetSigned(-1), i);
  }
  for (auto member : value.Members())
    member.value.SetBool(true);
  EXPECT_TRUE(value.Get("key1999").GetBool(false));
}

TEST(BindingPropertyTest, InOrderAppendsAndLaterInsertionsKeepOneOrder) {
  BindingProperty value;
  for (const char* key : {"a", "b", "d", "e"})
    value.Get(key, Fnv1a(key)).SetString(key);
  value.Get("c").SetSigned(3);              // between present keys
  value.Get("f", Fnv1a("f")).SetSigned(6);  // after the last again
  value.Get("b", Fnv1a("b")).SetSigned(2);  // present: found, not appended
  value.Get("0").SetSigned(0);              // before the first
  EXPECT_EQ(Keys(value), (std::vector<std::string>{"0", "a", "b", "c", "d", "e", "f"}));
  EXPECT_EQ(value.Size(), 7u);
  EXPECT_EQ(value.Get("b").GetSigned(0), 2);
  EXPECT_EQ(value.Get("e").GetString(), "e");
  BindingProperty copy(value);
  copy.Get("g", Fnv1a("g"));
  EXPECT_EQ(Keys(copy).back(), "g") << "a copy knows its largest key too";
}

TEST(BindingPropertyTest, EqualStringsShareOneRecordUntilTheLastGoes) {
  BindingProperty tree;
  tree.At(0).SetString("x");
  tree.At(1).SetString(std::string("x"));
  tree.At(2).Get("x").SetString("y");  // a key and a value
  const InternTable& strings = tree.Context()->Strings();
  EXPECT_EQ(strings.Size(), 2u);
  ASSERT_NE(strings.Find("x"), nullptr);
  EXPECT_EQ(strings.Find("x")->refCount, 3u);
  EXPECT_EQ(strings.Find("x")->hash, Fnv1a("x"));

  tree.At(0).Clear();
  tree.At(1).SetSigned(1);
  EXPECT_EQ(strings.Find("x")->refCount, 1u);
  tree.At(2).Clear();
  EXPECT_EQ(strings.Find("x"), nullptr);
  EXPECT_EQ(strings.Size(), 0u);
}

TEST(BindingPropertyTest, StringTableGrowsAtLoadOneAndResetsToEightBucketsWhenEmpty) {
  BindingProperty tree;
  tree.At(0).SetString("first");
  const InternTable& strings = tree.Context()->Strings();
  EXPECT_EQ(strings.BucketCount(), 8u);
  for (int i = 1; i < 100; ++i)
    tree.At(static_cast<size_t>(i)).SetString(std::to_string(i));
  EXPECT_EQ(strings.Size(), 100u);
  EXPECT_GE(strings.BucketCount(), 100u);
  for (size_t i = 0; i < 99; ++i)
    tree.At(i).Clear();
  EXPECT_GT(strings.BucketCount(), 8u) << "only an empty table shrinks";
  tree.At(99).SetBool(true);
  EXPECT_EQ(strings.Size(), 0u);
  EXPECT_EQ(strings.BucketCount(), 8u);
}

TEST(BindingPropertyTest, Fnv1aMatchesTheReferenceValues) {
  EXPECT_EQ(Fnv1a(""), 0x811C9DC5u);
  EXPECT_EQ(Fnv1a("a"), 0xE40C292Cu);
  EXPECT_EQ(Fnv1a("foobar"), 0xBF9CF968u);
}

TEST(BindingPropertyTest, CopyIsDeepAndReinternsIntoTheNewTree) {
  BindingProperty source;
  source.Get("name").SetString("alpha");
  source.Get("list").At(2).SetBlob(Blob{9, 8});
  source.Get("list").At(0).SetEnum(7, kColourType);
  source.Get("nested").Get("deep").SetFloat(0.25);
  const std::string before = Trace(source);

  BindingProperty copy(source);
  EXPECT_EQ(Trace(copy), before);
  ASSERT_NE(copy.Context(), source.Context());
  EXPECT_NE(copy.Context()->Strings().Find("alpha"), source.Context()->Strings().Find("alpha"));

  copy.Get("name").SetString("beta");
  copy.Get("list").At(2).SetBlob(Blob{1});
  EXPECT_EQ(Trace(source), before) << "the source is untouched by changes to the copy";

  BindingProperty assigned;
  assigned.SetString("old");
  assigned = source;
  EXPECT_EQ(Trace(assigned), before);
  EXPECT_EQ(assigned.Context()->Strings().Find("old"), nullptr);

  assigned = assigned;  // self-assignment changes nothing
  EXPECT_EQ(Trace(assigned), before);
}

TEST(BindingPropertyTest, CopyCountsRepeatedStringsInTheNewTree) {
  BindingProperty source;
  for (int i = 0; i < 300; ++i) {
    BindingProperty& entry = source.At(static_cast<size_t>(i));
    entry.Get("kind").SetString(i % 3 == 0 ? "alpha" : "beta");
    entry.Get("id").SetString("id" + std::to_string(i));
  }
  BindingProperty copy(source);
  const InternTable& strings = copy.Context()->Strings();
  EXPECT_EQ(strings.Size(), source.Context()->Strings().Size());
  EXPECT_EQ(strings.Find("kind")->refCount, 300u);
  EXPECT_EQ(strings.Find("alpha")->refCount, 100u);
  EXPECT_EQ(strings.Find("beta")->refCount, 200u);
  EXPECT_EQ(strings.Find("id299")->refCount, 1u);
  copy.At(0).Clear();
  EXPECT_EQ(strings.Find("alpha")->refCount, 99u);
  EXPECT_EQ(source.Context()->Strings().Find("alpha")->refCount, 100u);
}

TEST(BindingPropertyTest, CopyWithinOneTreeHandlesOverlap) {
  BindingProperty root;
  root.Get("a").Get("b").SetString("leaf");
  root.Get("c").SetSigned(3);

  // From a descendant into its ancestor.
  BindingProperty unwrapped(root);
  unwrapped = unwrapped.Get("a");
  EXPECT_EQ(Trace(unwrapped), "{1:b='leaf'/b;}");

  // From an ancestor into its descendant: the descendant gets the old whole.
  BindingProperty nested(root);
  nested.Get("a").Get("b") = nested;
  EXPECT_EQ(Trace(nested), "{2:a={1:b={2:a={1:b='leaf'/b;}/a;c=i3/c;}/b;}/a;c=i3/c;}");

  // Between siblings, which shares the strings of the tree.
  BindingProperty siblings(root);
  siblings.Get("c") = siblings.Get("a");
  EXPECT_EQ(Trace(siblings), "{2:a={1:b='leaf'/b;}/a;c={1:b='leaf'/b;}/c;}");
  EXPECT_EQ(siblings.Context()->Strings().Find("leaf")->refCount, 2u);
}

TEST(BindingPropertyTest, MoveBetweenRootsExchangesContexts) {
  BindingProperty a;
  a.Get("k").SetString("from a");
  BindingProperty b;
  b.At(0).SetString("from b");
  const ValueContext* contextA = a.Context();
  const ValueContext* contextB = b.Context();

  b = std::move(a);
  EXPECT_EQ(b.Context(), contextA);
  EXPECT_EQ(a.Context(), contextB);
  EXPECT_EQ(a.Kind(), ValueKind::Empty) << "the source is cleared";
  EXPECT_EQ(contextB->Strings().Size(), 0u) << "b's old content was released";
  EXPECT_EQ(b.Get("k").GetString(), "from a");

  BindingProperty constructed(std::move(b));
  EXPECT_EQ(constructed.Context(), contextA);
  EXPECT_EQ(b.Context(), nullptr);
  EXPECT_EQ(b.Kind(), ValueKind::Empty);
}

TEST(BindingPropertyTest, MoveFromAChildCopiesThenClearsTheChild) {
  BindingProperty tree;
  tree.Get("child").Get("x").SetString("value");
  BindingProperty root;
  root = std::move(tree.Get("child"));
  EXPECT_EQ(Trace(root), "{1:x='value'/x;}");
  EXPECT_NE(root.Context(), tree.Context());
  EXPECT_TRUE(tree.Has("child"));
  EXPECT_EQ(tree.Get("child").Kind(), ValueKind::Empty);
  EXPECT_EQ(tree.Context()->Strings().Find("value"), nullptr);

  BindingProperty other;
  other.Get("y").SetSigned(1);
  tree.Get("child") = std::move(other);  // root into a child of another tree
  EXPECT_EQ(Trace(tree), "{1:child={1:y=i1/y;}/child;}");
  EXPECT_EQ(other.Kind(), ValueKind::Empty);
}

TEST(BindingPropertyTest, MoveWithinOneTreeHandlesOverlap) {
  BindingProperty root;
  root.Get("data").At(1).SetString("payload");
  root.Get("meta").SetSigned(9);

  // The common unwrap: a root takes over one of its own members.
  BindingProperty unwrap(root);
  BindingProperty& data = unwrap.Get("data");
  unwrap = std::move(data);
  EXPECT_EQ(Trace(unwrap), "[2:<0~0><1'payload'1>]");

  // A member into a sibling: taken over, the source left empty.
  BindingProperty sideways(root);
  sideways.Get("meta") = std::move(sideways.Get("data"));
  EXPECT_EQ(Trace(sideways), "{2:data=~/data;meta=[2:<0~0><1'payload'1>]/meta;}");
  EXPECT_EQ(sideways.Context()->Strings().Find("payload")->refCount, 1u);

  // Into its own descendant: clearing the source takes the destination with it.
  BindingProperty inward(root);
  inward.Get("data").At(0) = std::move(inward.Get("data"));
  EXPECT_EQ(Trace(inward), "{2:data=~/data;meta=i9/meta;}");
  BindingProperty whole(root);
  whole.Get("meta") = std::move(whole);
  EXPECT_EQ(whole.Kind(), ValueKind::Empty);
}

TEST(BindingPropertyTest, SettersAcceptTextFromTheValueItself) {
  BindingProperty value;
  value.SetString("a long text that does not fit any small string buffer");
  value.SetString(value.GetString());
  EXPECT_EQ(value.GetString(), "a long text that does not fit any small string buffer");

  value.Get(value.GetString()).SetSigned(1);  // the key is the text being replaced
  EXPECT_EQ(Keys(value),
            (std::vector<std::string>{"a long text that does not fit any small string buffer"}));

  BindingProperty blob;
  blob.SetBlob(Blob{1, 2, 3});
  blob.SetBlob(blob.GetBlob());
  EXPECT_EQ(blob.GetBlob(), (Blob{1, 2, 3}));
}

TEST(BindingPropertyTest, CollectionLengthLimitIsALengthError) {
  BindingProperty value;
  EXPECT_THROW(value.At(BindingProperty::kMaxElements), std::length_error);
  value.MakeCollection();
  EXPECT_THROW(value.Reserve(BindingProperty::kMaxElements + 1), std::length_error);
  EXPECT_EQ(value.Size(), 0u);
  value.Reserve(1000);
  EXPECT_EQ(value.Size(), 0u);

  BindingProperty scalar;
  scalar.SetSigned(1);
  scalar.Reserve(BindingProperty::kMaxElements + 1);  // nothing for other kinds
  EXPECT_EQ(scalar.GetSigned(0), 1);
}

TEST(BindingPropertyTest, AcceptWalksDepthFirstInKeyOrder) {
  BindingProperty value;
  value.Get("z").SetBool(false);
  value.Get("a").At(1).SetUnsigned(2);
  value.Get("a").At(0).SetBlob(Blob{1, 2});
  value.Get("m").SetEnum(3, kColourType);
  value.Get("e");
  EXPECT_EQ(Trace(value), "{4:a=[2:<0b20><1u21>]/a;e=~/e;m=e3/m;z=F/z;}");
}

TEST(BindingPropertyTest, SlabPagesGoBackToThePageSource) {
  auto& pages = Platform::PageSource::Instance();
  // Regions holding a page; fully free ones may stay mapped as the source's reserve.
  auto regionsHolding = [&pages] { return pages.RegionsInUse() - pages.ReserveRegions(); };
  const size_t regionsBefore = regionsHolding();
  const size_t pagesBefore = pages.PagesInUse();
  {
    BindingProperty value;
    for (int i = 0; i < 5000; ++i)
      value.Get("member" + std::to_string(i)).At(0).SetString("v");
    EXPECT_GT(value.Context()->Slab().PagesHeld(), 16u);
    EXPECT_GT(regionsHolding(), regionsBefore);
    value.Clear();
    EXPECT_EQ(value.Context()->Slab().PagesHeld(), 0u)
        << "every page emptied by the clear is returned at once";
  }
  EXPECT_EQ(pages.PagesInUse(), pagesBefore);
  EXPECT_EQ(regionsHolding(), regionsBefore);
  {
    // Destroyed whole, without a clear first: the pages go back all together.
    BindingProperty value;
    for (int i = 0; i < 5000; ++i)
      value.Get("member" + std::to_string(i)).At(0).SetBlob(Blob{1});
    EXPECT_GT(regionsHolding(), regionsBefore);
  }
  EXPECT_EQ(pages.PagesInUse(), pagesBefore);
  EXPECT_EQ(regionsHolding(), regionsBefore);
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
    EXPECT_EQ(Trace(copy).size(), Trace(root).size());
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
      unsigned char bytes[16] = {};
      std::memcpy(bytes, key.data(), std::min<size_t>(size, 16));
      uint64_t high = 0;
      uint64_t low = 0;
      for (int i = 0; i < 8; ++i) {
        high = high << 8 | bytes[i];
        low = low << 8 | bytes[8 + i];
      }
      const KeyPrefix prefix(key);
      ASSERT_EQ(prefix.high, high) << "size " << size;
      ASSERT_EQ(prefix.low, low) << "size " << size;
    }
  }
}

}  // namespace
}  // namespace Oxle::Client::Binding
