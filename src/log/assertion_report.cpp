#include "log/assertion_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "log/log_record.h"
#include "log/logger.h"

namespace Oxle::Client::Log {

size_t FormatAssertionReport(char* buffer, size_t size, std::string_view expression,
                             std::string_view description, std::string_view file, int32_t line,
                             std::string_view function) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  const size_t limit = size - 1;
  size_t length = 0;
  auto put = [&](std::string_view text) {
    const size_t count = std::min(text.size(), limit - length);
    std::memcpy(buffer + length, text.data(), count);
    length += count;
  };
  put("Assertion failed!\n\n");
  if (!file.empty()) {
    put("File: ");
    put(file);
    put("\n");
  }
  if (line != 0) {
    char number[16];
    const int digits = std::snprintf(number, sizeof number, "%" PRId32, line);
    put("Line: ");
    put(std::string_view(number, digits > 0 ? static_cast<size_t>(digits) : 0));
    put("\n\n");
  }
  if (!function.empty()) {
    put("Function: ");
    put(function);
    put("\n\n");
  }
  if (!expression.empty()) {
    put("Expression: ");
    put(expression);
  }
  if (!description.empty()) {
    put("\n\nDescription: ");
    put(description);
  }
  buffer[length] = '\0';
  return length;
}

void ReportAssertion(std::string_view expression, std::string_view description,
                     std::string_view file, int32_t line, std::string_view function) noexcept {
  char report[kLogBufferSize];
  // The length is not needed: the text is NUL-terminated.
  static_cast<void>(
      FormatAssertionReport(report, sizeof report, expression, description, file, line, function));
  Log(ERROR, 1, 0, "%s", report);
}

}  // namespace Oxle::Client::Log
