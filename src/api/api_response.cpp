#include "api/api_response.h"

#include <utility>

namespace Oxle::Client::Api {

ApiResponse ApiResponse::FromValue(Binding::BindingProperty value) {
  ApiResponse response;
  response.result.Value() = std::move(value);
  return response;
}

ApiResponse ApiResponse::Error(std::string_view message, uint32_t status) {
  ApiResponse response;
  response.SetError(message);
  response.status = status;
  return response;
}

void ApiResponse::Reset() noexcept {
  result.SetOk();
  settingByte = 0;
  settingCode = 0;
  status = 0;
  text.clear();
  headers.clear();
  body.reset();
}

void ApiResponse::SetError(std::string_view message) {
  body.reset();
  result.SetError(message);
}

}  // namespace Oxle::Client::Api
