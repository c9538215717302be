#include "log/allocation_hooks.h"

#include <atomic>
#include <cstdlib>

#include "platform/heap.h"

namespace Oxle::Client::Log {
namespace {

AllocationHooks gHooks;

std::atomic<uint64_t> gPeakBytes{0};
std::atomic<uint64_t> gLiveAtPeak{0};
std::atomic<uint64_t> gBytesAllocated{0};
std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gBytesFreed{0};
std::atomic<uint64_t> gFrees{0};

size_t UsableSize(void* block) noexcept {
  return Platform::HeapBlockSize(block);
}

// Reads the totals and raises the peak in separate atomic steps; concurrent updates may leave
// the peak a little behind the true maximum, never above it.
void UpdatePeak() noexcept {
  const uint64_t inUse =
      gBytesAllocated.load(std::memory_order_relaxed) - gBytesFreed.load(std::memory_order_relaxed);
  if (inUse > gPeakBytes.load(std::memory_order_relaxed)) {
    gPeakBytes.store(inUse, std::memory_order_relaxed);
    gLiveAtPeak.store(
        gAllocations.load(std::memory_order_relaxed) - gFrees.load(std::memory_order_relaxed),
        std::memory_order_relaxed);
  }
}

void CountAllocation(void* block) noexcept {
  gBytesAllocated.fetch_add(UsableSize(block), std::memory_order_relaxed);
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  UpdatePeak();
}

void* CountingAllocate(size_t size, void*) {
  void* block = std::malloc(size);
  CountAllocation(block);
  return block;
}

char* CountingDuplicate(const char* text, void*) {
  char* copy = Platform::DuplicateHeapText(text);
  CountAllocation(copy);
  return copy;
}

void* CountingReallocate(void* block, size_t size, void*) {
  const size_t oldSize = UsableSize(block);
  void* grown = std::realloc(block, size);
  if (grown == nullptr && size != 0) return nullptr;  // the old block is still allocated
  gBytesFreed.fetch_add(oldSize, std::memory_order_relaxed);
  gFrees.fetch_add(1, std::memory_order_relaxed);
  CountAllocation(grown);
  return grown;
}

void CountingFree(void* block, void*) {
  if (block == nullptr) return;
  gBytesFreed.fetch_add(UsableSize(block), std::memory_order_relaxed);
  std::free(block);
  gFrees.fetch_add(1, std::memory_order_relaxed);
}

size_t CountingSize(const void* block, void*) {
  return UsableSize(const_cast<void*>(block));
}

}  // namespace

void SetAllocationHooks(const AllocationHooks& hooks) noexcept {
  gHooks = hooks;
}

AllocationHooks GetAllocationHooks() noexcept {
  return gHooks;
}

void* Allocate(size_t size) noexcept {
  return gHooks.allocate != nullptr ? gHooks.allocate(size, gHooks.context) : std::malloc(size);
}

void Free(void* block) noexcept {
  if (gHooks.free != nullptr) {
    gHooks.free(block, gHooks.context);
  } else {
    std::free(block);
  }
}

void* Reallocate(void* block, size_t size) noexcept {
  return gHooks.reallocate != nullptr ? gHooks.reallocate(block, size, gHooks.context)
                                      : std::realloc(block, size);
}

char* DuplicateString(const char* text) noexcept {
  if (text == nullptr) return nullptr;
  return gHooks.duplicate != nullptr ? gHooks.duplicate(text, gHooks.context)
                                     : Platform::DuplicateHeapText(text);
}

size_t AllocationSize(const void* block) noexcept {
  return gHooks.size != nullptr ? gHooks.size(block, gHooks.context)
                                : UsableSize(const_cast<void*>(block));
}

void InstallAllocationTracking() noexcept {
  AllocationHooks hooks;
  hooks.allocate = CountingAllocate;
  hooks.free = CountingFree;
  hooks.reallocate = CountingReallocate;
  hooks.duplicate = CountingDuplicate;
  hooks.size = CountingSize;
  SetAllocationHooks(hooks);
}

AllocationCounters ReadAllocationCounters() noexcept {
  AllocationCounters counters;
  counters.peakBytes = gPeakBytes.load(std::memory_order_relaxed);
  counters.liveAllocationsAtPeak = gLiveAtPeak.load(std::memory_order_relaxed);
  counters.bytesAllocated = gBytesAllocated.load(std::memory_order_relaxed);
  counters.allocations = gAllocations.load(std::memory_order_relaxed);
  counters.bytesFreed = gBytesFreed.load(std::memory_order_relaxed);
  counters.frees = gFrees.load(std::memory_order_relaxed);
  return counters;
}

}  // namespace Oxle::Client::Log
