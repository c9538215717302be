#include "test_module.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace TestModule {

namespace {

char* Copy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

ApiHeader kHeaders[1] = {{"x-test", "yes"}};

// Frees what the routes allocate: the value's text, the error message, the text.
void FreeResponse(ApiResponseRecord* response) {
  if (response->value.kind == HOST_VALUE_STRING_BORROWED) {
    std::free(const_cast<char*>(response->value.payload.string.text));
  }
  std::free(response->errorMessage);
  std::free(response->text);
  std::memset(response, 0, sizeof *response);
}

struct BodyStream {
  uint32_t sent;
};

uint8_t ReadBody(void* stream, void* buffer, uint32_t* length, uint8_t* moreData) {
  BodyStream& body = *static_cast<BodyStream*>(stream);
  uint32_t count = kBodySize - body.sent;
  if (count > 1000) count = 1000;
  if (count > *length) count = *length;
  for (uint32_t i = 0; i < count; ++i)
    static_cast<char*>(buffer)[i] = static_cast<char>('0' + (body.sent + i) % 10);
  body.sent += count;
  *length = count;
  *moreData = body.sent < kBodySize ? 1 : 0;
  return 1;
}

void ReleaseBody(void* stream) {
  std::free(stream);
}

// The module that owns the route of entry `index`, or null (and a 500 answer) when the host
// passed another entry's user data.
Module* Owner(ApiResponseRecord* response, const ApiRequestRecord* request, uint32_t index) {
  Module* module =
      static_cast<Module*>(static_cast<ApiExportUserData*>(request->userData)->registry);
  response->text = Copy("");
  response->free = &FreeResponse;
  if (request->userData == &module->userData[index]) return module;
  response->error = 1;
  response->errorMessage = Copy("wrong user data");
  response->status = 500;
  return nullptr;
}

void Echo(ApiResponseRecord* response, const ApiRequestRecord* request) {
  if (Owner(response, request, 0) == nullptr) return;
  const std::string text = "GET " + std::string(request->target) + " " +
                           std::to_string(reinterpret_cast<uintptr_t>(request->callerContext));
  response->value.kind = HOST_VALUE_STRING_BORROWED;
  response->value.payload.string.text = Copy(text);
  response->value.payload.string.length = static_cast<uint32_t>(text.size());
  response->status = 200;
  response->headers = kHeaders;
  response->headerCount = 1;
}

void Fail(ApiResponseRecord* response, const ApiRequestRecord* request) {
  if (Owner(response, request, 1) == nullptr) return;
  response->error = 1;
  response->errorMessage = Copy("the test route failed");
  response->status = 418;
  std::free(response->text);
  response->text = Copy("teapot");
}

void Throw(ApiResponseRecord*, const ApiRequestRecord*) {
  throw std::runtime_error("route exploded");
}

void Body(ApiResponseRecord* response, const ApiRequestRecord* request) {
  if (Owner(response, request, 3) == nullptr) return;
  response->status = 200;
  auto* stream = static_cast<BodyStream*>(std::malloc(sizeof(BodyStream)));
  stream->sent = 0;
  response->bodyStream = stream;
  response->bodySize = kBodySize;
  response->readBody = &ReadBody;
  response->releaseBody = &ReleaseBody;
}

uint8_t Start(void* context, const HostContext* hostContext) {
  Module& module = *static_cast<Module*>(context);
  module.api = hostContext->api;
  module.handle = hostContext->pluginHandle;
  ++module.starts;
  return module.onStart ? module.onStart(module) : 1;
}

void Unload(void* context) {
  Module* module = static_cast<Module*>(context);
  if (module->onUnload) module->onUnload(*module);
  ++UnloadCount();
  delete module;
}

void GetMemoryStats(void*, uint32_t* words) {
  // Six counters 1..6 with the high word of the first set, then two zero words.
  for (uint32_t i = 0; i < 6; ++i) {
    words[2 * i] = i + 1;
    words[2 * i + 1] = i == 0 ? 1 : 0;
  }
  words[12] = 0;
  words[13] = 0;
}

void SetEntry(Module& module, uint32_t index, const char* name, uint32_t method, const char* path,
              ApiExportCallback callback) {
  ApiExportEntry& entry = module.entries[index];
  module.userData[index] = ApiExportUserData{&module, nullptr};
  entry.function.next = index + 1 < kRouteCount ? &module.entries[index + 1].function : nullptr;
  entry.function.userData = &module.userData[index];
  entry.function.name = name;
  entry.callback = callback;
  entry.pathTemplate = path;
  entry.method = method;
  entry.methodName = "";
}

}  // namespace

void Module::EventCallback(const HostEvent* event) {
  Module& module = *static_cast<Module*>(event->context);
  {
    std::lock_guard lock(module.mutex);
    module.eventNames.emplace_back(event->name);
  }
  ++module.events;
  if (module.onEvent) module.onEvent(module, *event);
}

void Module::JobCallback(void* context) {
  Module& module = *static_cast<Module*>(context);
  ++module.jobs;
  if (module.onJob) module.onJob(module);
}

Options& NextOptions() {
  static Options options;
  return options;
}

Module*& LastCreated() {
  static Module* module = nullptr;
  return module;
}

std::atomic<int>& UnloadCount() {
  static std::atomic<int> count{0};
  return count;
}

}  // namespace TestModule

extern "C" __attribute__((visibility("default"))) void* tpk_test_module_load(
    PluginDescriptor* descriptor) {
  using namespace TestModule;
  const Options options = NextOptions();
  if (options.throwFromExport) throw std::runtime_error("export exploded");
  Module* module = new Module();
  LastCreated() = module;
  module->received = *descriptor;
  module->callbacks = PluginCallbacks{&Start, &Unload, &GetMemoryStats};
  SetEntry(*module, 0, "GetTestV1EchoByValue", 2, "/test/v1/echo/{value}", &Echo);
  SetEntry(*module, 1, "PostTestV1Fail", 6, "/test/v1/fail", &Fail);
  SetEntry(*module, 2, "GetTestV1Throw", 2, "/test/v1/throw", &Throw);
  SetEntry(*module, 3, "GetTestV1Body", 2, "/test/v1/body", &Body);
  module->table.entries = options.nullEntryArray ? nullptr : module->entries;
  module->table.entryCount = kRouteCount;
  descriptor->major = 18;
  descriptor->minor = 1;
  descriptor->patch = 2;
  descriptor->callbacks = options.nullCallbacks ? nullptr : &module->callbacks;
  descriptor->context = module;
  descriptor->shortName = options.nullShortName ? nullptr : "test";
  descriptor->exportTable = &module->table;
  return module;
}
