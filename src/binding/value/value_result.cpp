#include "binding/value/value_result.h"

#include <utility>

namespace Oxle::Client::Binding {

void ValueResult::SetError(std::string_view message) {
  std::string text(message);  // the message may be text of the value being cleared
  value_.Clear();
  ok_ = false;
  value_.Get("error").SetString(std::move(text));
}

std::string_view ValueResult::ErrorMessage() const noexcept {
  if (ok_) return {};
  return value_.Get("error").GetString();
}

void ValueResult::SetOk() noexcept {
  value_.Clear();
  ok_ = true;
}

}  // namespace Oxle::Client::Binding
