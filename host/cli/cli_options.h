// The command line of tpk-host: what it accepts, the usage text, and the rules behind the
// options (the export name a module file implies, which listening addresses count as loopback).
// ParseOptions never throws and never prints: a wrong command line is one error line, worded
// for the user, that the caller prints. Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/host.h"
#include "core/log_sink.h"

namespace Oxle::Client::Host::Cli {

// Exit codes of tpk-host.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a module, the resources file, the runtime directory...
inline constexpr int kExitUsage = 2;

// A numeric address and a port, as given to --listen. `host` keeps the user's spelling of an
// IPv4 address; an IPv6 address is kept without its brackets.
struct ListenAddress {
  std::string host = "127.0.0.1";
  uint16_t port = 0;

  friend bool operator==(const ListenAddress&, const ListenAddress&) = default;
};

struct ModuleSpec {
  std::string path;
  std::string exportName;

  friend bool operator==(const ModuleSpec&, const ModuleSpec&) = default;
};

struct CliOptions {
  bool help = false;
  std::optional<std::string> resourcesFile;
  ListenAddress listen;
  bool allowRemote = false;
  std::optional<std::string> allowOrigin;
  CoreVersion coreVersion;
  std::optional<std::string> runtimeDir;
  int32_t logLevel = kLogWarn;
  std::vector<ModuleSpec> modules;
};

// Parses the arguments after the program name. A failure's message is the whole line to print
// (it starts with "tpk-host: ").
[[nodiscard]] Result<CliOptions> ParseOptions(std::span<const std::string> args);

// The --help text: every option, one paragraph each, ending in a line end.
[[nodiscard]] std::string UsageText();

// "load_" and the file name between "tpk-be-" and ".so" with '-' turned into '_'
// ("dir/tpk-be-qel-mhx.so" gives "load_qel_mhx"); null for a file name of another shape.
[[nodiscard]] std::optional<std::string> ExportNameFor(std::string_view path);

// True for 127.0.0.0/8 and ::1.
[[nodiscard]] bool IsLoopbackAddress(std::string_view host);

// "HOST:PORT" with an IPv6 host in brackets.
[[nodiscard]] std::string HostAndPort(std::string_view host, uint16_t port);

// The name of a log level ("okay", "warn", "error", "always").
[[nodiscard]] std::string_view LogLevelName(int32_t level) noexcept;

}  // namespace Oxle::Client::Host::Cli
