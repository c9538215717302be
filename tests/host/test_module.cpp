#include "test_module.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace TestModule {
namespace {

ApiHeader kHeaders[1] = {{"x-test", "yes"}};

// Starts an answer the module owns (its own callback frees it); false, and a 500 answer, when
// the host passed another entry's user data.
bool Answer(ApiResponseRecord* r, const ApiRequestRecord* request, uint32_t index, uint32_t status,
            const char* error = nullptr, const char* text = "") {
  const auto* data = static_cast<ApiExportUserData*>(request->userData);
  const bool own = data == &static_cast<Module*>(data->registry)->userData[index];
  r->status = own ? status : 500;
  r->error = !own || error != nullptr ? 1 : 0;
  r->errorMessage = !own ? strdup("wrong user data") : error != nullptr ? strdup(error) : nullptr;
  r->text = strdup(own ? text : "");
  r->free = [](ApiResponseRecord* r) {
    if (r->value.kind == HOST_VALUE_STRING_BORROWED) std::free((void*)r->value.payload.string.text);
    std::free(r->errorMessage);
    std::free(r->text);
    std::memset(r, 0, sizeof *r);
  };
  return own;
}

void Echo(ApiResponseRecord* r, const ApiRequestRecord* request) {
  if (!Answer(r, request, 0, 200)) return;
  const std::string text = "GET " + std::string(request->target) + " " +
                           std::to_string(reinterpret_cast<uintptr_t>(request->callerContext));
  r->value.kind = HOST_VALUE_STRING_BORROWED;
  r->value.payload.string = {strdup(text.c_str()), static_cast<uint32_t>(text.size())};
  r->headers = kHeaders;
  r->headerCount = 1;
}

// The body's bytes are '0' + their offset % 10, read out 1000 at a time.
void Body(ApiResponseRecord* r, const ApiRequestRecord* request) {
  if (!Answer(r, request, 3, 200)) return;
  r->bodyStream = new uint32_t(0);
  r->bodySize = kBodySize;
  r->readBody = [](void* stream, void* buffer, uint32_t* length, uint8_t* more) {
    uint32_t& sent = *static_cast<uint32_t*>(stream);
    const uint32_t count = std::min({kBodySize - sent, 1000u, *length});
    for (uint32_t i = 0; i < count; ++i)
      static_cast<char*>(buffer)[i] = static_cast<char>('0' + (sent + i) % 10);
    sent += count;
    *length = count;
    *more = sent < kBodySize ? 1 : 0;
    return uint8_t{1};
  };
  r->releaseBody = [](void* stream) { delete static_cast<uint32_t*>(stream); };
}

void SetEntry(Module& module, uint32_t index, const char* name, uint32_t method, const char* path,
              ApiExportCallback callback) {
  module.userData[index] = ApiExportUserData{&module, nullptr};
  ApiExportEntry& entry = module.entries[index];
  entry.function.next = index + 1 < kRouteCount ? &module.entries[index + 1].function : nullptr;
  entry.function.userData = &module.userData[index];
  entry.function.name = name;
  entry.callback = callback;
  entry.pathTemplate = path;
  entry.method = method;
  entry.methodName = "";
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
    self.api = host->api;
    self.handle = host->pluginHandle;
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
  SetEntry(*module, 0, "GetTestV1EchoByValue", 2, "/test/v1/echo/{value}", &Echo);
  SetEntry(*module, 1, "PostTestV1Fail", 6, "/test/v1/fail", [](auto* r, const auto* request) {
    Answer(r, request, 1, 418, "the test route failed", "teapot");
  });
  SetEntry(*module, 2, "GetTestV1Throw", 2, "/test/v1/throw",
           [](auto*, const auto*) { throw std::runtime_error("route exploded"); });
  SetEntry(*module, 3, "GetTestV1Body", 2, "/test/v1/body", &Body);
  module->table.entries = options.nullEntryArray ? nullptr : module->entries;
  module->table.entryCount = kRouteCount;
  *descriptor = {18,
                 1,
                 2,
                 options.nullCallbacks ? nullptr : &module->callbacks,
                 module,
                 options.nullShortName ? nullptr : "test",
                 &module->table};
  return module;
}
