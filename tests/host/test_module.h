// A hand-written module for the host tests: it fills the descriptor itself (no plugin
// framework), exports four routes and counts what the host delivers. Linked into the test
// program it is loaded through its export function and steered through its object and the
// globals below; built as a shared object it is loaded by path and reached only through its
// routes.
//   GET  /test/v1/echo/{value}  200, the value "GET <target> <caller context>", header x-test: yes
//   POST /test/v1/fail          418, error "the test route failed", text "teapot"
//   GET  /test/v1/throw         throws std::runtime_error("route exploded")
//   GET  /test/v1/body          200, a body stream of kBodySize bytes in pieces of 1000
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "tpk/plugin_abi.h"

namespace TestModule {

inline constexpr uint32_t kBodySize = 10000, kRouteCount = 4;

struct Module {
  PluginCallbacks callbacks{};
  ApiExportTable table{};
  ApiExportEntry entries[kRouteCount]{};
  ApiExportUserData userData[kRouteCount]{};
  PluginDescriptor received{};  // the descriptor as the host filled it in
  const HostApi* api = nullptr;
  uint32_t handle = 0;
  std::atomic<int> events{0}, jobs{0};
  // Run inside the callbacks when set (tests set them before the host can call them).
  std::function<uint8_t()> onStart;
  std::function<void(const HostEvent&)> onEvent;
  std::function<void()> onJob, onUnload;

  // Host slots with this module's table and handle.
  int32_t Subscribe(const char* name) {
    return api->SubscribeEvent(api, name, handle, &EventCallback, this, 0);
  }
  int32_t Unsubscribe(const char* name) { return api->UnsubscribeEvent(api, name, handle); }
  int32_t Schedule(const char* name, double delaySeconds) {
    return api->ScheduleJob(api, name, &JobCallback, this, delaySeconds, 0);
  }
  static void EventCallback(const HostEvent* event) {
    Module& module = *static_cast<Module*>(event->context);
    ++module.events;
    if (module.onEvent) module.onEvent(*event);
  }
  static void JobCallback(void* context) {
    Module& module = *static_cast<Module*>(context);
    ++module.jobs;
    if (module.onJob) module.onJob();
  }
};

// What the next loads of the linked-in module get wrong.
struct Options {
  bool nullShortName = false, nullCallbacks = false, nullEntryArray = false, throws = false;
};
inline Options gNext;
inline Module* gLast = nullptr;       // the object the last load created
inline std::atomic<int> gUnloads{0};  // Unload calls since the process started

}  // namespace TestModule

extern "C" void* tpk_test_module_load(PluginDescriptor* descriptor);
