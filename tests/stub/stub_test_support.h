// Helpers of the stub service's tests: a request to the service from a target text, the JSON
// text the service sends for a document, and the module's view of an answer (through its own
// response conversion and answer mapping), so a test can prove the module accepts what the stub
// sends.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/api_response.h"
#include "codec/json.h"
#include "core/host_result.h"
#include "mhx/mhx_service_client.h"
#include "plugin/external_request.h"
#include "stub/stub_service.h"

namespace StubTest {

using namespace Oxle::Client::Host::Stub;
using Oxle::Client::Host::Status;
namespace Binding = Oxle::Client::Binding;
namespace Codec = Oxle::Client::Codec;
namespace Mhx = Oxle::Client::Mhx;
namespace Plugin = Oxle::Client::Plugin;

inline constexpr std::string_view kToken = "JwtBearer stub-test-token-7f3a";
inline constexpr std::string_view kPlatform = "EUW1";

// A request with its own storage for the path the StubRequest points into.
struct OwnedRequest {
  std::string path;
  StubRequest request;
};

// GET `target` ("/path?a=1&b") with both headers, the query split at '&' and '='.
inline OwnedRequest MakeRequest(std::string_view target, std::string_view method = "GET") {
  OwnedRequest owned;
  const size_t question = target.find('?');
  owned.path = std::string(target.substr(0, question));
  owned.request.method = method;
  if (question != std::string_view::npos) {
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
      const size_t amp = query.find('&');
      const std::string_view piece = query.substr(0, amp);
      const size_t equals = piece.find('=');
      owned.request.query.emplace_back(
          std::string(piece.substr(0, equals)),
          equals == std::string_view::npos ? std::string() : std::string(piece.substr(equals + 1)));
      if (amp == std::string_view::npos) break;
      query.remove_prefix(amp + 1);
    }
  }
  owned.request.authorization = std::string(kToken);
  owned.request.region = std::string(kPlatform);
  return owned;
}

inline StubAnswer Ask(OwnedRequest owned) {
  owned.request.path = owned.path;
  return AnswerStubRequest(owned.request);
}

inline StubAnswer Ask(std::string_view target) {
  return Ask(MakeRequest(target));
}

inline std::string Json(const Binding::BindingProperty& document) {
  return Codec::WriteJson(document, nullptr, nullptr);
}

// What the module makes of an HTTP answer to `url`: its response conversion, then its mapping.
inline Oxle::Client::Api::ApiResponse ThroughModule(int status, const std::string& body,
                                                    std::string_view url) {
  ExternalResponseRecord record{};
  record.transportResult = 0;
  record.status = static_cast<uint32_t>(status);
  record.body = reinterpret_cast<const uint8_t*>(body.data());
  record.bodyLength = static_cast<uint32_t>(body.size());
  const std::string label = "GET " + std::string(url);
  return Mhx::MapServiceAnswer(Plugin::ConvertExternalResponse(record, label, "stub-test"), {});
}

}  // namespace StubTest
