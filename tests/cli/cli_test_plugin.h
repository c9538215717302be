// A plugin of the server tests' own ("qel-clitest"), built on PluginBase and loaded into the host
// core through its export function, whose routes give the answers the server must translate:
//   GET  /qel-clitest/v1/zero          {"ok": true} with status 0 (not set)
//   GET  /qel-clitest/v1/zero-error    error "nothing set the status", status 0
//   GET  /qel-clitest/v1/low-error     error "an error that says 201", status 201
//   GET  /qel-clitest/v1/teapot        error "short and stout", status 418, header x-teapot
//   POST /qel-clitest/v1/echo?x=&y=    status 201: {"method", "target", "headers", "data", "x",
//                                      "y"} of the request ("data": the body argument), with
//                                      response headers the server must filter: x-echo (kept),
//                                      Content-Length, Access-Control-Allow-Origin, x-split
//                                      (holds CR LF) and "bad name" (dropped)
//   GET  /qel-clitest/v1/stream        a body stream of kStreamSize bytes, type text/plain
//   GET  /qel-clitest/v1/wait          blocks until Hooks().release is set (signals entered)
//   POST /qel-clitest/v1/publish/{n}   PublishResource("/qel-clitest/v1/state", {"n": n})
#pragma once

#include <cstdint>
#include <future>
#include <memory>

#include "tpk/plugin_abi.h"

namespace CliTest {

inline constexpr uint32_t kStreamSize = 200000;
inline constexpr size_t kRouteCount = 8;

// The byte at `offset` of the stream route's body.
inline char StreamByte(uint32_t offset) {
  return static_cast<char>('a' + offset % 26);
}

// What the wait route signals and waits for; reset by the test before it calls the route.
struct WaitHooks {
  std::promise<void> entered;
  std::shared_future<void> release;
};
WaitHooks& Hooks();

}  // namespace CliTest

extern "C" void* tpk_cli_test_load(PluginDescriptor* descriptor);
