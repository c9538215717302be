#include "log/trace_providers.h"

#include <atomic>

namespace Oxle::Client::Log {
namespace {

constexpr std::array<TraceProviderGuid, kTraceProviderCount> kProviderIds = {{
    {0x2F9EFE86, 0x4AF7, 0x4F37, {0xA4, 0x0F, 0x94, 0xB9, 0x09, 0xA1, 0x57, 0xD6}},
    {0xEA08C559, 0x95A8, 0x4AA2, {0xAF, 0xA6, 0x18, 0x73, 0x8E, 0xEC, 0x6D, 0x37}},
    {0x10F6728C, 0xEF92, 0x4BF1, {0x83, 0x97, 0x49, 0xE6, 0x93, 0xA6, 0xEB, 0x74}},
    {0x46DD7F96, 0x60CB, 0x416B, {0x80, 0x85, 0xDA, 0x5C, 0xD8, 0xF4, 0x91, 0xDD}},
}};

// One provider's registration. The enable callback may run on a system thread, hence atomics.
struct ProviderSlot {
  std::atomic<uint64_t> handle{0};
  std::atomic<bool> enabled{false};
  std::atomic<uint8_t> level{0};
  std::atomic<uint64_t> keywords{0};
};

ProviderSlot gSlots[kTraceProviderCount];

}  // namespace

const std::array<TraceProviderGuid, kTraceProviderCount>& TraceProviderIds() noexcept {
  return kProviderIds;
}

uint64_t TraceProviderHandle(size_t index) noexcept {
  return index < kTraceProviderCount ? gSlots[index].handle.load(std::memory_order_acquire) : 0;
}

TraceProviderState ReadTraceProviderState(size_t index) noexcept {
  if (index >= kTraceProviderCount) return {};
  const ProviderSlot& slot = gSlots[index];
  return {slot.enabled.load(std::memory_order_acquire), slot.level.load(std::memory_order_relaxed),
          slot.keywords.load(std::memory_order_relaxed)};
}

void StoreTraceProviderState(size_t index, const TraceProviderState& state) noexcept {
  if (index >= kTraceProviderCount) return;
  ProviderSlot& slot = gSlots[index];
  slot.level.store(state.level, std::memory_order_relaxed);
  slot.keywords.store(state.keywords, std::memory_order_relaxed);
  slot.enabled.store(state.enabled, std::memory_order_release);
}

void RegisterTraceProviders() noexcept {
  // No event tracing on this platform. A port registers kProviderIds in order here with one
  // enable callback that calls StoreTraceProviderState, keeps each handle in gSlots, and, if
  // provider 2 is enabled, writes the thread-name event for the calling thread.
}

void UnregisterTraceProviders() noexcept {
  for (ProviderSlot& slot : gSlots) {
    // A port unregisters the handle with the system before clearing it.
    slot.handle.store(0, std::memory_order_release);
  }
}

}  // namespace Oxle::Client::Log
