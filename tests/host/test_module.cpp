#include "test_module.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace TestModule {
namespace {

// Every route: the user data the host passes picks the answer, so a host that passed another
// entry's gets that entry's answer. The body's bytes are '0' + their offset % 10.
void Route(ApiResponseRecord* r, const ApiRequestRecord* request) {
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

}  // namespace
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
