#include "cli/host_app.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <vector>

#include "api/version_text.h"
#include "cli/cli_options.h"
#include "cli/console_log.h"
#include "cli/curl_transport.h"
#include "cli/host_server.h"
#include "cli/run_file.h"
#include "codec/json.h"
#include "codec/yaml.h"
#include "core/host.h"

namespace Oxle::Client::Host::Cli {

namespace {

using Binding::BindingProperty;

// How long the start waits for the modules to take in the resources file.
constexpr std::chrono::seconds kResourcesDeliveryLimit{5};

// The signals that stop the host, by name.
constexpr std::pair<int, const char*> kStopSignals[] = {
    {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGQUIT, "SIGQUIT"}};

// Connections need descriptors: the soft limit is raised toward the hard one, and the server
// takes at most what the limit leaves beside the host's own files (modules, remote connections,
// logs).
[[nodiscard]] size_t ConnectionsThatFit(size_t wanted) {
  constexpr rlim_t kReserved = 128;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
  const rlim_t needed = static_cast<rlim_t>(wanted) + kReserved;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
    (void)setrlimit(RLIMIT_NOFILE, &limit);
    (void)getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed) return wanted;
  return limit.rlim_cur > 2 * kReserved ? static_cast<size_t>(limit.rlim_cur - kReserved) : 64;
}

// Blocks the stop signals, so that only sigwait takes them; a client that goes away mid-answer
// must not end the process, nor a stray user signal.
[[nodiscard]] sigset_t BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const auto& [number, name] : kStopSignals)
    sigaddset(&stopSignals, number);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGUSR1, SIG_IGN);
  signal(SIGUSR2, SIG_IGN);
  return stopSignals;
}

// Loads and starts each module in order, naming each on `out`; the first failure stops.
[[nodiscard]] Status StartModules(Host& host, const std::vector<ModuleSpec>& specs,
                                  std::ostream& out, std::vector<ModuleId>& modules) {
  for (const ModuleSpec& spec : specs) {
    Result<ModuleId> loaded = host.LoadModule(spec.path, spec.exportName);
    if (!loaded.Ok()) return Status::Error(loaded.ErrorMessage());
    modules.push_back(loaded.Value());
    if (Status started = host.StartModule(loaded.Value()); !started.Ok()) return started;
    const ModuleInfo info = host.Module(loaded.Value()).Value();
    out << "module " << info.shortName << " "
        << Api::VersionText(info.moduleVersion.major, info.moduleVersion.minor,
                            info.moduleVersion.patch)
        << ": " << info.routeCount << " routes (" << spec.path << ")" << std::endl;
  }
  return Status();
}

// The server's options: where it listens, its connection cap, the token, CORS and the access log
// (at level okay).
[[nodiscard]] ServerOptions ServerOptionsFor(const CliOptions& options, const std::string& token,
                                             const std::shared_ptr<ConsoleLogSink>& logs) {
  ServerOptions serverOptions;
  serverOptions.http.address = options.listen.host;
  serverOptions.http.port = options.listen.port;
  serverOptions.http.maxConnections = ConnectionsThatFit(serverOptions.http.maxConnections);
  serverOptions.token = token;
  serverOptions.allowOrigin = options.allowOrigin;
  if (logs->Shows(kLogOkay)) {
    serverOptions.accessLog = [logs](const std::string& line) { logs->Host(kLogOkay, line); };
  }
  return serverOptions;
}

[[nodiscard]] int Fail(std::ostream& err, const std::string& message) {
  err << "tpk-host: " << message << std::endl;
  return kExitFailed;
}

}  // namespace

