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

// Success (a value, or nothing for RequestResult<>) or a RequestError. Value() is only for one
// that is Ok(), Failure() only for one that is not.
template <typename T = std::monostate>
class [[nodiscard]] RequestResult {
 public:
  RequestResult() requires std::is_same_v<T, std::monostate>
  = default;
  RequestResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  RequestResult(RequestError error)                                             // NOLINT
      : state_(std::in_place_index<1>, std::move(error)) {}
  // A failure with `message` and `status` and no named parameters.
  [[nodiscard]] static RequestResult Error(std::string message, uint32_t status = 0) {
    return RequestResult(RequestError{status, std::move(message), {}});
  }

  [[nodiscard]] bool Ok() const noexcept { return state_.index() == 0; }
  // The failure's message; empty when ok.
  [[nodiscard]] std::string_view ErrorMessage() const noexcept {
    return Ok() ? std::string_view() : std::string_view(std::get<1>(state_).message);
  }
  [[nodiscard]] T& Value() { return std::get<0>(state_); }
  [[nodiscard]] const T& Value() const { return std::get<0>(state_); }
  // The failure with its status and named parameters.
  [[nodiscard]] RequestError& Failure() { return std::get<1>(state_); }
  [[nodiscard]] const RequestError& Failure() const { return std::get<1>(state_); }

 private:
  std::variant<T, RequestError> state_;
};

}  // namespace Oxle::Client::Plugin
