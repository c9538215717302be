#include "log/logger.h"

#include <gtest/gtest.h>

#include "log/console_log_target.h"
#include "log_test_support.h"

namespace Oxle::Client::Log {
namespace {

using Testing::CapturedLines;
using Testing::LoggerTest;
using Testing::RecordingTarget;

std::string ConsoleLine(std::string_view level, std::string_view message) {
  return std::string("tpk_log_tests(") + Testing::ThreadIdText() + "): " + std::string(level) +
         "| " + std::string(message) + "\n";
}

// Standard error takes category 1 or none and excludes 2, the debugger takes 1 or none, and
// standard output (attached on request) takes 2 but not 1, as the bare message.
TEST_F(LoggerTest, ConsoleTargetsSplitCategoriesOneAndTwo) {
  EXPECT_EQ(logger.AttachedTargets(),
            (std::vector<LogTargetHandle*>{logger.StdErrTarget()->Handle(),
                                           logger.DebuggerTarget()->Handle()}));
  Log(ERROR, 0, 0, "disk %s at %d%%", "full", 99);
  ASSERT_TRUE(logger.StdOutTarget()->Attach());
  Log(WARN, 2, 0, "two");
  Log(WARN, 1, 0, "one");
  Log(WARN, 3, 0, "both");
  const std::string error = ConsoleLine(" ERROR", "disk full at 99%");
  EXPECT_EQ(stdErr.lines, (std::vector<std::string>{error, ConsoleLine("  WARN", "one")}));
  EXPECT_EQ(debugger.lines, (std::vector<std::string>{error, ConsoleLine("  WARN", "one"),
                                                      ConsoleLine("  WARN", "both")}));
  EXPECT_EQ(stdOut.lines, std::vector<std::string>{"two\n"});
}

// The logger drops what is below its minimum (1 unless lowered) or shares a bit with its
// excluded categories (4 unless changed; the high word is bits 32-63), then each target filters.
TEST_F(LoggerTest, LoggerAndTargetsFilterByLevelAndCategoryMasks) {
  const uint64_t high = uint64_t{1} << 40;
  // Each row: the logger's minimum and excluded categories, the target's level, include and
  // exclude masks, then the message's level and category, and whether it is written.
  const std::tuple<const char*, int32_t, uint64_t, int32_t, uint64_t, uint64_t, int32_t, uint64_t,
                   bool>
      cases[] = {
          {"level 0 is below the logger's minimum", 1, 4, 0, 0, 0, 0, 1, false},
          {"a lowered minimum lets level 0 through", 0, 4, 0, 0, 0, 0, 1, true},
          {"an excluded category is dropped", 1, 4, 1, 0, 0, 2, 4, false},
          {"one shared excluded bit is enough", 1, 4, 1, 0, 0, 2, 4 | 1, false},
          {"a high excluded bit", 1, high, 1, 0, 0, 2, high, false},
          {"no longer excluded", 1, high, 1, 0, 0, 2, 4, true},
          {"below the target's level", 1, 4, 2, 0, 0, 1, 1, false},
          {"at the target's level", 1, 4, 2, 0, 0, 2, 1, true},
          {"uncategorised ignores both masks", 1, 4, 1, 8, 8, 1, 0, true},
          {"empty include takes any category", 1, 4, 1, 0, 0, 1, 1u << 5, true},
          {"include must share a bit", 1, 4, 1, 8, 0, 1, 2, false},
          {"include shares a bit", 1, 4, 1, 8, 0, 1, 2 | 8, true},
          {"exclude wins over include", 1, 4, 1, 8, 2, 1, 2 | 8, false},
          {"include is stored without the excluded bits", 1, 4, 1, 2 | 8, 8, 1, 8, false},
          {"the high word counts too", 1, 4, 1, uint64_t{1} << 33, 0, 1, uint64_t{1} << 33, true},
      };
  for (const auto& [name, minimum, excluded, targetLevel, include, exclude, level, category,
                    written] : cases) {
    logger.SetMinimumLevel(minimum);
    logger.SetExcludedCategories(excluded);
    stdErr.lines.clear();
    RecordingTarget recorder;
    ASSERT_TRUE(recorder.Configure(targetLevel, include, exclude, "#M"));
    Log(level, static_cast<uint32_t>(category), static_cast<uint32_t>(category >> 32), "m");
    EXPECT_EQ(recorder.written.size(), written ? 1u : 0u) << name;
    EXPECT_TRUE(level != OKAY || stdErr.lines.empty()) << "the console keeps its minimum of 1";
  }
}

TEST_F(LoggerTest, LinesUseTheTimeSourceAndMessagesAreCutAt4095Characters) {
  logger.SetTimeSource(&Testing::FixedTime);
  RecordingTarget recorder;
  ASSERT_TRUE(recorder.Configure(WARN, 0, 0, "#D| #L| #G| #M"));
  Log(WARN, 3, 0, "hi");
  const std::string longText(5000, 'x');
  ASSERT_TRUE(recorder.Configure(WARN, 0, 0, "#M"));
  Log(WARN, 1, 0, "%s", longText.c_str());
  ASSERT_EQ(recorder.written.size(), 2u);
  EXPECT_EQ(recorder.written[0].line, "2021-02-03T04:05:06.007|   WARN| DBG;GEN| hi\n");
  EXPECT_EQ(recorder.written[1].message, longText.substr(0, 4095));
}

struct HookCall {
  int32_t level;
  uint64_t category;
  std::string text;
};
std::vector<HookCall> gHookCalls;

void RecordingHook(int32_t level, uint64_t category, const char* format, va_list arguments) {
  char text[64];
  std::vsnprintf(text, sizeof text, format, arguments);
  gHookCalls.push_back({level, category, text});
}

void LoggingHook(int32_t level, uint64_t category, const char* format, va_list arguments) {
  RecordingHook(level, category, format, arguments);
  Log(ERROR, 0, 0, "from the hook");
}

// The hook sees every message before the filters; warnings and errors that pass the logger's
// filters are counted, whether a target takes them or not.
TEST_F(LoggerTest, PreLogHookSeesEveryMessageAndWhatPassesIsCounted) {
  gHookCalls.clear();
  logger.SetPreLogHook(&RecordingHook);
  Log(OKAY, 0, 0, "level %d", 0);
  Log(ERROR, 4, 1, "excluded %s", "too");
  logger.Suspend();
  EXPECT_TRUE(logger.IsSuspended());
  Log(ERROR, 0, 0, "suspended");
  logger.Resume();
  Log(WARN, 1, 0, "kept %u", 7u);
  ASSERT_EQ(gHookCalls.size(), 4u);
  EXPECT_EQ(std::tuple(gHookCalls[0].text, gHookCalls[3].text), std::tuple("level 0", "kept 7"));
  EXPECT_EQ(std::make_tuple(gHookCalls[1].level, gHookCalls[1].category, gHookCalls[1].text),
            std::make_tuple(ERROR, (uint64_t{1} << 32) | 4, std::string("excluded too")));
  // The hook had its own copy of the arguments: the message still formats.
  EXPECT_EQ(stdErr.lines, std::vector<std::string>{ConsoleLine("  WARN", "kept 7")});
  EXPECT_EQ(std::tuple(logger.WarningCount(), logger.ErrorCount()), std::tuple(1u, 0u));

  // A hook that logs is not called again for its own message.
  gHookCalls.clear();
  stdErr.lines.clear();
  logger.SetPreLogHook(&LoggingHook);
  Log(ERROR, 0, 0, "outer");
  ASSERT_EQ(gHookCalls.size(), 1u);
  EXPECT_EQ(stdErr.lines, (std::vector<std::string>{ConsoleLine(" ERROR", "from the hook"),
                                                    ConsoleLine(" ERROR", "outer")}));
  logger.SetPreLogHook(nullptr);
  logger.StdErrTarget()->Detach();
  logger.DebuggerTarget()->Detach();
  Log(WARN, 0, 0, "w");
  Log(ALWAYS, 0, 0, "a");
  EXPECT_EQ(std::tuple(logger.WarningCount(), logger.ErrorCount()), std::tuple(2u, 2u));
}

TEST_F(LoggerTest, LastReleaseDetachesLastFirstAndRestoresTheBuiltIns) {
  std::vector<std::string> order;
  RecordingTarget first("First"), second("Second");
  first.detached = second.detached = &order;
  ASSERT_TRUE(first.Attach());
  ASSERT_TRUE(second.Attach());
  StdErrLogTarget* stdErrTarget = logger.StdErrTarget();
  ASSERT_TRUE(stdErrTarget->Configure(ERROR, 8, 0, "#M"));  // now after Second
  logger.StdOutTarget()->SetFlushEachLine(true);
  logger.SetMinimumLevel(ALWAYS);
  logger.SetExcludedCategories(0);
  Log(ALWAYS, 8, 0, "counted");

  EXPECT_EQ(logger.AddReference(), 2u);
  EXPECT_EQ(logger.Release(), 1u);
  EXPECT_TRUE(first.IsAttached()) << "a remaining reference keeps the logger";
  EXPECT_EQ(logger.Release(), 0u);
  EXPECT_EQ(
      std::tuple(logger.Exists(), logger.StdErrTarget(), first.IsAttached(), second.IsAttached()),
      std::tuple(false, nullptr, false, false));
  EXPECT_EQ(order, (std::vector<std::string>{"Second", "First"}));
  EXPECT_EQ(logger.Release(), 0u) << "a release without a reference does nothing";

  ASSERT_EQ(logger.AddReference(), 1u);
  EXPECT_EQ(logger.StdErrTarget(), stdErrTarget);
  EXPECT_EQ(std::make_tuple(stdErrTarget->Format(), stdErrTarget->Level(),
                            stdErrTarget->IncludeMask(), stdErrTarget->ExcludeMask()),
            std::make_tuple(std::string("#E(#T): #L| #M"), 1, uint64_t{1}, uint64_t{2}));
  EXPECT_EQ(
      std::tuple(logger.StdOutTarget()->FlushEachLine(), logger.MinimumLevel(),
                 logger.ExcludedCategories(), logger.ErrorCount(), logger.AttachedTargets().size()),
      std::tuple(false, 1, 4u, 0u, 2u));
}

TEST_F(LoggerTest, LoggingWithoutAReferenceCreatesTheLogger) {
  logger.Release();
  ASSERT_FALSE(logger.Exists());
  RecordingTarget recorder;
  EXPECT_FALSE(recorder.Attach()) << "nothing to attach to";
  EXPECT_FALSE(logger.AttachHandle(recorder.Handle()));
  logger.SetMinimumLevel(ALWAYS);  // a setting made while absent applies at creation
  Log(ERROR, 0, 0, "below the new minimum, but creates the logger");
  EXPECT_EQ(std::tuple(logger.Exists(), logger.ReferenceCount(), logger.MinimumLevel()),
            std::tuple(true, 0u, ALWAYS));
  ASSERT_NE(logger.StdErrTarget(), nullptr);
  EXPECT_TRUE(logger.StdErrTarget()->IsAttached());
  EXPECT_TRUE(recorder.Attach());
}

// Attaching twice keeps one entry; Configure moves the target to the end in one step; raw
// attachment appends, and raw detachment or destruction removes every occurrence; FindTarget
// looks at the attached targets, then the built-ins.
TEST_F(LoggerTest, TargetsAttachInOrderAndAreFoundByName) {
  RecordingTarget recorder("DebuggerConsoleLogTarget");
  ASSERT_TRUE(recorder.Attach());
  ASSERT_TRUE(recorder.Attach());
  ASSERT_TRUE(logger.StdErrTarget()->Configure(WARN, 1, 2, "#L #M"));
  EXPECT_EQ(logger.AttachedTargets(),
            (std::vector<LogTargetHandle*>{logger.DebuggerTarget()->Handle(), recorder.Handle(),
                                           logger.StdErrTarget()->Handle()}));
  EXPECT_EQ(logger.StdErrTarget()->Format(), "#L #M");
  Log(WARN, 0, 0, "x");
  EXPECT_EQ(stdErr.lines, std::vector<std::string>{"  WARN x\n"});
  recorder.Detach();
  ASSERT_TRUE(logger.AttachHandle(recorder.Handle()));
  ASSERT_TRUE(logger.AttachHandle(recorder.Handle()));
  Log(WARN, 0, 0, "twice");
  EXPECT_EQ(recorder.written.size(), 3u);
  logger.DebuggerTarget()->Detach();
  EXPECT_EQ(std::tuple(logger.FindTarget("DebuggerConsoleLogTarget"),
                       logger.FindTarget("StdOutLogTarget"), logger.FindTarget("StdErrLogTarget"),
                       logger.FindTarget("NoSuchTarget")),
            std::tuple(recorder.Handle(), logger.StdOutTarget()->Handle(),
                       logger.StdErrTarget()->Handle(), nullptr));
  ASSERT_TRUE(logger.DetachHandle(recorder.Handle()));
  Log(WARN, 0, 0, "gone");
  EXPECT_EQ(std::tuple(recorder.written.size(), logger.AttachedTargets().size()),
            std::tuple(3u, 1u));
  {
    RecordingTarget destroyed;
    ASSERT_TRUE(destroyed.Attach());
  }
  EXPECT_EQ(logger.AttachedTargets().size(), 1u) << "destroying a target detaches it";
}

// Tries to log, reconfigure and detach from inside its own Write.
class MeddlingTarget final : public LogTarget {
 public:
  ~MeddlingTarget() override { Detach(); }
  [[nodiscard]] const char* Name() const override { return "MeddlingTarget"; }
  [[nodiscard]] bool Write(const LogRecord&) override {
    ++writes;
    Log(ERROR, 0, 0, "nested");
    refused = !SetLevel(ALWAYS) && !Attach() && !Logger::Instance().AttachHandle(Handle()) &&
              Logger::Instance().AddReference() == 0;
    return true;
  }
  int writes = 0;
  bool refused = false;
};

TEST_F(LoggerTest, CallsIntoTheLoggerFromInsideAWriteAreRefusedNotDeadlocked) {
  MeddlingTarget target;
  ASSERT_TRUE(target.Attach());
  Log(ERROR, 0, 0, "outer");
  EXPECT_EQ(std::tuple(target.writes, target.refused, target.Level(), stdErr.lines.size(),
                       logger.ReferenceCount()),
            std::tuple(1, true, WARN, 1u, 1u));
}

TEST_F(LoggerTest, StdOutFlushesAfterEachLineOnlyWhenAsked) {
  struct Counting {
    int lines = 0;
    int flushes = 0;
  } counting;
  ConsoleSink sink;
  sink.write = [](void* context, const char*, size_t) { ++static_cast<Counting*>(context)->lines; };
  sink.flush = [](void* context) { ++static_cast<Counting*>(context)->flushes; };
  sink.context = &counting;
  StdOutLogTarget* out = logger.StdOutTarget();
  out->SetSink(sink);
  ASSERT_TRUE(out->Attach());
  Log(WARN, 2, 0, "a");
  EXPECT_EQ(counting.flushes, 0);
  out->SetFlushEachLine(true);
  Log(WARN, 2, 0, "b");
  Log(WARN, 2, 0, "c");
  out->Flush();
  EXPECT_EQ(std::tuple(counting.lines, counting.flushes), std::tuple(3, 3));
}

}  // namespace
}  // namespace Oxle::Client::Log
