#include "log/allocation_hooks.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <thread>
#include <vector>

namespace Oxle::Client::Log {
namespace {

// Allocations, bytes allocated, frees and bytes freed since `before`.
std::vector<uint64_t> Delta(const AllocationCounters& before) {
  const AllocationCounters after = ReadAllocationCounters();
  return {after.allocations - before.allocations, after.bytesAllocated - before.bytesAllocated,
          after.frees - before.frees, after.bytesFreed - before.bytesFreed};
}

class AllocationHooksTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallAllocationTracking(); }
  void TearDown() override { SetAllocationHooks(AllocationHooks{}); }
};

// Allocations and frees count usable sizes; freeing null counts nothing; reallocating null
// counts a free of nothing and an allocation.
TEST_F(AllocationHooksTest, CountsUsableSizesOfAllocationsAndFrees) {
  const AllocationCounters before = ReadAllocationCounters();
  void* block = Allocate(100);
  const size_t usable = malloc_usable_size(block);
  EXPECT_EQ(AllocationSize(block), usable);
  char* text = DuplicateString("twelve chars");
  EXPECT_STREQ(text, "twelve chars");
  const size_t textSize = malloc_usable_size(text);
  Free(block);
  Free(text);
  Free(nullptr);
  EXPECT_EQ(Delta(before), std::vector<uint64_t>({2, usable + textSize, 2, usable + textSize}));

  const AllocationCounters middle = ReadAllocationCounters();
  block = Reallocate(nullptr, 64);
  EXPECT_EQ(Delta(middle), std::vector<uint64_t>({1, malloc_usable_size(block), 1, 0}));
  Free(block);
}

TEST_F(AllocationHooksTest, PeakRecordsTheMostBytesInUseAndTheLiveCountThen) {
  // Raise the peak well above anything earlier tests reached, then fall back.
  const AllocationCounters before = ReadAllocationCounters();
  const uint64_t inUseBefore = before.bytesAllocated - before.bytesFreed;
  std::vector<void*> blocks;
  size_t bytes = 0;
  for (int i = 0; i < 8; ++i) {
    blocks.push_back(Allocate(1 << 20));
    bytes += malloc_usable_size(blocks.back());
  }
  const AllocationCounters atPeak = ReadAllocationCounters();
  EXPECT_EQ(atPeak.peakBytes, inUseBefore + bytes);
  EXPECT_EQ(atPeak.liveAllocationsAtPeak, atPeak.allocations - atPeak.frees);
  for (void* block : blocks)
    Free(block);
  Free(Allocate(16));
  const AllocationCounters after = ReadAllocationCounters();  // the peak never falls
  EXPECT_EQ(std::tuple(after.peakBytes, after.liveAllocationsAtPeak),
            std::tuple(atPeak.peakBytes, atPeak.liveAllocationsAtPeak));
}

TEST_F(AllocationHooksTest, CountersStayExactUnderConcurrentUse) {
  const AllocationCounters before = ReadAllocationCounters();
  auto work = [] {
    for (int i = 0; i < 10000; ++i)
      Free(Allocate(static_cast<size_t>(i % 200)));
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  const std::vector<uint64_t> delta = Delta(before);
  EXPECT_EQ(std::tuple(delta[0], delta[2], delta[1]), std::tuple(20000u, 20000u, delta[3]));
}

TEST(AllocationHooksFallbackTest, WithoutHooksTheCLibraryIsUsedAndNothingIsCounted) {
  SetAllocationHooks(AllocationHooks{});
  const AllocationCounters before = ReadAllocationCounters();
  char* text = DuplicateString("plain");
  EXPECT_STREQ(text, "plain");
  Free(text);
  EXPECT_EQ(ReadAllocationCounters().allocations, before.allocations);
  EXPECT_EQ(DuplicateString(nullptr), nullptr);
}

}  // namespace
}  // namespace Oxle::Client::Log
