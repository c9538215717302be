// The answer to a module's response and the JSON shapes of the host server's answers.
#include "cli/module_answer.h"

#include <cstring>
#include <string>
#include <utility>

#include "codec/ascii_case.h"
#include "codec/json.h"

namespace Oxle::Client::Host::Cli {

namespace {

using Binding::BindingProperty;

// RFC 9110 token characters.
[[nodiscard]] bool IsHeaderName(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
    if (!ok || c == 0) return false;
  }
  return true;
}

[[nodiscard]] bool IsHeaderValue(std::string_view value) {
  for (unsigned char c : value)
    if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
  return true;
}

// JSON text as application/json; the empty text (of an empty value) as an empty body without a
// type.
[[nodiscard]] HttpResponse JsonTextAnswer(uint32_t status, std::string text) {
  HttpResponse response;
  response.status = status;
  if (!text.empty()) {
    response.headers.emplace_back("Content-Type", "application/json");
    response.body = std::move(text);
  }
  return response;
}

// Headers of the module's response the server does not pass on.
[[nodiscard]] bool ServerOwned(std::string_view name) {
  const std::string lower = Codec::AsciiLower(name);
  return lower == "content-length" || lower == "transfer-encoding" || lower == "connection" ||
         lower == "content-type" || lower.starts_with("access-control-");
}

}  // namespace

HttpResponse ErrorAnswer(uint32_t status, std::string_view message) {
  BindingProperty error;
  error.Get("status").SetUnsigned(status);
  error.Get("message").SetString(message);
  return JsonAnswer(status, error);
}

HttpResponse JsonAnswer(uint32_t status, const BindingProperty& value) {
  return JsonTextAnswer(status, Codec::WriteJson(value, nullptr, nullptr));
}

uint32_t AnswerStatus(const ApiCallResult& result) noexcept {
  if (!result.readError.empty()) return 502;
  uint32_t status = result.status;
  if (status < 200 || status > 599) status = result.failed ? 500 : 200;
  if (result.failed && status < 400) status = 500;
  return status;
}

bool PassedOn(std::string_view name, std::string_view value) {
  return IsHeaderName(name) && IsHeaderValue(value) && !ServerOwned(name);
}

bool HiddenFromModule(std::string_view name) {
  return Codec::EqualsNoCase(name, "Authorization");
}

HttpResponse ModuleAnswer(ApiCallResult result) {
  const uint32_t status = AnswerStatus(result);
  HeaderList passed;
  std::string contentType = "application/octet-stream";
  for (auto& [name, value] : result.headers) {
    if (Codec::EqualsNoCase(name, "Content-Type")) {
      if (IsHeaderValue(value)) contentType = value;
    } else if (PassedOn(name, value)) {
      passed.emplace_back(std::move(name), std::move(value));
    }
  }
  HttpResponse response;
  if (!result.readError.empty()) {
    response = ErrorAnswer(status, result.readError);
  } else if (result.failed) {
    response = ErrorAnswer(status, result.errorMessage);
  } else if (status == 204 || status == 304) {
    response.status = status;
  } else if (result.body) {
    response.status = status;
    response.headers.emplace_back("Content-Type", contentType);
    response.body = std::move(*result.body);
    response.chunked = true;
  } else if (result.json) {
    response = JsonTextAnswer(status, std::move(*result.json));
  } else {
    response = JsonAnswer(status, result.value);
  }
  response.headers.insert(response.headers.end(), passed.begin(), passed.end());
  return response;
}

}  // namespace Oxle::Client::Host::Cli
