// HostServer: a Host's loaded modules over HTTP (cpp-httplib), for one local user. Every
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
// Security, checked before a request reaches anything: the Host header must name 127.0.0.1:PORT,
// localhost:PORT or the address the connection arrived at (421 otherwise, against DNS
// rebinding); "Authorization: Bearer <token>" is required everywhere (401 otherwise, compared in
// constant time; a CORS preflight from the allowed origin is the one exception); a body above
// maxBodyBytes is refused with 413 (by its Content-Length, or as a chunked one is read); CORS
// headers are sent only to the origin named by allowOrigin. Refusals are JSON errors like the
// modules'. The body of a refused request is read and dropped, up to four times the cap, before
// the refusal goes out (so that the client reads it rather than a reset connection); a longer
// one is not read, and the connection is closed. The token is never logged or echoed.
//
// Thread-safe; the handlers run on the server's own worker threads. Not an HTTPS server.
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
#include "core/host.h"

namespace Oxle::Client::Host::Cli {

// The largest request body the server reads: 16 MiB.
inline constexpr size_t kDefaultMaxBodyBytes = size_t{16} << 20;

struct ServerOptions {
  std::string address = "127.0.0.1";  // numeric; an IPv6 address without brackets
  uint16_t port = 0;                  // 0: a free port
  std::string token;                  // what "Authorization: Bearer" must carry
  std::optional<std::string> allowOrigin;
  size_t maxBodyBytes = kDefaultMaxBodyBytes;
  size_t threads = 16;  // connections served at once (event streams included)
  EventHubOptions events;
  std::chrono::seconds ioTimeout{5};         // a connection's read and write time-out
  std::chrono::seconds keepAlive{2};         // how long an idle connection is kept
  std::chrono::milliseconds eventPoll{200};  // an idle event stream's wake-up, to see a stop
  std::chrono::seconds heartbeat{15};        // an idle event stream's comment line
  // One line per answered request, "METHOD PATH STATUS" (never the query or a header).
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
  // Stops accepting, ends the event streams and waits for the requests in progress; each is
  // bounded by the I/O time-outs and by its module call. Later calls do nothing.
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
