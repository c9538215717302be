// HostEndpoints (internal to tpk_cli): the host server's own endpoints beside the modules'
// routes. GET /openapi.json (the document of the served modules), GET /host/modules (each module
// with its routes by path and method, and its memory counters), GET/PUT/DELETE /resources/<uri>
// (the host's resource store; PUT takes JSON, YAML or MessagePack; GET /resources lists the
// stored URIs as {"uris": [...]}) and GET /events (Server-Sent
// Events of every publication, through the event hub, costing no thread).
// Answer runs on a call lane and may take a while; Events runs on an I/O thread and does not
// block. Both are thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/event_hub.h"
#include "cli/host_server.h"
#include "cli/http_server.h"
#include "cli/request_gate.h"
#include "core/host.h"

namespace Oxle::Client::Host::Cli {

class HostEndpoints {
 public:
  // Each must outlive the endpoints.
  HostEndpoints(Host& host, const std::vector<ModuleId>& modules, EventHub& hub,
                const ServerOptions& options, const RequestGate& gate) noexcept
      : host_(host), modules_(modules), hub_(hub), options_(options), gate_(gate) {}

  // True for the paths Answer serves: /openapi.json, /host/modules and /resources[/...].
  [[nodiscard]] static bool Serves(std::string_view path);
  // The answer at one of those paths; `url` is the server's own, for the OpenAPI document.
  [[nodiscard]] HttpResponse Answer(const HttpRequest& request, const std::string& url) const;
  // GET /events: a stream of the events the query's "prefix" selects, or 503 when the hub has
  // no room for one more.
  void Events(const HttpRequest& request, HttpResponder responder) const;

 private:
  [[nodiscard]] HttpResponse OpenApi(const std::string& url) const;
  [[nodiscard]] HttpResponse Modules() const;
  [[nodiscard]] HttpResponse Resources(const HttpRequest& request) const;

  Host& host_;
  const std::vector<ModuleId>& modules_;
  EventHub& hub_;
  const ServerOptions& options_;
  const RequestGate& gate_;
};

// 405 for `request`, with "Allow: <allow>".
[[nodiscard]] HttpResponse NotAllowed(const HttpRequest& request, std::string_view allow);

}  // namespace Oxle::Client::Host::Cli
