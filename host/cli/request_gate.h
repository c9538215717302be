// RequestGate (internal to tpk_cli): what every request to the host server passes once its head
// is in, before anything else. The Host header must name 127.0.0.1:PORT, localhost:PORT or the
// address the connection arrived at (421 otherwise, against DNS rebinding);
// "Authorization: Bearer <token>" is required everywhere (401 otherwise, compared in constant
// time) but for the web console's page and assets, which carry no data, and a CORS preflight from
// the allowed origin, answered here; CORS
// headers go only to the origin named by allowOrigin. Refusals are JSON errors like the modules'.
// The body limits are HttpServer's. Reads its options only: callable from any thread.
#pragma once

#include <cstdint>
#include <optional>

#include "cli/host_server.h"
#include "cli/http_server.h"

namespace Oxle::Client::Host::Cli {

class RequestGate {
 public:
  // `options` must outlive the gate.
  explicit RequestGate(const ServerOptions& options) noexcept : options_(options) {}

  // The answer that refuses `request` (or answers its CORS preflight), or nothing to let it in;
  // `port` is the server's bound port.
  [[nodiscard]] std::optional<HttpResponse> Admit(const HttpRequest& request, uint16_t port) const;
  // `response` with the CORS headers it takes for `request`'s origin.
  [[nodiscard]] HttpResponse Cors(const HttpRequest& request, HttpResponse response) const;

 private:
  [[nodiscard]] bool HostAllowed(const HttpRequest& request, uint16_t port) const;
  [[nodiscard]] bool Authorized(const HttpRequest& request) const;
  [[nodiscard]] bool OriginAllowed(const HttpRequest& request) const;

  const ServerOptions& options_;
};

}  // namespace Oxle::Client::Host::Cli
