// Event-tracing providers: the four provider identities the framework registers at module
// load with the system's event tracing (Platform::RegisterTraceProvider), with the registration
// handle and the enable state kept for each. Where the system has no event tracing (Linux, or a
// Windows without the entry points) registering leaves every handle 0. Every function is safe
// from any thread (the state is atomic; the enable callback runs on a system thread).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/event_trace.h"

namespace Oxle::Client::Log {

// What the system last reported through the enable callback.
struct TraceProviderState {
  bool enabled = false;
  uint8_t level = 0;
  uint64_t keywords = 0;
};

inline constexpr size_t kTraceProviderCount = 4;

// The providers in registration order.
[[nodiscard]] const std::array<Platform::TraceProviderId, kTraceProviderCount>&
TraceProviderIds() noexcept;

// The registration handle of provider `index` (0: not registered, also for a bad index).
[[nodiscard]] uint64_t TraceProviderHandle(size_t index) noexcept;
[[nodiscard]] TraceProviderState ReadTraceProviderState(size_t index) noexcept;
// The enable callback's work: stores the state of provider `index` (a bad index is ignored).
void StoreTraceProviderState(size_t index, const TraceProviderState& state) noexcept;

// At module load: registers the four providers in order, all with one enable callback, and
// when the second is enabled writes the thread-name event (id 103, task 526, keyword 0x100:
// the calling thread's id and "Main thread"). At unload: unregisters every non-zero handle and
// clears it.
void RegisterTraceProviders() noexcept;
void UnregisterTraceProviders() noexcept;

}  // namespace Oxle::Client::Log
