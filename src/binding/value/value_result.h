// ValueResult: a BindingProperty plus a success flag, what every conversion and decoder returns.
// A new result is ok and empty. A failure has ok = false and the value {"error": message}; the
// first failure a caller records wins by convention (callers check Ok before going on).
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "binding/value/binding_property.h"

namespace Oxle::Client::Binding {

class [[nodiscard]] ValueResult {
 public:
  ValueResult() = default;
  // An ok result holding a copy of `value`.
  explicit ValueResult(const BindingProperty& value) : value_(value) {}
  explicit ValueResult(BindingProperty&& value) : value_(std::move(value)) {}

  [[nodiscard]] bool Ok() const noexcept { return ok_; }
  [[nodiscard]] BindingProperty& Value() noexcept { return value_; }
  [[nodiscard]] const BindingProperty& Value() const noexcept { return value_; }

  // Clears the value, marks the result failed and stores `message` as the member "error".
  void SetError(std::string_view message);
  // The empty string when ok; otherwise the "error" member when it is a string, else empty.
  [[nodiscard]] std::string_view ErrorMessage() const noexcept;
  // Clears the value and marks the result ok.
  void SetOk() noexcept;

  // A failed result with `message`.
  [[nodiscard]] static ValueResult Error(std::string_view message) {
    ValueResult result;
    result.SetError(message);
    return result;
  }

 private:
  BindingProperty value_;
  bool ok_ = true;
};

}  // namespace Oxle::Client::Binding
