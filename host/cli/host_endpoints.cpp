// The host server's own endpoints: the OpenAPI document, the module list, the resource store and
// the event stream with its source.
#include "cli/host_endpoints.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "api/http_method.h"
#include "api/routes.h"
#include "api/version_text.h"
#include "cli/module_answer.h"
#include "cli/openapi.h"
#include "codec/media_type.h"

namespace Oxle::Client::Host::Cli {

namespace {

using Binding::BindingProperty;

constexpr std::string_view kResources = "/resources";

// A resource body by its Content-Type: JSON, YAML or MessagePack. `status` is 415 for another
// type and 400 for a body that does not decode.
[[nodiscard]] std::optional<BindingProperty> DecodeResource(std::string_view contentType,
                                                            const std::string& body,
                                                            uint32_t& status,
                                                            std::string& message) {
  const std::optional<Codec::MediaFormat> format = Codec::ResourceFormat(contentType);
  if (!format) {
    status = 415;
    message =
        "A resource is JSON (application/json), YAML (application/yaml) or MessagePack "
        "(application/msgpack), not '" +
        std::string(contentType) + "'";
    return std::nullopt;
  }
  // YAML is read to its last byte, as the resource store has always read it.
  Binding::ValueResult decoded = Codec::DecodeMedia(*format, body, {.yamlEndsAtNul = false});
  if (!decoded.Ok()) {
    status = 400;
    message = std::string(decoded.ErrorMessage());
    return std::nullopt;
  }
  return std::move(decoded.Value());
}

[[nodiscard]] std::string VersionText(const CoreVersion& version) {
  return Api::VersionText(version.major, version.minor, version.patch);
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

bool HostEndpoints::Serves(std::string_view path) {
  return path == "/openapi.json" || path == "/host/modules" || path == kResources ||
         path.starts_with(std::string(kResources) + "/");
}

HttpResponse NotAllowed(const HttpRequest& req, std::string_view allow) {
  HttpResponse response = ErrorAnswer(405, req.method + " is not served at " + req.path);
  response.headers.emplace_back("Allow", std::string(allow));
  return response;
}

HttpResponse HostEndpoints::Answer(const HttpRequest& req, const std::string& url) const {
  const bool get = req.method == "GET" || req.method == "HEAD";
  if (req.path == "/openapi.json") return get ? OpenApi(url) : NotAllowed(req, "GET");
  if (req.path == "/host/modules") return get ? Modules() : NotAllowed(req, "GET");
  return Resources(req);
}
HttpResponse HostEndpoints::OpenApi(const std::string& url) const {
  std::vector<OpenApiModule> described;
  for (ModuleId id : modules_) {
    Result<ModuleInfo> info = host_.Module(id);
    if (!info.Ok() || info.Value().exportTable == nullptr) continue;
    described.push_back(OpenApiModule{
        info.Value().shortName, VersionText(info.Value().moduleVersion), info.Value().exportTable});
  }
  return JsonAnswer(200, BuildOpenApiDocument(described, url));
}

HttpResponse HostEndpoints::Modules() const {
  BindingProperty list;
  BindingProperty& entries = list.Get("modules").MakeCollection();
  for (ModuleId id : modules_) {
    Result<ModuleInfo> read = host_.Module(id);
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
        served.push_back(Route{
            path,
            std::string(Api::HostMethodName(export_.method, export_.methodName).value_or("*")),
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
    Result<ModuleMemoryStats> stats = host_.GetMemoryStats(id);
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
  return JsonAnswer(200, list);
}

HttpResponse HostEndpoints::Resources(const HttpRequest& req) const {
  const std::string uri = req.path.substr(kResources.size());
  if (uri.size() <= 1) {
    if (req.method != "GET" && req.method != "HEAD") return NotAllowed(req, "GET");
    BindingProperty listing;
    BindingProperty& uris = listing.Get("uris").MakeCollection();
    for (const std::string& stored : host_.ResourceUris())
      uris.Append().SetString(stored);
    return JsonAnswer(200, listing);
  }
  const std::string normal = NormalizeResourceUri(uri);
  if (req.method == "GET" || req.method == "HEAD") {
    std::optional<BindingProperty> value = host_.GetResource(normal);
    if (!value) return ErrorAnswer(404, "No resource is stored at " + normal);
    return JsonAnswer(200, *value);
  }
  if (req.method == "PUT") {
    uint32_t status = 0;
    std::string message;
    std::optional<BindingProperty> value =
        DecodeResource(req.Header("Content-Type"), req.body.value_or(""), status, message);
    if (!value) return ErrorAnswer(status, message);
    const ResourceChange change = host_.SetResource(normal, *value);
    BindingProperty answer;
    answer.Get("uri").SetString(normal);
    answer.Get("eventType").SetString(ResourceChangeName(change));
    return JsonAnswer(change == ResourceChange::Create ? 201 : 200, answer);
  }
  if (req.method == "DELETE") {
    if (!host_.DeleteResource(normal))
      return ErrorAnswer(404, "No resource is stored at " + normal);
    HttpResponse deleted;
    deleted.status = 204;
    return deleted;
  }
  return NotAllowed(req, "GET, PUT, DELETE");
}

void HostEndpoints::Events(const HttpRequest& req, HttpResponder responder) const {
  std::string prefix;
  if (const size_t query = req.target.find('?'); query != std::string::npos) {
    prefix = QueryValue(std::string_view(req.target).substr(query + 1), "prefix");
  }
  std::shared_ptr<EventClient> client = hub_.Connect(std::move(prefix));
  if (!client) {
    responder.Answer(gate_.Cors(
        req, ErrorAnswer(503, "No more event streams: " +
                                  std::to_string(options_.events.maxClients) + " are open")));
    return;
  }
  HttpResponse head;
  head.headers = {{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-store"}};
  responder.Stream(gate_.Cors(req, std::move(head)),
                   std::make_shared<EventStream>(hub_, std::move(client), options_.heartbeat));
}

}  // namespace Oxle::Client::Host::Cli
