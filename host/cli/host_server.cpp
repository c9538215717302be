#include "cli/host_server.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "api/routes.h"
#include "cli/cli_options.h"
#include "cli/openapi.h"
#include "cli/run_file.h"
#include "codec/json.h"
#include "codec/msgpack.h"
#include "codec/yaml.h"
#include "core/log_sink.h"

namespace Oxle::Client::Host::Cli {

namespace {

using Binding::BindingProperty;

constexpr std::string_view kResources = "/resources";
// The longest method and path an access-log line shows.
constexpr size_t kLogMethodLimit = 32;
constexpr size_t kLogPathLimit = 1024;

[[nodiscard]] std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

[[nodiscard]] bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && Lower(a) == Lower(b);
}

[[nodiscard]] HttpResponse Error(uint32_t status, std::string_view message) {
  BindingProperty error;
  error.Get("status").SetUnsigned(status);
  error.Get("message").SetString(message);
  HttpResponse response;
  response.status = status;
  response.headers.emplace_back("Content-Type", "application/json");
  response.body = Codec::WriteJson(error, nullptr, nullptr);
  return response;
}

// A value as JSON; an empty value as an empty body without a type.
[[nodiscard]] HttpResponse Json(uint32_t status, const BindingProperty& value) {
  HttpResponse response;
  response.status = status;
  if (value.Kind() != Binding::ValueKind::Empty) {
    response.headers.emplace_back("Content-Type", "application/json");
    response.body = Codec::WriteJson(value, nullptr, nullptr);
  }
  return response;
}

[[nodiscard]] uint32_t MethodCode(std::string_view method) {
  for (uint32_t code = 1; code <= 7; ++code)
    if (Api::MethodText(Api::HttpMethodFromHost(code)) == method) return code;
  return 8;
}

[[nodiscard]] std::string MethodName(uint32_t code, const char* methodName) {
  const std::string_view text = Api::MethodText(Api::HttpMethodFromHost(code));
  if (!text.empty()) return std::string(text);
  if (code == 8 && methodName != nullptr) return methodName;
  return "*";
}

// RFC 9110 token characters.
[[nodiscard]] bool IsHeaderName(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
    if (!ok || c == 0) return false;
  }
  return true;
}

[[nodiscard]] bool IsHeaderValue(std::string_view value) {
  for (unsigned char c : value)
    if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
  return true;
}

// Headers of the module's response the server does not pass on.
[[nodiscard]] bool ServerOwned(std::string_view name) {
  const std::string lower = Lower(name);
  return lower == "content-length" || lower == "transfer-encoding" || lower == "connection" ||
         lower == "content-type" || lower.starts_with("access-control-");
}

// The header of the request the module does not get: the token.
[[nodiscard]] bool HiddenFromModule(std::string_view name) {
  return Lower(name) == "authorization";
}

// The media type of a Content-Type, lower case, without parameters.
[[nodiscard]] std::string MediaType(std::string_view contentType) {
  std::string type = Lower(contentType.substr(0, contentType.find(';')));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
    type.pop_back();
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t'))
    type.erase(type.begin());
  return type;
}

// A resource body by its Content-Type: JSON, YAML or MessagePack. `status` is 415 for another
// type and 400 for a body that does not decode.
[[nodiscard]] std::optional<BindingProperty> DecodeResource(std::string_view contentType,
                                                            const std::string& body,
                                                            uint32_t& status,
                                                            std::string& message) {
  const std::string type = MediaType(contentType);
  Binding::ValueResult decoded;
  if (type == "application/json" || type.ends_with("+json")) {
    decoded = Codec::ParseJson(body);
  } else if (type == "application/yaml" || type == "application/x-yaml" || type == "text/yaml" ||
             type == "text/x-yaml") {
    Codec::ParseYaml(decoded, body.data(), body.size());
  } else if (type == "application/msgpack" || type == "application/x-msgpack" ||
             type == "application/vnd.msgpack") {
    size_t consumed = 0;
    Codec::ReadMessagePack(decoded, consumed, reinterpret_cast<const uint8_t*>(body.data()),
                           body.size());
    if (decoded.Ok() && consumed != body.size()) {
      decoded = Binding::ValueResult::Error("Extra MessgePack data found in body");
    }
  } else {
    status = 415;
    message =
        "A resource is JSON (application/json), YAML (application/yaml) or MessagePack "
        "(application/msgpack), not '" +
        std::string(contentType) + "'";
    return std::nullopt;
  }
  if (!decoded.Ok()) {
    status = 400;
    message = std::string(decoded.ErrorMessage());
    return std::nullopt;
  }
  return std::move(decoded.Value());
}

