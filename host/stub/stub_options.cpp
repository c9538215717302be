#include "stub/stub_options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <optional>

namespace Oxle::Client::Host::Stub {
namespace {

constexpr std::string_view kProgram = "tpk-mhx-stub: ";

[[nodiscard]] Status UsageError(std::string_view message) {
  return Status::Error(std::string(kProgram) + std::string(message));
}

[[nodiscard]] std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
  uint64_t value = 0;
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

[[nodiscard]] bool IsIpv4(std::string_view host) {
  in_addr address{};
  return inet_pton(AF_INET, std::string(host).c_str(), &address) == 1;
}

[[nodiscard]] bool IsIpv6(std::string_view host) {
  in6_addr address{};
  return inet_pton(AF_INET6, std::string(host).c_str(), &address) == 1;
}

// "HOST:PORT", "[V6]:PORT" or "localhost:PORT" into `options`.
[[nodiscard]] Status ParseListen(std::string_view text, StubOptions& options) {
  const std::string bad = "invalid --listen address '" + std::string(text) +
                          "' (expected HOST:PORT, for example 127.0.0.1:0)";
  std::string_view host;
  std::string_view port;
  if (text.starts_with('[')) {
    const size_t close = text.find("]:");
    if (close == std::string_view::npos) return UsageError(bad);
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    if (!IsIpv6(host)) return UsageError(bad);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return UsageError(bad);
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host == "localhost") host = "127.0.0.1";
    if (!IsIpv4(host)) return UsageError(bad);
  }
  const std::optional<uint64_t> number = ParseNumber(port, 65535);
  if (!number.has_value()) return UsageError(bad);
  options.host = std::string(host);
  options.port = static_cast<uint16_t>(*number);
  return Status();
}

}  // namespace

bool IsLoopbackAddress(std::string_view host) {
  in_addr v4{};
  if (inet_pton(AF_INET, std::string(host).c_str(), &v4) == 1)
    return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, std::string(host).c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string ServiceUrl(std::string_view host, uint16_t port) {
  const bool v6 = host.find(':') != std::string_view::npos;
  return "http://" + (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" +
         std::to_string(port);
}

Result<StubOptions> ParseStubOptions(std::span<const std::string> args) {
  StubOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::optional<std::string_view> inlineValue;
    if (const size_t equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
      inlineValue = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    }
    const bool takesValue = arg == "--listen" || arg == "--late-ms";
    if (!takesValue && inlineValue.has_value())
      return UsageError("option '" + std::string(arg) + "' takes no value");
    std::string_view value;
    if (takesValue) {
      if (inlineValue.has_value()) {
        value = *inlineValue;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return UsageError("option '" + std::string(arg) + "' needs a value");
      }
    }

    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--allow-remote") {
      options.allowRemote = true;
    } else if (arg == "--listen") {
      if (Status parsed = ParseListen(value, options); !parsed.Ok()) return parsed;
    } else if (arg == "--late-ms") {
      const std::optional<uint64_t> ms = ParseNumber(value, kMaxLateMs);
      if (!ms.has_value()) {
        return UsageError("invalid --late-ms '" + std::string(value) +
                          "' (expected milliseconds from 0 to " + std::to_string(kMaxLateMs) + ")");
      }
      options.lateMs = static_cast<uint32_t>(*ms);
    } else if (arg.starts_with("-")) {
      return UsageError("unknown option '" + std::string(arg) + "' (see --help)");
    } else {
      return UsageError("unexpected argument '" + std::string(arg) + "' (see --help)");
    }
  }
  if (!options.help && !options.allowRemote && !IsLoopbackAddress(options.host)) {
    return UsageError("refusing to listen on " + options.host +
                      ", which is not a loopback address (add --allow-remote to allow it)");
  }
  return options;
}

std::string StubUsageText() {
  return "usage: tpk-mhx-stub [--listen 127.0.0.1:PORT] [--late-ms N] [--allow-remote] [--help]\n"
         "\n"
         "A stand-in for the remote match-history service, on HTTP. Prints\n"
         "\"listening on http://HOST:PORT\" as its first line, logs one line per request to\n"
         "standard error, and stops cleanly on SIGINT or SIGTERM.\n"
         "\n"
         "  --listen HOST:PORT  the address to listen on (default 127.0.0.1:0; port 0 picks a\n"
         "                      free port; \"localhost\" means 127.0.0.1, IPv6 as [::1]:PORT)\n"
         "  --late-ms N         how long the \"late\" id waits before answering, in\n"
         "                      milliseconds (default 3000, at most 600000)\n"
         "  --allow-remote      allow a listening address that is not loopback\n"
         "  --help              print this text and exit\n"
         "\n"
         "Every request needs the AUTHORIZATION and REGION headers. The ids that answer\n"
         "404, 500, an empty body, invalid JSON or late are listed in host/stub/README.md.\n";
}

}  // namespace Oxle::Client::Host::Stub
