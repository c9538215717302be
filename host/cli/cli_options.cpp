#include "cli/cli_options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <charconv>

#include "codec/ascii_case.h"

namespace Oxle::Client::Host::Cli {

namespace {

constexpr std::array<std::string_view, 4> kLevelNames = {"okay", "warn", "error", "always"};

[[nodiscard]] Status Usage(std::string text) {
  return Status::Error("tpk-host: " + std::move(text));
}

template <class T>
[[nodiscard]] bool ParseNumber(std::string_view text, T& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

[[nodiscard]] std::optional<ListenAddress> ParseListen(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  ListenAddress address;
  if (!ParseNumber(text.substr(colon + 1), address.port)) return std::nullopt;
  unsigned char bytes[16];
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (inet_pton(AF_INET6, std::string(host).c_str(), bytes) != 1) return std::nullopt;
  } else if (host == "localhost") {
    host = "127.0.0.1";
  } else if (inet_pton(AF_INET, std::string(host).c_str(), bytes) != 1) {
    return std::nullopt;
  }
  address.host = std::string(host);
  return address;
}

[[nodiscard]] std::optional<CoreVersion> ParseVersion(std::string_view text) {
  CoreVersion version;
  uint32_t* parts[] = {&version.major, &version.minor, &version.patch};
  for (size_t i = 0; i < 3; ++i) {
    const size_t dot = i < 2 ? text.find('.') : text.size();
    if (dot == std::string_view::npos || !ParseNumber(text.substr(0, dot), *parts[i])) {
      return std::nullopt;
    }
    text.remove_prefix(i < 2 ? dot + 1 : dot);
  }
  return version;
}

[[nodiscard]] std::optional<int32_t> ParseLevel(std::string_view text) {
  for (size_t i = 0; i < kLevelNames.size(); ++i)
    if (Codec::EqualsNoCase(text, kLevelNames[i])) return static_cast<int32_t>(i);
  return std::nullopt;
}

// "http://localhost:5173", "https://app.example": a scheme, a host and an optional port; no
// path, no wildcard.
[[nodiscard]] bool IsOrigin(std::string_view text) {
  size_t rest = 0;
  if (text.starts_with("http://")) {
    rest = 7;
  } else if (text.starts_with("https://")) {
    rest = 8;
  } else {
    return false;
  }
  const std::string_view authority = text.substr(rest);
  if (authority.empty()) return false;
  for (char c : authority) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':' || c == '[' ||
                         c == ']';
    if (!allowed) return false;
  }
  return true;
}

// The options that take a value.
constexpr std::array<std::string_view, 7> kValued = {
    "--resources", "--listen", "--core-version", "--runtime-dir",
    "--log-level", "--export", "--allow-origin"};

// What ParseOptions carries from one argument to the next.
struct ParseState {
  CliOptions options;
  std::optional<std::string> pendingExport;  // from --export, for the module that follows
  std::vector<std::string_view> seen;        // the valued options given so far, but --export
  std::optional<std::string> listenText;     // --listen as given
};

// A module's path, with the export --export named before it or its file name implies.
[[nodiscard]] Status AddModule(ParseState& state, std::string_view arg) {
  ModuleSpec module{std::string(arg), {}};
  if (state.pendingExport) {
    module.exportName = std::move(*state.pendingExport);
    state.pendingExport.reset();
  } else if (std::optional<std::string> derived = ExportNameFor(arg)) {
    module.exportName = std::move(*derived);
  } else {
    return Usage("can't tell the export of module '" + module.path +
                 "' (its file name is not tpk-be-NAME.so); give --export NAME before it");
  }
  state.options.modules.push_back(std::move(module));
  return Status();
}

// One of kValued with its value.
[[nodiscard]] Status ApplyValued(ParseState& state, std::string_view name,
                                 const std::string& value) {
  CliOptions& options = state.options;
  if (name != "--export") {
    for (std::string_view earlier : state.seen)
      if (earlier == name) return Usage("option '" + std::string(name) + "' is given twice");
    state.seen.push_back(name);
  }
  if (name == "--resources") {
    if (value.empty()) return Usage("option '--resources' needs a file name");
    options.resourcesFile = value;
  } else if (name == "--listen") {
    std::optional<ListenAddress> address = ParseListen(value);
    if (!address) {
      return Usage(
          "--listen wants ADDRESS:PORT with a numeric address (or localhost) and a "
          "port 0-65535, not '" +
          value + "'");
    }
    options.listen = std::move(*address);
    state.listenText = value;
  } else if (name == "--core-version") {
    std::optional<CoreVersion> version = ParseVersion(value);
    if (!version) return Usage("--core-version wants X.Y.Z, not '" + value + "'");
    options.coreVersion = *version;
  } else if (name == "--runtime-dir") {
    if (value.empty()) return Usage("option '--runtime-dir' needs a directory");
    options.runtimeDir = value;
  } else if (name == "--log-level") {
    std::optional<int32_t> level = ParseLevel(value);
    if (!level) return Usage("--log-level wants okay, warn, error or always, not '" + value + "'");
    options.logLevel = *level;
  } else if (name == "--export") {
    if (state.pendingExport)
      return Usage("--export '" + *state.pendingExport + "' names no module");
    if (value.empty()) return Usage("option '--export' needs a symbol name");
    state.pendingExport = value;
  } else {
    if (!IsOrigin(value)) {
      return Usage("--allow-origin wants an origin such as http://localhost:5173, not '" + value +
                   "'");
    }
    options.allowOrigin = value;
  }
  return Status();
}

}  // namespace

