#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "binding/format/split_join.h"
#include "binding/types/host_value.h"
#include "binding/types/native_conversion.h"
#include "binding/types/type_binding.h"
#include "binding/types/type_identity.h"
#include "log/allocation_hooks.h"
#include "support/binding_values.h"

namespace ConversionTestTypes {

using namespace Oxle::Client::Binding;

// Describes the members in the order given, each under the name at its place in `names` and
// with `flags` (kFieldRequired, kFieldOmitWhenZero).
template <typename T, typename... Member>
TypeDescriber<T>& Fields(TypeDescriber<T>& type, uint8_t flags,
                         std::initializer_list<const char*> names, Member... members) {
  const char* const* name = names.begin();
  (type.Field(*name++, members, flags), ...);
  return type;
}

enum class Queue : int32_t { Normal = 0, Ranked = 7 };
inline void DescribeBinding(TypeDescriber<Queue>& type) {
  type.Name("Queue").Value("Normal", Queue::Normal).Value("Ranked", Queue::Ranked);
}

// Both fields omitted when zero, which their defaults are not.
struct Game {
  int32_t queue = -1;
  std::string mode = "unchanged";
};
inline void DescribeBinding(TypeDescriber<Game>& type) {
  Fields(type.Name("Game"), kFieldOmitWhenZero, {"queue", "mode"}, &Game::queue, &Game::mode);
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
  Fields(type.Name("History"), kFieldRequired, {"accountId"}, &History::accountId);
  Fields(type, kFieldOmitWhenZero, {"count", "tags", "raw"}, &History::count, &History::tags,
         &History::raw);
  Fields(type, 0, {"complete", "ratio", "queue", "games", "totals", "extra", "small"},
         &History::complete, &History::ratio, &History::queue, &History::games, &History::totals,
         &History::extra, &History::small);
}

// Every field omitted when zero; `plain` is written even then.
struct Sparse {
  Queue queue = Queue::Normal;
  float ratio = 0.0f;
  double precise = 0.0, plain = -0.0;
  Game game;
};
inline void DescribeBinding(TypeDescriber<Sparse>& type) {
  Fields(type.Name("Sparse"), kFieldOmitWhenZero, {"queue", "ratio", "precise", "game"},
         &Sparse::queue, &Sparse::ratio, &Sparse::precise, &Sparse::game)
      .Field("plain", &Sparse::plain);
}

// A field of every type that structure conversion handles inline, and some that go through the
// field's converter (an enum, `long long` where int64_t is another type, containers). More
// fields than reading pairs with members in one pass: each is looked up by name.
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
  std::vector<int32_t> list;
  Blob raw;
  BindingProperty any;
};
inline void DescribeBinding(TypeDescriber<Plain>& type) {
  Fields(type.Name("Plain"), 0,
         {"flag", "i8", "u8", "i16", "u16", "i32", "u32", "i64", "u64", "f", "d", "text", "wide",
          "queue", "list", "raw", "any"},
         &Plain::flag, &Plain::i8, &Plain::u8, &Plain::i16, &Plain::u16, &Plain::i32, &Plain::u32,
         &Plain::i64, &Plain::u64, &Plain::f, &Plain::d, &Plain::text, &Plain::wide, &Plain::queue,
         &Plain::list, &Plain::raw, &Plain::any);
}

// Names that order in every way a byte comparison can: the empty name, a name and its
// extensions, bytes above 0x7F, names of 1 to 17 bytes, and one name registered twice.
struct Keys {
  int32_t empty = -1, a = -1, ab = -1, abc = -1, b = -1, alsoB = -1, nine = -1, seventeen = -1;
  int32_t accented = -1, z = -1;
};
inline void DescribeBinding(TypeDescriber<Keys>& type) {
  Fields(
      type.Name("Keys"), 0,
      {"z", "b", "abcdefghi", "", "\xC3\xA9t\xC3\xA9", "ab", "abcdefghijklmnopq", "a", "b", "abc"},
      &Keys::z, &Keys::b, &Keys::nine, &Keys::empty, &Keys::accented, &Keys::ab, &Keys::seventeen,
      &Keys::a, &Keys::alsoB, &Keys::abc);
}

}  // namespace ConversionTestTypes

