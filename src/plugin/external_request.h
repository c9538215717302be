// External HTTP requests made through the host: the native request a feature fills, the native
// answer (ExternalResponse) and the conversion of the host's response record into it. The
// records themselves are in the boundary header; the plugin builds and sends them (PluginCore).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "api/routes.h"
#include "binding/value/binding_property.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Plugin {

struct ExternalRequest {
  Api::HttpMethod method = Api::HttpMethod::Get;
  std::string url;
  std::unordered_map<std::string, std::string> headers;  // sent in the map's order
  std::string body;
  std::string secondText;  // kept with the request, never sent
  uint32_t timeout = 0;    // the host's unit, passed through
  uint32_t flags = 0;      // the host's meaning, passed through
};

// Body conversion marks.
inline constexpr int32_t kBodyNotConverted = -1;
inline constexpr int32_t kBodyConverted = 0;
inline constexpr int32_t kBodyConversionFailed = 1;

struct ExternalResponse {
  int32_t connectionError = 0;  // the host's transport result: -1, 0, 2 kept, others 1
  uint32_t status = 0;
  int32_t bodyMark = kBodyNotConverted;
  int32_t secondMark = kBodyNotConverted;  // never changed
  std::string error;
  std::unordered_map<std::string, std::string> headers;
  Binding::BindingProperty body;
};

// The connection error code for a transport result.
[[nodiscard]] int32_t MapTransportResult(int32_t transportResult) noexcept;

// Converts the host's answer to the request labelled `label` ("GET https://..."); `shortName`
// prefixes the traces. Does not call the record's release callback.
[[nodiscard]] ExternalResponse ConvertExternalResponse(const ExternalResponseRecord& record,
                                                       std::string_view label,
                                                       std::string_view shortName);

}  // namespace Oxle::Client::Plugin
