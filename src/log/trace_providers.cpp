#include "log/trace_providers.h"

#include <atomic>

#include "platform/process.h"

namespace Oxle::Client::Log {
namespace {

constexpr std::array<Platform::TraceProviderId, kTraceProviderCount> kProviderIds = {{
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

// The one enable callback of all four providers: keeps what the system reports (control code 0
// disables, 1 enables; 2, a request for the provider's state, changes nothing).
void TPK_TRACE_CALLBACK OnEnable(const Platform::TraceProviderId*, uint32_t controlCode,
                                 uint8_t level, uint64_t matchAnyKeyword, uint64_t, void*,
                                 void* context) {
  if (controlCode > 1) return;
  StoreTraceProviderState(reinterpret_cast<uintptr_t>(context),
                          {controlCode == 1, level, matchAnyKeyword});
}

}  // namespace

const std::array<Platform::TraceProviderId, kTraceProviderCount>& TraceProviderIds() noexcept {
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
  for (size_t i = 0; i < kTraceProviderCount; ++i) {
    // The context is the slot's index; the callback may run before the handle is stored.
    gSlots[i].handle.store(
        Platform::RegisterTraceProvider(kProviderIds[i], &OnEnable, reinterpret_cast<void*>(i)),
        std::memory_order_release);
  }
  constexpr size_t kThreadNameProvider = 1;
  if (ReadTraceProviderState(kThreadNameProvider).enabled) {
    const uint32_t threadId = Platform::CurrentThreadId();
    static constexpr char kName[] = "Main thread";
    const Platform::TraceEventData data[] = {
        {reinterpret_cast<uintptr_t>(&threadId), sizeof threadId, 0},
        {reinterpret_cast<uintptr_t>(kName), sizeof kName, 0},
    };
    constexpr Platform::TraceEventDescriptor kThreadName{103, 0, 0, 0, 0, 526, 0x100};
    Platform::WriteTraceEvent(TraceProviderHandle(kThreadNameProvider), kThreadName, data, 2);
  }
}

void UnregisterTraceProviders() noexcept {
  for (ProviderSlot& slot : gSlots) {
    const uint64_t handle = slot.handle.exchange(0, std::memory_order_acq_rel);
    Platform::UnregisterTraceProvider(handle);
  }
}

}  // namespace Oxle::Client::Log