namespace Oxle::Client::Binding {
namespace {

using namespace ConversionTestTypes;

// Reads `input` (a shape) as `T` from a fresh record changed by `change` first, and gives the
// record as written back, or the message and what the record holds then.
template <typename T>
std::string ReadBack(BindingRegistry& registry, const BindingProperty& input,
                     const std::function<void(T&)>& change = {}) {
  T native;
  if (change) change(native);
  const ValueResult read = ReadNative(input, native, "<value>", registry);
  const ValueResult written = WriteNative(native, registry);
  EXPECT_TRUE(written.Ok()) << written.ErrorMessage();
  return (read.Ok() ? "" : std::string(read.ErrorMessage()) + " ") + Shape(written.Value());
}

TEST(NativeConversionTest, ScalarReadsGiveTheValueOrTheExactMessageAndTheFirstFailureWins) {
  BindingRegistry registry;
  const TypeRecord* queue = RegisterType<Queue>(registry);
  const double kMax = std::numeric_limits<double>::max();
  // The reader ('i' int32, 'I' int64, 'u' uint32, 'U' uint64, 'd' a double of -10 to 10, 'D'
  // any double, 'b' bool, 'e' the enum Queue, 's' a string), the input's shape, and the value
  // read or the exact message.
  const std::string range32 = " for 'x' of type int32 is out of range";
  const std::string invalid = "Couldn't assign value to 'x' of type ",
                    type = " of an invalid type ";
  const std::tuple<char, const char*, std::string> cases[] = {
      {'i', "'0x10'", "16"},
      {'i', "'010'", "8"},
      {'i', "' 12'", "12"},
      {'i', "''", "0"},
      {'i', "'-2147483648'", "-2147483648"},
      {'i', "'2147483647'", "2147483647"},
      {'i', "'12 '", "Value 12  for 'x' of type int32 is in an incorrect format"},
      {'i', "'1.5'", "Value 1.5 for 'x' of type int32 is in an incorrect format"},
      {'i', "'2147483648'", "Value 2147483648" + range32},
      {'i', "'99999999999999999999'", "Value 99999999999999999999" + range32},
      {'i', "i2147483647", "2147483647"},
      {'i', "i2147483648", "Value 2147483648" + range32},
      {'i', "u2147483647", "2147483647"},
      {'i', "u18446744073709551615", "Value 18446744073709551615" + range32},
      {'i', "f3.9", "3"},
      {'i', "f-3.9", "-3"},
      {'i', "fnan", "0"},
      {'i', "f3e9", "Value 3e+09" + range32},
      {'i', "~", "A value for 'x' is required."},
      {'i', "T", invalid + "int32 because the input is" + type + "bool."},
      // 2^63 passes the comparison with the largest int64 as a double, but has no int64 value.
      {'I', "f9223372036854775808", "Value 9.22337e+18 for 'x' of type int64 is out of range"},
      {'I', "f-9223372036854775808", "-9223372036854775808"},
      {'u', "'-1'", "Value -1 for 'x' of type uint32 is out of range"},
      {'u', "'4294967296'", "Value 4294967296 for 'x' of type uint32 is out of range"},
      {'u', "'0x10'", "16"},
      {'u', "i-1", "Value -1 for 'x' of type uint32 is out of range"},
      {'u', "i7", "7"},
      {'u', "f-0.5", "Value -0.5 for 'x' of type uint32 is out of range"},
      {'u', "f4294967294.9", "4294967294"},
      {'u', "f4294967295.5", "Value 4.29497e+09 for 'x' of type uint32 is out of range"},
      {'u', "u4294967296", "Value 4294967296 for 'x' of type uint32 is out of range"},
      {'U', "' -1'", "18446744073709551615"},  // a space before the '-' is not looked through
      {'U', "f1.8446744073709552e19", "Value 1.84467e+19 for 'x' of type uint64 is out of range"},
      {'U', "f9.3e18", "9300000000000000000"},
      {'d', "'2.5'", "2.500000"},
      {'d', "i-10", "-10.000000"},
      {'D', "u18446744073709551615", "18446744073709551616.000000"},
      {'d', "i11", "Value 11 for 'x' of type double is out of range"},
      {'D', "'1e999'", "Value 1e999 for 'x' of type double is out of range"},
      {'d', "'2.5x'", "Value 2.5x for 'x' of type double is in an incorrect format"},
      {'b', "'1'", "1"},
      {'b', "'false'", "0"},
      {'b', "T", "1"},
      {'b', "'TRUE'",
       "Value TRUE for 'x' of type bool is in an incorrect format. Options are \"true\", "
       "\"false\", \"1\", \"0\"."},
      {'b', "u5", invalid + "bool because the input is" + type + "unsigned."},
      {'e', "'Ranked'", "7"},
      {'e', "'7'", "7"},
      {'e', "u7", "7"},
      {'e', "i0", "0"},
      {'e', "e7", "7"},
      {'e', "'C'", "C is not a valid Queue enumeration value for 'x'."},
      {'e', "'ranked'", "ranked is not a valid Queue enumeration value for 'x'."},
      {'e', "i3", "3 is not a valid Queue enumeration value for 'x'."},
      {'e', "f7",
       "Couldn't assign value to 'x' of enum type because the input is" + type + "float."},
      {'e', "~", "A value for 'x' is required."},
      {'s', "e7", "Ranked"},
      {'s', "~", "A value for 'x' is required."},
      {'s', "e3", "3 is not a valid enumeration value for 'x'."},
  };
  for (const auto& [reader, input, expected] : cases) {
    const BindingProperty in = Parse(input, &TypeIdOf<Queue>());
    ValueResult r;
    std::string v;
    if (reader == 'i') v = std::to_string(ReadSigned(r, in, "x", INT32_MIN, INT32_MAX, "int32"));
    if (reader == 'I') v = std::to_string(ReadSigned(r, in, "x", INT64_MIN, INT64_MAX, "int64"));
    if (reader == 'u') v = std::to_string(ReadUnsigned(r, in, "x", UINT32_MAX, "uint32"));
    if (reader == 'U') v = std::to_string(ReadUnsigned(r, in, "x", UINT64_MAX, "uint64"));
    if (reader == 'd') v = std::to_string(ReadDouble(r, in, "x", -10, 10, "double"));
    if (reader == 'D') v = std::to_string(ReadDouble(r, in, "x", -kMax, kMax, "double"));
    if (reader == 'b') v = std::to_string(ReadBool(r, in, "x"));
    if (reader == 'e') v = std::to_string(ReadEnum(r, in, "x", queue));
    if (reader == 's') v = ReadString(r, in, "x", &registry);
    EXPECT_EQ(r.Ok() ? v : std::string(r.ErrorMessage()), expected) << reader << input;
  }
  ValueResult result;  // the first failure wins
  (void)ReadBool(result, Parse("'maybe'"), "first");
  EXPECT_EQ(ReadSigned(result, Parse("i5"), "second", 0, 10, "int32"), 0)
      << "a failed result gives the zero value";
  (void)ReadString(result, Parse("i1"), "third", nullptr);
  EXPECT_NE(std::string(result.ErrorMessage()).find("'first'"), std::string::npos);
}

TEST(NativeConversionTest, StructuresReadAndWriteWholeOrStopAtTheFirstFailureAndOmitZeroFields) {
  BindingRegistry registry;
  const std::string zero = "complete:F;extra:~;games:[];queue:e0;ratio:f0;small:i9;totals:{};}";
  const std::string invalid = "Couldn't assign value to '<value>' ";
  const std::string games = "games:[{mode:'unchanged';queue:i-1;},{mode:'unchanged';queue:i";
  // Each read starts from a record whose `small` is 9: a field the input lacks keeps its value.
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"fields read before the failure keep their values, later ones are not read",
       "{accountId:'42';complete:T;games:[{},{queue:'a';}];ratio:f0.5;small:i3;}",
       "Value a for 'queue' of type int32 is in an incorrect format {accountId:u42;complete:T;"
       "extra:~;" +
           games + "-1;}];queue:e0;ratio:f0.5;small:i9;totals:{};}"},
      {"empty elements stay default", "{accountId:u1;games:[~,{queue:i3;}];}",
       "{accountId:u1;complete:F;extra:~;" + games + "3;}];queue:e0;ratio:f0;small:i9;totals:{};}"},
      {"empty", "~", "A value for '<value>' is required. {accountId:u0;" + zero},
      {"not a structure", "'x'",
       invalid + "of type History because the input not a structure. {accountId:u0;" + zero},
      {"without the required field", "{count:i1;}",
       invalid +
           "of type History because the input structure doesn't have required field "
           "'accountId'. {accountId:u0;" +
           zero},
      {"not a collection", "{accountId:i1;games:'no';}",
       "Couldn't assign value to 'games' of type vector because the input not a collection. "
       "{accountId:u1;" +
           zero},
      // count, tags and raw are zero and omitted; complete is false and still written.
      {"a round trip",
       "{accountId:u5;complete:F;extra:{note:'kept';};games:[{mode:'duel';queue:i3;}];"
       "queue:e7;ratio:f0;small:i-2;totals:{kills:i4;};}",
       "{accountId:u5;complete:F;extra:{note:'kept';};games:[{mode:'duel';queue:i3;}];"
       "queue:e7;ratio:f0;small:i-2;totals:{kills:i4;};}"},
  };
  for (const auto& [name, input, expected] : cases) {
    EXPECT_EQ(ReadBack<History>(registry, Parse(input, &TypeIdOf<Queue>()),
                                [](History& h) { h.small = 9; }),
              expected)
        << name;
  }
  History native;
  native.queue = Queue::Ranked;
  EXPECT_EQ(WriteNative(native, registry).Value().Get("queue").GetEnum().type, &TypeIdOf<Queue>());
  ValueResult unregistered;
  ReadStruct(&registry, unregistered, &native, Parse("{}"), "y", nullptr, 0);
  EXPECT_EQ(unregistered.ErrorMessage(),
            "Couldn't assign value to 'y' because the input is an unregistered structure or not "
            "a structure at all.");
  ValueResult unwritable;
  WriteStruct(&registry, unwritable, &native, nullptr);
  EXPECT_EQ(unwritable.ErrorMessage(),
            "Couldn't convert native value because it's an unregistered structure.");
  // Omit-when-zero skips zero enums, signed zero floats and empty structures.
  // "game" is zero only once both its fields are (it is written aside to tell); "plain" has no
  // flag.
  const std::string always = "game:{mode:'unchanged';queue:i-1;};plain:f-0;";
  const std::tuple<const char*, std::function<void(Sparse&)>, std::string> sparse[] = {
      {"all zero", [](Sparse&) {}, "{" + always + "}"},
      {"-0 float, double", [](Sparse& s) { s.ratio = -0.0f, s.precise = -0.0; },
       "{" + always + "}"},
      {"enum not zero", [](Sparse& s) { s.queue = Queue::Ranked; }, "{" + always + "queue:e7;}"},
      {"NaN", [](Sparse& s) { s.ratio = std::numeric_limits<float>::quiet_NaN(); },
       "{" + always + "ratio:fnan;}"},
      {"smallest double", [](Sparse& s) { s.precise = std::numeric_limits<double>::denorm_min(); },
       "{" + always + "precise:f4.9406564584124654e-324;}"},
      {"member of zero fields",
       [](Sparse& s) {
         s.game = {0, ""};
       },
       "{plain:f-0;}"},
  };
  for (const auto& [name, change, members] : sparse)
    EXPECT_EQ(ReadBack<Sparse>(registry, Parse("{}"), change), members) << name;
  for (const char* zero : {"~", "f-0", "F"})
    EXPECT_TRUE(IsZeroValue(Parse(zero))) << zero;
  EXPECT_FALSE(IsZeroValue(Parse("fnan")) || IsZeroValue(Parse("f-1")));
}

