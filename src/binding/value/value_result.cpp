#include "binding/value/value_result.h"

#include <utility>

namespace Oxle::Client::Binding {

void ValueResult::SetError(std::string_view message) {
  std::string text(message);  // the message may be text of the value being cleared
  value_.Clear();
  ok_ = false;
  value_.Get("error").SetString(std::move(text));
}

const std::string& ValueResult::ErrorMessage() const noexcept {
  // GetString gives the shared empty string for anything but a string.
  if (ok_) return BindingProperty::Null().GetString();
  return value_.Get("error").GetString();
}

void ValueResult::SetOk() noexcept {
  value_.Clear();
  ok_ = true;
}

}  // namespace Oxle::Client::Binding
