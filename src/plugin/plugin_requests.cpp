// PluginCore's requests through the host: API calls, streamed response bodies, resources read
// as native values, and external HTTP requests.
#include <algorithm>
#include <cstring>

#include "binding/format/positional_format.h"
#include "codec/ascii_case.h"
#include "codec/json.h"
#include "plugin/plugin_core.h"

namespace Oxle::Client::Plugin {

namespace {

// Read by the body loop at a time.
constexpr uint32_t kBodyChunk = 4096;
// A body size the host reports is only a hint: room for more than this is not reserved up front.
constexpr uint32_t kMaxBodyReservation = 1u << 20;

}  // namespace

ApiCallResponse::ApiCallResponse() noexcept {
  std::memset(&record, 0, sizeof record);
}

void ApiCallResponse::Release() noexcept {
  if (record.free != nullptr) {
    const ApiResponseFreeCallback free = record.free;
    free(&record);
  }
  std::memset(&record, 0, sizeof record);
}

RequestResult<> PluginCore::CallApi(ApiCallResponse& response, Api::HttpMethod method,
                                    std::string_view target) {
  return SendApiRequest(response, method, target, {});
}

RequestResult<> PluginCore::CallApi(ApiCallResponse& response, Api::HttpMethod method,
                                    std::string_view target, const ApiParameters& parameters) {
  std::vector<ApiNativeArgument> arguments;
  arguments.reserve(parameters.size());  // so that no push_back below can throw
  struct Release {
    std::vector<ApiNativeArgument>& arguments;
    ~Release() {
      for (ApiNativeArgument& argument : arguments)
        Binding::ReleaseHostValue(argument.value);
    }
  } release{arguments};
  for (const auto& [name, value] : parameters) {
    HostValue converted{};
    Binding::ValueResult conversion;
    if (!Binding::ToHostValue(value, registry_, converted, conversion)) {
      return RequestError::FromTemplate(
          400, "Request not sent: Error converting parameters for {method} {url}: {error}",
          {Api::MethodText(method), target, conversion.ErrorMessage()});
    }
    arguments.push_back(ApiNativeArgument{name.c_str(), converted});
  }
  return SendApiRequest(response, method, target, arguments);
}

RequestResult<> PluginCore::SendApiRequest(ApiCallResponse& response, Api::HttpMethod method,
                                           std::string_view target,
                                           const std::vector<ApiNativeArgument>& arguments) {
  response.Release();
  const std::string targetText(target);
  ApiRequestRecord request{};
  request.method = static_cast<uint32_t>(method);
  request.target = targetText.c_str();
  request.nativeArguments = arguments.empty() ? nullptr : arguments.data();
  request.nativeArgumentCount = static_cast<uint32_t>(arguments.size());
  request.callerContext = reinterpret_cast<void*>(static_cast<uintptr_t>(pluginHandle_));
  SendRequest(response.record, request);

  const ApiResponseRecord& record = response.record;
  if (record.errorMessage != nullptr) {
    return RequestError::FromTemplate(record.status, "Error response for {method} {url}: {error}",
                                      {Api::MethodText(method), target, record.errorMessage});
  }
  // A failure flag without a message is still a failure, never a success.
  if (record.error != 0) {
    return RequestError::FromTemplate(
        record.status, "Error response for {method} {url}: {error}",
        {Api::MethodText(method), target, "the response is marked failed but has no message"});
  }
  return {};
}

Binding::ValueResult PluginCore::ReadResponseBody(ApiResponseRecord& response) {
  std::string text;
  const uint32_t reportedSize = response.bodySize;  // a packed field: read by value
  text.reserve(std::min(reportedSize, kMaxBodyReservation));
  bool ok = response.readBody != nullptr;
  char buffer[kBodyChunk];
  uint8_t moreData = 1;
  while (ok) {
    uint32_t length = kBodyChunk;
    if (response.readBody(response.bodyStream, buffer, &length, &moreData) == 0 ||
        length > kBodyChunk) {
      ok = false;
      break;
    }
    text.append(buffer, length);
    if (length < kBodyChunk) {
      if (moreData == 0) break;
      MarkWait("Wait: yield", 0);
      Yield();
      EndWait();
    }
    if (moreData == 0) break;
  }
  if (response.bodyStream != nullptr && response.releaseBody != nullptr) {
    response.releaseBody(response.bodyStream);
  }
  if (!ok) return Binding::ValueResult::Error("Stream read error");
  return Codec::ParseJson(text);
}

RequestResult<> PluginCore::GetResourceValue(Api::HttpMethod method, std::string_view target,
                                             Binding::BindingProperty& out) {
  ApiCallResponse response;
  RequestResult<> sent = CallApi(response, method, target);
  if (!sent.Ok()) return sent;
  if (response.record.readBody == nullptr) {
    Binding::ValueResult converted;
    if (!Binding::FromHostValue(response.record.value, out, converted, "<result>")) {
      return RequestError::FromTemplate(
          0, "Error converting response for {method} {url}: {error}",
          {Api::MethodText(method), target, converted.ErrorMessage()});
    }
    return {};
  }
  Binding::ValueResult body = ReadResponseBody(response.record);
  if (!body.Ok()) {
    return RequestError::FromTemplate(0,
                                      "Error reading streamed response for {method} {url}: {error}",
                                      {Api::MethodText(method), target, body.ErrorMessage()});
  }
  out = std::move(body.Value());
  return {};
}

void PluginCore::FillExternalRequest(const ExternalRequest& request, ExternalRequestRecord& record,
                                     std::vector<ApiHeader>& headerPairs) const {
  record = ExternalRequestRecord{};
  record.method = static_cast<uint32_t>(request.method);
  record.url = request.url.c_str();
  record.timeout = request.timeout;
  record.flags = request.flags;

  headerPairs.clear();
  headerPairs.reserve(request.headers.size() + 1);
  const bool hasUserAgent = std::any_of(
      request.headers.begin(), request.headers.end(),
      [](const auto& header) { return Codec::EqualsNoCase(header.first, "user-agent"); });
  if (!hasUserAgent) headerPairs.push_back(ApiHeader{"user-agent", userAgent_.c_str()});
  for (const auto& [name, value] : request.headers)
    headerPairs.push_back(ApiHeader{name.c_str(), value.c_str()});

  record.headers = headerPairs.data();
  record.headerCount = static_cast<uint32_t>(headerPairs.size());
  record.body = reinterpret_cast<const uint8_t*>(request.body.data());
  record.bodyLength = static_cast<uint32_t>(request.body.size());
}

ExternalResponse PluginCore::SendExternal(const ExternalRequest& request) {
  const std::string label =
      Binding::FormatToString("%1 %2", Api::MethodText(request.method), request.url);
  std::vector<ApiHeader> headerPairs;
  ExternalRequestRecord record{};
  FillExternalRequest(request, record, headerPairs);
  ExternalResponseRecord response{};
  SendExternalRequest(response, record);
  struct Release {
    ExternalResponseRecord& response;
    ~Release() {
      if (response.release != nullptr) response.release(&response);
    }
  } release{response};
  return ConvertExternalResponse(response, label, shortName_);
}

}  // namespace Oxle::Client::Plugin