Result<BindingProperty> ReadResourcesFile(const std::string& path) {
  const std::string label = "The resources file '" + path + "'";
  std::ifstream in(path, std::ios::binary);
  if (!in) return Status::Error(label + " can't be read: " + std::strerror(errno));
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return Status::Error(label + " can't be read");
  Binding::ValueResult parsed;
  if (path.ends_with(".json")) {
    parsed = Codec::ParseJson(text);
  } else {
    Codec::ParseYaml(parsed, text.data(), text.size());
  }
  if (!parsed.Ok()) return Status::Error(label + ": " + std::string(parsed.ErrorMessage()));
  BindingProperty& root = parsed.Value();
  if (root.Kind() != Binding::ValueKind::Structure) {
    return Status::Error(label + " must hold a map from resource URI to value");
  }
  for (const auto& member : root.Members()) {
    if (member.key.empty() || member.key == "/") {
      return Status::Error(label + " has an entry without a resource URI");
    }
  }
  return std::move(root);
}

int RunHost(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  // Before any thread exists, so that every thread inherits the mask.
  sigset_t stopSignals = BlockStopSignals();

  Result<CliOptions> parsed = ParseOptions(args);
  if (!parsed.Ok()) {
    err << parsed.ErrorMessage() << std::endl;
    return kExitUsage;
  }
  const CliOptions& options = parsed.Value();
  if (options.help) {
    out << UsageText() << std::flush;
    return kExitOk;
  }
  if (!IsLoopbackAddress(options.listen.host)) {
    err << "tpk-host: warning: listening on "
        << HostAndPort(options.listen.host, options.listen.port)
        << ", which other machines can reach; every request still needs the token" << std::endl;
  }

  Result<std::string> token = NewToken();
  if (!token.Ok()) return Fail(err, token.ErrorMessage());
  Result<RunFile> runFile =
      RunFile::OpenDirectory(options.runtimeDir.value_or(DefaultRuntimeDir()));
  if (!runFile.Ok()) return Fail(err, runFile.ErrorMessage());
  Result<BindingProperty> resources = BindingProperty();
  if (options.resourcesFile) {
    resources = ReadResourcesFile(*options.resourcesFile);
    if (!resources.Ok()) return Fail(err, resources.ErrorMessage());
  }

  auto logs = std::make_shared<ConsoleLogSink>(err, options.logLevel, token.Value());
  HostOptions hostOptions;
  hostOptions.coreVersion = options.coreVersion;
  hostOptions.mode = HostMode::Threaded;
  hostOptions.workerCount = 4;
  hostOptions.logSink = logs;
  const auto transport = std::make_shared<CurlTransport>();
  hostOptions.transport = transport;
  Host host(hostOptions);

  std::vector<ModuleId> modules;
  if (Status started = StartModules(host, options.modules, out, modules); !started.Ok()) {
    return Fail(err, started.ErrorMessage());
  }
  for (const auto& member : resources.Value().Members())
    (void)host.SetResource(member.key, member.value);
  // The modules take the resources in before the first request can reach them (a request that
  // came first would find a module without its configuration); a module stuck in a delivery
  // delays the start by the limit at most.
  (void)host.WaitDelivered(kResourcesDeliveryLimit);

  HostServer server(host, modules, ServerOptionsFor(options, token.Value(), logs));
  if (Status listening = server.Start(); !listening.Ok())
    return Fail(err, listening.ErrorMessage());
  out << "listening on " << server.Url() << std::endl;
  out << "console: " << server.Url() << "/" << std::endl;
  const RunFileContent content{static_cast<int64_t>(::getpid()), server.Port(), server.Url(),
                               token.Value()};
  if (Status written = runFile.Value().Write(content); !written.Ok()) {
    return Fail(err, written.ErrorMessage());
  }
  out << "run file " << runFile.Value().Path() << std::endl;

  int signalNumber = 0;
  while (sigwait(&stopSignals, &signalNumber) != 0) {
  }
  for (const auto& [number, name] : kStopSignals)
    if (number == signalNumber) out << "stopping on " << name << std::endl;
  // The calls waiting on remote services unwind at once, each with a transport failure.
  transport->Abort();
  server.Stop();
  for (auto it = modules.rbegin(); it != modules.rend(); ++it) {
    if (Status unloaded = host.UnloadModule(*it); !unloaded.Ok()) {
      logs->Host(kLogError, unloaded.ErrorMessage());
    }
  }
  runFile.Value().Remove();
  out << "stopped" << std::endl;
  return kExitOk;
}

}  // namespace Oxle::Client::Host::Cli
