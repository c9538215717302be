// RequestError: the failure of a request through the host or of a publication: a status code
// (0 where no status applies), the message, and the message's named parameters ("method",
// "url", "error", ...), built from a template such as "Error response for {method} {url}:
// {error}" by the named-parameter formatter. RequestResult<T> is a T or a RequestError.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>

#include "binding/format/named_format.h"
#include "binding/value/binding_property.h"

namespace Oxle::Client::Plugin {

struct RequestError {
  uint32_t status = 0;
  std::string message;
  std::unordered_map<std::string, Binding::BindingProperty> parameters;

  // Formats `format` with `arguments` in the order of its fields and records each field.
  [[nodiscard]] static RequestError FromTemplate(uint32_t status, std::string_view format,
                                                 std::initializer_list<std::string_view> arguments);
};

// Success (a value, or nothing for RequestResult<>) or a RequestError.
template <typename T = std::monostate>
class [[nodiscard]] RequestResult {
 public:
  RequestResult() requires std::is_same_v<T, std::monostate>
  = default;
  RequestResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  RequestResult(RequestError error)                                             // NOLINT
      : state_(std::in_place_index<1>, std::move(error)) {}

  [[nodiscard]] bool Ok() const noexcept { return state_.index() == 0; }
  [[nodiscard]] T& Value() { return std::get<0>(state_); }
  [[nodiscard]] const T& Value() const { return std::get<0>(state_); }
  [[nodiscard]] RequestError& Error() { return std::get<1>(state_); }
  [[nodiscard]] const RequestError& Error() const { return std::get<1>(state_); }

 private:
  std::variant<T, RequestError> state_;
};

}  // namespace Oxle::Client::Plugin