TEST(NativeConversionTest, ThreadsConvertWithOneRegistryAtOnce) {
  BindingRegistry registry;
  // Types are registered before other threads look them up, as the registry asks.
  ASSERT_NE(RegisterType<History>(registry), nullptr);
  auto work = [&registry](uint64_t seed) {
    for (uint64_t i = 0; i < 300; ++i) {
      History native;
      native.accountId = seed * 1000 + i;
      native.games.push_back(Game{static_cast<int32_t>(i + 1), "mode"});
      const ValueResult written = WriteNative(native, registry);
      History back;
      EXPECT_TRUE(ReadNative(written.Value(), back, "<value>", registry).Ok());
      EXPECT_EQ(back.accountId, native.accountId);
      EXPECT_EQ(back.games.at(0).queue, static_cast<int32_t>(i + 1));
    }
  };
  std::thread a(work, 1), b(work, 2);
  a.join();
  b.join();
}

TEST(NativeConversionTest, PlainFieldsReadAtTheirLimitsAndKeepTheirValueOnFailure) {
  const std::string invalidType = "Couldn't assign value to 'flag' of type bool because the input";
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"flag", "'1'", "T"},
      {"flag", "i1", invalidType + " is of an invalid type signed."},
      {"i8", "i127", "i127"},
      {"i8", "i-128", "i-128"},
      {"i8", "i128", "Value 128 for 'i8' of type int8 is out of range"},
      {"i8", "i-129", "Value -129 for 'i8' of type int8 is out of range"},
      {"i8", "u127", "i127"},
      {"i8", "u128", "Value 128 for 'i8' of type int8 is out of range"},
      {"i8", "'-0x10'", "i-16"},
      {"u8", "i255", "u255"},
      {"u8", "i-1", "Value -1 for 'u8' of type uint8 is out of range"},
      {"u8", "u256", "Value 256 for 'u8' of type uint8 is out of range"},
      {"i16", "u32768", "Value 32768 for 'i16' of type int16 is out of range"},
      {"u16", "i65536", "Value 65536 for 'u16' of type uint16 is out of range"},
      {"i32", "e7", "i7"},
      {"u32", "f3.7", "u3"},
      {"i64", "u9223372036854775808",
       "Value 9223372036854775808 for 'i64' of type int64 is out of range"},
      {"f", "i2", "f2"},
      {"d", "'0.5'", "f0.5"},
      {"text", "'new'", "'new'"},
      {"text", "e7", "'Ranked'"},
      {"text", "i1", "Couldn't assign value to 'text' because the input is not a string."},
      {"wide", "u9223372036854775808",
       "Value 9223372036854775808 for 'wide' of type int64 is out of range"},
      {"queue", "'Ranked'", "e7"},
  };
  BindingRegistry registry;
  const std::string before = ReadBack<Plain>(registry, Parse("{}"));
  for (const auto& [field, shape, expected] : cases) {
    BindingProperty input;
    input.Get(field) = Parse(shape, &TypeIdOf<Queue>());
    const std::string after = ReadBack<Plain>(registry, input);
    const bool fails = expected.find(' ') != std::string::npos;
    EXPECT_EQ(fails ? after : Shape(Parse(after).Get(field)),
              fails ? expected + " " + before : expected)
        << field << " " << shape;
  }
  const std::string all =
      "{any:{k:'v';};d:f-2.25;f:f1.5;flag:T;i16:i-16000;i32:i-32;i64:i-9223372036854775808;i8:i-8;"
      "list:[i1,i2];queue:e7;raw:b'01';text:'text';u16:u60000;u32:u4000000000;"
      "u64:u18446744073709551615;u8:u200;wide:i-7;}";
  EXPECT_EQ(ReadBack<Plain>(registry, Parse(all, &TypeIdOf<Queue>())), all) << "a round trip";
}

