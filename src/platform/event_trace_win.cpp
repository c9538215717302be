// event_trace.h on Windows: the three entry points of Advapi32.dll, looked up once, on first
// use, through the platform's shared libraries (LoadLibraryW and GetProcAddress). The library
// stays loaded for the life of the process, since registrations and their callbacks live in it.
#include "platform/event_trace.h"

#include <windows.h>
// After windows.h, which it needs.
#include <evntprov.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "platform/shared_library.h"

namespace Oxle::Client::Platform {
namespace {

static_assert(sizeof(TraceProviderId) == sizeof(GUID));
static_assert(sizeof(TraceEventDescriptor) == sizeof(EVENT_DESCRIPTOR));
static_assert(offsetof(TraceEventDescriptor, keyword) == offsetof(EVENT_DESCRIPTOR, Keyword));
static_assert(sizeof(TraceEventData) == sizeof(EVENT_DATA_DESCRIPTOR));
static_assert(offsetof(TraceEventData, size) == offsetof(EVENT_DATA_DESCRIPTOR, Size));

using RegisterFunction = ULONG(WINAPI*)(LPCGUID, PENABLECALLBACK, PVOID, PREGHANDLE);
using WriteFunction = ULONG(WINAPI*)(REGHANDLE, PCEVENT_DESCRIPTOR, ULONG, PEVENT_DATA_DESCRIPTOR);
using UnregisterFunction = ULONG(WINAPI*)(REGHANDLE);

struct EntryPoints {
  RegisterFunction registerProvider = nullptr;
  WriteFunction write = nullptr;
  UnregisterFunction unregister = nullptr;
};

// A function of the library by name, or null.
template <typename Function>
Function Find(void* library, const char* name) {
  std::string unused;
  void* const symbol = FindLibrarySymbol(library, name, unused);
  Function function = nullptr;
  static_assert(sizeof function == sizeof symbol);
  std::memcpy(&function, &symbol, sizeof symbol);
  return function;
}

// All three or none. `library` keeps the library's handle when all three were found; otherwise
// the library is released and `library` is null.
EntryPoints LoadEntryPoints(const char* name, void*& library) {
  std::string unused;
  library = OpenSharedLibrary(name, unused);
  if (library == nullptr) return {};
  EntryPoints found{Find<RegisterFunction>(library, "EventRegister"),
                    Find<WriteFunction>(library, "EventWrite"),
                    Find<UnregisterFunction>(library, "EventUnregister")};
  if (found.registerProvider == nullptr || found.write == nullptr || found.unregister == nullptr) {
    CloseSharedLibrary(library);
    library = nullptr;
    return {};
  }
  return found;
}

const EntryPoints& Entries() {
  static const EntryPoints entries = [] {
    void* kept = nullptr;  // for the life of the process
    return LoadEntryPoints("Advapi32.dll", kept);
  }();
  return entries;
}

}  // namespace

bool EventTracingAvailable() noexcept {
  return Entries().registerProvider != nullptr;
}

bool EventTracingFoundIn(const char* library) noexcept {
  void* handle = nullptr;
  const bool found = LoadEntryPoints(library, handle).registerProvider != nullptr;
  CloseSharedLibrary(handle);
  return found;
}

uint64_t RegisterTraceProvider(const TraceProviderId& provider, TraceEnableCallback callback,
                               void* context) noexcept {
  const EntryPoints& entries = Entries();
  if (entries.registerProvider == nullptr) return 0;
  REGHANDLE handle = 0;
  const auto enable = reinterpret_cast<PENABLECALLBACK>(reinterpret_cast<void (*)()>(callback));
  if (entries.registerProvider(reinterpret_cast<const GUID*>(&provider), enable, context,
                               &handle) != ERROR_SUCCESS) {
    return 0;
  }
  return handle;
}

bool WriteTraceEvent(uint64_t handle, const TraceEventDescriptor& event, const TraceEventData* data,
                     uint32_t count) noexcept {
  const EntryPoints& entries = Entries();
  if (entries.write == nullptr || handle == 0) return false;
  return entries.write(handle, reinterpret_cast<const EVENT_DESCRIPTOR*>(&event), count,
                       reinterpret_cast<EVENT_DATA_DESCRIPTOR*>(
                           const_cast<TraceEventData*>(data))) == ERROR_SUCCESS;
}

void UnregisterTraceProvider(uint64_t handle) noexcept {
  const EntryPoints& entries = Entries();
  if (entries.unregister == nullptr || handle == 0) return;
  entries.unregister(handle);
}

}  // namespace Oxle::Client::Platform
