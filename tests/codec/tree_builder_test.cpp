#include "codec/tree_builder.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "binding/value/value_context.h"
#include "codec/json.h"

namespace Oxle::Client::Codec {
namespace {

using Binding::BindingProperty;

[[nodiscard]] std::string Compact(const BindingProperty& value) {
  return WriteJson(value, nullptr, nullptr);
}

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
