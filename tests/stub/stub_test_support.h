// Helpers of the stub service's tests: a request to the service from a target text, and the
// module's view of an answer (through its own response conversion and answer mapping), so a test
// can prove the module accepts what the stub sends.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/api_response.h"
#include "mhx/mhx_service_client.h"
#include "plugin/external_request.h"
#include "result/host_result.h"
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
  httplib::Params query;  // read as the server reads it
  if (question != std::string_view::npos)
    httplib::detail::parse_query_text(std::string(target.substr(question + 1)), query);
  return AnswerStubRequest({method,
                            target.substr(0, question),
                            {query.begin(), query.end()},
                            std::move(authorization),
                            std::move(region)});
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
