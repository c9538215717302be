// event_trace.h on Windows: the three entry points of Advapi32.dll, looked up once, on first
// use, through LoadLibraryW and GetProcAddress. The library stays loaded for the life of the
// process, since registrations and their callbacks live in it.
#include "platform/event_trace.h"

#include <windows.h>
// After windows.h, which it needs.
#include <evntprov.h>

#include <cstddef>

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

// A function of the library by name, converted through the generic function pointer type.
template <typename Function>
Function Find(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

// All three or none.
EntryPoints LoadEntryPoints(const wchar_t* name) {
  const HMODULE library = LoadLibraryW(name);
  if (library == nullptr) return {};
  EntryPoints found{Find<RegisterFunction>(library, "EventRegister"),
                    Find<WriteFunction>(library, "EventWrite"),
                    Find<UnregisterFunction>(library, "EventUnregister")};
  if (found.registerProvider == nullptr || found.write == nullptr || found.unregister == nullptr) {
    FreeLibrary(library);
    return {};
  }
  return found;
}

const EntryPoints& Entries() {
  static const EntryPoints entries = LoadEntryPoints(L"Advapi32.dll");
  return entries;
}

}  // namespace

bool EventTracingAvailable() noexcept {
  return Entries().registerProvider != nullptr;
}

bool EventTracingFoundIn(const char* library) noexcept {
  wchar_t name[MAX_PATH];
  size_t length = 0;
  for (; library[length] != '\0'; ++length) {
    if (length + 1 == MAX_PATH) return false;
    name[length] = static_cast<wchar_t>(static_cast<unsigned char>(library[length]));
  }
  name[length] = L'\0';
  const EntryPoints found = LoadEntryPoints(name);
  // The lookup keeps the library loaded only when it found all three: release that reference.
  if (found.registerProvider != nullptr) FreeLibrary(GetModuleHandleW(name));
  return found.registerProvider != nullptr;
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
