// The host server's request gate: the Host header, the bearer token and CORS.
#include "cli/request_gate.h"

#include <string>
#include <string_view>
#include <utility>

#include "cli/cli_options.h"
#include "cli/console_assets.h"
#include "cli/module_answer.h"
#include "cli/run_file.h"
#include "codec/ascii_case.h"

namespace Oxle::Client::Host::Cli {

bool RequestGate::HostAllowed(const HttpRequest& req, uint16_t bound) const {
  if (req.HeaderCount("Host") != 1) return false;
  const std::string given = req.Header("Host");
  for (const std::string& allowed :
       {HostAndPort("127.0.0.1", bound), HostAndPort("localhost", bound),
        HostAndPort(options_.http.address, bound), HostAndPort(req.localAddress, bound)}) {
    if (Codec::EqualsNoCase(given, allowed)) return true;
  }
  return false;
}

bool RequestGate::Authorized(const HttpRequest& req) const {
  if (req.HeaderCount("Authorization") != 1) return false;
  const std::string value = req.Header("Authorization");
  constexpr std::string_view kScheme = "bearer ";
  if (!Codec::StartsWithNoCase(value, kScheme)) return false;
  return SameSecret(options_.token, std::string_view(value).substr(kScheme.size()));
}

bool RequestGate::OriginAllowed(const HttpRequest& req) const {
  return options_.allowOrigin && req.HeaderCount("Origin") == 1 &&
         req.Header("Origin") == *options_.allowOrigin;
}

HttpResponse RequestGate::Cors(const HttpRequest& req, HttpResponse response) const {
  if (OriginAllowed(req)) {
    response.headers.emplace_back("Access-Control-Allow-Origin", *options_.allowOrigin);
    response.headers.emplace_back("Vary", "Origin");
  }
  return response;
}

std::optional<HttpResponse> RequestGate::Admit(const HttpRequest& req, uint16_t bound) const {
  if (req.method == "OPTIONS" && OriginAllowed(req) &&
      req.HeaderCount("Access-Control-Request-Method") != 0 && HostAllowed(req, bound)) {
    HttpResponse preflight;
    preflight.status = 204;
    preflight.headers = {{"Access-Control-Allow-Methods", "GET, POST, PUT, PATCH, DELETE, OPTIONS"},
                         {"Access-Control-Allow-Headers", "Authorization, Content-Type"},
                         {"Access-Control-Max-Age", "600"}};
    return Cors(req, std::move(preflight));
  }
  if (!HostAllowed(req, bound)) {
    return Cors(req, ErrorAnswer(421, "The Host header must name this server: " +
                                          HostAndPort("127.0.0.1", bound) + " or " +
                                          HostAndPort("localhost", bound)));
  }
  if (!Authorized(req) && FindConsoleAsset(req.path) == nullptr) {
    HttpResponse refused = ErrorAnswer(401,
                                       "This server needs the header 'Authorization: Bearer "
                                       "<token>' with the token of its run file");
    refused.headers.emplace_back("WWW-Authenticate", "Bearer");
    return Cors(req, std::move(refused));
  }
  return std::nullopt;
}

}  // namespace Oxle::Client::Host::Cli