[[nodiscard]] std::string VersionText(const CoreVersion& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
         std::to_string(version.patch);
}

[[nodiscard]] std::string_view StateName(ModuleState state) {
  switch (state) {
    case ModuleState::Loaded:
      return "Loaded";
    case ModuleState::Started:
      return "Started";
    case ModuleState::StartFailed:
      return "StartFailed";
    case ModuleState::Unloading:
      return "Unloading";
    case ModuleState::Unloaded:
      return "Unloaded";
  }
  return "";
}

// The HTTP status of a module's answer; see the header.
[[nodiscard]] uint32_t AnswerStatus(const ApiCallResult& result) {
  if (!result.readError.empty()) return 502;
  uint32_t status = result.status;
  if (status < 200 || status > 599) status = result.failed ? 500 : 200;
  if (result.failed && status < 400) status = 500;
  return status;
}

// The decoded value of the first `name` argument of a query, or "".
[[nodiscard]] std::string QueryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    const size_t equals = pair.find('=');
    if (Api::UrlDecode(pair.substr(0, equals)) != name) continue;
    return equals == std::string_view::npos ? "" : Api::UrlDecode(pair.substr(equals + 1));
  }
  return {};
}

// The answer to a module's response; see the header.
[[nodiscard]] HttpResponse Answer(ApiCallResult result) {
  const uint32_t status = AnswerStatus(result);
  HeaderList passed;
  std::string contentType = "application/octet-stream";
  for (auto& [name, value] : result.headers) {
    if (!IsHeaderName(name) || !IsHeaderValue(value)) continue;
    if (SameNoCase(name, "Content-Type")) {
      contentType = value;
    } else if (!ServerOwned(name)) {
      passed.emplace_back(std::move(name), std::move(value));
    }
  }
  HttpResponse response;
  if (!result.readError.empty()) {
    response = Error(status, result.readError);
  } else if (result.failed) {
    response = Error(status, result.errorMessage);
  } else if (status == 204 || status == 304) {
    response.status = status;
  } else if (result.body) {
    response.status = status;
    response.headers.emplace_back("Content-Type", contentType);
    response.body = std::move(*result.body);
    response.chunked = true;
  } else {
    response = Json(status, result.value);
  }
  response.headers.insert(response.headers.end(), passed.begin(), passed.end());
  return response;
}

// Threads that run calls, at most `threads` at once, with at most `queueBound` waiting behind
// them. A job is called with true to run, or with false when it is refused (at Stop) so that it
// answers.
class CallLane {
 public:
  using Job = std::function<void(bool run)>;

  CallLane(size_t threads, size_t queueBound) : queueBound_(queueBound) {
    for (size_t i = 0; i < std::max<size_t>(threads, 1); ++i)
      threads_.emplace_back([this] { Work(); });
  }
  ~CallLane() { Stop(); }
  CallLane(const CallLane&) = delete;
  CallLane& operator=(const CallLane&) = delete;

  // False when the queue is full or the lane stopped: the caller answers.
  [[nodiscard]] bool Submit(Job job) {
    {
      std::lock_guard lock(mutex_);
      if (stopped_ || queue_.size() >= idle_ + queueBound_) return false;
      queue_.push_back(std::move(job));
    }
    changed_.notify_one();
    return true;
  }

  // Refuses what is queued and waits for what runs.
  void Stop() {
    std::deque<Job> refused;
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
      refused.swap(queue_);
    }
    changed_.notify_all();
    for (Job& job : refused)
      job(false);
    for (std::thread& thread : threads_)
      if (thread.joinable()) thread.join();
  }

 private:
  void Work() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        ++idle_;
        changed_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
        --idle_;
        if (queue_.empty()) return;
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      job(true);
    }
  }

  const size_t queueBound_;
  std::mutex mutex_;  // guards queue_, idle_, stopped_
  std::condition_variable changed_;
  std::deque<Job> queue_;
  size_t idle_ = 0;  // threads waiting for a job
  bool stopped_ = false;
  std::vector<std::thread> threads_;
};

// One client of /events: the hub's queue, pulled by the server when woken, with a comment line
// first and after each quiet heartbeat.
class EventStream final : public HttpStreamSource {
 public:
  EventStream(EventHub& hub, std::shared_ptr<EventClient> client, std::chrono::seconds heartbeat)
      : hub_(hub), client_(std::move(client)), heartbeat_(heartbeat) {}

