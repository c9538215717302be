// HostServer: a Host's loaded modules over HTTP (HttpServer), for one local user. Every
// exported route is served at its method and template through Host::Call; beside them
// GET /openapi.json, GET /events (Server-Sent Events of every publication), GET/PUT/DELETE
// /resources/<uri> and GET /host/modules (each module with its routes by path and method, and its
// memory counters). The answer to a module's response:
//   - status: the response's own when it lies in 200-599; otherwise (0 is "not set") 200 for a
//     success and 500 for an error; an error never goes out below 400 (it becomes 500); a
//     response that could not be read from the module is 502;
//   - body: an error is the JSON object {"message", "status"}; a body stream is sent chunked,
//     typed by the module's Content-Type header (else application/octet-stream); otherwise the
//     value as JSON, and an empty value as an empty body; 204 and 304 carry none;
//   - the module's headers are passed on, except those that frame the message (Content-Length,
//     Transfer-Encoding, Connection), Content-Type (see above), Access-Control-* (CORS belongs
//     to the server) and any whose name or value could split the header block.
// The request the module gets: the method code, the raw path and query, every header except
// Authorization (the token is the server's, never the module's), the Content-Type and the body.
//
// Security, checked once the request head is in, before anything else: the Host header must name
// 127.0.0.1:PORT, localhost:PORT or the address the connection arrived at (421 otherwise, against
// DNS rebinding); "Authorization: Bearer <token>" is required everywhere (401 otherwise, compared
// in constant time; a CORS preflight from the allowed origin is the one exception); CORS headers
// are sent only to the origin named by allowOrigin. Refusals are JSON errors like the modules'.
// The limits of HttpServer (head size and deadline, body cap, connections) come before all that.
// The token is never logged or echoed.
//
// Calls never take the I/O threads: each module may run callsInFlight calls at once with a queue
// of queuedCalls behind them, and the server's own endpoints (and calls no module answers) two,
// each on a server thread of its own (the HTTP server has that many more threads), so a module
// whose calls wait on a silent remote service holds up neither the others nor /openapi.json,
// /resources or /host/modules. A call with a free slot runs on the thread that read it, which
// also writes its answer: no hand-off between threads. A call that finds its queue full is
// answered 503 with "Retry-After: 1" at once. Event streams cost no thread.
//
// Thread-safe. Not an HTTPS server.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/event_hub.h"
#include "cli/http_server.h"
#include "core/host.h"

namespace Oxle::Client::Host::Cli {

struct ServerOptions {
  HttpServerOptions http;  // address, port, limits and deadlines
  std::string token;       // what "Authorization: Bearer" must carry
  std::optional<std::string> allowOrigin;
  size_t callsInFlight = 8;  // per module
  size_t queuedCalls = 256;  // per module, behind those in flight
  EventHubOptions events;
  std::chrono::seconds heartbeat{15};  // an idle event stream's comment line
  // How long Stop lets answers in progress go out before it closes their connections.
  std::chrono::milliseconds stopGrace{1000};
  // One line per answered request, "METHOD PATH STATUS" (never the query or a header; bytes
  // outside printable ASCII as \xNN).
  std::function<void(const std::string&)> accessLog;
};

class HostServer {
 public:
  // Serves `modules` of `host`, which must outlive the server; the modules stay loaded until
  // Stop has returned.
  HostServer(Host& host, std::vector<ModuleId> modules, ServerOptions options);
  // Stops the server.
  ~HostServer();
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  // Binds the address and serves on threads of its own; fails when the address can't be bound.
  Status Start();
  // Stops accepting, ends the event streams, answers the queued calls 503, waits for the calls
  // in progress (a caller that must stop soon aborts their remote requests first), lets their
  // answers go out (for stopGrace at most) and closes every connection. Later calls do nothing.
  void Stop();

  // The bound port (after Start).
  [[nodiscard]] uint16_t Port() const noexcept;
  // "http://ADDRESS:PORT".
  [[nodiscard]] std::string Url() const;
  [[nodiscard]] EventHub& Events() noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Oxle::Client::Host::Cli
