// The command line of tpk-mhx-stub: what it accepts, its usage text and which listening
// addresses count as loopback. ParseStubOptions never prints and never throws: a wrong command
// line is one error line for the caller to print. Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "result/host_result.h"

namespace Oxle::Client::Host::Stub {

// Exit codes of tpk-mhx-stub.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // cannot listen, or the server failed
inline constexpr int kExitUsage = 2;

// How long a "late" answer waits by default, and the longest wait --late-ms accepts.
inline constexpr uint32_t kDefaultLateMs = 3000;
inline constexpr uint32_t kMaxLateMs = 600000;

struct StubOptions {
  bool help = false;
  std::string host = "127.0.0.1";  // a numeric address; an IPv6 one without brackets
  uint16_t port = 0;               // 0: any free port
  uint32_t lateMs = kDefaultLateMs;
  bool allowRemote = false;

  friend bool operator==(const StubOptions&, const StubOptions&) = default;
};

// Parses the arguments after the program name. A failure's message is the whole line to print
// (it starts with "tpk-mhx-stub: ").
[[nodiscard]] Result<StubOptions> ParseStubOptions(std::span<const std::string> args);

// The --help text, ending in a line end.
[[nodiscard]] std::string StubUsageText();

// True for 127.0.0.0/8 and ::1 (numeric addresses only).
[[nodiscard]] bool IsLoopbackAddress(std::string_view host);

// "http://HOST:PORT", with an IPv6 host in brackets.
[[nodiscard]] std::string ServiceUrl(std::string_view host, uint16_t port);

}  // namespace Oxle::Client::Host::Stub