std::string ShowKeys(const Keys& k) {
  std::string text;
  for (int32_t v : {k.empty, k.a, k.ab, k.abc, k.b, k.alsoB, k.nine, k.seventeen, k.accented, k.z})
    text += (text.empty() ? "" : ",") + std::to_string(v);
  return text;
}

TEST(NativeConversionTest, MembersPairWithFieldsWhateverElseTheStructureHolds) {
  // The Keys fields by name, with the number each is given in the inputs below.
  const BindingProperty numbers = Parse(
      "{:i1;a:i2;ab:i3;abc:i4;b:i5;abcdefghi:i7;abcdefghijklmnopq:i8;\xC3\xA9t\xC3\xA9:i9;z:i10;}");
  const std::vector<std::string> between = Split(
      "a\x01|aa|abc0|abcdefgh|abcdefghij|abcdefghijklmnopr|abcdefghijklmnop|y|\xFF|\xC3|\x01|"
      "\xC3\xA9t\xC3\xAA",
      "|");
  std::vector<std::string> manyAndBetween = between;  // more than the merge pass takes for ten
  for (int i = 0; i < 40; ++i)
    manyAndBetween.push_back("x" + std::to_string(100 + i));
  const std::string all = "1,2,3,4,5,5,7,8,9,10";
  const std::vector<std::string> someMissing = {"", "ab", "z", "b"};
  const std::tuple<const char*, std::vector<std::string>, std::vector<std::string>, std::string>
      cases[] = {
          {"exactly the fields", {}, {}, all},
          {"other members between and around", {}, between, all},
          {"more other members than pairing takes", {}, manyAndBetween, all},
          {"some missing", someMissing, between, "-1,2,-1,4,-1,-1,7,8,9,-1"},
          {"some missing among many", someMissing, manyAndBetween, "-1,2,-1,4,-1,-1,7,8,9,-1"},
          {"only other members",
           {"", "a", "ab", "abc", "b", "abcdefghi", "abcdefghijklmnopq", "\xC3\xA9t\xC3\xA9", "z"},
           between,
           "-1,-1,-1,-1,-1,-1,-1,-1,-1,-1"},
      };
  BindingRegistry registry;
  for (const auto& [name, missing, extra, expected] : cases) {
    BindingProperty input;
    for (auto member : numbers.Members()) {
      if (std::find(missing.begin(), missing.end(), member.key) == missing.end())
        input.Get(member.key) = member.value;
    }
    for (const std::string& key : extra)
      input.Get(key).SetString("not a number");
    Keys native;
    const ValueResult result = ReadNative(input, native, "<value>", registry);
    EXPECT_TRUE(result.Ok()) << name << ": " << result.ErrorMessage();
    EXPECT_EQ(ShowKeys(native), expected) << name;
  }
  // Fields are read in registration order up to the first failure: "z" then "b" come first.
  BindingProperty keys = Parse("{:i1;a:i2;ab:i3;abc:'r';b:'q';abcdefghi:i7;z:i10;}");
  Keys someKeys;
  EXPECT_EQ(ReadNative(keys, someKeys, "<value>", registry).ErrorMessage(),
            "Value q for 'b' of type int32 is in an incorrect format");
  EXPECT_EQ(ShowKeys(someKeys), "-1,-1,-1,-1,-1,-1,-1,-1,-1,10");
  someKeys.alsoB = 2;
  EXPECT_EQ(WriteNative(someKeys, registry).Value().Get("b").GetSigned(0), 2)
      << "of two fields under one name the later is written";
}