  void Attach(std::function<void()> wake) override { hub_.SetWaker(*client_, std::move(wake)); }

  bool Pull(std::vector<std::shared_ptr<const std::string>>& out, bool tick) override {
    static const auto kHello = std::make_shared<const std::string>(": connected\n\n");
    static const auto kBeat = std::make_shared<const std::string>(": keep-alive\n\n");
    const auto now = std::chrono::steady_clock::now();
    if (!greeted_) {
      greeted_ = true;
      lastWrite_ = now;
      out.push_back(kHello);  // the client sees the stream open before any event
    }
    std::vector<std::shared_ptr<const std::string>> batch;
    if (!hub_.Next(*client_, batch, std::chrono::milliseconds(0))) return false;
    if (!batch.empty()) {
      lastWrite_ = now;
      out.insert(out.end(), batch.begin(), batch.end());
    } else if (tick && out.empty() && now - lastWrite_ >= heartbeat_) {
      lastWrite_ = now;
      out.push_back(kBeat);
    }
    return true;
  }

  void Closed() noexcept override { hub_.Disconnect(client_); }

 private:
  EventHub& hub_;
  const std::shared_ptr<EventClient> client_;
  const std::chrono::seconds heartbeat_;
  bool greeted_ = false;
  std::chrono::steady_clock::time_point lastWrite_;
};

}  // namespace

struct HostServer::Impl final : HttpHandler {
  Impl(Host& host, std::vector<ModuleId> served, ServerOptions options)
      : host(host),
        modules(std::move(served)),
        options(std::move(options)),
        hub(this->options.events),
        http(*this, this->options.http),
        ownLane(2, this->options.queuedCalls) {
    for (ModuleId id : modules)
      lanes.emplace(
          id, std::make_unique<CallLane>(this->options.callsInFlight, this->options.queuedCalls));
  }

  // ---- the gate every request passes first ----

  [[nodiscard]] bool HostAllowed(const HttpRequest& req) const {
    if (req.HeaderCount("Host") != 1) return false;
    const std::string given = Lower(req.Header("Host"));
    const uint16_t bound = http.Port();
    for (const std::string& allowed :
         {HostAndPort("127.0.0.1", bound), HostAndPort("localhost", bound),
          HostAndPort(options.http.address, bound), HostAndPort(req.localAddress, bound)}) {
      if (given == Lower(allowed)) return true;
    }
    return false;
  }

  [[nodiscard]] bool Authorized(const HttpRequest& req) const {
    if (req.HeaderCount("Authorization") != 1) return false;
    const std::string value = req.Header("Authorization");
    constexpr std::string_view kScheme = "bearer ";
    if (value.size() < kScheme.size() || !SameNoCase(value.substr(0, kScheme.size()), kScheme)) {
      return false;
    }
    return SameSecret(options.token, std::string_view(value).substr(kScheme.size()));
  }

  [[nodiscard]] bool OriginAllowed(const HttpRequest& req) const {
    return options.allowOrigin && req.HeaderCount("Origin") == 1 &&
           req.Header("Origin") == *options.allowOrigin;
  }

  // CORS headers for the allowed origin, on every answer to it.
  [[nodiscard]] HttpResponse Cors(const HttpRequest& req, HttpResponse response) const {
    if (OriginAllowed(req)) {
      response.headers.emplace_back("Access-Control-Allow-Origin", *options.allowOrigin);
      response.headers.emplace_back("Vary", "Origin");
    }
    return response;
  }

  std::optional<HttpResponse> Admit(const HttpRequest& req) override {
    if (req.method == "OPTIONS" && OriginAllowed(req) &&
        req.HeaderCount("Access-Control-Request-Method") != 0 && HostAllowed(req)) {
      HttpResponse preflight;
      preflight.status = 204;
      preflight.headers = {
          {"Access-Control-Allow-Methods", "GET, POST, PUT, PATCH, DELETE, OPTIONS"},
          {"Access-Control-Allow-Headers", "Authorization, Content-Type"},
          {"Access-Control-Max-Age", "600"}};
      return Cors(req, std::move(preflight));
    }
    if (!HostAllowed(req)) {
      const uint16_t bound = http.Port();
      return Cors(req, Error(421, "The Host header must name this server: " +
                                      HostAndPort("127.0.0.1", bound) + " or " +
                                      HostAndPort("localhost", bound)));
    }
    if (!Authorized(req)) {
      HttpResponse refused = Error(401,
                                   "This server needs the header 'Authorization: Bearer <token>' "
                                   "with the token of its run file");
      refused.headers.emplace_back("WWW-Authenticate", "Bearer");
      return Cors(req, std::move(refused));
    }
    return std::nullopt;
  }

