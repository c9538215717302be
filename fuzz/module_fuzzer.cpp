// Drives the match-history module through the host core, linked in and in manual mode, with
// everything taken from the input: values on the configuration, session and platform-id
// resources (or their deletion), route calls (method, target, query, headers, body), the fake
// remote service's answers (transport result, status, headers, body), and clock steps that let
// jobs run. Every call's response record is released by the host; the module is unloaded at
// the end, and the framework's allocation counters must then show as many frees as allocations.
//
// Input: a sequence of operations, each a u8 code (mod 5) and its operands (reads past the end
// give zero bytes and empty texts):
//   0  resource: u8 which (mod 3), u8 form (0 delete, 1 the text as a JSON string, else the
//      text parsed as JSON, falling back to a string), u16 length + text
//   1  route: u8 route (mod 11; 10 a target from the input), u8 method (mod 9), u64 number,
//      u8 length + query, u8 header count (mod 4) times (u8 length + name, u8 length + value),
//      u16 length + body (absent when the length is 0)
//   2  answer: u8 transport (0 completed, 1 failed, 2 result -1, else completed), u16 status,
//      u8 header count (mod 4) times (u8 length + name, u8 length + value), u16 length + body
//   3  clock: u8 milliseconds, then the due work runs
//   4  a fixed valid step: configure an endpoint, a platform and a complete session
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "codec/json.h"
#include "core/host.h"
#include "log/allocation_hooks.h"
#include "support/fake_match_service.h"
#include "tpk/plugin_abi.h"

extern "C" void* load_qel_mhx(PluginDescriptor* descriptor);

namespace {

using namespace Oxle::Client;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  [[nodiscard]] bool Done() const { return at_ >= size_; }
  uint64_t Number(size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
      value |= static_cast<uint64_t>(Byte()) << (8 * i);
    return value;
  }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string Text(size_t lengthBytes) {
    const size_t length = static_cast<size_t>(Number(lengthBytes));
    std::string text;
    for (size_t i = 0; i < length && !Done(); ++i)
      text += static_cast<char>(Byte());
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

constexpr const char* kUris[] = {"/qel-platform-config/v1/namespaces/KRTMHX",
                                 "/qel-login/v1/session",
                                 "/qel-platform-config/v1/namespaces/LoginDataPacket/platformId"};

constexpr const char* kRoutes[] = {"/qel-mhx/v1/matchlists/",
                                   "/qel-mhx/v2/request-recently-played-champions/",
                                   "/qel-mhx/v2/request-recently-played-champions/current-summoner",
                                   "/qel-mhx/v2/recently-played-champions/",
                                   "/qel-mhx/v2/recently-played-champions/current-summoner",
                                   "/qel-mhx/v1/recently-played-champions/",
                                   "/qel-mhx/v1/delta",
                                   "/qel-mhx/v1/games/",
                                   "/qel-mhx/v1/gametimelines/",
                                   "/qel-mhx/v1/mhx-endpoint-override"};

Binding::BindingProperty Value(uint8_t form, const std::string& text) {
  Binding::BindingProperty value;
  if (form != 1) {
    Binding::ValueResult parsed = Codec::ParseJson(text);
    if (parsed.Ok()) return parsed.Value();
  }
  value.SetString(text);
  return value;
}

void Headers(Input& input, ModuleTest::HeaderList& headers) {
  const int count = input.Byte() % 4;
  for (int i = 0; i < count; ++i) {
    std::string name = input.Text(1);
    headers.emplace_back(std::move(name), input.Text(1));
  }
}

void Run(Input& input) {
  auto service = std::make_shared<ModuleTest::FakeMatchService>();
  Host::HostOptions options;
  options.mode = Host::HostMode::Manual;
  options.transport = service;
  Host::Host host(options);
  Host::Result<Host::ModuleId> loaded = host.LoadModule(&load_qel_mhx, "linked mhx");
  if (!loaded.Ok() || !host.StartModule(loaded.Value()).Ok()) {
    std::fprintf(stderr, "the module did not load and start\n");
    std::abort();
  }
  for (int steps = 0; !input.Done() && steps < 64; ++steps) {
    switch (input.Byte() % 5) {
      case 0: {
        const char* uri = kUris[input.Byte() % 3];
        const uint8_t form = input.Byte();
        const std::string text = input.Text(2);
        if (form == 0) {
          (void)host.DeleteResource(uri);
        } else {
          (void)host.SetResource(uri, Value(form, text));
        }
        break;
      }
      case 1: {
        const uint8_t route = input.Byte() % 11;
        Host::ApiCall call;
        call.method = input.Byte() % 9;
        if (call.method == 8) call.methodName = "PURGE";
        const uint64_t number = input.Number(8);
        call.target = route == 10 ? input.Text(1) : kRoutes[route];
        if (route == 0 || route == 1 || route == 3 || route == 5 || route == 7 || route == 8) {
          call.target += number % 5 == 0 ? std::string("x") : std::to_string(number);
        }
        const std::string query = input.Text(1);
        if (!query.empty()) call.target += "?" + query;
        Headers(input, call.headers);
        std::string body = input.Text(2);
        if (!body.empty()) {
          call.contentType = "application/json";
          call.body = std::move(body);
        }
        (void)host.Call(call);
        break;
      }
      case 2: {
        const uint8_t transport = input.Byte();
        ModuleTest::ExternalAnswer answer;
        answer.transportResult = transport == 1 ? 1 : transport == 2 ? -1 : 0;
        answer.status = static_cast<uint32_t>(input.Number(2));
        Headers(input, answer.headers);
        answer.body = input.Text(2);
        service->Next(std::move(answer));
        break;
      }
      case 3:
        (void)host.AdvanceClock(std::chrono::milliseconds(input.Byte()));
        (void)host.RunDueWork(1000);
        break;
      default:
        (void)host.SetResource(kUris[0], Value(2, R"({"Endpoint":"https://mhx.fuzz/"})"));
        (void)host.SetResource(kUris[2], Value(2, R"("EUW1")"));
        (void)host.SetResource(kUris[1],
                               Value(2, R"({"state":"SUCCEEDED","summonerId":1,"accountId":2,)"
                                        R"("vekToken":{"t":"v"},"idToken":"i"})"));
        (void)host.RunDueWork(1000);
        break;
    }
  }
  (void)host.AdvanceClock(std::chrono::seconds(1));
  (void)host.RunDueWork(1000);
  if (!host.UnloadModule(loaded.Value()).Ok()) {
    std::fprintf(stderr, "the module did not unload\n");
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Log::AllocationCounters before = Log::ReadAllocationCounters();
  {
    Input input(data, size);
    Run(input);
  }
  const Log::AllocationCounters after = Log::ReadAllocationCounters();
  if (after.allocations - after.frees != before.allocations - before.frees ||
      after.bytesAllocated - after.bytesFreed != before.bytesAllocated - before.bytesFreed) {
    std::fprintf(stderr, "allocation counters out of balance: %llu live before, %llu after\n",
                 static_cast<unsigned long long>(before.allocations - before.frees),
                 static_cast<unsigned long long>(after.allocations - after.frees));
    std::abort();
  }
  return 0;
}
