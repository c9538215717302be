// The log: what it builds without a logger (lines, assertion reports, category names, trace
// providers, the allocation counters), then the process-wide logger through its own interface,
// its function table and handle operations, the host-forwarding target and the assertion report
// it carries; then from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <regex>
#include <thread>
#include <vector>

#include "log/allocation_hooks.h"
#include "log/assertion_report.h"
#include "log/console_log_target.h"
#include "log/line_format.h"
#include "log/log_categories.h"
#include "log/logger.h"
#include "log/logging_functions.h"
#include "log/plugin_log_target.h"
#include "log/trace_providers.h"
#include "log_test_support.h"
#include "platform/heap.h"

namespace Oxle::Client::Log {
namespace {

// #E: this program's file name, as the system names it.
#ifdef _WIN32
const std::string kExecutable = "tpk_log_tests.exe";
#else
const std::string kExecutable = "tpk_log_tests";
#endif

using namespace Testing;

// What `write` puts in a buffer of `size` bytes, up to the length it returns: the text ends there.
template <typename Write>
std::string Written(size_t size, Write write) {
  std::string buffer(size, '\x7f');
  const size_t length = write(buffer.data(), size);
  EXPECT_EQ(std::strlen(buffer.c_str()), length);
  return buffer.substr(0, length);
}
std::string Line(const char* format, const LogRecord& record, size_t size = kLogBufferSize) {
  return Written(size, [&](char* to, size_t n) { return FormatLine(to, n, format, record); });
}

// Each code is replaced; a line is cut leaving room for its newline, and a code cut in the middle
// writes what fits and nothing past the buffer.
TEST(LineFormatTest, ReplacesEachCodeAndCutsToTheBuffer) {
  const size_t full = kLogBufferSize;
  const std::string a(5000, 'a'), b(4090, 'b');
  const std::tuple<std::string, int32_t, uint64_t, std::string, size_t, std::string> cases[] = {
      {"#D| #L| #G| #M", WARN, 3, "hi", full, "2021-02-03T04:05:06.007|   WARN| DBG;GEN| hi\n"},
      {"#L", OKAY, 0, "", full, "  OKAY\n"},
      {"#L", ERROR, 0, "", full, " ERROR\n"},
      {"#L", ALWAYS, 0, "", full, "ALWAYS\n"},
      {"#L", 4, 0, "", full, "   ???\n"},
      {"#L", -1, 0, "", full, "   ???\n"},
      {"[#G]", OKAY, 0, "", full, "[]\n"},
      {"##", OKAY, 0, "", full, "#\n"},
      {"#x#%#", OKAY, 0, "", full, "x%#\n"},
      {"100%", OKAY, 0, "", full, "100%\n"},
      {"#M", OKAY, 0, "ends\n", full, "ends\n"},
      {"#M\n", OKAY, 0, "one", full, "one\n"},
      {"#M", OKAY, 0, "two\n\n", full, "two\n\n"},
      {"", OKAY, 0, "unused", full, "\n"},
      {"#M", OKAY, 0, "%s %n", full, "%s %n\n"},
      {"#M", OKAY, 0, a, full, std::string(4094, 'a') + "\n"},
      {b + "#D", OKAY, 0, a, full, b + "2021\n"},
      {"#M", OKAY, 0, a, 8, "aaaaaa\n"},
      {"#M", OKAY, 0, a, 2, "\n"},
      {"#M", OKAY, 0, a, 1, ""},
  };
  for (const auto& [format, level, category, message, size, expected] : cases)
    EXPECT_EQ(Line(format.c_str(), FixedRecord(level, category, message.c_str()), size), expected)
        << format.substr(0, 20) << " in " << size;
  EXPECT_EQ(Line(nullptr, FixedRecord(OKAY, 0, "x")), "\n");
  EXPECT_EQ(Line("#E(#T)", FixedRecord(OKAY, 0, "")), kExecutable + "(" + ThreadIdText() + ")\n");
  EXPECT_EQ(Line("#M", FixedRecord(OKAY, 0, nullptr)), "\n");
  const std::string uptime = Line("#H", FixedRecord(OKAY, 0, ""));  // seconds.milliseconds
  EXPECT_TRUE(std::regex_match(uptime, std::regex("[0-9]{6}\\.[0-9]{3}\n"))) << uptime;
  EXPECT_EQ(FormatLine(nullptr, 10, "#M", FixedRecord(OKAY, 0, "")), 0u);
  EXPECT_EQ(Written(64, [](char* to, size_t n) { return FormatFileTimeStamp(to, n, FixedTime()); }),
            "2021-02-03_04-05-06");
  EXPECT_EQ(Written(5, [](char* to, size_t n) { return FormatTimeStamp(to, n, FixedTime()); }),
            "2021");
}

std::string Report(std::string_view expression, std::string_view description, std::string_view file,
                   int32_t line, std::string_view function, size_t size = kLogBufferSize) {
  return Written(size, [&](char* to, size_t n) {
    return FormatAssertionReport(to, n, expression, description, file, line, function);
  });
}

TEST(AssertionReportTest, TextHasOnlyThePartsGivenCutToTheBuffer) {
  using S = std::string_view;  // expression, description, file, line, function
  const std::tuple<const char*, S, S, S, int32_t, S, const char*> cases[] = {
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
  EXPECT_EQ(Report("x", std::string(5000, 'd'), "", 0, ""),
            "Assertion failed!\n\nExpression: x\n\nDescription: " +
                std::string(kLogBufferSize - 48, 'd'));
  EXPECT_EQ(Report("x", "", "", 0, "", 10), "Assertion");
}

std::string Text(uint64_t categories, size_t size = 300) {
  return Written(size, [&](char* to, size_t n) { return CategoriesToText(categories, to, n); });
}

// Three-letter names only; a new name takes the next bit and keeps it, a bit without a name
// reads "???", and the text is cut to the buffer.
TEST(LogCategoriesTest, NewNamesTakeTheNextBitsAndKeepThem) {
  EXPECT_EQ(Text(0xFF), "DBG;GEN;XTR;PRF;MEM;DSK;NET;TST");
  EXPECT_EQ(Text(0), "");
  EXPECT_EQ(RegisterCategory("GEN"), 2u);
  EXPECT_EQ(RegisterCategory("TST"), 0x80u);
  const uint32_t next = RegisteredCategoryCount();
  ASSERT_GE(next, kPredefinedCategories);
  ASSERT_LE(next + 3, kCategoryCapacity);
  for (const char* name : {"", "AB", "ABCD", "NETWORK"})
    EXPECT_EQ(RegisterCategory(name), 0u) << name;
  EXPECT_EQ(RegisterCategory("HTP"), uint64_t{1} << next);
  EXPECT_EQ(RegisterCategory("RPC"), uint64_t{1} << (next + 1));
  EXPECT_EQ(RegisterCategory("HTP"), uint64_t{1} << next);
  EXPECT_EQ(RegisteredCategoryCount(), next + 2);
  EXPECT_EQ(Text(uint64_t{1} << next | uint64_t{1} << (next + 1) | 1), "DBG;HTP;RPC");
  EXPECT_EQ(Text(uint64_t{1} << (next + 2) | 2), "GEN;???");
  EXPECT_EQ(Text(uint64_t{1} << 63), "???");
  EXPECT_EQ(std::tuple(Text(3, 6), Text(3, 1)), std::tuple("DBG;G", ""));
}

TEST(LogCategoriesTest, ConcurrentRegistrationsOfOneNameGetOneBit) {
  const uint32_t before = RegisteredCategoryCount();
  ASSERT_LT(before, kCategoryCapacity);
  std::vector<uint64_t> bits(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < bits.size(); ++i)
    threads.emplace_back([&bits, i] { bits[i] = RegisterCategory("CON"); });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(bits, std::vector<uint64_t>(8, uint64_t{1} << before));
  EXPECT_EQ(RegisteredCategoryCount(), before + 1);
}

// Registers names until every bit is taken, then exits 0 if a new name is refused while known
// names still give their bits.
[[noreturn]] void FillTheTableAndCheck() {
  // Lower-case names cannot clash with anything registered before.
  auto nameOf = [](int i) {
    return std::string{'q', static_cast<char>('a' + i / 26), static_cast<char>('a' + i % 26)};
  };
  const uint32_t firstBit = RegisteredCategoryCount();
  for (int i = 0; RegisteredCategoryCount() < kCategoryCapacity; ++i)
    if (RegisterCategory(nameOf(i)) != uint64_t{1} << (firstBit + i)) std::exit(2);
  const bool ok = RegisterCategory("qzz") == 0 && RegisterCategory("DBG") == 1 &&
                  RegisterCategory(nameOf(0)) == uint64_t{1} << firstBit &&
                  RegisteredCategoryCount() == kCategoryCapacity;
  std::exit(ok ? 0 : 1);
}

// Filling the table would change the other tests' process, so it runs in a child.
TEST(LogCategoriesTest, AFullTableRefusesNewNames) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh child, whatever threads exist here
  EXPECT_EXIT(FillTheTableAndCheck(), ::testing::ExitedWithCode(0), "");
}

// Windows (Wine included) exports event tracing from Advapi32.dll, not from ntdll.dll; Linux has
// none, and every provider then stays unregistered.
TEST(TraceProvidersTest, ProvidersRegisterWhereTheSystemHasEventTracingAndUnregisterAtUnload) {
#ifdef _WIN32
  constexpr bool kWindows = true;
#else
  constexpr bool kWindows = false;
#endif
  EXPECT_EQ(
      (std::tuple{Platform::EventTracingAvailable(), Platform::EventTracingFoundIn("Advapi32.dll"),
                  Platform::EventTracingFoundIn("ntdll.dll"),
                  Platform::EventTracingFoundIn("tpk-no-such-library.dll")}),
      std::tuple(kWindows, kWindows, false, false));
  RegisterTraceProviders();
  for (size_t i = 0; i < kTraceProviderCount; ++i)
    EXPECT_EQ(std::tuple(TraceProviderHandle(i) != 0, ReadTraceProviderState(i).enabled),
              std::tuple(kWindows, false))
        << i;
  UnregisterTraceProviders();
  for (size_t i = 0; i < kTraceProviderCount; ++i)
    EXPECT_EQ(TraceProviderHandle(i), 0u) << i;
}

// Allocations, bytes allocated, frees and bytes freed since `before`.
std::vector<uint64_t> Delta(const AllocationCounters& before) {
  const AllocationCounters after = ReadAllocationCounters();
  return {after.allocations - before.allocations, after.bytesAllocated - before.bytesAllocated,
          after.frees - before.frees, after.bytesFreed - before.bytesFreed};
}

class AllocationHooksTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallAllocationTracking(); }
  void TearDown() override { SetAllocationHooks(AllocationHooks{}); }
};

