#include "binding/format/positional_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>

// Test-local types in a namespace of their own: they become formattable only through the
// FormatArgument found next to them by argument-dependent lookup.
namespace FormatTestTypes {

using Oxle::Client::Binding::FormatContext;
using Oxle::Client::Binding::FormatToString;
using Oxle::Client::Binding::FormatValue;

struct Version {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
  std::string preRelease;
};

size_t FormatArgument(FormatContext& context, const Version& version) {
  std::string text = FormatToString<33>("%1.%2.%3", version.major, version.minor, version.patch);
  if (!version.preRelease.empty()) text += "-" + version.preRelease;
  return FormatValue(context, std::string_view(text));
}

struct Columns {
  int32_t count = 0;
};

size_t FormatArgument(FormatContext& context, const Columns& columns) {
  return FormatValue(context, columns.count);
}
int32_t FormatArgumentAsInt32(const Columns& columns) {
  return columns.count;
}

}  // namespace FormatTestTypes

namespace Oxle::Client::Binding {
namespace {

using FormatTestTypes::Columns;
using FormatTestTypes::Version;

struct Case {
  const char* description;
  std::string (*format)();
  std::string expected;
};

void PrintTo(const Case& formatCase, std::ostream* out) {
  *out << formatCase.description;
}

class PositionalFormatTest : public testing::TestWithParam<Case> {};

TEST_P(PositionalFormatTest, FormatsExactly) {
  EXPECT_EQ(GetParam().format(), GetParam().expected) << GetParam().description;
}

const Case kPlaceholderCases[] = {
    {"version text", [] { return FormatToString("%1.%2.%3", 18, 0, 0); }, "18.0.0"},
    {"reordered", [] { return FormatToString("%2 %1", "A", "B"); }, "B A"},
    {"missing argument ends the output", [] { return FormatToString("%2 %1 %3", "A", "B"); },
     "B A "},
    {"doubled percent", [] { return FormatToString("100%%"); }, "100%"},
    {"lone percent at the end", [] { return FormatToString("abc%", 1); }, "abc"},
    {"uint64 bare is %llu", [] { return FormatToString("%1", UINT64_MAX); },
     "18446744073709551615"},
    {"int64 bare", [] { return FormatToString("%1", INT64_MIN); }, "-9223372036854775808"},
    {"char bare is %c", [] { return FormatToString("%1", 'A'); }, "A"},
    {"uint8 bare is %u", [] { return FormatToString("%1", uint8_t{200}); }, "200"},
    {"double bare is %g", [] { return FormatToString("%1", 0.1); }, "0.1"},
    {"null C string", [] { return FormatToString("%1", static_cast<const char*>(nullptr)); },
     "(null)"},
    {"std::string", [] { return FormatToString("<%1>", std::string("text")); }, "<text>"},
    {"dot after a bare placeholder is text", [] { return FormatToString("%1.5f", 2); }, "2.5f"},
    {"number beyond the count is a width", [] { return FormatToString("%10d", 42); }, "        42"},
    {"N$ beyond the count ends the output", [] { return FormatToString("x%5$dy", 42); }, "x"},
    {"sequential", [] { return FormatToString("%s-%d", "a", 7); }, "a-7"},
    {"bare placeholders do not advance the sequence",
     [] { return FormatToString("%2 %s %s", "A", "B"); }, "B A B"},
    {"sequence past the count ends the output", [] { return FormatToString("%d %d|", 1); }, "1 "},
    {"custom type",
     [] {
       return FormatToString("v%1", Version{18, 2, 1, {}});
     },
     "v18.2.1"},
    {"custom type with flags and width",
     [] {
       return FormatToString("[%1$-12s]", Version{1, 0, 0, "beta"});
     },
     "[1.0.0-beta  ]"},
    {"custom type as a star width", [] { return FormatToString("[%2$*1$s]", Columns{4}, "ab"); },
     "[  ab]"},
};
INSTANTIATE_TEST_SUITE_P(Placeholders, PositionalFormatTest, testing::ValuesIn(kPlaceholderCases));

const Case kConversionCases[] = {
    {"hex with width", [] { return FormatToString("%1$5x", 255); }, "   ff"},
    {"unknown letter uses the default", [] { return FormatToString("%1$5q", 255); }, "  255"},
    {"string letter on an integer uses the default", [] { return FormatToString("%1$s", 7); }, "7"},
    {"integer letter on a double uses the default", [] { return FormatToString("%1$d", 2.5); },
     "2.5"},
    {"int32 as unsigned", [] { return FormatToString("%1$u", -1); }, "4294967295"},
    {"hh narrows an int", [] { return FormatToString("%1$hhd", 300); }, "44"},
    {"h narrows an int", [] { return FormatToString("%1$hx", -1); }, "ffff"},
    {"ll on an int32 is ignored", [] { return FormatToString("%1$lld", 5); }, "5"},
    {"h on an int64 is ignored", [] { return FormatToString("%1$hd", int64_t{70000}); }, "70000"},
    {"int64 as hex", [] { return FormatToString("%1$x", int64_t{-1}); }, "ffffffffffffffff"},
    {"L on a double is ignored", [] { return FormatToString("%1$Lf", 1.5); }, "1.500000"},
    {"l on a string is ignored", [] { return FormatToString("%1$ls", "ab"); }, "ab"},
    {"c on an int64", [] { return FormatToString("%1$c", int64_t{65}); }, "A"},
    {"int8 as a number", [] { return FormatToString("%1$d", 'A'); }, "65"},
    {"plus flag", [] { return FormatToString("%1$+d", 5); }, "+5"},
    {"alternate hex", [] { return FormatToString("%1$#x", 255); }, "0xff"},
    {"zero padded double", [] { return FormatToString("%1$08.3f", -1.5); }, "-001.500"},
    {"string precision", [] { return FormatToString("%1$.2s", "abcdef"); }, "ab"},
    {"string left-justified", [] { return FormatToString("%1$-4s|", "ab"); }, "ab  |"},
    {"zero flag pads strings with spaces", [] { return FormatToString("%1$04s", "ab"); }, "  ab"},
    {"%n prints nothing", [] { return FormatToString("a%1$nb", 5); }, "ab"},
    {"sequential %n consumes its argument", [] { return FormatToString("%n%d", 1, 2); }, "2"},
    {"star width", [] { return FormatToString("[%*d]", 5, 42); }, "[   42]"},
    {"negative star width left-justifies", [] { return FormatToString("[%*d]", -5, 42); },
     "[42   ]"},
    {"negative star precision is absent", [] { return FormatToString("%.*f", -1, 1.5); },
     "1.500000"},
    {"numbered stars", [] { return FormatToString("[%3$*1$.*2$f]", 8, 2, 3.14159); }, "[    3.14]"},
    {"star from a string ends the output", [] { return FormatToString("a%*db", "x", 5); }, "a"},
    {"star from a double ends the output", [] { return FormatToString("a%*db", 2.0, 5); }, "a"},
};
INSTANTIATE_TEST_SUITE_P(Conversions, PositionalFormatTest, testing::ValuesIn(kConversionCases));

// Widths and precisions far beyond the buffer are clamped, yet the 15 visible characters are
// exactly those of the full rendering.
const Case kHugeCases[] = {
    {"huge width", [] { return FormatToString<16>("%1$999999999d", 7); }, std::string(15, ' ')},
    {"huge left width", [] { return FormatToString<16>("%1$-999999999d", 7); },
     "7" + std::string(14, ' ')},
    {"huge zero width", [] { return FormatToString<16>("%1$0999999999d", 7); },
     std::string(15, '0')},
    {"fifty-digit width", [] { return FormatToString<16>("%1$" + std::string(50, '9') + "d", 7); },
     std::string(15, ' ')},
    {"INT_MAX star width", [] { return FormatToString<16>("%*d", INT_MAX, 7); },
     std::string(15, ' ')},
    {"INT_MIN star width", [] { return FormatToString<16>("%*d|", INT_MIN, 7); },
     "7" + std::string(14, ' ')},
    {"INT_MAX star precision", [] { return FormatToString<16>("%.*d", INT_MAX, 7); },
     std::string(15, '0')},
    {"INT_MAX star precision on a double", [] { return FormatToString<16>("%.*f", INT_MAX, 1.0); },
     "1." + std::string(13, '0')},
    {"width just past a huge integer precision",
     [] { return FormatToString<16>("%1$2000000003.2000000000d", 7); },
     "   " + std::string(12, '0')},
    {"width below a huge integer precision",
     [] { return FormatToString<16>("%1$1000.2000000000d", 7); }, std::string(15, '0')},
    {"width just past a huge f precision",
     [] { return FormatToString<16>("%1$2000000003.2000000000f", 1.0); },
     " 1." + std::string(12, '0')},
    {"width just past a huge e precision",
     [] { return FormatToString<16>("%1$2000000010.2000000000e", 1.0); },
     "    1." + std::string(9, '0')},
    {"huge g precision keeps its short form",
     [] { return FormatToString<16>("%1$2000000003.2000000000g", 0.5); }, std::string(15, ' ')},
    {"huge #g precision", [] { return FormatToString<16>("%1$#.2000000000g", 0.5); },
     "0.5" + std::string(12, '0')},
    {"huge precision on inf",
     [] {
       return FormatToString<16>("%1$-2000000003.2000000000f|",
                                 std::numeric_limits<double>::infinity());
     },
     "inf" + std::string(12, ' ')},
    {"huge width in the full buffer", [] { return FormatToString("%1$5000d", 7); },
     std::string(4095, ' ')},
};
INSTANTIATE_TEST_SUITE_P(HugeWidths, PositionalFormatTest, testing::ValuesIn(kHugeCases));

TEST(PositionalFormatLimits, PlaceholderMustBeShorterThanSixtyCharacters) {
  const std::string flags59 = "%" + std::string(56, '-') + "1d";  // 59 characters
  const std::string flags60 = "%" + std::string(57, '-') + "1d";  // 60 characters
  EXPECT_EQ(FormatToString(">" + flags59 + "<", 5), ">5<");
  EXPECT_EQ(FormatToString(">" + flags60 + "<", 5), ">");
}

TEST(PositionalFormatLimits, TruncatesAtTheBufferEnd) {
  EXPECT_EQ(FormatToString<6>("%1", "abcdefgh"), "abcde");
  EXPECT_EQ(FormatToString<4>("ab%1", "c"), "abc");
  EXPECT_EQ(FormatToString<4>("ab%1", "cd"), "abc");
  EXPECT_EQ(FormatToString<4>("%1", 123456), "123");
  EXPECT_EQ(FormatToString<4>("%1$5d", 1), "   ");
  EXPECT_EQ(FormatToString<3>("ab%%", 1), "ab");
  EXPECT_EQ(FormatToString<1>("abc"), "");
  EXPECT_EQ(FormatToString(std::string(5000, 'x')).size(), 4095u);
  EXPECT_EQ(FormatToString("%1", std::string(5000, 'y')), std::string(4095, 'y'));
  EXPECT_EQ(FormatToString<33>("%1", std::string(40, 'z')).size(), 32u);
}

TEST(PositionalFormatLimits, NeverWritesPastTheBuffer) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(FormatToBuffer(std::span<char>(buffer, 0), "abc"), 0u);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(FormatToBuffer(std::span<char>(buffer, 4), "%1$-20s", "abcdef"), 3u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(buffer[4], '#');
}

TEST(PositionalFormatLimits, RawTableStopsAtUnusableDescriptors) {
  const int32_t value = 3;
  const void* arguments[] = {&value, &value};
  const FormatArgDescriptor* descriptors[] = {&FormatDescriptorOf<int32_t>(), nullptr};
  char buffer[16];
  EXPECT_EQ(FormatPositional(buffer, sizeof buffer, "%1,%2,", descriptors, arguments, 2), 2u);
  EXPECT_STREQ(buffer, "3,");
  EXPECT_EQ(FormatPositional(buffer, sizeof buffer, "a%1", nullptr, nullptr, 1), 1u);
  EXPECT_STREQ(buffer, "a");
  EXPECT_EQ(FormatPositional(buffer, sizeof buffer, static_cast<const char*>(nullptr), descriptors,
                             arguments, 1),
            0u);
  EXPECT_STREQ(buffer, "");
}

}  // namespace
}  // namespace Oxle::Client::Binding
