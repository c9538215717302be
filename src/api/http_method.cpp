// HTTP method codes and names.
#include "api/http_method.h"

#include <iterator>

namespace Oxle::Client::Api {

std::string_view MethodText(HttpMethod method) noexcept {
  // By code: Any, then DELETE to PUT, then Other.
  constexpr std::string_view kTexts[] = {"",      "DELETE", "GET", "HEAD", "OPTIONS",
                                         "PATCH", "POST",   "PUT", ""};
  const auto code = static_cast<uint32_t>(method);
  return code < std::size(kTexts) ? kTexts[code] : std::string_view();
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