bool AllZero(const HostValue& value) {
  static const HostValue zero{};
  return std::memcmp(&value, &zero, sizeof(value)) == 0;
}

// Host values as a host fills them in: a kind (0 empty to 10 structure) and its payload.
const auto Signed = [](int64_t n) { return HostValue{HOST_VALUE_SIGNED, {.signedValue = n}}; };

// The value `in` reads as: its shape, or the failure's message after its partial shape.
std::string FromHost(const HostValue& in, const char* previous = "'previous'") {
  BindingProperty value = Parse(previous);
  ValueResult result;
  const bool ok = FromHostValue(in, value, result, "x");
  EXPECT_EQ(ok, result.Ok()) << result.ErrorMessage();
  return ok ? Shape(value) : Shape(value) + " " + std::string(result.ErrorMessage());
}

// A HostValue as the shape it reads as, with what reading hides: the kind number of a text or
// blob, a text's length field, and "*" after an owned key.
std::string DescribeHost(const HostValue& v) {
  const uint32_t kind = v.kind;
  const void* data = nullptr;  // a text's, blob's or container's pointer leads its payload
  std::memcpy(&data, &v.payload, sizeof data);
  if (kind >= 5 && data == nullptr) return "(null)";  // never, even for empty ones
  if (kind == 5 || kind == 6)
    return std::to_string(kind) + FromHost(v) + "/" + std::to_string(v.payload.string.length);
  if (kind < 9) return (kind >= 7 ? std::to_string(kind) : "") + FromHost(v);
  std::string text = kind == HOST_VALUE_COLLECTION ? "[" : "{";
  for (uint32_t i = 0; kind == HOST_VALUE_COLLECTION && i < v.payload.collection.count; ++i)
    text += (i != 0 ? "," : "") + DescribeHost(v.payload.collection.items[i]);
  for (uint32_t i = 0; kind == HOST_VALUE_STRUCTURE && i < v.payload.structure.count; ++i) {
    const HostValueEntry& entry = v.payload.structure.entries[i];
    text += std::string(entry.key) + (entry.keyOwned != 0 ? "*:" : ":") +
            DescribeHost(entry.value) + ";";
  }
  return text + (kind == HOST_VALUE_COLLECTION ? "]" : "}");
}

