// HostServer: the gate, the call lanes and the modules' routes put together on an HttpServer.
#include "cli/host_server.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <utility>

#include "api/http_method.h"
#include "cli/call_lane.h"
#include "cli/cli_options.h"
#include "cli/console_assets.h"
#include "cli/host_endpoints.h"
#include "cli/module_answer.h"
#include "cli/request_gate.h"
#include "core/log_sink.h"

namespace Oxle::Client::Host::Cli {

namespace {

// The longest method and path an access-log line shows.
constexpr size_t kLogMethodLimit = 32;
constexpr size_t kLogPathLimit = 1024;

// Calls at once on the server's own endpoints (and calls no served module answers).
constexpr size_t kOwnCallsInFlight = 2;

// The HTTP server's options with a thread in reserve for each call that may run at once.
[[nodiscard]] HttpServerOptions WithCallThreads(HttpServerOptions http,
                                                const ServerOptions& options, size_t modules) {
  http.handlerThreads = kOwnCallsInFlight + modules * std::max<size_t>(options.callsInFlight, 1);
  return http;
}

}  // namespace

struct HostServer::Impl final : HttpHandler {
  Impl(Host& host, std::vector<ModuleId> served, ServerOptions options)
      : host(host),
        modules(std::move(served)),
        options(std::move(options)),
        gate(this->options),
        hub(this->options.events),
        endpoints(host, modules, hub, this->options, gate),
        http(*this, WithCallThreads(this->options.http, this->options, modules.size())),
        ownLane(kOwnCallsInFlight, this->options.queuedCalls, http) {
    for (ModuleId id : modules)
      lanes.emplace(id, std::make_unique<CallLane>(this->options.callsInFlight,
                                                   this->options.queuedCalls, http));
  }

  std::optional<HttpResponse> Admit(const HttpRequest& req) override {
    return gate.Admit(req, http.Port());
  }

  HttpResponse Refusal(uint32_t status, std::string_view message) override {
    return ErrorAnswer(status, message);
  }

  void Answered(std::string_view method, std::string_view path, uint32_t status) override {
    if (!options.accessLog) return;
    std::string line;
    AppendPrintable(line, method, kLogMethodLimit);
    line += ' ';
    AppendPrintable(line, path, kLogPathLimit);
    line += ' ';
    line += std::to_string(status);
    options.accessLog(line);
  }

  // The console's files and events at once; everything else in the lane of the module that
  // answers it, on this thread when the lane has a free slot.
  void Serve(HttpRequest req, HttpResponder responder) override {
    if (const ConsoleAsset* asset = FindConsoleAsset(req.path)) {
      responder.Answer(ConsoleAnswer(req, *asset));
      return;
    }
    if (req.path == "/events") {
      if (req.method == "GET" || req.method == "HEAD") {
        endpoints.Events(req, std::move(responder));
      } else {
        responder.Answer(gate.Cors(req, NotAllowed(req, "GET")));
      }
      return;
    }
    ApiCall call;
    const Api::HttpMethod method = Api::MethodFromText(req.method);
    call.method = Api::HostMethodCode(method);
    if (method == Api::HttpMethod::Other) call.methodName = req.method;
    call.target = req.target;
    const bool own = HostEndpoints::Serves(req.path);
    CallLane* lane = &ownLane;
    if (!own) {
      if (std::optional<ModuleId> owner = host.RouteOwner(call)) {
        if (auto found = lanes.find(*owner); found != lanes.end()) lane = found->second.get();
      }
    }
    auto pending =
        std::make_shared<Pending>(Pending{std::move(req), std::move(responder), std::move(call)});
    const bool taken =
        !stopping.load() && lane->Run([this, pending, own](bool run) { Run(*pending, run, own); });
    if (taken) return;
    HttpResponse busy =
        stopping.load()
            ? ErrorAnswer(503, "The host is stopping")
            : ErrorAnswer(503, "Too many calls are waiting for this module; try again later");
    busy.headers.emplace_back("Retry-After", "1");
    pending->responder.Answer(gate.Cors(pending->request, std::move(busy)));
  }

  // A request on its lane.
  struct Pending {
    HttpRequest request;
    HttpResponder responder;
    ApiCall call;
  };

  void Run(Pending& pending, bool run, bool own) const {
    HttpResponse response;
    try {
      response = !run  ? ErrorAnswer(503, "The host is stopping")
                 : own ? endpoints.Answer(pending.request, url)
                       : CallModule(pending.request, std::move(pending.call));
    } catch (const std::exception& error) {
      response = ErrorAnswer(500, std::string("The server failed: ") + error.what());
    } catch (...) {
      response = ErrorAnswer(500, "The server failed");
    }
    pending.responder.Answer(gate.Cors(pending.request, std::move(response)));
  }

  [[nodiscard]] HttpResponse CallModule(const HttpRequest& req, ApiCall call) const {
    for (const auto& [name, value] : req.headers)
      if (!HiddenFromModule(name)) call.headers.emplace_back(name, value);
    call.contentType = req.Header("Content-Type");
    call.body = req.body;
    call.valueAsJson = true;
    return ModuleAnswer(host.Call(call));
  }

  Host& host;
  const std::vector<ModuleId> modules;
  const ServerOptions options;
  const RequestGate gate;
  EventHub hub;
  const HostEndpoints endpoints;
  HttpServer http;
  CallLane ownLane;  // the server's own endpoints, and calls no served module answers
  std::map<ModuleId, std::unique_ptr<CallLane>> lanes;
  std::string url;
  std::atomic<bool> stopping{false};
  std::mutex lifecycleMutex;  // guards observer, started
  ObserverHandle observer = 0;
  bool started = false;
};

HostServer::HostServer(Host& host, std::vector<ModuleId> modules, ServerOptions options)
    : impl_(std::make_unique<Impl>(host, std::move(modules), std::move(options))) {}

HostServer::~HostServer() {
  Stop();
}

Status HostServer::Start() {
  Impl& self = *impl_;
  std::lock_guard lock(self.lifecycleMutex);
  if (self.started) return Status::Error("The server was started before");
  if (Status listening = self.http.Start(); !listening.Ok()) return listening;
  self.url = "http://" + HostAndPort(self.options.http.address, self.http.Port());
  self.observer =
      self.host.AddEventObserver([&self](const ObservedEvent& event) { self.hub.Publish(event); });
  self.started = true;
  return Status();
}

void HostServer::Stop() {
  Impl& self = *impl_;
  std::lock_guard lock(self.lifecycleMutex);
  if (!self.started || self.stopping.exchange(true)) return;
  self.hub.Stop();
  self.ownLane.Stop();
  for (auto& [id, lane] : self.lanes)
    lane->Stop();
  self.http.Stop(self.options.stopGrace);
  (void)self.host.RemoveEventObserver(self.observer);
}

uint16_t HostServer::Port() const noexcept {
  return impl_->http.Port();
}

std::string HostServer::Url() const {
  return impl_->url;
}

EventHub& HostServer::Events() noexcept {
  return impl_->hub;
}

}  // namespace Oxle::Client::Host::Cli