// The peak records the most bytes in use and the live count then; allocations and frees count
// usable sizes; freeing null counts nothing; reallocating null counts a free of nothing and an
// allocation.
TEST_F(AllocationHooksTest, CountsUsableSizesOfAllocationsAndFreesAndTheirPeak) {
  // Raise the peak well above anything earlier tests reached, then fall back.
  const AllocationCounters start = ReadAllocationCounters();
  const uint64_t inUseBefore = start.bytesAllocated - start.bytesFreed;
  std::vector<void*> blocks;
  size_t bytes = 0;
  for (int i = 0; i < 8; ++i) {
    blocks.push_back(Allocate(1 << 20));
    bytes += Platform::HeapBlockSize(blocks.back());
  }
  const AllocationCounters atPeak = ReadAllocationCounters();
  EXPECT_EQ(atPeak.peakBytes, inUseBefore + bytes);
  EXPECT_EQ(atPeak.liveAllocationsAtPeak, atPeak.allocations - atPeak.frees);
  for (void* block : blocks)
    Free(block);
  Free(Allocate(16));
  const AllocationCounters after = ReadAllocationCounters();  // the peak never falls
  EXPECT_EQ(std::tuple(after.peakBytes, after.liveAllocationsAtPeak),
            std::tuple(atPeak.peakBytes, atPeak.liveAllocationsAtPeak));

  const AllocationCounters before = ReadAllocationCounters();
  void* block = Allocate(100);
  const size_t usable = Platform::HeapBlockSize(block);
  EXPECT_EQ(AllocationSize(block), usable);
  char* text = DuplicateString("twelve chars");
  EXPECT_STREQ(text, "twelve chars");
  const size_t textSize = Platform::HeapBlockSize(text);
  Free(block);
  Free(text);
  Free(nullptr);
  EXPECT_EQ(Delta(before), std::vector<uint64_t>({2, usable + textSize, 2, usable + textSize}));

  const AllocationCounters middle = ReadAllocationCounters();
  block = Reallocate(nullptr, 64);
  EXPECT_EQ(Delta(middle), std::vector<uint64_t>({1, Platform::HeapBlockSize(block), 1, 0}));
  Free(block);

  // Without hooks the C library is used and nothing is counted.
  SetAllocationHooks(AllocationHooks{});
  const AllocationCounters plain = ReadAllocationCounters();
  text = DuplicateString("plain");
  EXPECT_STREQ(text, "plain");
  Free(text);
  EXPECT_EQ(ReadAllocationCounters().allocations, plain.allocations);
  EXPECT_EQ(DuplicateString(nullptr), nullptr);
}

