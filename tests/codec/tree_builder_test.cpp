#include "codec/tree_builder.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "binding/value/value_context.h"
#include "codec/json.h"

namespace Oxle::Client::Codec {
namespace {

using Binding::BindingProperty;
using Binding::ValueKind;

[[nodiscard]] std::string Compact(const BindingProperty& value) {
  return WriteJson(value, nullptr, nullptr);
}

TEST(TreeBuilderTest, KeysSelectMembersAndARepeatedKeyReusesItsMember) {
  BindingProperty root;
  TreeBuilder builder(root);
  ASSERT_TRUE(builder.BeginStructure());
  EXPECT_TRUE(builder.AwaitingKey());
  builder.Key("b");
  EXPECT_FALSE(builder.AwaitingKey());
  builder.Slot().SetUnsigned(1);
  EXPECT_TRUE(builder.AwaitingKey()) << "a value consumes the key";
  builder.Key("a");
  ASSERT_TRUE(builder.BeginStructure());
  builder.Key("x");
  builder.Slot().SetSigned(-1);
  builder.End();
  builder.Key("b");
  builder.Slot().SetUnsigned(2);
  builder.End();
  EXPECT_EQ(Compact(root), R"({"a":{"x":-1},"b":2})");
}

TEST(TreeBuilderTest, ReplaceStartsEmptyAndKeepMergesIntoAnEarlierContainer) {
  struct Case {
    const char* name;
    ContainerMode mode;
    const char* expected;
  };
  const Case cases[] = {
      {"replace", ContainerMode::Replace, R"({"m":{"y":2},"s":[3]})"},
      {"keep", ContainerMode::Keep, R"({"m":{"x":1,"y":2},"s":[1,3]})"},
  };
  for (const Case& c : cases) {
    BindingProperty root;
    TreeBuilder builder(root);
    ASSERT_TRUE(builder.BeginStructure(c.mode));
    for (int pass = 0; pass < 2; ++pass) {
      builder.Key("m");
      ASSERT_TRUE(builder.BeginStructure(c.mode));
      builder.Key(pass == 0 ? "x" : "y");
      builder.Slot().SetUnsigned(pass == 0 ? 1 : 2);
      builder.End();
      builder.Key("s");
      ASSERT_TRUE(builder.BeginCollection(c.mode));
      builder.Slot().SetUnsigned(pass == 0 ? 1 : 3);
      builder.End();
    }
    builder.End();
    EXPECT_EQ(Compact(root), c.expected) << c.name;
  }
}

TEST(TreeBuilderTest, ElementSelectsAnIndexInsteadOfAppending) {
  BindingProperty root;
  TreeBuilder builder(root);
  ASSERT_TRUE(builder.BeginCollection());
  builder.Slot().SetUnsigned(1);
  builder.Slot().SetUnsigned(2);
  builder.Slot().SetUnsigned(3);
  builder.End();
  ASSERT_TRUE(builder.BeginCollection(ContainerMode::Keep));
  builder.Element(0);
  builder.Slot().SetString("first");
  builder.Element(4);  // beyond the end: the gap fills with empty elements
  builder.Slot().SetBool(false);
  builder.Slot().SetUnsigned(9);  // without a selection the next value is appended again
  builder.End();
  EXPECT_EQ(Compact(root), R"(["first",2,3,null,false,9])");
}

TEST(TreeBuilderTest, KeepStillReplacesAContainerOfTheOtherKind) {
  BindingProperty root;
  TreeBuilder builder(root);
  ASSERT_TRUE(builder.BeginStructure());
  builder.Key("a");
  ASSERT_TRUE(builder.BeginCollection());
  builder.Slot().SetUnsigned(1);
  builder.End();
  builder.Key("a");
  ASSERT_TRUE(builder.BeginStructure(ContainerMode::Keep));
  builder.End();
  builder.End();
  EXPECT_EQ(Compact(root), R"({"a":{}})");
}

TEST(TreeBuilderTest, DepthStopsAtTheLimitWithoutChangingTheTree) {
  BindingProperty root;
  TreeBuilder builder(root);
  for (size_t i = 0; i < TreeBuilder::kMaxDepth; ++i) {
    ASSERT_TRUE(i % 2 == 0 ? builder.BeginCollection() : builder.BeginStructure()) << i;
    if (i % 2 == 1) builder.Key("k");
  }
  EXPECT_EQ(builder.Depth(), 512u);
  EXPECT_FALSE(builder.BeginCollection());
  EXPECT_FALSE(builder.BeginStructure());
  EXPECT_EQ(builder.Depth(), 512u);
  // The innermost structure still has its key pending and no extra member: the refused
  // Begin consumed nothing.
  EXPECT_FALSE(builder.AwaitingKey());
  builder.Slot().SetUnsigned(5);
  while (builder.Depth() > 0)
    builder.End();

  const BindingProperty* node = &root;
  for (size_t i = 0; i < TreeBuilder::kMaxDepth; ++i) {
    ASSERT_EQ(node->Size(), 1u) << i;
    node = i % 2 == 0 ? &node->At(0) : &node->Get("k");
  }
  EXPECT_EQ(node->GetUnsigned(0), 5u);
}

// Random documents, fed as the same events to an in-place and a deferred builder: collections of
// any length, structures with keys in any order and repeated, nested.
// `budget` bounds the values of one document.
void FeedRandomDocument(std::mt19937& random, TreeBuilder& builder, int depth, int& budget) {
  const unsigned choice = random() % 10;
  if (depth > 4 || choice < 4 || --budget <= 0) {
    switch (random() % 4) {
      case 0:
        builder.Slot().SetUnsigned(random() % 1000);
        return;
      case 1:
        builder.Slot().SetString("s" + std::to_string(random() % 50));
        return;
      case 2:
        builder.Slot().Clear();
        return;
      default:
        builder.Slot().SetBlob(Binding::Blob{1, 2, 3});
        return;
    }
  }
  const size_t count = random() % (choice == 9 && depth == 0 ? 300 : 12);
  if (choice % 2 == 0) {
    ASSERT_TRUE(builder.BeginCollection());
    for (size_t i = 0; i < count; ++i)
      FeedRandomDocument(random, builder, depth + 1, budget);
  } else {
    ASSERT_TRUE(builder.BeginStructure());
    const unsigned keys = 1 + random() % (count + 1);
    for (size_t i = 0; i < count; ++i) {
      builder.Key("key" + std::to_string(random() % keys));
      FeedRandomDocument(random, builder, depth + 1, budget);
    }
  }
  builder.End();
}

TEST(TreeBuilderTest, DeferredPlacementBuildsTheSameTreesAsInPlace) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    BindingProperty inPlace;
    BindingProperty deferred;
    {
      std::mt19937 random(seed);
      int budget = 400;
      TreeBuilder builder(inPlace);
      FeedRandomDocument(random, builder, 0, budget);
    }
    {
      std::mt19937 random(seed);
      int budget = 400;
      TreeBuilder builder(deferred, ElementPlacement::Deferred);
      FeedRandomDocument(random, builder, 0, budget);
    }
    ASSERT_EQ(Compact(deferred), Compact(inPlace)) << "seed " << seed;
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
