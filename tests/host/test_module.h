// A hand-written module for the host tests: it fills the descriptor itself (no plugin
// framework), exports four routes and counts what the host delivers. Linked into the test
// program it is loaded through its export function and steered through its object and the hooks
// below; built as a shared object it is loaded by path and reached only through its routes.
//   GET  /test/v1/echo/{value}  200, the value "<method> <target> <caller context>", header x-test
//   POST /test/v1/fail          418, error "the test route failed"
//   GET  /test/v1/throw         throws std::runtime_error("route exploded")
//   GET  /test/v1/body          200, a body stream of kBodySize bytes in pieces of 1000
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tpk/plugin_abi.h"

namespace TestModule {

inline constexpr uint32_t kBodySize = 10000;
inline constexpr uint32_t kRouteCount = 4;

struct Module {
  PluginCallbacks callbacks{};
  ApiExportTable table{};
  ApiExportEntry entries[kRouteCount]{};
  ApiExportUserData userData[kRouteCount]{};
  PluginDescriptor received{};  // the descriptor as the host filled it in
  const HostApi* api = nullptr;
  uint32_t handle = 0;
  std::atomic<int> starts{0};
  std::atomic<int> events{0};
  std::atomic<int> jobs{0};
  std::mutex mutex;                     // guards eventNames
  std::vector<std::string> eventNames;  // in delivery order
  // Run inside the callbacks when set (tests set them before the host can call them).
  std::function<uint8_t(Module&)> onStart;
  std::function<void(Module&, const HostEvent&)> onEvent;
  std::function<void(Module&)> onJob;
  std::function<void(Module&)> onUnload;

  // Host slots with this module's table and handle.
  int32_t Subscribe(const char* name) {
    return api->SubscribeEvent(api, name, handle, &Module::EventCallback, this, 0);
  }
  int32_t Unsubscribe(const char* name) { return api->UnsubscribeEvent(api, name, handle); }
  int32_t Schedule(const char* name, double delaySeconds) {
    return api->ScheduleJob(api, name, &Module::JobCallback, this, delaySeconds, 0);
  }
  static void EventCallback(const HostEvent* event);
  static void JobCallback(void* context);
};

// Steers the next loads of the linked-in module.
struct Options {
  bool nullShortName = false;
  bool nullCallbacks = false;
  bool nullEntryArray = false;
  bool throwFromExport = false;
};
Options& NextOptions();
// The object the last load created (for a test to free one the host could not unload).
Module*& LastCreated();
// Unload calls of the linked-in module since the process started.
std::atomic<int>& UnloadCount();

}  // namespace TestModule

extern "C" void* tpk_test_module_load(PluginDescriptor* descriptor);
