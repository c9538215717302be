#include "binding/types/native_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "binding/types/type_binding.h"

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

void ExpectSigned(const std::vector<ReadCase>& cases, int64_t min, int64_t max,
                  const char* typeName) {
  for (const ReadCase& c : cases) {
    ValueResult result;
    const int64_t read = ReadSigned(result, c.input, "x", min, max, typeName);
    EXPECT_EQ(std::string(result.ErrorMessage()), c.expectedMessage)
        << "input " << c.input.ToString();
    if (c.expectedMessage.empty()) {
      EXPECT_EQ(read, c.expectedValue) << c.input.ToString();
    }
  }
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
  struct Case {
    BindingProperty input;
    std::string expectedMessage;
    uint64_t expectedValue = 0;
  };
  const std::vector<Case> cases = {
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
  for (const Case& c : cases) {
    ValueResult result;
    const uint64_t read = ReadUnsigned(result, c.input, "x", UINT32_MAX, "uint32");
    EXPECT_EQ(std::string(result.ErrorMessage()), c.expectedMessage) << c.input.ToString();
    if (c.expectedMessage.empty()) {
      EXPECT_EQ(read, c.expectedValue) << c.input.ToString();
    }
  }
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
  ValueResult result;
  EXPECT_TRUE(ReadBool(result, Text("1"), "x"));
  EXPECT_FALSE(ReadBool(result, Text("false"), "x"));
  EXPECT_TRUE(ReadBool(result, Bool(true), "x"));
  EXPECT_TRUE(result.Ok());
  ValueResult upper;
  (void)ReadBool(upper, Text("TRUE"), "x");
  EXPECT_EQ(upper.ErrorMessage(),
            "Value TRUE for 'x' of type bool is in an incorrect format. Options are \"true\", "
            "\"false\", \"1\", \"0\".");
  ValueResult number;
  (void)ReadBool(number, Unsigned(5), "x");
  EXPECT_EQ(number.ErrorMessage(),
            "Couldn't assign value to 'x' of type bool because the input is of an invalid type "
            "unsigned.");
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

TEST_F(RegisteredTypesTest, RegistrationDescribesFieldsOnceWithOffsetsAndNestedTypes) {
  ASSERT_NE(history, nullptr);
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(history->name, "History");
  EXPECT_EQ(history->description, "A match history.");
  EXPECT_EQ(history->nativeSize, sizeof(History));
  ASSERT_EQ(history->fields.size(), 11u);
  const History sample;
  auto offsetOf = [&sample](const void* member) {
    return static_cast<uint32_t>(static_cast<const char*>(member) -
                                 reinterpret_cast<const char*>(&sample));
  };
  EXPECT_EQ(history->fields[0].offset, offsetOf(&sample.accountId));
  EXPECT_EQ(history->fields[5].offset, offsetOf(&sample.games));
  EXPECT_EQ(history->fields[10].offset, offsetOf(&sample.small));
  EXPECT_EQ(history->fields[0].type.code, BindingCode::Uint64);
  EXPECT_EQ(history->fields[0].flags, kFieldRequired);
  EXPECT_EQ(history->fields[4].type.code, BindingCode::Enum);
  EXPECT_EQ(history->fields[4].type.record, queue);
  EXPECT_EQ(history->fields[5].type.code, BindingCode::Vector);
  EXPECT_EQ(history->fields[5].type.elementCode, BindingCode::Struct);
  EXPECT_EQ(history->fields[5].type.record, registry.FindTypeByName("Game"));
  EXPECT_EQ(history->fields[7].type.code, BindingCode::Map);
  EXPECT_EQ(history->fields[7].type.elementCode, BindingCode::Int32);
  EXPECT_EQ(history->fields[8].type.code, BindingCode::Object);
  EXPECT_EQ(history->fields[9].type.code, BindingCode::Blob);
  EXPECT_EQ(history->fields[10].type.code, BindingCode::Int8);
  EXPECT_EQ(history->fields[8].typeId->Hash(), 0xAF98C378u);
  EXPECT_EQ(RegisterType<History>(registry), history) << "a second registration finds the first";
  EXPECT_EQ(history->fields.size(), 11u);
}

TEST_F(RegisteredTypesTest, EnumsReadByNameNumberOrNumericText) {
  struct Case {
    BindingProperty input;
    std::string expectedMessage;
    int32_t expectedValue = 0;
  };
  BindingProperty enumValue;
  enumValue.SetEnum(7, TypeIdOf<Queue>());
  const std::vector<Case> cases = {
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
  for (const Case& c : cases) {
    ValueResult result;
    const int32_t read = ReadEnum(result, c.input, "x", queue);
    EXPECT_EQ(std::string(result.ErrorMessage()), c.expectedMessage) << c.input.ToString();
    if (c.expectedMessage.empty()) {
      EXPECT_EQ(read, c.expectedValue);
    }
  }
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
  const BindingProperty& value = written.Value();
  EXPECT_FALSE(value.Has("count")) << "omit-when-zero";
  EXPECT_FALSE(value.Has("tags"));
  EXPECT_FALSE(value.Has("raw"));
  EXPECT_TRUE(value.Has("complete")) << "false is still written without the flag";
  EXPECT_EQ(value.Get("accountId").GetUnsigned(0), 5u);
  EXPECT_EQ(value.Get("queue").GetEnum().value, 7);
  EXPECT_EQ(value.Get("queue").GetEnum().type, &TypeIdOf<Queue>());
  EXPECT_EQ(value.Get("games").At(0).Get("mode").GetString(), "duel");
  EXPECT_EQ(value.Get("totals").Get("kills").GetSigned(0), 4);
  EXPECT_EQ(value.Get("extra").Get("note").GetString(), "kept");
  EXPECT_EQ(value.Get("small").GetSigned(0), -2);

  History back;
  const ValueResult read = ReadNative(value, back, "<value>", registry);
  ASSERT_TRUE(read.Ok()) << read.ErrorMessage();
  EXPECT_EQ(back.accountId, 5u);
  EXPECT_EQ(back.queue, Queue::Ranked);
  ASSERT_EQ(back.games.size(), 1u);
  EXPECT_EQ(back.games[0].mode, "duel");
  EXPECT_EQ(back.totals.at("kills"), 4);
  EXPECT_EQ(back.extra.Get("note").GetString(), "kept");
}

// The members written, in key order, with their values as text.
std::string Members(const BindingProperty& value) {
  std::string text;
  for (const auto member : value.Members()) {
    text += (text.empty() ? "" : ",") + std::string(member.key) + "=";
    if (member.value.Kind() == ValueKind::Structure) {
      text += "{" + Members(member.value) + "}";
    } else if (member.value.Kind() == ValueKind::Enum) {
      text += "e" + std::to_string(member.value.GetEnum().value);
    } else {
      text += member.value.ToString();
    }
  }
  return text;
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
  const std::string always = "game={mode=unchanged,queue=-1},plain=-0.000000";
  const std::vector<Case> cases = {
      {"all zero", [](Sparse&) {}, always},
      {"negative zero float and double",
       [](Sparse& s) {
         s.ratio = -0.0f;
         s.precise = -0.0;
       },
       always},
      {"enum not zero", [](Sparse& s) { s.queue = Queue::Ranked; }, always + ",queue=e7"},
      {"NaN is not zero", [](Sparse& s) { s.ratio = std::numeric_limits<float>::quiet_NaN(); },
       always + ",ratio=nan"},
      {"smallest double", [](Sparse& s) { s.precise = std::numeric_limits<double>::denorm_min(); },
       always + ",precise=0.000000"},
      {"struct with a member", [](Sparse& s) { s.counter.n = -1; }, "counter={n=-1}," + always},
  };
  for (const Case& test : cases) {
    Sparse native;
    test.change(native);
    const ValueResult written = WriteNative(native, registry);
    ASSERT_TRUE(written.Ok()) << test.name << ": " << written.ErrorMessage();
    EXPECT_EQ(Members(written.Value()), test.members) << test.name;
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

TEST(NativeConversionTest, ZeroValues) {
  EXPECT_TRUE(IsZeroValue(BindingProperty()));
  EXPECT_TRUE(IsZeroValue(Float(-0.0)));
  EXPECT_FALSE(IsZeroValue(Float(std::nan(""))));
  EXPECT_TRUE(IsZeroValue(Text("")));
  EXPECT_FALSE(IsZeroValue(Text("0")));
  EXPECT_TRUE(IsZeroValue(Bool(false)));
  BindingProperty emptyCollection;
  emptyCollection.MakeCollection();
  EXPECT_TRUE(IsZeroValue(emptyCollection));
}

}  // namespace
}  // namespace Oxle::Client::Binding