  HttpResponse Refusal(uint32_t status, std::string_view message) override {
    return Error(status, message);
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

  // ---- dispatch ----

  void Serve(HttpRequest req, HttpResponder responder) override {
    if (req.path == "/events") {
      if (!Only(req, responder, "GET")) return;
      Events(req, std::move(responder));
      return;
    }
    ApiCall call;
    call.method = MethodCode(req.method);
    if (call.method == 8) call.methodName = req.method;
    call.target = req.target;
    const bool own = req.path == "/openapi.json" || req.path == "/host/modules" ||
                     req.path == kResources || req.path.starts_with(std::string(kResources) + "/");
    CallLane* lane = &ownLane;
    if (!own) {
      if (std::optional<ModuleId> owner = host.RouteOwner(call)) {
        if (auto found = lanes.find(*owner); found != lanes.end()) lane = found->second.get();
      }
    }
    struct Pending {
      HttpRequest request;
      HttpResponder responder;
      ApiCall call;
    };
    auto pending =
        std::make_shared<Pending>(Pending{std::move(req), std::move(responder), std::move(call)});
    const bool queued = !stopping.load() && lane->Submit([this, pending, own](bool run) {
      HttpResponse response;
      try {
        response = !run  ? Error(503, "The host is stopping")
                   : own ? OwnEndpoint(pending->request)
                         : CallModule(pending->request, std::move(pending->call));
      } catch (const std::exception& error) {
        response = Error(500, std::string("The server failed: ") + error.what());
      } catch (...) {
        response = Error(500, "The server failed");
      }
      pending->responder.Answer(Cors(pending->request, std::move(response)));
    });
    if (queued) return;
    HttpResponse busy =
        stopping.load() ? Error(503, "The host is stopping")
                        : Error(503, "Too many calls are waiting for this module; try again later");
    busy.headers.emplace_back("Retry-After", "1");
    pending->responder.Answer(Cors(pending->request, std::move(busy)));
  }

  // True for `method` (and HEAD where it is GET); otherwise answers 405.
  [[nodiscard]] bool Only(const HttpRequest& req, HttpResponder& responder,
                          std::string_view method) const {
    if (req.method == method || (method == "GET" && req.method == "HEAD")) return true;
    responder.Answer(Cors(req, NotAllowed(req, method)));
    return false;
  }

  [[nodiscard]] static HttpResponse NotAllowed(const HttpRequest& req, std::string_view allow) {
    HttpResponse response = Error(405, req.method + " is not served at " + req.path);
    response.headers.emplace_back("Allow", std::string(allow));
    return response;
  }

  [[nodiscard]] HttpResponse OwnEndpoint(const HttpRequest& req) const {
    const bool get = req.method == "GET" || req.method == "HEAD";
    if (req.path == "/openapi.json") return get ? OpenApi() : NotAllowed(req, "GET");
    if (req.path == "/host/modules") return get ? Modules() : NotAllowed(req, "GET");
    return Resources(req);
  }

  [[nodiscard]] HttpResponse CallModule(const HttpRequest& req, ApiCall call) const {
    for (const auto& [name, value] : req.headers)
      if (!HiddenFromModule(name)) call.headers.emplace_back(name, value);
    call.contentType = req.Header("Content-Type");
    call.body = req.body;
    return Answer(host.Call(call));
  }

  // ---- the server's own endpoints ----

  [[nodiscard]] HttpResponse OpenApi() const {
    std::vector<OpenApiModule> described;
    for (ModuleId id : modules) {
      Result<ModuleInfo> info = host.Module(id);
      if (!info.Ok() || info.Value().exportTable == nullptr) continue;
      described.push_back(OpenApiModule{info.Value().shortName,
                                        VersionText(info.Value().moduleVersion),
                                        info.Value().exportTable});
    }
    return Json(200, BuildOpenApiDocument(described, url));
  }

  [[nodiscard]] HttpResponse Modules() const {
    BindingProperty list;
    BindingProperty& entries = list.Get("modules").MakeCollection();
    for (ModuleId id : modules) {
      Result<ModuleInfo> read = host.Module(id);
      if (!read.Ok()) continue;
      const ModuleInfo& info = read.Value();
      BindingProperty& entry = entries.Append();
      entry.Get("id").SetUnsigned(info.id);
      entry.Get("name").SetString(info.shortName);
      entry.Get("version").SetString(VersionText(info.moduleVersion));
      entry.Get("origin").SetString(info.origin);
      entry.Get("state").SetString(StateName(info.state));
      entry.Get("routeCount").SetUnsigned(info.routeCount);
      // By path, then method: the export table's own order is not the registration order.
      struct Route {
        std::string path, method, function;
      };
      std::vector<Route> served;
      if (info.exportTable != nullptr && info.exportTable->entries != nullptr) {
        for (uint32_t i = 0; i < info.exportTable->entryCount; ++i) {
          const ApiExportEntry& export_ = info.exportTable->entries[i];
          const char* path = export_.pathTemplate;
          if (path == nullptr || export_.callback == nullptr) continue;
          const char* name = export_.function.name;
          served.push_back(Route{path, MethodName(export_.method, export_.methodName),
                                 name != nullptr ? name : ""});
        }
      }
      std::sort(served.begin(), served.end(), [](const Route& a, const Route& b) {
        return std::tie(a.path, a.method) < std::tie(b.path, b.method);
      });
      BindingProperty& routes = entry.Get("routes").MakeCollection();
      for (const Route& each : served) {
        BindingProperty& route = routes.Append();
        route.Get("method").SetString(each.method);
        route.Get("path").SetString(each.path);
        route.Get("function").SetString(each.function);
      }
      BindingProperty& memory = entry.Get("memory");
      Result<ModuleMemoryStats> stats = host.GetMemoryStats(id);
      if (stats.Ok()) {
        const ModuleMemoryStats& counters = stats.Value();
        memory.Get("peakBytes").SetUnsigned(counters.peakBytes);
        memory.Get("peakAllocations").SetUnsigned(counters.peakAllocations);
        memory.Get("bytesAllocated").SetUnsigned(counters.bytesAllocated);
        memory.Get("allocations").SetUnsigned(counters.allocations);
        memory.Get("bytesFreed").SetUnsigned(counters.bytesFreed);
        memory.Get("frees").SetUnsigned(counters.frees);
      } else {
        memory.Get("error").SetString(stats.ErrorMessage());
      }
    }
    return Json(200, list);
  }

  [[nodiscard]] HttpResponse Resources(const HttpRequest& req) const {
    const std::string uri = req.path.substr(kResources.size());
    if (uri.size() <= 1) return Error(404, "Name a resource: /resources/<uri>");
    const std::string normal = NormalizeResourceUri(uri);
    if (req.method == "GET" || req.method == "HEAD") {
      std::optional<BindingProperty> value = host.GetResource(normal);
      if (!value) return Error(404, "No resource is stored at " + normal);
      return Json(200, *value);
    }
    if (req.method == "PUT") {
      uint32_t status = 0;
      std::string message;
      std::optional<BindingProperty> value =
          DecodeResource(req.Header("Content-Type"), req.body.value_or(""), status, message);
      if (!value) return Error(status, message);
      const ResourceChange change = host.SetResource(normal, *value);
      BindingProperty answer;
      answer.Get("uri").SetString(normal);
      answer.Get("eventType").SetString(ResourceChangeName(change));
      return Json(change == ResourceChange::Create ? 201 : 200, answer);
    }
    if (req.method == "DELETE") {
      if (!host.DeleteResource(normal)) return Error(404, "No resource is stored at " + normal);
      HttpResponse deleted;
      deleted.status = 204;
      return deleted;
    }
    return NotAllowed(req, "GET, PUT, DELETE");
  }

  void Events(const HttpRequest& req, HttpResponder responder) {
    std::string prefix;
    if (const size_t query = req.target.find('?'); query != std::string::npos) {
      prefix = QueryValue(std::string_view(req.target).substr(query + 1), "prefix");
    }
    std::shared_ptr<EventClient> client = hub.Connect(std::move(prefix));
    if (!client) {
      responder.Answer(Cors(
          req, Error(503, "No more event streams: " + std::to_string(options.events.maxClients) +
                              " are open")));
      return;
    }
    HttpResponse head;
    head.headers = {{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-store"}};
    responder.Stream(Cors(req, std::move(head)),
                     std::make_shared<EventStream>(hub, std::move(client), options.heartbeat));
  }

  Host& host;
  const std::vector<ModuleId> modules;
  const ServerOptions options;
  EventHub hub;
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
