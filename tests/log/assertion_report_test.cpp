#include "log/assertion_report.h"

#include <gtest/gtest.h>

#include "log_test_support.h"

namespace Oxle::Client::Log {
namespace {

std::string Report(std::string_view expression, std::string_view description, std::string_view file,
                   int32_t line, std::string_view function) {
  char buffer[kLogBufferSize];
  const size_t length =
      FormatAssertionReport(buffer, sizeof buffer, expression, description, file, line, function);
  return std::string(buffer, length);
}

TEST(AssertionReportTest, TextHasOnlyThePartsGivenCutToTheBuffer) {
  const std::tuple<const char*, std::string_view, std::string_view, std::string_view, int32_t,
                   std::string_view, const char*>
      cases[] = {
          {"expression only: no trailing newline", "x", "", "", 0, "",
           "Assertion failed!\n\nExpression: x"},
          {"everything", "index < size", "index out of range", "src/a.cpp", 42, "Get",
           "Assertion failed!\n\nFile: src/a.cpp\nLine: 42\n\nFunction: Get\n\n"
           "Expression: index < size\n\nDescription: index out of range"},
          {"negative line", "", "", "", -7, "", "Assertion failed!\n\nLine: -7\n\n"},
          {"nothing", "", "", "", 0, "", "Assertion failed!\n\n"},
          {"description without expression", "", "why", "", 0, "",
           "Assertion failed!\n\n\n\nDescription: why"},
          {"file and function", "", "", "f.cpp", 0, "Run",
           "Assertion failed!\n\nFile: f.cpp\nFunction: Run\n\n"},
      };
  for (const auto& [name, expression, text, file, line, function, expected] : cases)
    EXPECT_EQ(Report(expression, text, file, line, function), expected) << name;
  // Long reports are cut to the buffer.
  const std::string text = Report("x", std::string(5000, 'd'), "", 0, "");
  EXPECT_EQ(text.size(), kLogBufferSize - 1);
  EXPECT_TRUE(text.ends_with("ddd"));
  char small[10];
  EXPECT_EQ(FormatAssertionReport(small, sizeof small, "x", "", "", 0, ""), 9u);
  EXPECT_STREQ(small, "Assertion");
}

class AssertionLogTest : public Testing::LoggerTest {};

TEST_F(AssertionLogTest, ReportIsLoggedAsAnErrorOfCategoryOne) {
  Testing::RecordingTarget recorder;
  ASSERT_TRUE(recorder.Configure(OKAY, 0, 0, "#M"));
  ReportAssertion("ptr != nullptr", "", "b.cpp", 9, "");
  // A "%" in the report is text, not a format.
  ReportAssertion("a % b == 0", "", "", 0, "");
  ASSERT_EQ(recorder.written.size(), 2u);
  EXPECT_EQ(std::tuple(recorder.written[0].level, recorder.written[0].category,
                       recorder.written[1].message),
            std::tuple(ERROR, 1u, "Assertion failed!\n\nExpression: a % b == 0"));
  EXPECT_EQ(stdErr.lines.size(), 2u) << "category 1 reaches standard error";
}

}  // namespace
}  // namespace Oxle::Client::Log
