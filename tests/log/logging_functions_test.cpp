#include "log/logging_functions.h"

#include <gtest/gtest.h>

#include <string>

#include "log/log_categories.h"
#include "log_test_support.h"

namespace Oxle::Client::Log {
namespace {

using Testing::RecordingTarget;

class SilentTarget final : public LogTarget {
 public:
  ~SilentTarget() override { Detach(); }
  [[nodiscard]] const char* Name() const override { return "SilentTarget"; }
};

class LoggingFunctionsTest : public Testing::LoggerTest {
 protected:
  const LoggingFunctions& table = GetLoggingFunctions();
};

void LogThroughTable(int32_t level, uint32_t low, uint32_t high, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void LogThroughTable(int32_t level, uint32_t low, uint32_t high, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  GetLoggingFunctions().Log(level, low, high, format, arguments);
  va_end(arguments);
}

TEST_F(LoggingFunctionsTest, TableDrivesTheSharedLogger) {
  EXPECT_EQ(table.InterfaceVersion(), 1);
  EXPECT_EQ(table.AddReference(), 2u);
  EXPECT_EQ(table.Release(), 1u);

  table.SetMinimumLevel(OKAY);
  EXPECT_EQ(table.GetMinimumLevel(), OKAY);
  table.SetExcludedCategories(0x10, 0x2);
  EXPECT_EQ(table.GetExcludedCategories(), (uint64_t{2} << 32) | 0x10);

  EXPECT_EQ(std::vector<LogTargetHandle*>(
                {table.StdErrTarget(), table.StdOutTarget(), table.DebuggerTarget(),
                 table.FindTarget("StdOutLogTarget"), table.FindTarget(nullptr)}),
            std::vector<LogTargetHandle*>(
                {logger.StdErrTarget()->Handle(), logger.StdOutTarget()->Handle(),
                 logger.DebuggerTarget()->Handle(), logger.StdOutTarget()->Handle(), nullptr}));

  RecordingTarget recorder;
  recorder.SetLevel(OKAY);
  ASSERT_EQ(table.AttachTarget(recorder.Handle()), 1);
  LogThroughTable(OKAY, 0, 0, "n=%d", 5);
  table.Suspend();
  LogThroughTable(ALWAYS, 0, 0, "suspended");
  table.Resume();
  LogThroughTable(OKAY, 0, 0x2, "excluded");
  ASSERT_EQ(table.DetachTarget(recorder.Handle()), 1);
  LogThroughTable(OKAY, 0, 0, "detached");
  ASSERT_EQ(recorder.written.size(), 1u);
  EXPECT_EQ(recorder.written[0].message, "n=5");
  EXPECT_EQ(recorder.written[0].level, OKAY);
  table.SetReservedFlag();
  table.ClearReservedFlag();
}

TEST_F(LoggingFunctionsTest, TimeAndTextServicesUseTheLoggersClock) {
  logger.SetTimeSource(&Testing::FixedTime);
  int32_t fields[7] = {};
  table.ReadLocalTime(&fields[0], &fields[1], &fields[2], &fields[3], &fields[4], &fields[5],
                      &fields[6]);
  EXPECT_EQ(std::vector<int32_t>(fields, fields + 7),
            (std::vector<int32_t>{2021, 2, 3, 4, 5, 6, 7}));
  char text[64];
  EXPECT_EQ(table.FormatTimeStamp(text, sizeof text), 23u);
  EXPECT_STREQ(text, "2021-02-03T04:05:06.007");
  EXPECT_EQ(table.RegisterCategory(nullptr), 0u);
  EXPECT_EQ(table.FormatLine("#M", nullptr, text, sizeof text), 0u);
  EXPECT_STREQ(text, "");
}

TEST_F(LoggingFunctionsTest, TargetHandleOperations) {
  RecordingTarget recorder;
  LogTargetHandle* handle = recorder.Handle();
  const LogTargetFunctions& f = *handle->functions;
  EXPECT_EQ(f.InterfaceVersion(handle), 1);
  EXPECT_STREQ(f.GetName(handle), "RecordingTarget");

  f.SetLevel(handle, ERROR);
  EXPECT_EQ(f.GetLevel(handle), ERROR);
  f.SetCategoryFilter(handle, 0b111, 0b010);
  EXPECT_EQ(f.GetIncludeMask(handle), 0b101u);
  EXPECT_EQ(f.GetExcludeMask(handle), 0b010u);

  char format[8];
  EXPECT_EQ(f.GetLineFormat(handle, format, sizeof format), 7u);
  EXPECT_STREQ(format, "#D| #L|");

  EXPECT_EQ(f.IsAttached(handle), 0);
  EXPECT_EQ(f.Attach(handle), 1);
  EXPECT_EQ(f.IsAttached(handle), 1);
  EXPECT_EQ(logger.AttachedTargets().back(), handle);
  EXPECT_EQ(f.Detach(handle), 1);
  EXPECT_EQ(f.IsAttached(handle), 0);
  EXPECT_EQ(logger.AttachedTargets().size(), 2u);

  const LogRecord record{2021, 2, 3, 4, 5, 6, 7, WARN, 0, "direct"};
  EXPECT_EQ(f.Write(handle, &record), 1);
  EXPECT_EQ(f.Write(handle, nullptr), 0);
  ASSERT_EQ(recorder.written.size(), 1u);
  EXPECT_EQ(recorder.written[0].message, "direct");

  // A target that does not write: the base's write operation reports nothing written.
  SilentTarget silent;
  EXPECT_EQ(silent.Handle()->functions->Write(silent.Handle(), &record), 0);
  EXPECT_EQ(LogTarget::FromHandle(silent.Handle()), &silent);
  const LogTargetHandle foreign{nullptr, &silent};
  EXPECT_EQ(LogTarget::FromHandle(&foreign), nullptr);
}

}  // namespace
}  // namespace Oxle::Client::Log
