// The assertion report: the text that precedes a fatal stop, and ReportAssertion, which logs
// it as an error of category 1. Safe from any thread; never allocates (the text is built in a
// 4096-byte stack buffer and cut there). Not an assert macro: the caller decides what follows
// the report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Oxle::Client::Log {

// Writes the report into `buffer` (cut at size - 1, NUL-terminated) and returns its length:
// "Assertion failed!\n\n", then for each part given (non-empty, or a non-zero line)
// "File: <file>\n", "Line: <line>\n\n", "Function: <function>\n\n", "Expression: <expression>",
// and "\n\nDescription: <description>".
[[nodiscard]] size_t FormatAssertionReport(char* buffer, size_t size, std::string_view expression,
                                           std::string_view description, std::string_view file,
                                           int32_t line, std::string_view function) noexcept;

// Logs the report with level 2 (ERROR), category 1.
void ReportAssertion(std::string_view expression, std::string_view description,
                     std::string_view file, int32_t line, std::string_view function) noexcept;

}  // namespace Oxle::Client::Log
