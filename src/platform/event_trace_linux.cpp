// event_trace.h on Linux, which has no event tracing: registering gives no handle and writing
// does nothing.
#include "platform/event_trace.h"

namespace Oxle::Client::Platform {

bool EventTracingAvailable() noexcept {
  return false;
}

bool EventTracingFoundIn(const char*) noexcept {
  return false;
}

uint64_t RegisterTraceProvider(const TraceProviderId&, TraceEnableCallback, void*) noexcept {
  return 0;
}

bool WriteTraceEvent(uint64_t, const TraceEventDescriptor&, const TraceEventData*,
                     uint32_t) noexcept {
  return false;
}

void UnregisterTraceProvider(uint64_t) noexcept {}

}  // namespace Oxle::Client::Platform
