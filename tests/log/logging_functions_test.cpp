#include "log/logging_functions.h"

#include <gtest/gtest.h>

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
  table.SetMinimumLevel(OKAY);
  table.SetExcludedCategories(0x10, 0x2);
  EXPECT_EQ((std::tuple{table.InterfaceVersion(), table.AddReference(), table.Release(),
                        table.GetMinimumLevel(), table.GetExcludedCategories()}),
            std::tuple(1, 2u, 1u, OKAY, (uint64_t{2} << 32) | 0x10));

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
  EXPECT_EQ(std::tuple(recorder.written[0].message, recorder.written[0].level),
            std::tuple("n=5", OKAY));
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
  f.SetLevel(handle, ERROR);
  f.SetCategoryFilter(handle, 0b111, 0b010);
  char format[8];
  EXPECT_EQ((std::tuple{f.InterfaceVersion(handle), std::string(f.GetName(handle)),
                        f.GetLevel(handle), f.GetIncludeMask(handle), f.GetExcludeMask(handle),
                        f.GetLineFormat(handle, format, sizeof format), std::string(format)}),
            std::tuple(1, "RecordingTarget", ERROR, 0b101u, 0b010u, 7u, "#D| #L|"));
  EXPECT_EQ((std::tuple{f.IsAttached(handle), f.Attach(handle), f.IsAttached(handle)}),
            std::tuple(0, 1, 1));
  EXPECT_EQ(logger.AttachedTargets().back(), handle);
  EXPECT_EQ((std::tuple{f.Detach(handle), f.IsAttached(handle), logger.AttachedTargets().size()}),
            std::tuple(1, 0, 2u));
  const LogRecord record = Testing::FixedRecord(WARN, 0, "direct");
  EXPECT_EQ((std::tuple{f.Write(handle, &record), f.Write(handle, nullptr)}), std::tuple(1, 0));
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
