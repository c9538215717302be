#include "binding/types/native_conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "binding/types/type_binding.h"
#include "support/value_shape.h"

namespace ConversionTestTypes {

using namespace Oxle::Client::Binding;

enum class Queue : int32_t { Normal = 0, Ranked = 7 };

inline void DescribeBinding(TypeDescriber<Queue>& type) {
  type.Name("Queue").Value("Normal", Queue::Normal).Value("Ranked", Queue::Ranked);
}

struct Game {
  int32_t queue = -1;
  std::string mode = "unchanged";
};

inline void DescribeBinding(TypeDescriber<Game>& type) {
  type.Name("Game").Field("queue", &Game::queue).Field("mode", &Game::mode);
}

struct History {
  uint64_t accountId = 0;
  uint32_t count = 0;
  bool complete = false;
  double ratio = 0.0;
  Queue queue = Queue::Normal;
  std::vector<Game> games;
  std::vector<std::string> tags;
  std::map<std::string, int32_t> totals;
  BindingProperty extra;
  Blob raw;
  int8_t small = 0;
};

inline void DescribeBinding(TypeDescriber<History>& type) {
  type.Name("History")
      .Description("A match history.")
      .Field("accountId", &History::accountId, kFieldRequired)
      .Field("count", &History::count, kFieldOmitWhenZero)
      .Field("complete", &History::complete)
      .Field("ratio", &History::ratio)
      .Field("queue", &History::queue)
      .Field("games", &History::games)
      .Field("tags", &History::tags, kFieldOmitWhenZero)
      .Field("totals", &History::totals)
      .Field("extra", &History::extra)
      .Field("raw", &History::raw, kFieldOmitWhenZero)
      .Field("small", &History::small);
}

// Two fields under one name: the later registration's value is what a write leaves.
struct Twice {
  int32_t first = 1;
  int32_t second = 2;
  int32_t other = 3;
};

inline void DescribeBinding(TypeDescriber<Twice>& type) {
  type.Name("Twice").Field("x", &Twice::first).Field("a", &Twice::other).Field("x", &Twice::second);
}

// Every field omitted when zero; `plain` is written even then.
struct Counter {
  int32_t n = 0;
};

inline void DescribeBinding(TypeDescriber<Counter>& type) {
  type.Name("Counter").Field("n", &Counter::n, kFieldOmitWhenZero);
}

struct Sparse {
  Queue queue = Queue::Normal;
  float ratio = 0.0f;
  double precise = 0.0;
  Counter counter;
  Game game;
  double plain = -0.0;
};

inline void DescribeBinding(TypeDescriber<Sparse>& type) {
  type.Name("Sparse")
      .Field("queue", &Sparse::queue, kFieldOmitWhenZero)
      .Field("ratio", &Sparse::ratio, kFieldOmitWhenZero)
      .Field("precise", &Sparse::precise, kFieldOmitWhenZero)
      .Field("counter", &Sparse::counter, kFieldOmitWhenZero)
      .Field("game", &Sparse::game, kFieldOmitWhenZero)
      .Field("plain", &Sparse::plain);
}

// A field of every type that structure conversion handles inline, and two that go through the
// field's converter (an enum, and `long long` where int64_t is another type).
struct Plain {
  bool flag = false;
  int8_t i8 = 0;
  uint8_t u8 = 0;
  int16_t i16 = 0;
  uint16_t u16 = 0;
  int32_t i32 = 0;
  uint32_t u32 = 0;
  int64_t i64 = 0;
  uint64_t u64 = 0;
  float f = 0.0f;
  double d = 0.0;
  std::string text = "old text that is longer than the short string buffer";
  long long wide = 0;
  Queue queue = Queue::Normal;
};

inline void DescribeBinding(TypeDescriber<Plain>& type) {
  type.Name("Plain")
      .Field("flag", &Plain::flag)
      .Field("i8", &Plain::i8)
      .Field("u8", &Plain::u8)
      .Field("i16", &Plain::i16)
      .Field("u16", &Plain::u16)
      .Field("i32", &Plain::i32)
      .Field("u32", &Plain::u32)
      .Field("i64", &Plain::i64)
      .Field("u64", &Plain::u64)
      .Field("f", &Plain::f)
      .Field("d", &Plain::d)
      .Field("text", &Plain::text)
      .Field("wide", &Plain::wide)
      .Field("queue", &Plain::queue);
}

// Names that order in every way a byte comparison can: the empty name, a name and its
// extensions, bytes above 0x7F, names of 1 to 17 bytes, and one name registered twice.
struct Keys {
  int32_t empty = -1, a = -1, ab = -1, abc = -1, b = -1, alsoB = -1, nine = -1, seventeen = -1;
  int32_t accented = -1, z = -1;
};

inline void DescribeBinding(TypeDescriber<Keys>& type) {
  type.Name("Keys")
      .Field("z", &Keys::z)
      .Field("b", &Keys::b)
      .Field("abcdefghi", &Keys::nine)
      .Field("", &Keys::empty)
      .Field("\xC3\xA9t\xC3\xA9", &Keys::accented)
      .Field("ab", &Keys::ab)
      .Field("abcdefghijklmnopq", &Keys::seventeen)
      .Field("a", &Keys::a)
      .Field("b", &Keys::alsoB)
      .Field("abc", &Keys::abc);
}

// More fields than structure reading pairs in one pass: each is looked up by name. Registered
// from the last name to the first, so registration order is not name order.
struct Wide {
  int32_t f00 = -1, f01 = -1, f02 = -1, f03 = -1, f04 = -1, f05 = -1, f06 = -1, f07 = -1, f08 = -1;
  int32_t f09 = -1, f10 = -1, f11 = -1, f12 = -1, f13 = -1, f14 = -1, f15 = -1, f16 = -1;
};

inline void DescribeBinding(TypeDescriber<Wide>& type) {
  type.Name("Wide")
      .Field("f16", &Wide::f16)
      .Field("f15", &Wide::f15)
      .Field("f14", &Wide::f14)
      .Field("f13", &Wide::f13)
      .Field("f12", &Wide::f12)
      .Field("f11", &Wide::f11)
      .Field("f10", &Wide::f10)
      .Field("f09", &Wide::f09)
      .Field("f08", &Wide::f08)
      .Field("f07", &Wide::f07)
      .Field("f06", &Wide::f06)
      .Field("f05", &Wide::f05)
      .Field("f04", &Wide::f04)
      .Field("f03", &Wide::f03)
      .Field("f02", &Wide::f02)
      .Field("f01", &Wide::f01)
      .Field("f00", &Wide::f00);
}

}  // namespace ConversionTestTypes

