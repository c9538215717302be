// The web console (internal to tpk_cli): the page at "/" and its assets under "/console/",
// embedded in tpk-host at build time from host/console/assets.txt (cmake/console_assets.cmake
// writes the table). They carry no data, so they are served without the token; the Host header
// check still applies, and everything the page then fetches goes through the gate. Each answer
// has the asset's content type, a strong ETag with `Cache-Control: no-cache` (a browser asks
// again and gets 304 while the binary is the same), `nosniff` and the page's Content Security
// Policy, which allows nothing but this server. The table is immutable: callable from any thread.
#pragma once

#include <span>
#include <string_view>

#include "cli/http_server.h"

namespace Oxle::Client::Host::Cli {

struct ConsoleAsset {
  std::string_view path;         // "/" or "/console/..."
  std::string_view contentType;  // e.g. "text/javascript; charset=utf-8"
  std::string_view etag;         // quoted
  std::string_view bytes;
};

// Every embedded asset, in the manifest's order (generated).
[[nodiscard]] std::span<const ConsoleAsset> ConsoleAssetTable() noexcept;

// The asset served at `path`, or null.
[[nodiscard]] const ConsoleAsset* FindConsoleAsset(std::string_view path) noexcept;

// The answer to `request` for `asset`: the bytes to GET and HEAD (304 when If-None-Match names
// its ETag), 405 to any other method.
[[nodiscard]] HttpResponse ConsoleAnswer(const HttpRequest& request, const ConsoleAsset& asset);

}  // namespace Oxle::Client::Host::Cli
