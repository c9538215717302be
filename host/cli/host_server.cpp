#include "cli/host_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
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

namespace Oxle::Client::Host::Cli {

namespace {

using Binding::BindingProperty;
using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

constexpr std::string_view kResources = "/resources";
// A body stream goes out in pieces of this size.
constexpr size_t kBodyPiece = 64 * 1024;
// A chunked body past the cap is read on (and dropped) up to this many caps, so the refusal is
// not lost to a reset connection; a longer one is cut off.
constexpr size_t kDrainedCaps = 4;

[[nodiscard]] std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

[[nodiscard]] bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && Lower(a) == Lower(b);
}

[[nodiscard]] std::string ErrorBody(uint32_t status, std::string_view message) {
  BindingProperty error;
  error.Get("status").SetUnsigned(status);
  error.Get("message").SetString(message);
  return Codec::WriteJson(error, nullptr, nullptr);
}

void SetError(Response& res, uint32_t status, std::string_view message) {
  res.status = static_cast<int>(status);
  res.set_content(ErrorBody(status, message), "application/json");
}

void SetJson(Response& res, int status, const BindingProperty& value) {
  res.status = status;
  if (value.Kind() == Binding::ValueKind::Empty) {
    res.set_content("", "");
    res.headers.erase("Content-Type");
  } else {
    res.set_content(Codec::WriteJson(value, nullptr, nullptr), "application/json");
  }
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

// Headers of the request the module does not get: the token, and the connection details
// cpp-httplib records as headers.
[[nodiscard]] bool HiddenFromModule(std::string_view name) {
  const std::string lower = Lower(name);
  return lower == "authorization" || lower == "remote_addr" || lower == "remote_port" ||
         lower == "local_addr" || lower == "local_port";
}

[[nodiscard]] bool HasBody(const Request& req) {
  if (req.has_header("Transfer-Encoding")) return true;
  return req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0";
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

// The message of an error cpp-httplib found before any handler ran.
[[nodiscard]] std::string RefusalText(int status) {
  switch (status) {
    case 400:
      return "The request is malformed";
    case 413:
      return "The request body is too large";
    case 414:
      return "The request target is too long";
    case 416:
      return "The requested range is not satisfiable";
    default:
      return "The request was refused (" + std::to_string(status) + ")";
  }
}

// The HTTP status of a module's answer; see the header.
[[nodiscard]] uint32_t AnswerStatus(const ApiCallResult& result) {
  if (!result.readError.empty()) return 502;
  uint32_t status = result.status;
  if (status < 200 || status > 599) status = result.failed ? 500 : 200;
  if (result.failed && status < 400) status = 500;
  return status;
}

}  // namespace

struct HostServer::Impl {
  Impl(Host& host, std::vector<ModuleId> modules, ServerOptions options)
      : host(host),
        modules(std::move(modules)),
        options(std::move(options)),
        hub(this->options.events) {}

  // ---- the gate every request passes first ----

  [[nodiscard]] bool HostAllowed(const Request& req) const {
    if (req.get_header_value_count("Host") != 1) return false;
    const std::string given = Lower(req.get_header_value("Host"));
    const uint16_t bound = port.load();
    for (const std::string& allowed :
         {HostAndPort("127.0.0.1", bound), HostAndPort("localhost", bound),
          HostAndPort(options.address, bound), HostAndPort(req.local_addr, bound)}) {
      if (given == Lower(allowed)) return true;
    }
    return false;
  }

  [[nodiscard]] bool Authorized(const Request& req) const {
    if (req.get_header_value_count("Authorization") != 1) return false;
    const std::string value = req.get_header_value("Authorization");
    constexpr std::string_view kScheme = "bearer ";
    if (value.size() < kScheme.size() || !SameNoCase(value.substr(0, kScheme.size()), kScheme)) {
      return false;
    }
    return SameSecret(options.token, std::string_view(value).substr(kScheme.size()));
  }

  [[nodiscard]] bool OriginAllowed(const Request& req) const {
    return options.allowOrigin && req.get_header_value_count("Origin") == 1 &&
           req.get_header_value("Origin") == *options.allowOrigin;
  }

  [[nodiscard]] bool IsPreflight(const Request& req) const {
    return req.method == "OPTIONS" && OriginAllowed(req) &&
           req.has_header("Access-Control-Request-Method");
  }

  // The declared body length; the largest value for one that is not a number.
  [[nodiscard]] static std::optional<uint64_t> DeclaredLength(const Request& req) {
    if (!req.has_header("Content-Length")) return std::nullopt;
    const std::string text = req.get_header_value("Content-Length");
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return UINT64_MAX;
    return value;
  }

  // Why the request is refused, if it is: its Host, its token, or a body declared larger than
  // `limit`.
  [[nodiscard]] bool Refused(const Request& req, Response& res, uint64_t limit) const {
    if (!HostAllowed(req)) {
      SetError(res, 421,
               "The Host header must name this server: " + HostAndPort("127.0.0.1", port.load()) +
                   " or " + HostAndPort("localhost", port.load()));
      return true;
    }
    if (!Authorized(req)) {
      SetError(res, 401,
               "This server needs the header 'Authorization: Bearer <token>' with the token of "
               "its run file");
      res.set_header("WWW-Authenticate", "Bearer");
      return true;
    }
    if (DeclaredLength(req).value_or(0) > limit) {
      SetError(res, 413, TooLargeMessage());
      return true;
    }
    return false;
  }

  // The body of a refused request is read away (up to kDrainedCaps caps) before the refusal
  // goes out, so that closing the connection on unread data cannot reset it before the client
  // has read the answer. Only the methods whose handlers read bodies can do that.
  [[nodiscard]] bool Drains(const Request& req) const {
    const bool reads = req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
                       req.method == "DELETE";
    return reads && HasBody(req) &&
           DeclaredLength(req).value_or(0) <= options.maxBodyBytes * kDrainedCaps;
  }

  void AllowOrigin(const Request& req, Response& res) const {
    if (OriginAllowed(req) && !res.has_header("Access-Control-Allow-Origin")) {
      res.set_header("Access-Control-Allow-Origin", *options.allowOrigin);
      res.set_header("Vary", "Origin");
    }
  }

  // Before routing. Handled when the request was answered here: a CORS preflight, or a refusal
  // whose body is not to be read. A refusal with a body to read away is left in `res` (status
  // set) for the body handler.
  HandlerResponse Gate(const Request& req, Response& res) {
    AllowOrigin(req, res);
    if (IsPreflight(req) && HostAllowed(req)) {
      res.status = 204;
      res.set_header("Access-Control-Allow-Methods", "GET, POST, PUT, PATCH, DELETE, OPTIONS");
      res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type");
      res.set_header("Access-Control-Max-Age", "600");
      return HandlerResponse::Handled;
    }
    if (!Refused(req, res, options.maxBodyBytes) || Drains(req)) return HandlerResponse::Unhandled;
    res.set_header("Connection", "close");
    return HandlerResponse::Handled;
  }

  // "Expect: 100-continue": the client waits with its body, so any refusal goes out at once.
  int Expect(const Request& req, Response& res) {
    AllowOrigin(req, res);
    if (!Refused(req, res, options.maxBodyBytes)) return 100;
    res.set_header("Connection", "close");
    return res.status;
  }

  [[nodiscard]] std::string TooLargeMessage() const {
    return "The request body is larger than " + std::to_string(options.maxBodyBytes) + " bytes";
  }

  // ---- dispatch ----

  void Serve(const Request& req, Response& res, std::optional<std::string> body) {
    const std::string& path = req.path;
    if (path == "/openapi.json") {
      if (Only(req, res, "GET")) OpenApi(res);
    } else if (path == "/events") {
      if (Only(req, res, "GET")) Events(req, res);
    } else if (path == "/host/modules") {
      if (Only(req, res, "GET")) Modules(res);
    } else if (path == kResources || path.starts_with(std::string(kResources) + "/")) {
      Resources(req, res, body);
    } else {
      CallModule(req, res, std::move(body));
    }
  }

  // True for `method` (and HEAD where it is GET); otherwise answers 405.
  static bool Only(const Request& req, Response& res, std::string_view method) {
    if (req.method == method || (method == "GET" && req.method == "HEAD")) return true;
    SetError(res, 405, req.method + " is not served at " + req.path);
    res.set_header("Allow", std::string(method));
    return false;
  }

  void ServeWithBody(const Request& req, Response& res, const httplib::ContentReader& reader) {
    // The gate left a refusal whose body is read away first.
    const bool refused = res.status != -1;
    if (!HasBody(req)) {
      if (!refused) Serve(req, res, std::nullopt);
      return;
    }
    std::string body;
    size_t seen = 0;
    bool tooLarge = false;
    const size_t cap = options.maxBodyBytes;
    const bool read = reader([&](const char* data, size_t length) {
      seen += length;
      if (seen > cap) {
        tooLarge = true;
        body.clear();
      } else if (!refused) {
        body.append(data, length);
      }
      return seen <= cap * kDrainedCaps;
    });
    if (!read) res.set_header("Connection", "close");
    if (refused) return;
    if (tooLarge) {
      SetError(res, 413, TooLargeMessage());
      return;
    }
    if (!read) {
      SetError(res, 400, "The request body could not be read");
      return;
    }
    Serve(req, res, std::move(body));
  }

  void CallModule(const Request& req, Response& res, std::optional<std::string> body) {
    ApiCall call;
    call.method = MethodCode(req.method);
    if (call.method == 8) call.methodName = req.method;
    call.target = req.target;
    for (const auto& [name, value] : req.headers)
      if (!HiddenFromModule(name)) call.headers.emplace_back(name, value);
    call.contentType = req.get_header_value("Content-Type");
    call.body = std::move(body);
    Answer(res, host.Call(call));
  }

  static void Answer(Response& res, ApiCallResult result) {
    const uint32_t status = AnswerStatus(result);
    std::string contentType = "application/octet-stream";
    for (const auto& [name, value] : result.headers) {
      if (!IsHeaderName(name) || !IsHeaderValue(value)) continue;
      if (SameNoCase(name, "Content-Type")) {
        contentType = value;
        continue;
      }
      if (ServerOwned(name)) continue;
      res.set_header(name, value);
    }
    if (!result.readError.empty()) {
      SetError(res, status, result.readError);
      return;
    }
    if (result.failed) {
      SetError(res, status, result.errorMessage);
      return;
    }
    if (status == 204 || status == 304) {
      res.status = static_cast<int>(status);
      return;
    }
    if (result.body) {
      res.status = static_cast<int>(status);
      auto body = std::make_shared<const std::string>(std::move(*result.body));
      res.set_chunked_content_provider(contentType, [body](size_t offset, httplib::DataSink& sink) {
        if (offset >= body->size()) {
          sink.done();
          return true;
        }
        const size_t length = std::min(kBodyPiece, body->size() - offset);
        return sink.write(body->data() + offset, length);
      });
      return;
    }
    SetJson(res, static_cast<int>(status), result.value);
  }

  // ---- the server's own endpoints ----

  void OpenApi(Response& res) {
    std::vector<OpenApiModule> described;
    for (ModuleId id : modules) {
      Result<ModuleInfo> info = host.Module(id);
      if (!info.Ok() || info.Value().exportTable == nullptr) continue;
      described.push_back(OpenApiModule{info.Value().shortName,
                                        VersionText(info.Value().moduleVersion),
                                        info.Value().exportTable});
    }
    SetJson(res, 200, BuildOpenApiDocument(described, url));
  }

  void Modules(Response& res) {
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
    SetJson(res, 200, list);
  }

  void Resources(const Request& req, Response& res, const std::optional<std::string>& body) {
    const std::string uri = req.path.substr(kResources.size());
    if (uri.size() <= 1) {
      SetError(res, 404, "Name a resource: /resources/<uri>");
      return;
    }
    const std::string normal = NormalizeResourceUri(uri);
    if (req.method == "GET" || req.method == "HEAD") {
      std::optional<BindingProperty> value = host.GetResource(normal);
      if (!value) {
        SetError(res, 404, "No resource is stored at " + normal);
        return;
      }
      SetJson(res, 200, *value);
    } else if (req.method == "PUT") {
      uint32_t status = 0;
      std::string message;
      std::optional<BindingProperty> value =
          DecodeResource(req.get_header_value("Content-Type"), body.value_or(""), status, message);
      if (!value) {
        SetError(res, status, message);
        return;
      }
      const ResourceChange change = host.SetResource(normal, *value);
      BindingProperty answer;
      answer.Get("uri").SetString(normal);
      answer.Get("eventType").SetString(ResourceChangeName(change));
      SetJson(res, change == ResourceChange::Create ? 201 : 200, answer);
    } else if (req.method == "DELETE") {
      if (!host.DeleteResource(normal)) {
        SetError(res, 404, "No resource is stored at " + normal);
        return;
      }
      res.status = 204;
    } else {
      SetError(res, 405, req.method + " is not served at " + req.path);
      res.set_header("Allow", "GET, PUT, DELETE");
    }
  }

  void Events(const Request& req, Response& res) {
    std::shared_ptr<EventClient> client = hub.Connect(req.get_param_value("prefix"));
    if (!client) {
      SetError(res, 503,
               "No more event streams: " + std::to_string(options.events.maxClients) + " are open");
      return;
    }
    res.status = 200;
    res.set_header("Cache-Control", "no-store");
    struct Stream {
      bool greeted = false;
      std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
      std::vector<std::shared_ptr<const std::string>> batch;
    };
    auto stream = std::make_shared<Stream>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, client, stream](size_t, httplib::DataSink& sink) {
          // A comment first: the client sees the stream open before any event.
          if (!stream->greeted) {
            stream->greeted = true;
            constexpr std::string_view kHello = ": connected\n\n";
            return sink.write(kHello.data(), kHello.size());
          }
          if (!hub.Next(*client, stream->batch, options.eventPoll)) {
            if (stopping.load()) {
              sink.done();
              return true;
            }
            return false;  // dropped: the connection is cut
          }
          const auto now = std::chrono::steady_clock::now();
          if (stream->batch.empty()) {
            if (now - stream->lastWrite < options.heartbeat) return true;
            stream->lastWrite = now;
            constexpr std::string_view kBeat = ": keep-alive\n\n";
            return sink.write(kBeat.data(), kBeat.size());
          }
          stream->lastWrite = now;
          for (const auto& message : stream->batch)
            if (!sink.write(message->data(), message->size())) return false;
          return true;
        },
        [this, client](bool) { hub.Disconnect(client); });
  }

