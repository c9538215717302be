// What the log builds without a logger: lines, assertion reports, category names, trace
// providers, and the allocation counters.
#include "log/line_format.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <thread>
#include <vector>

#include "log/allocation_hooks.h"
#include "log/assertion_report.h"
#include "log/log_categories.h"
#include "log/trace_providers.h"
#include "log_test_support.h"

namespace Oxle::Client::Log {
namespace {

using Testing::FixedRecord;

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

TEST(LineFormatTest, ReplacesEachCode) {
  const std::tuple<const char*, int32_t, uint64_t, const char*, const char*> cases[] = {
      {"#D| #L| #G| #M", WARN, 3, "hi", "2021-02-03T04:05:06.007|   WARN| DBG;GEN| hi\n"},
      {"#L", OKAY, 0, "", "  OKAY\n"},
      {"#L", ERROR, 0, "", " ERROR\n"},
      {"#L", ALWAYS, 0, "", "ALWAYS\n"},
      {"#L", 4, 0, "", "   ???\n"},
      {"#L", -1, 0, "", "   ???\n"},
      {"[#G]", OKAY, 0, "", "[]\n"},
      {"##", OKAY, 0, "", "#\n"},
      {"#x#%#", OKAY, 0, "", "x%#\n"},
      {"100%", OKAY, 0, "", "100%\n"},
      {"#M", OKAY, 0, "ends\n", "ends\n"},
      {"#M\n", OKAY, 0, "one", "one\n"},
      {"#M", OKAY, 0, "two\n\n", "two\n\n"},
      {"", OKAY, 0, "unused", "\n"},
      {"#M", OKAY, 0, "%s %n", "%s %n\n"},
  };
  for (const auto& [format, level, category, message, expected] : cases)
    EXPECT_EQ(Line(format, FixedRecord(level, category, message)), expected) << format;
  EXPECT_EQ(Line(nullptr, FixedRecord(OKAY, 0, "x")), "\n");
  EXPECT_EQ(Line("#E(#T)", FixedRecord(OKAY, 0, "")),
            "tpk_log_tests(" + Testing::ThreadIdText() + ")\n");
  EXPECT_EQ(Line("#M", FixedRecord(OKAY, 0, nullptr)), "\n");
  const std::string uptime = Line("#H", FixedRecord(OKAY, 0, ""));  // seconds.milliseconds
  EXPECT_TRUE(std::regex_match(uptime, std::regex("[0-9]{6}\\.[0-9]{3}\n"))) << uptime;
}

TEST(LineFormatTest, LinesAndTimeStampsAreCutLeavingRoomForTheNewline) {
  const std::string longText(5000, 'a');
  const LogRecord record = FixedRecord(OKAY, 0, longText.c_str());
  EXPECT_EQ(Line("#M", record), std::string(4094, 'a') + "\n");
  // A code cut in the middle writes what fits and nothing past the buffer.
  const std::string almostFull(4090, 'b');
  EXPECT_EQ(Line((almostFull + "#D").c_str(), record), almostFull + "2021\n");
  EXPECT_EQ(Line("#M", record, 8), "aaaaaa\n");
  EXPECT_EQ(Line("#M", record, 2), "\n");
  EXPECT_EQ(Line("#M", record, 1), "");
  EXPECT_EQ(FormatLine(nullptr, 10, "#M", record), 0u);
  EXPECT_EQ(Written(64, [](char* to,
                           size_t n) { return FormatFileTimeStamp(to, n, Testing::FixedTime()); }),
            "2021-02-03_04-05-06");
  EXPECT_EQ(
      Written(5, [](char* to, size_t n) { return FormatTimeStamp(to, n, Testing::FixedTime()); }),
      "2021");
}

std::string Report(std::string_view expression, std::string_view description, std::string_view file,
                   int32_t line, std::string_view function) {
  return Written(kLogBufferSize, [&](char* to, size_t n) {
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
  const std::string text = Report("x", std::string(5000, 'd'), "", 0, "");
  EXPECT_EQ(text.size(), kLogBufferSize - 1);
  EXPECT_TRUE(text.ends_with("ddd"));
  EXPECT_EQ(Written(10, [](char* to,
                           size_t n) { return FormatAssertionReport(to, n, "x", "", "", 0, ""); }),
            "Assertion");
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

TEST(TraceProvidersTest, RegisteringWithoutEventTracingLeavesEveryProviderUnregistered) {
  RegisterTraceProviders();
  for (size_t i = 0; i < kTraceProviderCount; ++i)
    EXPECT_EQ(std::tuple(TraceProviderHandle(i), ReadTraceProviderState(i).enabled),
              std::tuple(0u, false));
  UnregisterTraceProviders();
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

// Allocations and frees count usable sizes; freeing null counts nothing; reallocating null
// counts a free of nothing and an allocation.
TEST_F(AllocationHooksTest, CountsUsableSizesOfAllocationsAndFrees) {
  const AllocationCounters before = ReadAllocationCounters();
  void* block = Allocate(100);
  const size_t usable = malloc_usable_size(block);
  EXPECT_EQ(AllocationSize(block), usable);
  char* text = DuplicateString("twelve chars");
  EXPECT_STREQ(text, "twelve chars");
  const size_t textSize = malloc_usable_size(text);
  Free(block);
  Free(text);
  Free(nullptr);
  EXPECT_EQ(Delta(before), std::vector<uint64_t>({2, usable + textSize, 2, usable + textSize}));

  const AllocationCounters middle = ReadAllocationCounters();
  block = Reallocate(nullptr, 64);
  EXPECT_EQ(Delta(middle), std::vector<uint64_t>({1, malloc_usable_size(block), 1, 0}));
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

TEST_F(AllocationHooksTest, PeakRecordsTheMostBytesInUseAndTheLiveCountThen) {
  // Raise the peak well above anything earlier tests reached, then fall back.
  const AllocationCounters before = ReadAllocationCounters();
  const uint64_t inUseBefore = before.bytesAllocated - before.bytesFreed;
  std::vector<void*> blocks;
  size_t bytes = 0;
  for (int i = 0; i < 8; ++i) {
    blocks.push_back(Allocate(1 << 20));
    bytes += malloc_usable_size(blocks.back());
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

}  // namespace
}  // namespace Oxle::Client::Log
