// HTTP methods as the host codes them: the HttpMethod codes, their names ("DELETE" ... "PUT"),
// the code of a name, and the name a request shows for a host code and its method-name text.
// Plain functions over constant data; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace Oxle::Client::Api {

// Host method codes; Other (8) is named by a separate method-name string.
enum class HttpMethod : uint32_t {
  Any = 0,
  Delete = 1,
  Get = 2,
  Head = 3,
  Options = 4,
  Patch = 5,
  Post = 6,
  Put = 7,
  Other = 8
};

// The methods that have a name of their own, in code order.
inline constexpr HttpMethod kNamedMethods[] = {
    HttpMethod::Delete, HttpMethod::Get,  HttpMethod::Head, HttpMethod::Options,
    HttpMethod::Patch,  HttpMethod::Post, HttpMethod::Put};

// "DELETE" ... "PUT" for codes 1 to 7; empty for Any, Other and codes outside 1..8.
[[nodiscard]] std::string_view MethodText(HttpMethod method) noexcept;
// A host method code: 1 to 8 kept, anything else Any.
[[nodiscard]] HttpMethod HttpMethodFromHost(uint32_t code) noexcept;
// The host code of `method`.
[[nodiscard]] constexpr uint32_t HostMethodCode(HttpMethod method) noexcept {
  return static_cast<uint32_t>(method);
}

// The method named `text`: "DELETE" ... "PUT" (exactly, upper case) give their codes, any other
// text Other (its name then travels beside the code).
[[nodiscard]] HttpMethod MethodFromText(std::string_view text) noexcept;

// The method a request names by host `code` and the method-name text beside it: "DELETE" ...
// "PUT" for codes 1 to 7, `methodName` for Other (8) when it is not null; nothing for Any,
// codes outside 1..8 or Other without a name (callers choose what to show then).
[[nodiscard]] std::optional<std::string_view> HostMethodName(uint32_t code,
                                                             const char* methodName) noexcept;

}  // namespace Oxle::Client::Api
