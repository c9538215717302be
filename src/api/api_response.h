// ApiResponse: what an API handler produces and the dispatcher turns into the host's response
// record: a value or an error message, a status, a text, headers and an optional streamed body.
// A new response is ok, empty and has status 0 ("not set"). Move-only, because it may own a body
// stream. Not thread-safe: one response belongs to one call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "binding/value/value_result.h"

namespace Oxle::Client::Api {

// A response body produced piece by piece. The host pulls it through the response record's
// callbacks after the dispatch has returned, so a stream owns everything it reads from.
class BodyStream {
 public:
  virtual ~BodyStream() = default;
  // Copies up to `length` bytes into `buffer`, sets `length` to the number copied and
  // `moreData` to whether bytes remain. False when the body cannot be read.
  [[nodiscard]] virtual bool Read(void* buffer, uint32_t& length, bool& moreData) = 0;
  // The body's total size in bytes, as far as the stream knows it.
  [[nodiscard]] virtual uint32_t Size() const = 0;
};

class [[nodiscard]] ApiResponse {
 public:
  ApiResponse() = default;
  ApiResponse(ApiResponse&&) noexcept = default;
  ApiResponse& operator=(ApiResponse&&) noexcept = default;

  // An ok response whose value is `value`.
  [[nodiscard]] static ApiResponse FromValue(Binding::BindingProperty value);
  // A failed response with `message` and `status`.
  [[nodiscard]] static ApiResponse Error(std::string_view message, uint32_t status);

  // Empties the value, marks it ok, clears the setting byte and code, the status, the text and
  // the headers, and destroys any body stream.
  void Reset() noexcept;
  // Fails the value with `message` and destroys any body stream; status, text and headers stay.
  void SetError(std::string_view message);

  [[nodiscard]] bool Ok() const noexcept { return result.Ok(); }
  // The error message; empty when ok.
  [[nodiscard]] std::string_view ErrorMessage() const noexcept { return result.ErrorMessage(); }

  Binding::ValueResult result;  // the body value, or the error with its message
  uint8_t settingByte = 0;      // passed to the host unread
  uint32_t settingCode = 0;     // passed to the host when 1, 2 or 3, else sent as 0
  uint32_t status = 0;
  std::string text;
  std::unordered_map<std::string, std::string> headers;
  std::unique_ptr<BodyStream> body;
};

}  // namespace Oxle::Client::Api