namespace Oxle::Client::Binding {
namespace {

using ConversionTestTypes::Game;
using ConversionTestTypes::History;
using ConversionTestTypes::Queue;

BindingProperty Text(std::string_view text) {
  BindingProperty value;
  value.SetString(text);
  return value;
}
BindingProperty Signed(int64_t v) {
  BindingProperty value;
  value.SetSigned(v);
  return value;
}
BindingProperty Unsigned(uint64_t v) {
  BindingProperty value;
  value.SetUnsigned(v);
  return value;
}
BindingProperty Float(double v) {
  BindingProperty value;
  value.SetFloat(v);
  return value;
}
BindingProperty Bool(bool v) {
  BindingProperty value;
  value.SetBool(v);
  return value;
}

// One reading case: the input, and either the value read or the exact message.
struct ReadCase {
  BindingProperty input;
  std::string expectedMessage;  // empty: success
  int64_t expectedValue = 0;
};

// Reads each input with `read` (given the case's result) and checks the value or message.
template <typename Read>
void ExpectReads(const std::vector<ReadCase>& cases, Read read) {
  for (const ReadCase& c : cases) {
    ValueResult result;
    const int64_t value = static_cast<int64_t>(read(result, c.input));
    EXPECT_EQ(std::string(result.ErrorMessage()), c.expectedMessage) << c.input.ToString();
    if (c.expectedMessage.empty()) {
      EXPECT_EQ(value, c.expectedValue) << c.input.ToString();
    }
  }
}

void ExpectSigned(const std::vector<ReadCase>& cases, int64_t min, int64_t max,
                  const char* typeName) {
  ExpectReads(cases, [&](ValueResult& result, const BindingProperty& input) {
    return ReadSigned(result, input, "x", min, max, typeName);
  });
}

TEST(NativeConversionTest, ReadSignedParsesTextLikeTheCLibrary) {
  ExpectSigned(
      {
          {Text("0x10"), "", 16},
          {Text("010"), "", 8},
          {Text(" 12"), "", 12},
          {Text(""), "", 0},
          {Text("-2147483648"), "", INT32_MIN},
          {Text("12 "), "Value 12  for 'x' of type int32 is in an incorrect format"},
          {Text("1.5"), "Value 1.5 for 'x' of type int32 is in an incorrect format"},
          {Text("2147483648"), "Value 2147483648 for 'x' of type int32 is out of range"},
          {Text("99999999999999999999"),
           "Value 99999999999999999999 for 'x' of type int32 is out of range"},
          {Signed(-3), "", -3},
          {Signed(2147483647), "", 2147483647},
          {Signed(2147483648), "Value 2147483648 for 'x' of type int32 is out of range"},
          {Unsigned(2147483647), "", 2147483647},
          {Unsigned(18446744073709551615u),
           "Value 18446744073709551615 for 'x' of type int32 is out of range"},
          {Float(3.9), "", 3},
          {Float(-3.9), "", -3},
          {Float(std::nan("")), "", 0},
          {Float(3e9), "Value 3e+09 for 'x' of type int32 is out of range"},
          {BindingProperty(), "A value for 'x' is required."},
          {Bool(true),
           "Couldn't assign value to 'x' of type int32 because the input is of an invalid type "
           "bool."},
      },
      INT32_MIN, INT32_MAX, "int32");
  // 2^63 passes the comparison with the largest int64 as a double, but has no int64 value.
  ExpectSigned(
      {{Float(9223372036854775808.0), "Value 9.22337e+18 for 'x' of type int64 is out of range"},
       {Float(-9223372036854775808.0), "", INT64_MIN}},
      INT64_MIN, INT64_MAX, "int64");
}

TEST(NativeConversionTest, ReadUnsignedRefusesALeadingMinusOnly) {
  const std::vector<ReadCase> cases = {
      {Text("-1"), "Value -1 for 'x' of type uint32 is out of range"},
      {Text("4294967296"), "Value 4294967296 for 'x' of type uint32 is out of range"},
      {Text("0x10"), "", 16},
      {Signed(-1), "Value -1 for 'x' of type uint32 is out of range"},
      {Signed(7), "", 7},
      {Float(-0.5), "Value -0.5 for 'x' of type uint32 is out of range"},
      {Float(4294967294.9), "", 4294967294u},
      {Float(4294967295.5), "Value 4.29497e+09 for 'x' of type uint32 is out of range"},
      {Unsigned(4294967296), "Value 4294967296 for 'x' of type uint32 is out of range"},
  };
  ExpectReads(cases, [](ValueResult& result, const BindingProperty& input) {
    return ReadUnsigned(result, input, "x", UINT32_MAX, "uint32");
  });
  ValueResult spaced;
  EXPECT_EQ(ReadUnsigned(spaced, Text(" -1"), "x", UINT64_MAX, "uint64"), UINT64_MAX)
      << "a space before the '-' is not looked through";
  ValueResult large;
  EXPECT_EQ(ReadUnsigned(large, Float(1.8446744073709552e19), "x", UINT64_MAX, "uint64"), 0u);
  EXPECT_FALSE(large.Ok()) << "2^64 has no uint64 value";
  ValueResult big;
  EXPECT_EQ(ReadUnsigned(big, Float(9.3e18), "x", UINT64_MAX, "uint64"), 9300000000000000000u);
}

TEST(NativeConversionTest, ReadDoubleComparesIntegersAsIntegers) {
  ValueResult ok;
  EXPECT_EQ(ReadDouble(ok, Text("2.5"), "x", -10, 10, "double"), 2.5);
  EXPECT_EQ(ReadDouble(ok, Signed(-10), "x", -10, 10, "double"), -10.0);
  EXPECT_EQ(ReadDouble(ok, Unsigned(UINT64_MAX), "x", -1.7976931348623157e308,
                       1.7976931348623157e308, "double"),
            18446744073709551615.0);
  EXPECT_TRUE(ok.Ok());
  ValueResult range;
  (void)ReadDouble(range, Signed(11), "x", -10, 10, "double");
  EXPECT_EQ(range.ErrorMessage(), "Value 11 for 'x' of type double is out of range");
  ValueResult overflow;
  (void)ReadDouble(overflow, Text("1e999"), "x", -1.7976931348623157e308, 1.7976931348623157e308,
                   "double");
  EXPECT_EQ(overflow.ErrorMessage(), "Value 1e999 for 'x' of type double is out of range");
  ValueResult format;
  (void)ReadDouble(format, Text("2.5x"), "x", -10, 10, "double");
  EXPECT_EQ(format.ErrorMessage(), "Value 2.5x for 'x' of type double is in an incorrect format");
}

TEST(NativeConversionTest, ReadBoolAcceptsOnlyBoolsAndFourTexts) {
  ExpectReads(
      {
          {Text("1"), "", 1},
          {Text("false"), "", 0},
          {Bool(true), "", 1},
          {Text("TRUE"),
           "Value TRUE for 'x' of type bool is in an incorrect format. Options are \"true\", "
           "\"false\", \"1\", \"0\"."},
          {Unsigned(5),
           "Couldn't assign value to 'x' of type bool because the input is of an invalid type "
           "unsigned."},
      },
      [](ValueResult& result, const BindingProperty& input) {
        return ReadBool(result, input, "x");
      });
}

TEST(NativeConversionTest, FirstFailureWins) {
  ValueResult result;
  (void)ReadBool(result, Text("maybe"), "first");
  EXPECT_EQ(ReadSigned(result, Signed(5), "second", 0, 10, "int32"), 0)
      << "a failed result gives the zero value";
  (void)ReadString(result, Signed(1), "third", nullptr);
  EXPECT_NE(std::string(result.ErrorMessage()).find("'first'"), std::string::npos);
}

class RegisteredTypesTest : public ::testing::Test {
 protected:
  BindingRegistry registry;
  const TypeRecord* history = RegisterType<History>(registry);
  const TypeRecord* queue = registry.FindTypeByName("Queue");
};

TEST_F(RegisteredTypesTest, EnumsReadByNameNumberOrNumericText) {
  BindingProperty enumValue;
  enumValue.SetEnum(7, TypeIdOf<Queue>());
  const std::vector<ReadCase> cases = {
      {Text("Ranked"), "", 7},
      {Text("7"), "", 7},
      {Unsigned(7), "", 7},
      {Signed(0), "", 0},
      {enumValue, "", 7},
      {Text("C"), "C is not a valid Queue enumeration value for 'x'."},
      {Text("ranked"), "ranked is not a valid Queue enumeration value for 'x'."},
      {Signed(3), "3 is not a valid Queue enumeration value for 'x'."},
      {Float(7.0),
       "Couldn't assign value to 'x' of enum type because the input is of an invalid type float."},
      {BindingProperty(), "A value for 'x' is required."},
  };
  ExpectReads(cases, [this](ValueResult& result, const BindingProperty& input) {
    return ReadEnum(result, input, "x", queue);
  });
  ValueResult named;
  EXPECT_EQ(ReadString(named, enumValue, "x", &registry), "Ranked");
  BindingProperty unnamed;
  unnamed.SetEnum(3, TypeIdOf<Queue>());
  ValueResult missing;
  (void)ReadString(missing, unnamed, "x", &registry);
  EXPECT_EQ(missing.ErrorMessage(), "3 is not a valid enumeration value for 'x'.");
}

TEST_F(RegisteredTypesTest, ReadingNamesOnlyTheInnermostFieldAndKeepsEarlierFields) {
  BindingProperty input;
  input.Get("accountId").SetString("42");
  input.Get("complete").SetBool(true);
  input.Get("games").At(0).MakeStructure();
  input.Get("games").At(1).Get("queue").SetString("a");
  input.Get("ratio").SetFloat(0.5);
  input.Get("small").SetSigned(3);
  History native;
  const ValueResult result = ReadNative(input, native, "<value>", registry);
  EXPECT_EQ(result.ErrorMessage(), "Value a for 'queue' of type int32 is in an incorrect format");
  EXPECT_EQ(native.accountId, 42u) << "fields read before the failure keep their values";
  EXPECT_TRUE(native.complete);
  EXPECT_EQ(native.ratio, 0.5);
  EXPECT_EQ(native.small, 0) << "fields after the failure are not read";
}

TEST_F(RegisteredTypesTest, EmptyElementsStayDefaultAndMissingFieldsUnchanged) {
  BindingProperty input;
  input.Get("accountId").SetUnsigned(1);
  input.Get("games").At(1).Get("queue").SetSigned(3);
  History native;
  native.count = 99;
  const ValueResult result = ReadNative(input, native, "<value>", registry);
  ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
  ASSERT_EQ(native.games.size(), 2u);
  EXPECT_EQ(native.games[0].queue, -1);
  EXPECT_EQ(native.games[0].mode, "unchanged");
  EXPECT_EQ(native.games[1].queue, 3);
  EXPECT_EQ(native.count, 99u);
}

TEST_F(RegisteredTypesTest, StructureLevelMessages) {
  History native;
  EXPECT_EQ(ReadNative(BindingProperty(), native, "<value>", registry).ErrorMessage(),
            "A value for '<value>' is required.");
  EXPECT_EQ(ReadNative(Text("x"), native, "<value>", registry).ErrorMessage(),
            "Couldn't assign value to '<value>' of type History because the input not a "
            "structure.");
  BindingProperty withoutId;
  withoutId.Get("count").SetSigned(1);
  EXPECT_EQ(ReadNative(withoutId, native, "<value>", registry).ErrorMessage(),
            "Couldn't assign value to '<value>' of type History because the input structure "
            "doesn't have required field 'accountId'.");
  BindingProperty badGames;
  badGames.Get("accountId").SetSigned(1);
  badGames.Get("games").SetString("no");
  EXPECT_EQ(ReadNative(badGames, native, "<value>", registry).ErrorMessage(),
            "Couldn't assign value to 'games' of type vector because the input not a collection.");
  ValueResult unregistered;
  ReadStruct(&registry, unregistered, &native, withoutId, "y", nullptr, 0);
  EXPECT_EQ(unregistered.ErrorMessage(),
            "Couldn't assign value to 'y' because the input is an unregistered structure or not "
            "a structure at all.");
  ValueResult unwritable;
  WriteStruct(&registry, unwritable, &native, nullptr);
  EXPECT_EQ(unwritable.ErrorMessage(),
            "Couldn't convert native value because it's an unregistered structure.");
}

TEST_F(RegisteredTypesTest, WritingOmitsZeroFieldsOnlyWhenAsked) {
  History native;
  native.accountId = 5;
  native.queue = Queue::Ranked;
  native.games.push_back(Game{3, "duel"});
  native.totals["kills"] = 4;
  native.extra.Get("note").SetString("kept");
  native.small = -2;
  const ValueResult written = WriteNative(native, registry);
  ASSERT_TRUE(written.Ok()) << written.ErrorMessage();
  // count, tags and raw are zero and omitted; complete is false and still written.
  EXPECT_EQ(Shape(written.Value()),
            "{accountId:u5;complete:F;extra:{note:'kept';};games:[{mode:'duel';queue:i3;}];"
            "queue:e7;ratio:f0;small:i-2;totals:{kills:i4;};}");
  EXPECT_EQ(written.Value().Get("queue").GetEnum().type, &TypeIdOf<Queue>());
  History back;
  const ValueResult read = ReadNative(written.Value(), back, "<value>", registry);
  ASSERT_TRUE(read.Ok()) << read.ErrorMessage();
  EXPECT_EQ(Shape(WriteNative(back, registry).Value()), Shape(written.Value()));
}

TEST(NativeConversionTest, OmitWhenZeroSkipsZeroEnumsSignedZeroFloatsAndEmptyStructs) {
  using ConversionTestTypes::Sparse;
  BindingRegistry registry;
  struct Case {
    const char* name;
    std::function<void(Sparse&)> change;
    std::string members;
  };
  // "game" is never zero (its fields have no omit flag); "plain" has no flag itself.
  const std::string always = "game:{mode:'unchanged';queue:i-1;};plain:f-0;";
  const std::vector<Case> cases = {
      {"all zero", [](Sparse&) {}, "{" + always + "}"},
      {"negative zero float and double",
       [](Sparse& s) {
         s.ratio = -0.0f;
         s.precise = -0.0;
       },
       "{" + always + "}"},
      {"enum not zero", [](Sparse& s) { s.queue = Queue::Ranked; }, "{" + always + "queue:e7;}"},
      {"NaN is not zero", [](Sparse& s) { s.ratio = std::numeric_limits<float>::quiet_NaN(); },
       "{" + always + "ratio:fnan;}"},
      {"smallest double", [](Sparse& s) { s.precise = std::numeric_limits<double>::denorm_min(); },
       "{" + always + "precise:f4.9406564584124654e-324;}"},
      {"struct with a member", [](Sparse& s) { s.counter.n = -1; },
       "{counter:{n:i-1;};" + always + "}"},
  };
  for (const Case& test : cases) {
    Sparse native;
    test.change(native);
    const ValueResult written = WriteNative(native, registry);
    ASSERT_TRUE(written.Ok()) << test.name << ": " << written.ErrorMessage();
    EXPECT_EQ(Shape(written.Value()), test.members) << test.name;
  }
}

TEST_F(RegisteredTypesTest, ThreadsConvertWithOneRegistryAtOnce) {
  auto work = [this](uint64_t seed) {
    for (uint64_t i = 0; i < 300; ++i) {
      History native;
      native.accountId = seed * 1000 + i;
      native.games.push_back(Game{static_cast<int32_t>(i), "mode"});
      const ValueResult written = WriteNative(native, registry);
      History back;
      const ValueResult read = ReadNative(written.Value(), back, "<value>", registry);
      EXPECT_TRUE(read.Ok());
      EXPECT_EQ(back.accountId, native.accountId);
      EXPECT_EQ(back.games.at(0).queue, static_cast<int32_t>(i));
    }
  };
  std::thread a(work, 1), b(work, 2);
  a.join();
  b.join();
}

TEST(NativeConversionTest, AFieldNameRegisteredTwiceWritesTheLaterField) {
  BindingRegistry registry;
  const ValueResult written = WriteNative(ConversionTestTypes::Twice{}, registry);
  ASSERT_TRUE(written.Ok());
  EXPECT_EQ(written.Value().Size(), 2u);
  EXPECT_EQ(written.Value().Get("x").GetSigned(0), 2);
  EXPECT_EQ(written.Value().Get("a").GetSigned(0), 3);
}

TEST(NativeConversionTest, EmptyFalseAndSignedZeroAreZeroValuesButNotNaN) {
  EXPECT_TRUE(IsZeroValue(BindingProperty()));
  EXPECT_TRUE(IsZeroValue(Float(-0.0)));
  EXPECT_TRUE(IsZeroValue(Bool(false)));
  EXPECT_FALSE(IsZeroValue(Float(std::nan(""))));
}

using ConversionTestTypes::Keys;
using ConversionTestTypes::Plain;
using ConversionTestTypes::Wide;

TEST(NativeConversionTest, PlainFieldsReadAtTheirLimitsAndFailAsBefore) {
  struct Case {
    const char* field;
    BindingProperty input;
    std::string expected;  // the field's shape as written, or the message
    bool fails = false;
  };
  BindingProperty ranked;
  ranked.SetEnum(7, TypeIdOf<Queue>());
  const std::vector<Case> cases = {
      {"flag", Bool(true), "T"},
      {"flag", Text("1"), "T"},
      {"flag", Signed(1),
       "Couldn't assign value to 'flag' of type bool because the input is of an invalid type "
       "signed.",
       true},
      {"i8", Signed(127), "i127"},
      {"i8", Signed(-128), "i-128"},
      {"i8", Signed(128), "Value 128 for 'i8' of type int8 is out of range", true},
      {"i8", Signed(-129), "Value -129 for 'i8' of type int8 is out of range", true},
      {"i8", Unsigned(127), "i127"},
      {"i8", Unsigned(128), "Value 128 for 'i8' of type int8 is out of range", true},
      {"i8", Text("-0x10"), "i-16"},
      {"u8", Signed(255), "u255"},
      {"u8", Signed(-1), "Value -1 for 'u8' of type uint8 is out of range", true},
      {"u8", Unsigned(256), "Value 256 for 'u8' of type uint8 is out of range", true},
      {"i16", Signed(-32768), "i-32768"},
      {"i16", Unsigned(32768), "Value 32768 for 'i16' of type int16 is out of range", true},
      {"u16", Unsigned(65535), "u65535"},
      {"u16", Signed(65536), "Value 65536 for 'u16' of type uint16 is out of range", true},
      {"i32", Signed(INT32_MIN), "i-2147483648"},
      {"i32", Signed(int64_t{INT32_MAX} + 1),
       "Value 2147483648 for 'i32' of type int32 is out of range", true},
      {"i32", ranked, "i7"},
      {"u32", Unsigned(UINT32_MAX), "u4294967295"},
      {"u32", Float(3.7), "u3"},
      {"u32", Signed(-1), "Value -1 for 'u32' of type uint32 is out of range", true},
      {"i64", Signed(INT64_MIN), "i-9223372036854775808"},
      {"i64", Unsigned(INT64_MAX), "i9223372036854775807"},
      {"i64", Unsigned(uint64_t{1} << 63),
       "Value 9223372036854775808 for 'i64' of type int64 is out of range", true},
      {"u64", Unsigned(UINT64_MAX), "u18446744073709551615"},
      {"u64", Signed(INT64_MAX), "u9223372036854775807"},
      {"u64", Signed(-1), "Value -1 for 'u64' of type uint64 is out of range", true},
      {"f", Signed(2), "f2"},
      {"d", Text("0.5"), "f0.5"},
      {"text", Text("new"), "'new'"},
      {"text", Text(""), "''"},
      {"text", ranked, "'Ranked'"},
      {"text", Signed(1), "Couldn't assign value to 'text' because the input is not a string.",
       true},
      {"wide", Signed(INT64_MIN), "i-9223372036854775808"},
      {"wide", Unsigned(uint64_t{1} << 63),
       "Value 9223372036854775808 for 'wide' of type int64 is out of range", true},
      {"queue", Text("Ranked"), "e7"},
  };
  BindingRegistry registry;
  for (const Case& c : cases) {
    BindingProperty input;
    input.Get(c.field) = c.input;
    Plain native;
    const std::string before = Shape(WriteNative(native, registry).Value());
    const ValueResult result = ReadNative(input, native, "<value>", registry);
    const BindingProperty after = WriteNative(native, registry).Value();
    if (c.fails) {
      EXPECT_EQ(result.ErrorMessage(), c.expected) << c.field << " " << c.input.ToString();
      EXPECT_EQ(Shape(after), before) << c.field << " keeps its value on failure";
    } else {
      EXPECT_TRUE(result.Ok()) << c.field << ": " << result.ErrorMessage();
      EXPECT_EQ(Shape(after.Get(c.field)), c.expected) << c.field << " " << c.input.ToString();
    }
  }
}

TEST(NativeConversionTest, PlainFieldsWriteAndReadBack) {
  BindingRegistry registry;
  Plain native;
  native.flag = true;
  native.i8 = -8;
  native.u8 = 200;
  native.i16 = -16000;
  native.u16 = 60000;
  native.i32 = -32;
  native.u32 = 4000000000u;
  native.i64 = INT64_MIN;
  native.u64 = UINT64_MAX;
  native.f = 1.5f;
  native.d = -2.25;
  native.text = "text";
  native.wide = -7;
  native.queue = Queue::Ranked;
  const ValueResult written = WriteNative(native, registry);
  ASSERT_TRUE(written.Ok()) << written.ErrorMessage();
  const BindingProperty& value = written.Value();
  EXPECT_EQ(Shape(value),
            "{d:f-2.25;f:f1.5;flag:T;i16:i-16000;i32:i-32;i64:i-9223372036854775808;i8:i-8;"
            "queue:e7;text:'text';u16:u60000;u32:u4000000000;u64:u18446744073709551615;u8:u200;"
            "wide:i-7;}");
  Plain back;
  const ValueResult read = ReadNative(value, back, "<value>", registry);
  ASSERT_TRUE(read.Ok()) << read.ErrorMessage();
  EXPECT_EQ(Shape(WriteNative(back, registry).Value()), Shape(value));
}

// The Keys fields by name, with the number each is given in the inputs below.
const std::vector<std::pair<std::string, int32_t>>& KeyNumbers() {
  static const std::vector<std::pair<std::string, int32_t>> numbers = {{"", 1},
                                                                       {"a", 2},
                                                                       {"ab", 3},
                                                                       {"abc", 4},
                                                                       {"b", 5},
                                                                       {"abcdefghi", 7},
                                                                       {"abcdefghijklmnopq", 8},
                                                                       {"\xC3\xA9t\xC3\xA9", 9},
                                                                       {"z", 10}};
  return numbers;
}

std::string ShowKeys(const Keys& k) {
  return std::to_string(k.empty) + "," + std::to_string(k.a) + "," + std::to_string(k.ab) + "," +
         std::to_string(k.abc) + "," + std::to_string(k.b) + "," + std::to_string(k.alsoB) + "," +
         std::to_string(k.nine) + "," + std::to_string(k.seventeen) + "," +
         std::to_string(k.accented) + "," + std::to_string(k.z);
}

TEST(NativeConversionTest, MembersPairWithFieldsWhateverElseTheStructureHolds) {
  struct Case {
    const char* name;
    std::vector<std::string> missing;
    std::vector<std::string> extra;
    std::string expected;
  };
  std::vector<std::string> many;  // more members than the merge pass takes for ten fields
  for (int i = 0; i < 40; ++i)
    many.push_back("x" + std::to_string(100 + i));
  std::vector<std::string> between = {
      "a\x01", "aa",   "abc0", "abcdefgh", "abcdefghij", "abcdefghijklmnopr", "abcdefghijklmnop",
      "y",     "\xFF", "\xC3", "\x01"};
  std::vector<std::string> manyAndBetween = many;
  manyAndBetween.insert(manyAndBetween.end(), between.begin(), between.end());
  const std::string all = "1,2,3,4,5,5,7,8,9,10";
  const std::vector<Case> cases = {
      {"exactly the fields", {}, {}, all},
      {"other members between and around", {}, between, all},
      {"more other members than pairing takes", {}, manyAndBetween, all},
      {"some missing", {"", "ab", "z", "b"}, between, "-1,2,-1,4,-1,-1,7,8,9,-1"},
      {"some missing among many", {"", "ab", "z", "b"}, manyAndBetween, "-1,2,-1,4,-1,-1,7,8,9,-1"},
      {"only other members",
       {"", "a", "ab", "abc", "b", "abcdefghi", "abcdefghijklmnopq", "\xC3\xA9t\xC3\xA9", "z"},
       between,
       "-1,-1,-1,-1,-1,-1,-1,-1,-1,-1"},
  };
  BindingRegistry registry;
  for (const Case& c : cases) {
    BindingProperty input;
    for (const auto& [name, number] : KeyNumbers()) {
      if (std::find(c.missing.begin(), c.missing.end(), name) == c.missing.end()) {
        input.Get(name).SetSigned(number);
      }
    }
    for (const std::string& name : c.extra)
      input.Get(name).SetString("not a number");
    Keys native;
    const ValueResult result = ReadNative(input, native, "<value>", registry);
    EXPECT_TRUE(result.Ok()) << c.name << ": " << result.ErrorMessage();
    EXPECT_EQ(ShowKeys(native), c.expected) << c.name;
  }
}

TEST(NativeConversionTest, FieldsAreReadInRegistrationOrderUpToTheFirstFailure) {
  BindingRegistry registry;
  // Keys: "z" then "b" are registered first; the failure at "b" leaves the later fields.
  BindingProperty keys;
  for (const auto& [name, number] : KeyNumbers())
    keys.Get(name).SetSigned(number);
  keys.Get("b").SetString("q");
  keys.Get("abc").SetString("r");
  Keys someKeys;
  const ValueResult keysRead = ReadNative(keys, someKeys, "<value>", registry);
  EXPECT_EQ(keysRead.ErrorMessage(), "Value q for 'b' of type int32 is in an incorrect format");
  EXPECT_EQ(ShowKeys(someKeys), "-1,-1,-1,-1,-1,-1,-1,-1,-1,10");

  // Wide: too many fields to pair in one pass; registered from f16 down to f00.
  BindingProperty wide;
  for (int i = 0; i < 17; ++i) {
    char name[4] = {'f', static_cast<char>('0' + i / 10), static_cast<char>('0' + i % 10), 0};
    wide.Get(name).SetSigned(i);
  }
  Wide good;
  ASSERT_TRUE(ReadNative(wide, good, "<value>", registry).Ok());
  EXPECT_EQ(good.f00, 0);
  EXPECT_EQ(good.f09, 9);
  EXPECT_EQ(good.f16, 16);
  wide.Get("f03").SetString("x");
  wide.Get("f12").SetString("y");
  Wide bad;
  const ValueResult wideRead = ReadNative(wide, bad, "<value>", registry);
  EXPECT_EQ(wideRead.ErrorMessage(), "Value y for 'f12' of type int32 is in an incorrect format");
  EXPECT_EQ(bad.f16, 16);
  EXPECT_EQ(bad.f13, 13);
  EXPECT_EQ(bad.f12, -1);
  EXPECT_EQ(bad.f11, -1);
  EXPECT_EQ(bad.f00, -1);
}
}  // namespace
}  // namespace Oxle::Client::Binding
