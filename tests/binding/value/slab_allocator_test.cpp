#include "binding/value/slab_allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "platform/page_source.h"

namespace Oxle::Client::Binding {
namespace {

// How many slots of `slotSize` a page of `pageSize` bytes offers after its header.
size_t SlotsPerPage(size_t pageSize, size_t slotSize) {
  return pageSize / slotSize - SlabAllocator::FirstSlot(slotSize);
}

TEST(SlabAllocatorTest, SizesRoundUpToTheirClass) {
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

TEST(SlabAllocatorTest, EachClassFillsTheBuiltinPageThenWholePagesOfAlignedSlots) {
  for (size_t size : {4u, 12u, 24u, 40u, 64u, 72u}) {
    SlabAllocator slab;
    std::vector<void*> slots(SlotsPerPage(144, size) + 3 * SlotsPerPage(4096, size));
    for (void*& slot : slots) {
      slot = slab.Allocate(size);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(slot) % 4, 0u);
    }
    EXPECT_EQ(slab.PagesHeld(), 3u) << "the built-in page is used before any other";
    for (void* slot : slots)
      slab.Free(slot, size);
    EXPECT_EQ(slab.PagesHeld(), 0u);
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
  EXPECT_EQ(slab->PagesHeld(), 4u);
  EXPECT_EQ(source.PagesInUse(), before + 4);

  slab->ReleaseEverything();
  EXPECT_EQ(slab->PagesHeld(), 0u);
  EXPECT_EQ(source.PagesInUse(), before);
  // As new: the built-in page comes first again.
  (void)slab->Allocate(24);
  EXPECT_EQ(slab->PagesHeld(), 0u);
  owned.reset();
  EXPECT_EQ(source.PagesInUse(), before);
}

TEST(SlabAllocatorTest, AFullPageRejoinsWhenASlotIsFreedAndAnEmptiedPageReturnsAtOnce) {
  auto& pages = Platform::PageSource::Instance();
  const size_t before = pages.PagesInUse();
  SlabAllocator slab;
  const size_t size = 64, builtin = SlotsPerPage(144, size);
  std::vector<void*> slots(builtin + 2 * SlotsPerPage(4096, size) + 1);
  for (void*& slot : slots)
    slot = slab.Allocate(size);
  EXPECT_EQ(pages.PagesInUse(), before + 3);
  slab.Free(slots.back(), size);
  EXPECT_EQ(pages.PagesInUse(), before + 2) << "the page's only slot was freed";
  slots.pop_back();
  // Both pages are full; freeing one slot of the first makes it the page allocation uses, and
  // the slot freed last is the next one handed out.
  slab.Free(slots[builtin + 5], size);
  EXPECT_EQ(slab.Allocate(size), slots[builtin + 5]);
  EXPECT_EQ(slab.PagesHeld(), 2u);
  for (void* slot : slots)
    slab.Free(slot, size);
  EXPECT_EQ(pages.PagesInUse(), before) << "the built-in page stays, the others go";
}

// Random allocation and release in a few classes, with pages filling and emptying through both
// the chain of freed slots and the slots never used: every live slot keeps its bytes, no slot is
// handed out twice, and every page goes back at the end.
TEST(SlabAllocatorTest, RandomAllocationAndReleaseKeepEverySlotApart) {
  auto& pages = Platform::PageSource::Instance();
  const size_t before = pages.PagesInUse();
  SlabAllocator slab;
  struct Live {
    unsigned char* slot;
    size_t size;
    unsigned char fill;
  };
  std::vector<Live> live;
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
      const Live gone = live[i];
      for (size_t b = 0; b < gone.size; ++b)
        ASSERT_EQ(gone.slot[b], gone.fill) << "a live slot was overwritten";
      slab.Free(gone.slot, gone.size);
      handedOut.erase(gone.slot);
      live[i] = live.back();
      live.pop_back();
    }
  }
  for (const Live& entry : live)
    slab.Free(entry.slot, entry.size);
  EXPECT_EQ(slab.PagesHeld(), 0u);
  EXPECT_EQ(pages.PagesInUse(), before);
}

}  // namespace
}  // namespace Oxle::Client::Binding