// A value with every kind that survives a round trip unchanged, nested both ways.
constexpr const char* kEveryKind =
    "{:'empty key';blob:b'0000ff00';empty:~;emptyBlob:b'';emptyString:'';false:F;float:f-0.5;"
    "list:[i1,[u2,[]],{}];nested:{inner:{deeper:[T];};};signed:i-9223372036854775808;"
    "string:'h\xC3\xA9llo';true:T;unsigned:u18446744073709551615;}";

// Keys with a NUL inside, as a decoder may keep them: "", "\0x", "a", "a\0b", "a\0c", "b".
BindingProperty KeysWithNuls() {
  BindingProperty value = Parse("{:i5;a:i0;b:'kept';}");
  value.Get(std::string_view("\0x", 2)).SetSigned(4);
  value.Get(std::string_view("a\0b", 3)).Get("inner").SetString("dropped");
  value.Get(std::string_view("a\0c", 3)).SetSigned(2);
  return value;
}

TEST(HostValueTest, ToHostValueSendsEachKindAndKeysUpToTheirFirstNul) {
  BindingRegistry registry;
  RegisterType<Queue>(registry);
  BindingProperty nested;  // a run of keys equal up to their NUL at the end of a structure
  nested.At(0).Get("k").SetSigned(1);
  nested.At(0).Get(std::string_view("k\0\0", 3)).SetSigned(2);
  BindingProperty texts = Parse("['text',b'000700','',b'',[],{}]");
  texts.Append().SetString(std::string_view("ab\0c", 4));
  const std::tuple<BindingProperty, const BindingRegistry*, std::string> cases[] = {
      // Of keys equal up to their NUL, the last in key order is sent, under the shared key.
      {KeysWithNuls(), nullptr, "{*:i4;a*:i2;b*:6'kept'/4;}"},
      {nested, nullptr, "[{k*:i2;}]"},
      {texts, nullptr, "[6'text'/4,8b'000700',6''/0,8b'',[],{},6'ab'/2]"},
      {Parse("e7", &TypeIdOf<Queue>()), &registry, "6'Ranked'/6"},
      {Parse("e7", &TypeIdOf<Queue>()), nullptr, "i7"},
      {Parse("e3", &TypeIdOf<Queue>()), &registry, "i3"},
      {Parse("e-5", &TypeIdOf<Game>()), &registry, "i-5"},  // of no registered enum
      {Parse(kEveryKind), nullptr,
       "{*:6'empty key'/9;blob*:8b'0000ff00';empty*:~;emptyBlob*:8b'';emptyString*:6''/0;false*:F;"
       "float*:f-0.5;list*:[i1,[u2,[]],{}];nested*:{inner*:{deeper*:[T];};};"
       "signed*:i-9223372036854775808;string*:6'h\xC3\xA9llo'/6;true*:T;"
       "unsigned*:u18446744073709551615;}"},
  };
  for (const auto& [value, registry, expected] : cases) {
    HostValue out;
    ASSERT_TRUE(ToHostValue(value, registry, out)) << expected;
    EXPECT_EQ(DescribeHost(out), expected);
    ReleaseHostValue(out);
  }
}

