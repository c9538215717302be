// Event-tracing providers: the four provider identities the framework registers at module
// load, with the registration handle and enable state kept for each. This platform has no
// event tracing, so registering and unregistering do nothing; the table stays so that a port
// can fill it in. Every function is safe from any thread (the state is atomic).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Oxle::Client::Log {

// A provider identity in the usual GUID layout.
struct TraceProviderGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  std::array<uint8_t, 8> data4;
};

// What the system last reported through the enable callback.
struct TraceProviderState {
  bool enabled = false;
  uint8_t level = 0;
  uint64_t keywords = 0;
};

inline constexpr size_t kTraceProviderCount = 4;

// The providers in registration order.
[[nodiscard]] const std::array<TraceProviderGuid, kTraceProviderCount>& TraceProviderIds() noexcept;

// The registration handle of provider `index` (0: not registered, also for a bad index).
[[nodiscard]] uint64_t TraceProviderHandle(size_t index) noexcept;
[[nodiscard]] TraceProviderState ReadTraceProviderState(size_t index) noexcept;
// The enable callback's work: stores the state of provider `index` (a bad index is ignored).
void StoreTraceProviderState(size_t index, const TraceProviderState& state) noexcept;

// At module load and unload. Unregistering clears every non-zero handle.
void RegisterTraceProviders() noexcept;
void UnregisterTraceProviders() noexcept;

}  // namespace Oxle::Client::Log
