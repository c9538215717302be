#include "log/line_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "log_test_support.h"

namespace Oxle::Client::Log {
namespace {

using Testing::FixedRecord;

std::string Line(const char* format, const LogRecord& record, size_t size = kLogBufferSize) {
  std::string buffer(size, '\x7f');
  const size_t length = FormatLine(buffer.data(), size, format, record);
  EXPECT_EQ(std::strlen(buffer.c_str()), length);
  return buffer.substr(0, length);
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
}

TEST(LineFormatTest, UptimeIsSecondsAndMillisecondsSinceFirstUse) {
  const std::string first = Line("#H", FixedRecord(OKAY, 0, ""));
  EXPECT_TRUE(std::regex_match(first, std::regex("[0-9]{6}\\.[0-9]{3}\n"))) << first;
  const uint64_t before = UptimeMilliseconds();
  const timespec nap{0, 20000000};
  nanosleep(&nap, nullptr);
  EXPECT_GE(UptimeMilliseconds() - before, 20u);
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
  char text[64];
  EXPECT_EQ(FormatFileTimeStamp(text, sizeof text, Testing::FixedTime()), 19u);
  EXPECT_STREQ(text, "2021-02-03_04-05-06");
  EXPECT_EQ(FormatTimeStamp(text, 5, Testing::FixedTime()), 4u);
  EXPECT_STREQ(text, "2021");
}

}  // namespace
}  // namespace Oxle::Client::Log
