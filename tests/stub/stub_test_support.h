// Helpers of the stub service's tests: a request to the service from a target text, and the
// module's view of an answer (through its own response conversion and answer mapping), so a test
// can prove the module accepts what the stub sends.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/api_response.h"
#include "core/host_result.h"
#include "mhx/mhx_service_client.h"
#include "plugin/external_request.h"
#include "stub/stub_service.h"
#include "support/cli_support.h"

namespace StubTest {

using namespace Oxle::Client::Host::Stub;
using CliSupport::Json;
namespace Binding = Oxle::Client::Binding;
namespace Mhx = Oxle::Client::Mhx;

inline constexpr std::string_view kToken = "JwtBearer stub-test-token-7f3a";
inline constexpr std::string_view kPlatform = "EUW1";

// The service's answer to `target` ("/path?a=1&b"), with both headers unless they are replaced.
inline StubAnswer Ask(std::string_view target, std::string_view method = "GET",
                      std::optional<std::string> authorization = std::string(kToken),
                      std::optional<std::string> region = std::string(kPlatform)) {
  const size_t question = target.find('?');
  const std::string path(target.substr(0, question));
  StubRequest request;
  request.method = method;
  request.path = path;
  std::string_view query = question == std::string_view::npos ? "" : target.substr(question + 1);
  while (!query.empty()) {
    const size_t amp = std::min(query.find('&'), query.size());
    const std::string_view piece = query.substr(0, amp);
    const size_t equals = std::min(piece.find('='), piece.size());
    request.query.emplace_back(piece.substr(0, equals), piece.substr(std::min(equals + 1, amp)));
    query.remove_prefix(std::min(amp + 1, query.size()));
  }
  request.authorization = std::move(authorization);
  request.region = std::move(region);
  return AnswerStubRequest(request);
}

// What the module makes of an HTTP answer to `url`: its response conversion, then its mapping.
inline Oxle::Client::Api::ApiResponse ThroughModule(int status, const std::string& body,
                                                    std::string_view url) {
  ExternalResponseRecord record{};
  record.status = static_cast<uint32_t>(status);
  record.body = reinterpret_cast<const uint8_t*>(body.data());
  record.bodyLength = static_cast<uint32_t>(body.size());
  const std::string label = "GET " + std::string(url);
  return Mhx::MapServiceAnswer(
      Oxle::Client::Plugin::ConvertExternalResponse(record, label, "stub-test"), {});
}

}  // namespace StubTest
