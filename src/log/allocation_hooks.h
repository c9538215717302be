// Allocation hooks and counters: the five replaceable functions behind the framework's own
// allocations (memory handed across the host boundary, for one), and the counting functions
// that InstallAllocationTracking puts in place at module load so the host can read usage.
// Hooks are replaced only before other threads allocate (at module load); the counters are
// updated atomically from any thread. Without hooks the C library functions are used.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Oxle::Client::Log {

// The replaceable functions; each takes the table's `context` last.
struct AllocationHooks {
  void* (*allocate)(size_t size, void* context) = nullptr;
  void (*free)(void* block, void* context) = nullptr;
  void* (*reallocate)(void* block, size_t size, void* context) = nullptr;
  char* (*duplicate)(const char* text, void* context) = nullptr;
  size_t (*size)(const void* block, void* context) = nullptr;
  void* context = nullptr;
};

// Installs `hooks`; a null function falls back to the C library's.
void SetAllocationHooks(const AllocationHooks& hooks) noexcept;
[[nodiscard]] AllocationHooks GetAllocationHooks() noexcept;

// The framework's allocation functions, through the hooks. Allocate and Duplicate give null
// when memory is exhausted; Free and Size accept null.
[[nodiscard]] void* Allocate(size_t size) noexcept;
void Free(void* block) noexcept;
[[nodiscard]] void* Reallocate(void* block, size_t size) noexcept;
[[nodiscard]] char* DuplicateString(const char* text) noexcept;
[[nodiscard]] size_t AllocationSize(const void* block) noexcept;

// A consistent-enough snapshot of the counters (each read atomically).
struct AllocationCounters {
  uint64_t peakBytes = 0;              // the most (allocated - freed) bytes seen
  uint64_t liveAllocationsAtPeak = 0;  // allocations - frees when the peak was reached
  uint64_t bytesAllocated = 0;
  uint64_t allocations = 0;
  uint64_t bytesFreed = 0;
  uint64_t frees = 0;
};

// Sets the hooks to the counting functions (usable sizes of blocks are counted). Idempotent.
void InstallAllocationTracking() noexcept;
[[nodiscard]] AllocationCounters ReadAllocationCounters() noexcept;

}  // namespace Oxle::Client::Log
