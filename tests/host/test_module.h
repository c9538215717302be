// A hand-written module for the host tests: it fills the descriptor itself (no plugin
// framework), exports four routes and counts what the host delivers. Linked into the test
// program it is loaded through its export function and steered through its object and the
// globals below; built as a shared object (test_module.cpp) it is loaded by path and reached
// only through its routes.
//   GET  /test/v1/echo/{value}  200, the value "GET <target> <caller context>", header x-test: yes
//   POST /test/v1/fail          418, error "the test route failed", text "teapot"
//   GET  /test/v1/throw         throws std::runtime_error("route exploded")
//   GET  /test/v1/body          200, a body stream of kBodySize bytes in pieces of 1000
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

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

// Every route: the user data the host passes picks the answer, so a host that passed another
// entry's gets that entry's answer. The body's bytes are '0' + their offset % 10.
inline void Route(ApiResponseRecord* r, const ApiRequestRecord* request) {
  const auto* data = static_cast<ApiExportUserData*>(request->userData);
  const auto index = data - static_cast<Module*>(data->registry)->userData;
  if (index == 2) throw std::runtime_error("route exploded");
  r->status = index == 1 ? 418 : 200;
  r->error = index == 1 ? 1 : 0;
  r->errorMessage = index == 1 ? strdup("the test route failed") : nullptr;
  r->text = strdup(index == 1 ? "teapot" : "");
  r->free = [](ApiResponseRecord* r) {
    if (r->value.kind == HOST_VALUE_STRING_BORROWED) std::free((void*)r->value.payload.string.text);
    std::free(r->errorMessage);
    std::free(r->text);
    std::memset(r, 0, sizeof *r);
  };
  static ApiHeader headers[1] = {{"x-test", "yes"}};
  const std::string text = "GET " + std::string(request->target) + " " +
                           std::to_string(reinterpret_cast<uintptr_t>(request->callerContext));
  if (index == 0) {
    r->value.kind = HOST_VALUE_STRING_BORROWED;
    r->value.payload.string = {strdup(text.c_str()), static_cast<uint32_t>(text.size())};
    r->headers = headers;
    r->headerCount = 1;
  }
  if (index != 3) return;
  r->bodyStream = new uint32_t(0);
  r->bodySize = kBodySize;
  r->readBody = [](void* stream, void* buffer, uint32_t* length, uint8_t* more) {
    uint32_t& sent = *static_cast<uint32_t*>(stream);
    *length = std::min({kBodySize - sent, 1000u, *length});
    for (uint32_t i = 0; i < *length; ++i, ++sent)
      static_cast<char*>(buffer)[i] = static_cast<char>('0' + sent % 10);
    *more = sent < kBodySize ? 1 : 0;
    return uint8_t{1};
  };
  r->releaseBody = [](void* stream) { delete static_cast<uint32_t*>(stream); };
}

}  // namespace TestModule

extern "C" __attribute__((visibility("default"))) void* tpk_test_module_load(
    PluginDescriptor* descriptor) {
  using namespace TestModule;
  const Options options = gNext;
  if (options.throws) throw std::runtime_error("export exploded");
  Module* module = gLast = new Module();
  module->received = *descriptor;
  module->callbacks.Start = [](void* context, const HostContext* host) -> uint8_t {
    Module& self = *static_cast<Module*>(context);
    std::tie(self.api, self.handle) = std::pair(host->api, host->pluginHandle);
    return self.onStart ? self.onStart() : 1;
  };
  module->callbacks.Unload = [](void* context) {
    Module* self = static_cast<Module*>(context);
    if (self->onUnload) self->onUnload();
    ++gUnloads;
    delete self;
  };
  // Six counters 1..6 with the high word of the first set, then two zero words.
  module->callbacks.GetMemoryStats = [](void*, uint32_t* words) {
    for (uint32_t i = 0; i < 14; ++i)
      words[i] = i >= 12 ? 0 : i % 2 == 0 ? i / 2 + 1 : i == 1;
  };
  const char* routes[kRouteCount][2] = {{"GetTestV1EchoByValue", "/test/v1/echo/{value}"},
                                        {"PostTestV1Fail", "/test/v1/fail"},
                                        {"GetTestV1Throw", "/test/v1/throw"},
                                        {"GetTestV1Body", "/test/v1/body"}};
  for (uint32_t i = 0; i < kRouteCount; ++i) {
    ApiExportEntry& entry = module->entries[i];
    module->userData[i] = ApiExportUserData{module, nullptr};
    entry.function.next = i + 1 < kRouteCount ? &module->entries[i + 1].function : nullptr;
    entry.function.userData = &module->userData[i];
    entry.function.name = routes[i][0];
    entry.callback = &Route;
    entry.pathTemplate = routes[i][1];
    entry.methodName = "";
    entry.method = i == 1 ? 6 : 2;
  }
  module->table.entries = options.nullEntryArray ? nullptr : module->entries;
  module->table.entryCount = kRouteCount;
  *descriptor = {18, 1, 2, &module->callbacks, module, "test", &module->table};
  if (options.nullCallbacks) descriptor->callbacks = nullptr;
  if (options.nullShortName) descriptor->shortName = nullptr;
  return module;
}