  Host& host;
  const std::vector<ModuleId> modules;
  const ServerOptions options;
  EventHub hub;
  httplib::Server server;
  std::atomic<uint16_t> port{0};
  std::string url;
  std::atomic<bool> stopping{false};
  std::mutex lifecycleMutex;  // guards thread, observer, started
  std::thread thread;
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
  httplib::Server& server = self.server;
  const ServerOptions& options = self.options;
  const size_t threads = std::max<size_t>(options.threads, 2);
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_read_timeout(options.ioTimeout);
  server.set_write_timeout(options.ioTimeout);
  server.set_keep_alive_timeout(options.keepAlive.count());
  // Headers and body go out in separate writes; without this a kept-alive client waits for its
  // own delayed acknowledgement (some 40 ms) before it sees the body.
  server.set_tcp_nodelay(true);
  // The HTTP layer's default also sets SO_REUSEPORT, which lets a second server bind a port in
  // use and silently share its connections; a busy port must fail instead.
  server.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_expect_100_continue_handler(
      [&self](const Request& req, Response& res) { return self.Expect(req, res); });
  server.set_pre_routing_handler(
      [&self](const Request& req, Response& res) { return self.Gate(req, res); });
  auto plain = [&self](const Request& req, Response& res) {
    if (res.status == -1) self.Serve(req, res, std::nullopt);
  };
  auto withBody = [&self](const Request& req, Response& res, const httplib::ContentReader& reader) {
    self.ServeWithBody(req, res, reader);
  };
  // Every path reaches the dispatcher; request lines are at most 8 KiB, well within what the
  // matcher of ".*" can take on a worker's stack.
  server.Get(".*", plain);
  server.Options(".*", plain);
  server.Post(".*", withBody);
  server.Put(".*", withBody);
  server.Patch(".*", withBody);
  server.Delete(".*", withBody);
  // Errors cpp-httplib answers by itself (a malformed request, a long URI) get the same JSON.
  server.set_error_handler(httplib::Server::HandlerWithResponse([](const Request&, Response& res) {
    if (!res.body.empty() || res.is_chunked_content_provider_ || res.content_length_ != 0) {
      return HandlerResponse::Unhandled;
    }
    SetError(res, static_cast<uint32_t>(res.status), RefusalText(res.status));
    return HandlerResponse::Handled;
  }));
  server.set_exception_handler([](const Request&, Response& res, std::exception_ptr thrown) {
    std::string text = "unknown exception";
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const std::exception& error) {
      text = error.what();
    } catch (...) {
    }
    SetError(res, 500, "The server failed: " + text);
  });
  if (options.accessLog) {
    server.set_logger([&self](const Request& req, const Response& res) {
      self.options.accessLog(req.method + " " + req.path + " " + std::to_string(res.status));
    });
  }
  errno = 0;
  int bound = -1;
  if (options.port == 0) {
    bound = server.bind_to_any_port(options.address);
  } else if (server.bind_to_port(options.address, options.port)) {
    bound = options.port;
  }
  if (bound <= 0) {
    const int error = errno;
    return Status::Error("Can't listen on " + HostAndPort(options.address, options.port) +
                         (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
  }
  self.port = static_cast<uint16_t>(bound);
  self.url = "http://" + HostAndPort(options.address, self.port.load());
  self.observer =
      self.host.AddEventObserver([&self](const ObservedEvent& event) { self.hub.Publish(event); });
  self.thread = std::thread([&server] { (void)server.listen_after_bind(); });
  // stop() does nothing until the accept loop runs, so Stop must not come before it.
  for (int i = 0; i < 5000 && !server.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  self.started = true;
  return Status();
}

void HostServer::Stop() {
  Impl& self = *impl_;
  std::lock_guard lock(self.lifecycleMutex);
  if (!self.started || self.stopping.load()) return;
  self.stopping = true;
  self.hub.Stop();
  self.server.stop();
  if (self.thread.joinable()) self.thread.join();
  (void)self.host.RemoveEventObserver(self.observer);
}

uint16_t HostServer::Port() const noexcept {
  return impl_->port.load();
}

std::string HostServer::Url() const {
  return impl_->url;
}

EventHub& HostServer::Events() noexcept {
  return impl_->hub;
}

}  // namespace Oxle::Client::Host::Cli