TEST(HostValueTest, FromHostValueReadsEachKindAndRefusesBadInput) {
  static const char kAbNulC[] = {'a', 'b', '\0', 'c', '\0'};
  static const uint8_t kBytes[] = {0, 1, 0, 2};
  HostValue one = Signed(1), two[] = {Signed(1), Signed(2)}, items[] = {one, {11, {}}, Signed(3)};
  HostValueEntry renewed[] = {{"new", one, 0}};
  HostValueEntry scalars[] = {{"b", {1, {.boolean = 1}}, 0},
                              {"u", {3, {.unsignedValue = 7}}, 0},
                              {"f", {4, {.floatValue = 2}}, 0}};
  HostValueEntry last[] = {
      {"k", one, 0}, {"j", one, 0}, {"k", Signed(4), 0}, {nullptr, Signed(3), 0}};
  HostValueEntry bad[] = {{"a", one, 0}, {"b", {0xFFFFFFFFu, {}}, 0}, {"c", Signed(3), 0}};
  const std::string badKind =
      "Couldn't assign value to 'x' of type object because the input is of an incompatible type "
      "''.";
  const std::string nullData = "'previous' Couldn't assign value to 'x' because the input ";
  const std::string null = " has a null pointer and a size of ";
  const struct {
    const char* name;
    HostValue in;
    std::string expected;
    const char* previous = "'previous'";
  } cases[] = {
      {"empty", {0, {}}, "~"},
      {"collection replaced", {9, {.collection = {two, 2}}}, "[i1,i2]", "[i9,i9,i9,i9,i9]"},
      {"structure replaced", {10, {.structure = {renewed, 1}}}, "{new:i1;}", "{old:i9;}"},
      {"false", {1, {}}, "F"},
      {"any non-zero byte is true", {1, {.boolean = 2}}, "T"},
      {"signed", Signed(-7), "i-7"},
      {"unsigned", {3, {.unsignedValue = 42}}, "u42"},
      {"float", {4, {.floatValue = 0.25}}, "f0.25"},
      {"text up to the first NUL, length unused", {5, {.string = {kAbNulC, 4}}}, "'ab'"},
      {"length shorter than the text", {6, {.string = {"hello", 2}}}, "'hello'"},
      {"null text is the empty string", {5, {.string = {nullptr, 3}}}, "''"},
      {"borrowed blob of size bytes", {7, {.blob = {kBytes, 3}}}, "b'000100'"},
      {"owned blob", {8, {.blob = {kBytes, 4}}}, "b'00010002'"},
      {"null blob of size 0", {8, {}}, "b''"},
      {"empty collection", {9, {.collection = {nullptr, 0}}}, "[]"},
      {"empty structure", {10, {.structure = {nullptr, 0}}}, "{}"},
      {"scalars into new members", {10, {.structure = {scalars, 3}}}, "{b:T;f:f2;u:u7;}"},
      {"last of a key; null key", {10, {.structure = {last, 4}}}, "{:i3;j:i1;k:i4;}"},
      {"unknown kind in a collection", {9, {.collection = {items, 3}}}, "[i1,~] " + badKind},
      {"unknown kind in a structure", {10, {.structure = {bad, 3}}}, "{a:i1;b:~;} " + badKind},
      {"null blob", {7, {.blob = {nullptr, 3}}}, nullData + "blob" + null + "3."},
      {"null collection", {9, {.collection = {nullptr, 2}}}, nullData + "collection" + null + "2."},
      {"null structure", {10, {.structure = {nullptr, 1}}}, nullData + "structure" + null + "1."},
      // Refused before a single item is read, so the one real item is enough.
      {"too many elements",
       {9, {.collection = {&one, 0x10000000u}}},
       nullData + "collection has 268435456 elements, more than 268435455."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FromHost(c.in, c.previous), c.expected) << c.name;
  BindingProperty value;
  ValueResult result;
  EXPECT_FALSE(FromHostValue(HostValue{10, {.structure = {bad, 3}}}, value, result, nullptr));
  EXPECT_EQ(result.ErrorMessage(),
            "Couldn't assign value to '' of type object because the input is "
            "of an incompatible type ''.")
      << "a null label is the empty label";
  result.SetError("earlier");
  EXPECT_FALSE(FromHostValue({12, {}}, value, result, "x"));
  EXPECT_EQ(result.ErrorMessage(), "earlier") << "the first failure is kept";
  EXPECT_EQ(std::string(HostValueKindName(0)) + HostValueKindName(1) + "|" + HostValueKindName(10) +
                HostValueKindName(11),
            "bool|structure");
}

// `levels` containers as a value, each holding the next as element 0 or member "k"; the
// innermost is empty.
BindingProperty NestedValue(bool structures, size_t levels) {
  std::string text = structures ? "{}" : "[]";
  for (size_t level = 1; level < levels; ++level)
    text = structures ? "{k:" + text + ";}" : "[" + text + "]";
  return Parse(text);
}

size_t Depth(const std::string& shape) {
  return static_cast<size_t>(
      std::count_if(shape.begin(), shape.end(), [](char c) { return c == '[' || c == '{'; }));
}

TEST(HostValueTest, BothDirectionsAcceptNestingUpTo512Containers) {
  const std::string tooDeep = "is nested too deeply.";
  for (const bool structures : {false, true}) {
    for (const size_t levels : {size_t{512}, size_t{513}, size_t{100000}}) {
      const bool ok = levels <= 512;
      // From: `levels` containers each holding the next, the innermost holding one empty value.
      std::vector<HostValue> items(levels + 1);
      std::vector<HostValueEntry> entries(levels);
      for (size_t i = levels; i-- > 0;) {
        entries[i] = {"k", items[i + 1], 0};
        items[i] = structures ? HostValue{10, {.structure = {&entries[i], 1}}}
                              : HostValue{9, {.collection = {&items[i + 1], 1}}};
      }
      BindingProperty read;
      ValueResult result;
      EXPECT_EQ(FromHostValue(items[0], read, result, "deep"), ok) << levels;
      EXPECT_EQ(std::string(result.ErrorMessage()),
                ok ? "" : "Couldn't assign value to 'deep' because the input " + tooDeep);
      EXPECT_EQ(Depth(Shape(read)), 512u) << "a partial value stops above the refused level";
      if (levels > 513) continue;
      const BindingProperty value = NestedValue(structures, levels);
      for (const bool withResult : {false, true}) {
        HostValue out;
        std::memset(&out, 0xA5, sizeof(out));
        ValueResult toResult;
        EXPECT_EQ(withResult ? ToHostValue(value, nullptr, out, toResult)
                             : ToHostValue(value, nullptr, out),
                  ok);
        EXPECT_EQ(AllZero(out) ? 0 : Depth(FromHost(out)), ok ? levels : 0);
        EXPECT_EQ(std::string(toResult.ErrorMessage()),
                  ok || !withResult
                      ? ""
                      : "Couldn't convert value to a host value because it " + tooDeep);
        ReleaseHostValue(out);
      }
    }
  }
  ValueResult earlier = ValueResult::Error("earlier");
  HostValue out;
  EXPECT_FALSE(ToHostValue(NestedValue(false, 513), nullptr, out, earlier));
  EXPECT_EQ(earlier.ErrorMessage(), "earlier") << "the first failure is kept";
}

// Allocation hooks that fail once `budget` allocations succeeded; they count live blocks.
class HostValueAllocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Log::GetAllocationHooks();
    Log::SetAllocationHooks(
        {.allocate = &Allocate, .free = &Free, .duplicate = &Duplicate, .context = this});
  }
  void TearDown() override { Log::SetAllocationHooks(saved_); }

  static void* Allocate(size_t size, void* context) {
    auto& self = *static_cast<HostValueAllocationTest*>(context);
    if (self.calls++ >= self.budget) return nullptr;
    ++self.live;
    return std::malloc(size);
  }
  static char* Duplicate(const char* text, void* context) {
    auto* copy = static_cast<char*>(Allocate(std::strlen(text) + 1, context));
    return copy != nullptr ? std::strcpy(copy, text) : nullptr;
  }
  static void Free(void* block, void* context) {
    static_cast<HostValueAllocationTest*>(context)->live -= block != nullptr ? 1 : 0;
    std::free(block);
  }

  void Unlimited() { budget = SIZE_MAX, calls = 0; }
  size_t budget = SIZE_MAX, calls = 0;
  int64_t live = 0;
  Log::AllocationHooks saved_;
};

