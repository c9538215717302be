// The web console's answers; the table itself is generated (console_assets_data.cpp).
#include "cli/console_assets.h"

#include <string>

#include "cli/host_endpoints.h"

namespace Oxle::Client::Host::Cli {
namespace {

constexpr std::string_view kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// True when an If-None-Match value ("*", or a list of entity tags, weak ones compared weakly)
// names `etag`.
bool NamesTag(std::string_view wanted, std::string_view etag) {
  while (!wanted.empty()) {
    const size_t comma = wanted.find(',');
    std::string_view each = wanted.substr(0, comma);
    while (!each.empty() && (each.front() == ' ' || each.front() == '\t'))
      each.remove_prefix(1);
    while (!each.empty() && (each.back() == ' ' || each.back() == '\t'))
      each.remove_suffix(1);
    if (each.starts_with("W/")) each.remove_prefix(2);
    if (each == "*" || each == etag) return true;
    if (comma == std::string_view::npos) break;
    wanted.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

const ConsoleAsset* FindConsoleAsset(std::string_view path) noexcept {
  for (const ConsoleAsset& asset : ConsoleAssetTable())
    if (asset.path == path) return &asset;
  return nullptr;
}

HttpResponse ConsoleAnswer(const HttpRequest& req, const ConsoleAsset& asset) {
  if (req.method != "GET" && req.method != "HEAD") return NotAllowed(req, "GET, HEAD");
  HttpResponse response;
  response.headers = {{"ETag", std::string(asset.etag)},
                      {"Cache-Control", "no-cache"},
                      {"X-Content-Type-Options", "nosniff"},
                      {"Referrer-Policy", "no-referrer"},
                      {"Content-Security-Policy", std::string(kPolicy)}};
  if (req.HeaderCount("If-None-Match") != 0 && NamesTag(req.Header("If-None-Match"), asset.etag)) {
    response.status = 304;
    return response;
  }
  response.headers.emplace_back("Content-Type", std::string(asset.contentType));
  response.body.assign(asset.bytes);
  return response;
}

}  // namespace Oxle::Client::Host::Cli