TEST_F(AllocationHooksTest, CountersStayExactUnderConcurrentUse) {
  const AllocationCounters before = ReadAllocationCounters();
  auto work = [] {
    for (int i = 0; i < 10000; ++i)
      Free(Allocate(static_cast<size_t>(i % 200)));
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  const std::vector<uint64_t> delta = Delta(before);
  EXPECT_EQ(std::tuple(delta[0], delta[2], delta[1]), std::tuple(20000u, 20000u, delta[3]));
}

std::string ConsoleLine(const std::string& level, const std::string& message) {
  return kExecutable + "(" + ThreadIdText() + "): " + level + "| " + message + "\n";
}

// Standard error takes category 1 or none and excludes 2, the debugger takes 1 or none, and
// standard output (attached on request) takes 2 but not 1, as the bare message.
TEST_F(LoggerTest, ConsoleTargetsSplitCategoriesOneAndTwo) {
  EXPECT_EQ(logger.AttachedTargets(),
            (std::vector<LogTargetHandle*>{logger.StdErrTarget()->Handle(),
                                           logger.DebuggerTarget()->Handle()}));
  Log(ERROR, 0, 0, "disk %s at %d%%", "full", 99);
  StdOutLogTarget* out = logger.StdOutTarget();
  ASSERT_TRUE(out->Attach());
  Log(WARN, 2, 0, "two");
  Log(WARN, 1, 0, "one");
  Log(WARN, 3, 0, "both");
  EXPECT_EQ(stdOut.flushes, 0) << "standard output flushes after each line only when asked";
  out->SetFlushEachLine(true);
  Log(WARN, 2, 0, "b");
  out->Flush();
  const std::string error = ConsoleLine(" ERROR", "disk full at 99%");
  EXPECT_EQ(stdErr.lines, (std::vector<std::string>{error, ConsoleLine("  WARN", "one")}));
  EXPECT_EQ(debugger.lines, (std::vector<std::string>{error, ConsoleLine("  WARN", "one"),
                                                      ConsoleLine("  WARN", "both")}));
  EXPECT_EQ(std::tuple(stdOut.lines, stdOut.flushes),
            std::tuple(std::vector<std::string>{"two\n", "b\n"}, 2));
}

// The logger drops what is below its minimum (1 unless lowered) or shares a bit with its
// excluded categories (4 unless changed; the high word is bits 32-63), then each target filters.
TEST_F(LoggerTest, LoggerAndTargetsFilterByLevelAndCategoryMasks) {
  const uint64_t high = uint64_t{1} << 40;
  // Each row: the logger's minimum and excluded categories, the target's level, include and
  // exclude masks, then the message's level and category, and whether it is written.
  using U = uint64_t;
  const std::tuple<const char*, int32_t, U, int32_t, U, U, int32_t, U, bool> cases[] = {
      {"level 0 is below the logger's minimum", 1, 4, 0, 0, 0, 0, 1, false},
      {"a lowered minimum lets level 0 through", 0, 4, 0, 0, 0, 0, 1, true},
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

std::vector<std::string> gHookCalls;  // "level category text"

// Records what it is given, and logs a message of its own when given "outer".
void RecordingHook(int32_t level, uint64_t category, const char* format, va_list arguments) {
  char text[64];
  std::vsnprintf(text, sizeof text, format, arguments);
  gHookCalls.push_back(std::to_string(level) + " " + std::to_string(category) + " " + text);
  if (std::string_view(text) == "outer") Log(ERROR, 0, 0, "from the hook");
}

// The hook sees every message before the filters; warnings and errors that pass the logger's
// filters are counted, whether a target takes them or not.
TEST_F(LoggerTest, PreLogHookSeesEveryMessageAndWhatPassesIsCounted) {
  gHookCalls.clear();
  logger.SetPreLogHook(&RecordingHook);
  Log(OKAY, 0, 0, "level %d", 0);
  Log(ERROR, 4, 1, "excluded %s", "too");
  logger.Suspend();
  Log(ERROR, 0, 0, "suspended");
  logger.Resume();
  Log(WARN, 1, 0, "kept %u", 7u);
  EXPECT_EQ(gHookCalls, (std::vector<std::string>{"0 0 level 0", "2 4294967300 excluded too",
                                                  "2 0 suspended", "1 1 kept 7"}));
  // The hook had its own copy of the arguments: the message still formats.
  EXPECT_EQ(stdErr.lines, std::vector<std::string>{ConsoleLine("  WARN", "kept 7")});
  EXPECT_EQ(std::tuple(logger.WarningCount(), logger.ErrorCount(), logger.IsSuspended()),
            std::tuple(1u, 0u, false));

  // A hook that logs is not called again for its own message.
  gHookCalls.clear();
  stdErr.lines.clear();
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

TEST_F(LoggerTest, LastReleaseDetachesLastFirstAndLoggingRecreates) {
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
  EXPECT_EQ(
      std::make_tuple(logger.StdErrTarget(), stdErrTarget->Format(), stdErrTarget->Level(),
                      stdErrTarget->IncludeMask(), stdErrTarget->ExcludeMask()),
      std::make_tuple(stdErrTarget, std::string("#E(#T): #L| #M"), 1, uint64_t{1}, uint64_t{2}));
  EXPECT_EQ(
      std::tuple(logger.StdOutTarget()->FlushEachLine(), logger.MinimumLevel(),
                 logger.ExcludedCategories(), logger.ErrorCount(), logger.AttachedTargets().size()),
      std::tuple(false, 1, 4u, 0u, 2u));

  // Logging without a reference creates the logger.
  logger.Release();
  ASSERT_FALSE(logger.Exists());
  RecordingTarget recorder;
  EXPECT_FALSE(recorder.Attach()) << "nothing to attach to";
  EXPECT_FALSE(logger.AttachHandle(recorder.Handle()));
  logger.SetMinimumLevel(ALWAYS);  // a setting made while absent applies at creation
  Log(ERROR, 0, 0, "below the new minimum, but creates the logger");
  EXPECT_EQ(std::tuple(logger.Exists(), logger.ReferenceCount(), logger.MinimumLevel()),
            std::tuple(true, 0u, ALWAYS));
  EXPECT_TRUE(logger.StdErrTarget() != nullptr && logger.StdErrTarget()->IsAttached());
  EXPECT_TRUE(recorder.Attach());
}

// Attaching twice keeps one entry; Configure moves the target to the end in one step; raw
// attachment appends, and raw detachment removes every occurrence; FindTarget looks at the
// attached targets, then the built-ins.
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

class SilentTarget final : public LogTarget {
 public:
  ~SilentTarget() override { Detach(); }
  [[nodiscard]] const char* Name() const override { return "SilentTarget"; }
};

void LogThroughTable(int32_t level, uint32_t low, uint32_t high, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  GetLoggingFunctions().Log(level, low, high, format, arguments);
  va_end(arguments);
}

TEST_F(LoggerTest, FunctionTablesDriveTheSharedLoggerItsClockAndItsTargets) {
  const LoggingFunctions& table = GetLoggingFunctions();
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

  logger.SetTimeSource(&FixedTime);
  int32_t t[7] = {};
  table.ReadLocalTime(t, t + 1, t + 2, t + 3, t + 4, t + 5, t + 6);
  EXPECT_EQ(std::vector<int32_t>(t, t + 7), (std::vector<int32_t>{2021, 2, 3, 4, 5, 6, 7}));
  char text[64];
  EXPECT_EQ(table.FormatTimeStamp(text, sizeof text), 23u);
  EXPECT_STREQ(text, "2021-02-03T04:05:06.007");
  EXPECT_EQ(table.RegisterCategory(nullptr), 0u);
  EXPECT_EQ(table.FormatLine("#M", nullptr, text, sizeof text), 0u);
  EXPECT_STREQ(text, "");

  // The target's own operations.
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
  const LogRecord record = FixedRecord(WARN, 0, "direct");
  EXPECT_EQ((std::tuple{f.Write(handle, &record), f.Write(handle, nullptr)}), std::tuple(1, 0));
  ASSERT_EQ(recorder.written.size(), 2u);
  EXPECT_EQ(recorder.written[1].message, "direct");
  // A target that does not write: the base's write operation reports nothing written.
  SilentTarget silent;
  EXPECT_EQ(silent.Handle()->functions->Write(silent.Handle(), &record), 0);
  EXPECT_EQ(LogTarget::FromHandle(silent.Handle()), &silent);
  const LogTargetHandle foreign{nullptr, &silent};
  EXPECT_EQ(LogTarget::FromHandle(&foreign), nullptr);
}

// A host whose only working slot is Log records the calls as "level message".
std::vector<std::string> gHostCalls;  // "level message", "?" first when not given the host
int32_t HostLog(const HostApi* api, int32_t level, const char* message) {
  gHostCalls.push_back((api->Log == &HostLog ? "" : "?") + std::to_string(level) + " " + message);
  return 0;
}

// The plugin target forwards the message as logged, not a formatted line; without a host or
// its Log function nothing is written. Assertion reports are errors of category 1, "%" as text.
TEST_F(LoggerTest, HostTargetForwardsMessagesAndAssertionsAreLoggedAsErrors) {
  gHostCalls.clear();
  HostApi host{};
  host.Log = &HostLog;
  PluginLogTarget target(&host);
  ASSERT_TRUE(target.Configure(OKAY, 0, 0, "#D| #L| #G| #M"));
  logger.SetMinimumLevel(OKAY);
  Log(OKAY, 0, 0, "count=%d", 3);
  Log(ALWAYS, 8, 0, "line\n");
  EXPECT_EQ(gHostCalls, (std::vector<std::string>{"0 count=3", "3 line\n"}));
  const HostApi empty{};
  const LogRecord record = FixedRecord(WARN, 0, "m");
  for (const HostApi* api : {static_cast<const HostApi*>(nullptr), &empty}) {
    PluginLogTarget silent(api);
    EXPECT_EQ(silent.Handle()->functions->Write(silent.Handle(), &record), 0);
  }
  target.Detach();
  RecordingTarget recorder;
  ASSERT_TRUE(recorder.Configure(OKAY, 0, 0, "#M"));
  ReportAssertion("ptr != nullptr", "", "b.cpp", 9, "");
  ReportAssertion("a % b == 0", "", "", 0, "");
  ASSERT_EQ(recorder.written.size(), 2u);
  EXPECT_EQ(std::tuple(recorder.written[0].level, recorder.written[0].category,
                       recorder.written[1].message),
            std::tuple(ERROR, 1u, "Assertion failed!\n\nExpression: a % b == 0"));
  EXPECT_EQ(stdErr.lines.size(), 2u) << "category 1 reaches standard error";
}

// One thread logs while another reconfigures, detaches and re-attaches targets, or destroys
// and re-creates the logger. A lock-order mistake shows as a hang, caught by the watchdog; run
// under ThreadSanitizer these also check that no data race is left.
constexpr int kMessagesPerThread = 20000;
constexpr int kReconfigurations = 3000;

void CountLine(void* context, const char*, size_t) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1, std::memory_order_relaxed);
}

// Runs `work`; a hang beyond the limit ends the process, since its threads cannot be joined.
template <typename Work>
void RunWithWatchdog(Work work) {
  auto done = std::async(std::launch::async, work);
  if (done.wait_for(std::chrono::minutes(3)) != std::future_status::ready) {
    std::fprintf(stderr, "deadlock: logging and configuration did not finish\n");
    std::fflush(stderr);
    std::_Exit(3);
  }
  done.get();
}

class LoggerConcurrencyTest : public LoggerTest {};

TEST_F(LoggerConcurrencyTest, ReconfiguringWhileLoggingNeverDeadlocksAndCountsEveryMessage) {
  std::atomic<int> consoleLines{0};
  for (BaseConsoleLogTarget* target : {static_cast<BaseConsoleLogTarget*>(logger.StdErrTarget()),
                                       static_cast<BaseConsoleLogTarget*>(logger.StdOutTarget()),
                                       static_cast<BaseConsoleLogTarget*>(logger.DebuggerTarget())})
    target->SetSink(ConsoleSink{&CountLine, nullptr, &consoleLines});
  RecordingTarget counting("CountingTarget", false);
  ASSERT_TRUE(counting.Attach());
  RunWithWatchdog([&] {
    auto logLoop = [](int seed) {
      for (int i = 0; i < kMessagesPerThread; ++i)
        Log(i % 2 == 0 ? WARN : ERROR, static_cast<uint32_t>((i + seed) % 4), 0, "message %d", i);
    };
    std::thread first(logLoop, 0);
    std::thread second(logLoop, 1);
    StdErrLogTarget* stdErrTarget = logger.StdErrTarget();
    StdOutLogTarget* stdOutTarget = logger.StdOutTarget();
    for (int i = 0; i < kReconfigurations; ++i) {
      counting.Configure(i % 3, i % 4, (i / 4) % 2, i % 2 == 0 ? "#D #L #G #M" : "#E(#T) #H #M");
      stdErrTarget->SetLevel(i % 3);
      stdErrTarget->SetCategoryFilter(static_cast<uint64_t>(i % 4), 2);
      stdErrTarget->SetLineFormat(i % 2 == 0 ? "#M" : "#E(#T): #L| #M");
      counting.Detach();
      stdOutTarget->Attach();
      static_cast<void>(logger.AttachHandle(counting.Handle()));
      static_cast<void>(logger.DetachHandle(counting.Handle()));
      counting.Attach();
      stdOutTarget->Detach();
      static_cast<void>(logger.FindTarget("CountingTarget"));
    }
    first.join();
    second.join();
  });

  EXPECT_EQ(logger.WarningCount(), static_cast<uint32_t>(kMessagesPerThread));
  EXPECT_EQ(logger.ErrorCount(), static_cast<uint64_t>(kMessagesPerThread));
  EXPECT_GT(counting.writes.load(), 0);
}

TEST_F(LoggerConcurrencyTest, DestroyingAndRecreatingWhileLoggingIsSafe) {
  RecordingTarget counting("CountingTarget", false);
  ASSERT_TRUE(counting.Attach());
  RunWithWatchdog([&] {
    // Category 8: no console target takes it, so nothing reaches the real console after a
    // destruction restores their sinks.
    // The writer's last message comes after the churn has ended, so at least that one lands
    // however the two threads were scheduled.
    std::atomic<bool> churned{false};
    std::thread writer([&] {
      for (int i = 0;; ++i) {
        const bool last = i >= kMessagesPerThread && churned.load();
        Log(ERROR, 8, 0, "message %d", i);
        if (last) break;
      }
    });
    for (int i = 0; i < kReconfigurations / 3; ++i) {
      logger.Release();  // the last reference: destroys, detaching `counting`
      logger.AddReference();
      counting.Configure(WARN, 8, 0, "#M");
    }
    churned = true;
    writer.join();
  });

  EXPECT_EQ(std::tuple(logger.ReferenceCount(), counting.IsAttached()), std::tuple(1u, true));
  EXPECT_GT(counting.writes.load(), 0);
}

}  // namespace
}  // namespace Oxle::Client::Log
