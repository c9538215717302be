// HTTP method codes and names.
#include "api/http_method.h"

namespace Oxle::Client::Api {

std::string_view MethodText(HttpMethod method) noexcept {
  switch (method) {
    case HttpMethod::Delete:
      return "DELETE";
    case HttpMethod::Get:
      return "GET";
    case HttpMethod::Head:
      return "HEAD";
    case HttpMethod::Options:
      return "OPTIONS";
    case HttpMethod::Patch:
      return "PATCH";
    case HttpMethod::Post:
      return "POST";
    case HttpMethod::Put:
      return "PUT";
    case HttpMethod::Any:
    case HttpMethod::Other:
      break;
  }
  return {};
}

HttpMethod HttpMethodFromHost(uint32_t code) noexcept {
  if (code >= 1 && code <= 8) return static_cast<HttpMethod>(code);
  return HttpMethod::Any;
}

HttpMethod MethodFromText(std::string_view text) noexcept {
  for (const HttpMethod method : kNamedMethods) {
    if (MethodText(method) == text) return method;
  }
  return HttpMethod::Other;
}

std::optional<std::string_view> HostMethodName(uint32_t code, const char* methodName) noexcept {
  const HttpMethod method = HttpMethodFromHost(code);
  if (const std::string_view text = MethodText(method); !text.empty()) return text;
  if (method == HttpMethod::Other && methodName != nullptr) return std::string_view(methodName);
  return std::nullopt;
}

}  // namespace Oxle::Client::Api
