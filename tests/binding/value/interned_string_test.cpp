#include "binding/value/interned_string.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace Oxle::Client::Binding {
namespace {

TEST(InternTableTest, RandomInternAndReleaseAgreeWithACountingModel) {
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
      if (!held.empty()) {
        ASSERT_EQ(record, held.front()) << "one record per text";
      }
      held.push_back(record);
    }
    if (step % 97 == 0) {
      size_t live = 0;
      for (const auto& [key, records] : model) {
        const InternedString* found = table.Find(key);
        if (records.empty()) {
          ASSERT_EQ(found, nullptr) << key;
        } else {
          ++live;
          ASSERT_NE(found, nullptr) << key;
          ASSERT_EQ(found->refCount, records.size()) << key;
          ASSERT_EQ(found->Text(), key);
        }
      }
      ASSERT_EQ(table.Size(), live);
      ASSERT_LE(table.Size() * 4, table.BucketCount() * 3) << "at most three quarters full";
    }
  }
  for (auto& [key, records] : model) {
    for (InternedString* record : records)
      table.Release(record);
  }
  EXPECT_EQ(table.Size(), 0u);
  EXPECT_EQ(table.BucketCount(), InternTable::kInitialBuckets);
  EXPECT_EQ(slab.PagesHeld(), 0u) << "every record in a slot was given back";
}

TEST(InternTableTest, EmptyTextIsTheSharedUncountedRecordAndOthersKeepEmbeddedNuls) {
  SlabAllocator slab;
  InternTable table(slab);
  InternedString* empty = table.Intern("");
  EXPECT_EQ(empty, &InternTable::Empty());
  EXPECT_EQ(table.Size(), 0u);
  table.Release(empty);
  EXPECT_EQ(empty->refCount, 0u);
  EXPECT_EQ(table.Find(""), &InternTable::Empty());
  const std::string text("a\0b", 3);
  InternedString* record = table.Intern(text);
  EXPECT_EQ(record->Text(), text);
  EXPECT_EQ(record->Data()[3], '\0') << "the record text is NUL-terminated";
  EXPECT_EQ(record->hash, Fnv1a(text));
  EXPECT_EQ(table.Find("a"), nullptr) << "\"a\" is another text";
  table.Release(record);
}

}  // namespace
}  // namespace Oxle::Client::Binding
