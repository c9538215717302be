// The system's event tracing, for the log's trace providers. On Windows, EventRegister,
// EventWrite and EventUnregister are looked up in Advapi32.dll (LoadLibraryW, GetProcAddress)
// on first use; a failed load or lookup leaves tracing off, and every call then does nothing.
// Linux has no event tracing: it is always off there. Thread-safe: the lookup is made once,
// the calls are the system's own.
#pragma once

#include <cstdint>

namespace Oxle::Client::Platform {

// The calling convention of the system's enable callback (stdcall on 32-bit Windows).
#if defined(_WIN32) && !defined(_WIN64)
#define TPK_TRACE_CALLBACK __stdcall
#else
#define TPK_TRACE_CALLBACK
#endif

// A provider identity in the usual GUID layout.
struct TraceProviderId {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

// An event's identity and classification, in the system's descriptor layout (16 bytes).
struct TraceEventDescriptor {
  uint16_t id;
  uint8_t version;
  uint8_t channel;
  uint8_t level;
  uint8_t opcode;
  uint16_t task;
  uint64_t keyword;
};

// One piece of an event's payload, in the system's data descriptor layout (16 bytes).
struct TraceEventData {
  uint64_t address;
  uint32_t size;
  uint32_t reserved;
};

// Called by the system, on a thread of its own, when a session enables or disables a provider:
// (provider, control code: 0 off, 1 on, 2 capture state, level, match-any keywords,
// match-all keywords, the session's filter, the context given at registration).
using TraceEnableCallback = void(TPK_TRACE_CALLBACK*)(const TraceProviderId* provider,
                                                      uint32_t controlCode, uint8_t level,
                                                      uint64_t matchAnyKeyword,
                                                      uint64_t matchAllKeyword, void* filter,
                                                      void* context);

// True when the system's event tracing could be reached.
[[nodiscard]] bool EventTracingAvailable() noexcept;

// True when the library named `library` (ASCII) loads and exports all three entry points: the
// lookup EventTracingAvailable makes in Advapi32.dll, for any library. Always false on Linux.
[[nodiscard]] bool EventTracingFoundIn(const char* library) noexcept;

// Registers a provider and returns its non-zero handle, or 0 when tracing is off or the system
// refuses. `callback` may be null.
[[nodiscard]] uint64_t RegisterTraceProvider(const TraceProviderId& provider,
                                             TraceEnableCallback callback, void* context) noexcept;

// Writes one event of `count` payload pieces; false when tracing is off, the handle is 0, or
// the system refuses.
bool WriteTraceEvent(uint64_t handle, const TraceEventDescriptor& event, const TraceEventData* data,
                     uint32_t count) noexcept;

// Ends a registration from RegisterTraceProvider; 0 is ignored.
void UnregisterTraceProvider(uint64_t handle) noexcept;

}  // namespace Oxle::Client::Platform
