#include "log/log_categories.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace Oxle::Client::Log {
namespace {

std::string Text(uint64_t categories) {
  char buffer[300];
  const size_t length = CategoriesToText(categories, buffer, sizeof buffer);
  return std::string(buffer, length);
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
  char buffer[6];
  EXPECT_EQ(CategoriesToText(3, buffer, sizeof buffer), 5u);
  EXPECT_STREQ(buffer, "DBG;G");
  EXPECT_EQ(CategoriesToText(3, buffer, 1), 0u);
  EXPECT_STREQ(buffer, "");
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
  for (uint64_t bit : bits)
    EXPECT_EQ(bit, uint64_t{1} << before);
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
  for (int i = 0; RegisteredCategoryCount() < kCategoryCapacity; ++i) {
    if (RegisterCategory(nameOf(i)) != uint64_t{1} << (firstBit + i)) std::exit(2);
  }
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

}  // namespace
}  // namespace Oxle::Client::Log