// A value is built in one block and released by freeing it; a scalar needs none. A failed
// allocation, or a value too deep (refused before anything is allocated), leaks nothing and
// leaves `out` all zero.
TEST_F(HostValueAllocationTest, AValueIsOneBlockAndAFailureLeaksNothing) {
  BindingRegistry registry;
  RegisterType<Queue>(registry);
  BindingProperty everyKind = Parse(kEveryKind);
  everyKind.Get("list").At(3).SetEnum(7, TypeIdOf<Queue>());
  const std::pair<BindingProperty, size_t> values[] = {
      {everyKind, 1},       {KeysWithNuls(), 1}, {NestedValue(false, 512), 1},
      {Parse("'text'"), 1}, {Parse("b''"), 1},   {Parse("i5"), 0}};
  for (const auto& [value, blocks] : values) {
    Unlimited();
    HostValue out;
    ASSERT_TRUE(ToHostValue(value, &registry, out));
    EXPECT_EQ(calls, blocks) << Shape(value).substr(0, 40);
    ReleaseHostValue(out);
    EXPECT_EQ(live, 0);
    EXPECT_TRUE(AllZero(out));
    if (blocks == 0) continue;
    budget = calls = 0;
    std::memset(&out, 0xA5, sizeof(out));
    ValueResult result;
    EXPECT_FALSE(ToHostValue(value, &registry, out, result));
    EXPECT_EQ(result.ErrorMessage(),
              "Couldn't convert value to a host value because memory ran out.");
    EXPECT_EQ(live, 0);
    EXPECT_TRUE(AllZero(out));
  }
  Unlimited();
  HostValue out;
  EXPECT_FALSE(ToHostValue(NestedValue(true, 513), nullptr, out));
  EXPECT_EQ(calls, 0u);
  EXPECT_TRUE(AllZero(out));
}

}  // namespace
}  // namespace Oxle::Client::Binding