std::string_view LogLevelName(int32_t level) noexcept {
  return level >= 0 && level < static_cast<int32_t>(kLevelNames.size()) ? kLevelNames[level] : "";
}

std::optional<std::string> ExportNameFor(std::string_view path) {
  const size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  constexpr std::string_view kPrefix = "tpk-be-";
  constexpr std::string_view kSuffix = ".so";
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix) ||
      name.size() == kPrefix.size() + kSuffix.size()) {
    return std::nullopt;
  }
  name = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  std::string exportName = "load_";
  for (char c : name)
    exportName.push_back(c == '-' ? '_' : c);
  return exportName;
}

bool IsLoopbackAddress(std::string_view host) {
  unsigned char bytes[16];
  const std::string text(host);
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1) return bytes[0] == 127;
  if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
    for (int i = 0; i < 15; ++i)
      if (bytes[i] != 0) return false;
    return bytes[15] == 1;
  }
  return false;
}

std::string HostAndPort(std::string_view host, uint16_t port) {
  const bool v6 = host.find(':') != std::string_view::npos;
  return (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::to_string(port);
}

Result<CliOptions> ParseOptions(std::span<const std::string> args) {
  ParseState state;
  CliOptions& options = state.options;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (optionsEnded || !arg.starts_with("-") || arg == "-") {
      if (Status added = AddModule(state, arg); !added.Ok()) return added;
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--allow-remote") {
      options.allowRemote = true;
      continue;
    }
    // The options with a value, as "--name VALUE" or "--name=VALUE".
    const size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    if (name == "--allow-remote" || name == "--help") {
      return Usage("option '" + std::string(name) + "' takes no value");
    }
    if (std::find(kValued.begin(), kValued.end(), name) == kValued.end()) {
      return Usage("unknown option '" + std::string(name) + "' (see --help)");
    }
    std::string value;
    if (equals != std::string_view::npos) {
      value = std::string(arg.substr(equals + 1));
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return Usage("option '" + std::string(name) + "' needs a value");
    }
    if (Status applied = ApplyValued(state, name, value); !applied.Ok()) return applied;
  }
  if (options.help) return options;
  if (state.pendingExport) return Usage("--export '" + *state.pendingExport + "' names no module");
  if (!IsLoopbackAddress(options.listen.host) && !options.allowRemote) {
    return Usage("--listen " + *state.listenText +
                 " is not a loopback address; add --allow-remote to serve other machines");
  }
  if (options.modules.empty()) return Usage("no module given (see --help)");
  return options;
}

std::string UsageText() {
  return R"(usage: tpk-host [OPTION]... MODULE.so...

Loads each plugin module, starts it and serves its API routes over HTTP on a loopback address.
Every request needs the header "Authorization: Bearer TOKEN", where TOKEN is read from the run
file tpk-host-PID.json that the host writes into its runtime directory (with "pid", "port", "url"
and "token"); the host removes the file when it stops (SIGINT, SIGTERM, SIGHUP or SIGQUIT).

Options:
  --resources FILE       publish the resources of FILE at start: a YAML or JSON map from URI to
                         value (".json" files are read as JSON, others as YAML)
  --listen ADDRESS:PORT  where to listen (default 127.0.0.1:0; port 0 picks a free port);
                         ADDRESS is numeric (an IPv6 one in brackets) or localhost
  --allow-remote         allow a --listen address that is not loopback (prints a warning: other
                         machines can then reach the host, still only with the token)
  --allow-origin ORIGIN  answer cross-origin requests from ORIGIN (e.g. http://localhost:5173)
                         with CORS headers; without it no CORS header is ever sent
  --core-version X.Y.Z   the plugin API version the host reports to modules (default 18.0.0)
  --runtime-dir DIR      where the run file goes (default $XDG_RUNTIME_DIR, else
                         /tmp/tpk-host-UID); it must be owned by you with mode 0700
  --log-level LEVEL      the least level of log lines on standard error: okay, warn (default),
                         error or always; okay also logs each request
  --export NAME          the export of the MODULE that follows (default: load_NAME for a file
                         tpk-be-NAME.so, with '-' read as '_')
  -h, --help             print this text and exit

Endpoints besides the modules' routes: GET /openapi.json, GET /events (Server-Sent Events,
?prefix= filters by URI or event name), GET/PUT/DELETE /resources/URI, GET /host/modules.
)";
}

}  // namespace Oxle::Client::Host::Cli
