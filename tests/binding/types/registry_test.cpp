#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "binding/types/api_help.h"
#include "binding/types/binding_registry.h"
#include "binding/types/builtin_types.h"
#include "binding/types/flat_description.h"
#include "binding/types/type_binding.h"
#include "binding/types/type_identity.h"
#include "support/binding_values.h"

// Probe<85939> and Probe<334806> have signature texts of one FNV-1a hash, 0x30B64854 (found by
// a search over N), so they are two native types the registry cannot tell apart by hash.
namespace CollisionTestTypes {

using Oxle::Client::Binding::TypeDescriber;

template <uint32_t N>
struct Probe {
  int32_t value = 0;
};

template <uint32_t N>
void DescribeBinding(TypeDescriber<Probe<N>>& type) {
  type.Name(N == 85939 ? "FirstProbe" : "SecondProbe").Field("value", &Probe<N>::value);
}

}  // namespace CollisionTestTypes

namespace Oxle::Client::Binding {
namespace {

// Two names of one FNV-1a hash, 0x694D5E74, found by a search over such names.
constexpr const char* kCollidingName = "Typewumzf";
constexpr const char* kOtherCollidingName = "Typemplpp";

template <typename F>
std::string LogicErrorOf(F&& call) try {
  call();
  return "no exception";
} catch (const std::logic_error& error) {
  return error.what();
}

// Registered records described two ways: as help (full records or epytext) and as the flat
// arrays handed to the host.
enum class Color : int32_t { Red = 1, Green = 2 };
inline void DescribeBinding(TypeDescriber<Color>& type) {
  type.Name("Color").Tag("t1").Tag("t2");
  type.Value("Red", Color::Red, "red").Value("Green", Color::Green);
}

struct Item {
  int32_t count = 0;
};
inline void DescribeBinding(TypeDescriber<Item>& type) {
  type.Name("Item").Field("count", &Item::count, 0, "how many");
}

struct Basket {
  int32_t id = 0;
  Color color = Color::Red;
  std::vector<Item> items;
};
inline void DescribeBinding(TypeDescriber<Basket>& type) {
  type.Name("Basket").Description("a {basket}").NameSpace("shop").Tag("x").Field("id", &Basket::id);
  type.Field("color", &Basket::color).Field("items", &Basket::items, 0, "the {items}", true);
}

TEST(TypeIdentityTest, FixedHashesAreNamedInHex) {
  EXPECT_EQ(std::string(TypeIdOf<BindingProperty>().Name()) + TypeId(0x0A500213u).Name(),
            "#AF98C378#0A500213");
}

TEST(BindingRegistryTest, FirstRegistrationOfANameWins) {
  BindingRegistry registry;
  TypeBuilder first = registry.BeginType(sizeof(Item), "X", TypeIdOf<Item>(), false);
  EXPECT_FALSE(first.AlreadyRegistered());
  first.AddField("a", "first", 0, TypeIdOf<int32_t>(), {BindingCode::Int32}, {}, 0, nullptr, false);
  first.SetDescription("the first").AddTag("t1");
  TypeBuilder second = registry.BeginType(8, "X", TypeIdOf<Color>(), true);
  EXPECT_TRUE(second.AlreadyRegistered());
  second.AddField("b", "", 4, TypeIdOf<int32_t>(), {BindingCode::Int32}, {}, 0, nullptr, false);
  second.SetDescription("the second").AddTag("t2");
  const TypeRecord* record = registry.FindTypeByName("X");
  ASSERT_EQ(record, first.Record());
  ASSERT_EQ(record->fields.size(), 1u);
  EXPECT_EQ(record->description + record->tags.at(0) + (record->isEnum ? "enum" : ""),
            "the firstt1");
  EXPECT_EQ(registry.FindTypeByHash(TypeIdOf<Item>()), record);
  EXPECT_EQ(registry.FindTypeByHash(TypeIdOf<Color>()), nullptr);
}

TEST(BindingRegistryTest, ATypeWhoseHashAnotherTypeHoldsIsRefusedButForTheReservedHash) {
  ASSERT_EQ(std::pair(Fnv1a(kCollidingName), Fnv1a(kOtherCollidingName)),
            std::pair(0x694D5E74u, 0x694D5E74u));
  const TypeId first(0x694D5E74u, kCollidingName), second(0x694D5E74u, kOtherCollidingName);
  BindingRegistry registry;
  const TypeId reserved(0x1BE7EF8Eu), otherReserved(0x1BE7EF8Eu, "another type");
  (void)registry.BeginType(4, "Reserved", reserved, false);
  // Nothing is indexed under the reserved hash, so two types sharing it do not collide.
  EXPECT_EQ(LogicErrorOf([&] { (void)registry.BeginType(4, "Other", otherReserved, false); }),
            "no exception");
  EXPECT_TRUE(registry.FindTypeByName("Reserved") && registry.FindTypeByName("Other"));
  EXPECT_EQ(registry.FindTypeByHash(reserved), nullptr);
  const TypeRecord* record = registry.BeginType(4, "First", first, false).Record();
  EXPECT_EQ(LogicErrorOf([&] { (void)registry.BeginType(8, "Second", second, false); }),
            "Couldn't register type 'Second' because its type hash 0x694D5E74 already belongs to "
            "type 'First', a different native type.");
  EXPECT_EQ(registry.FindTypeByName("Second"), nullptr) << "nothing is left half-registered";
  // Under the first type's own name the builder would hand out the first type's record.
  EXPECT_EQ(LogicErrorOf([&] { (void)registry.BeginType(8, "First", second, false); }),
            "Couldn't register type 'First' because its type hash 0x694D5E74 already belongs to "
            "type 'First', a different native type.");
  EXPECT_EQ(registry.FindTypeByHash(0x694D5E74u), record);
  EXPECT_EQ(registry.CopyTypes().size(), 3u);

  // The same type (a record of the same hash and name) under a second name is no collision.
  const TypeId sameAsFirst(0x694D5E74u, kCollidingName);
  TypeBuilder alias = registry.BeginType(4, "Alias", sameAsFirst, false);
  EXPECT_FALSE(alias.AlreadyRegistered());
  EXPECT_EQ(registry.FindTypeByName("Alias"), alias.Record());
  EXPECT_EQ(registry.FindTypeByHash(0x694D5E74u), record) << "the first type keeps the hash";

  // Native types: one hashing like a registered one is refused that one's record.
  using First = CollisionTestTypes::Probe<85939>;
  using Second = CollisionTestTypes::Probe<334806>;
  ASSERT_EQ(std::pair(TypeIdOf<First>().Hash(), TypeIdOf<Second>().Hash()),
            std::pair(0x30B64854u, 0x30B64854u));
  const TypeRecord* firstProbe = RegisterType<First>(registry);
  ASSERT_EQ(firstProbe != nullptr ? firstProbe->name : "", "FirstProbe");
  EXPECT_EQ(RegisterType<First>(registry), firstProbe) << "a registered type is found again";
  EXPECT_EQ(LogicErrorOf([&] { (void)RegisterType<Second>(registry); }),
            "Couldn't register type 'SecondProbe' because its type hash 0x30B64854 already "
            "belongs to type 'FirstProbe', a different native type.");
  EXPECT_EQ(registry.FindTypeByName("SecondProbe"), nullptr);
}

TEST(BindingRegistryTest, EnumeratorsKeepTheLastValueAndNameTheFirstInByteOrder) {
  BindingRegistry registry;
  registry.BeginType(4, "E", TypeIdOf<Color>(), true)
      .AddEnumValue("A", 1, "one")
      .AddEnumValue("A", 2, "two")
      .AddEnumValue("b", 7, "")
      .AddEnumValue("C", 7, "");
  const TypeRecord* type = registry.FindTypeByName("E");
  ASSERT_EQ(type->enumerators.size(), 3u);
  EXPECT_EQ(std::to_string(type->enumerators.at("A").value) + type->enumerators.at("A").description,
            "2two");
  EXPECT_STREQ(registry.EnumName(TypeIdOf<Color>(), 7), "C") << "\"C\" sorts before \"b\"";
  EXPECT_TRUE(!registry.EnumName(TypeIdOf<Color>(), 5) && !registry.EnumName(TypeIdOf<Item>(), 7));
  EXPECT_EQ(std::to_string(BindingRegistry::IsEnumValue(type, 2)) +
                std::to_string(BindingRegistry::IsEnumValue(type, 1)) +
                std::to_string(BindingRegistry::IsEnumValue(nullptr, 1)),
            "100");
}

TEST(BindingRegistryTest, FunctionsAndEventsAreFoundByNameAndTheFirstOfANameStays) {
  BindingRegistry registry;
  FunctionRecord* function = registry.RegisterFunction("GetThing", 1);
  EXPECT_TRUE(registry.FindFunction("GetThing") == function && !registry.FindFunction("Other"));

  auto deferred = registry.CreateFunction("Later", 0);
  EXPECT_EQ(registry.FindFunction("Later"), nullptr);
  FunctionRecord* inserted = registry.InsertFunction(std::move(deferred));
  EXPECT_EQ(registry.FindFunction("Later"), inserted);
  EXPECT_NE(registry.RegisterFunction("Later", 0), inserted);
  EXPECT_EQ(registry.FindFunction("Later"), inserted) << "the first function of a name stays";
  EXPECT_EQ(registry.FunctionCount() * 10 + registry.CopyFunctions().size(), 32u);
  EventRecord* event = registry.RegisterEvent("OnData", nullptr);
  EXPECT_TRUE(registry.FindEvent("OnData") == event && registry.CopyEvents().size() == 1);
}

TEST(BindingRegistryTest, ConcurrentRegistrationAndLookupAreSafe) {
  BindingRegistry registry;
  auto work = [&registry](int seed) {
    for (int i = 0; i < 500; ++i) {
      const std::string name = "T" + std::to_string((i * 7 + seed) % 200);
      (void)registry.BeginType(4, name, TypeIdOf<Item>(), false);
      EXPECT_NE(registry.FindTypeByName(name), nullptr);
      (void)registry.FindTypeByHash(TypeIdOf<Item>());
    }
  };
  std::thread a(work, 1), b(work, 2);
  a.join();
  b.join();
  EXPECT_EQ(registry.CopyTypes().size(), 200u);
}

struct HolderTag {};

// Color, Item and Basket registered as native types; Holder built field by field with every
// kind of type; Get with every part of a function set, Put with none; OnItem and OnNothing.
class DescriptionTest : public ::testing::Test {
 protected:
  DescriptionTest() {
    using C = BindingCode;
    RegisterBuiltinEvents(registry);
    color = RegisterType<Color>(registry);
    item = RegisterType<Item>(registry);
    basket = RegisterType<Basket>(registry);
    TypeBuilder builder = registry.BeginType(64, "Holder", TypeIdOf<HolderTag>(), false);
    holder = builder.Record();
    builder.SetNameSpace("ns").SetDescription("holds");
    const auto add = [&](const char* name, TypeIdentifier type, TypeIdentifier second = {}) {
      builder.AddField(name, "", builder.FieldCursor() + 4, TypeIdOf<int32_t>(), type, second, 0,
                       nullptr, false);
    };
    add("raw", {C::Object}, {C::Vector, C::Struct, item});
    add("map", {C::Map, C::Enum, color});
    add("enum", {C::Enum, C::None, color});
    add("bare", {C::Struct});
    add("text", {C::String, C::None, item});
    add("odd", {static_cast<C>(20), static_cast<C>(21)});
    holder->fields[1].optional = true;

    get = registry.RegisterFunction("Get", 1);  // a second argument grows the list
    get->nameSpace = "api", get->description = "-gets", get->help = "h{", get->tags = {"a", "b"};
    get->threadSafe = get->async = true;
    get->returns = {C::Struct, C::None, item};
    get->secondReturns = {C::Vector, C::Struct, holder};
    ArgumentRecord& id = BindingRegistry::AddArgument(*get, "id", "the {id}");
    id.type = {C::Uint64}, id.optional = true;
    const TypeIdentifier colors{C::Vector, C::Enum, color};
    BindingRegistry::AddArgument(*get, "filter", "", &colors).type = {C::Map, C::Blob};
    put = registry.RegisterFunction("Put", 0);

    (onItem = registry.RegisterEvent("OnItem", item))->tags = {"e"};
    (onNothing = registry.RegisterEvent("OnNothing", nullptr))->description = "-e";
  }

  void Help(BindingHelpFormat format) {
    BuildApiHelp(out, registry, std::vector<const FunctionRecord*>{put, get},
                 std::vector<const TypeRecord*>{item, color, basket},
                 std::vector<const EventRecord*>{onNothing, onItem}, format);
  }
  FlatApiArrays Flat() {
    return BuildFlatApiDescription(storage, std::vector<const FunctionRecord*>{put, get},
                                   std::vector<const TypeRecord*>{holder, color, item},
                                   std::vector<const EventRecord*>{onItem, onNothing});
  }

  BindingRegistry registry;
  const TypeRecord *color = nullptr, *item = nullptr, *basket = nullptr;
  TypeRecord* holder = nullptr;
  FunctionRecord *get = nullptr, *put = nullptr;
  EventRecord *onItem = nullptr, *onNothing = nullptr;
  BindingProperty out;
  FlatApiDescription storage;
};

TEST(EpytextTest, EscapeMarksBracesAndALeadingDashOnly) {
  const std::pair<std::string_view, const char*> cases[] = {
      {"-x{y}", "E{-}xE{lb}yE{rb}"},
      {"a-b", "a-b"},
      {"-", "E{-}"},
      {"--", "E{-}-"},
      {"}{", "E{rb}E{lb}"},
      {"", ""},
      {std::string_view("a{\0}", 4), "aE{lb}"}};
  for (const auto& [text, escaped] : cases)
    EXPECT_EQ(EpytextEscape(text), escaped) << text;
}

TEST_F(DescriptionTest, TypesAreNamedInBothForms) {
  using C = BindingCode;
  const std::pair<TypeIdentifier, std::string> cases[] = {
      {{C::Object}, "object||object"},
      {{C::Blob}, "blob||bytearray"},
      {{C::Callback}, "callback||callback"},
      {{C::Vector, C::Int32}, "vector|int32|list[int32]"},
      {{C::Map, C::Enum, color}, "map|Color|dict[L{Color}]"},
      {{C::Enum}, "enum||enum"},
      {{C::Struct}, "struct||struct"},
      {{C::Vector, C::Struct}, "vector|struct|list[struct]"},
      {{C::None}, "||"},
      {{static_cast<C>(20)}, "||"},
  };
  for (const auto& [type, expected] : cases) {
    const BindingFullTypeIdentifier full = FullTypeName(type);
    EXPECT_EQ(full.type + "|" + full.elementType + "|" + EpytextTypeName(type), expected);
  }
}

TEST_F(DescriptionTest, FullHelpListsConvertedRecordsSortedByName) {
  Help(BindingHelpFormat::Full);
  EXPECT_EQ(
      Shape(out),
      "{events:[{description:'';name:'OnItem';nameSpace:'';tags:['e'];type:{elementType:'';"
      "type:'Item';};},{description:'-e';name:'OnNothing';nameSpace:'';tags:[];"
      "type:{elementType:'';type:'struct';};}];functions:[{arguments:[{description:'the {id}';"
      "name:'id';optional:T;type:{elementType:'';type:'uint64';};},{description:'';"
      "name:'filter';optional:F;type:{elementType:'blob';type:'map';};}];async:'Item';"
      "description:'-gets';help:'h{';name:'Get';nameSpace:'api';returns:{elementType:'';"
      "type:'Item';};tags:['a','b'];threadSafe:T;},{arguments:[];async:'';description:'';"
      "help:'';name:'Put';nameSpace:'';returns:{elementType:'';type:'';};tags:[];"
      "threadSafe:F;}];types:[{description:'a {basket}';fields:[{description:'';name:'id';"
      "offset:u0;optional:F;type:{elementType:'';type:'int32';};},{description:'';"
      "name:'color';offset:u4;optional:F;type:{elementType:'';type:'Color';};},"
      "{description:'the {items}';name:'items';offset:u8;optional:T;type:{elementType:'Item';"
      "type:'vector';};}];name:'Basket';nameSpace:'shop';size:u" +
          std::to_string(sizeof(Basket)) +
          ";tags:['x'];values:[];},{description:'';fields:[];name:'Color';nameSpace:'';"
          "size:u4;tags:['t1','t2'];values:[{description:'';name:'Green';value:i2;},"
          "{description:'red';name:'Red';value:i1;}];},{description:'';fields:[{description:"
          "'how many';name:'count';offset:u0;optional:F;type:{elementType:'';type:'int32';};}];"
          "name:'Item';nameSpace:'';size:u4;tags:[];values:[];}];}");
}

TEST_F(DescriptionTest, EpytextHelpMapsEachNameToItsText) {
  Help(BindingHelpFormat::Epytext);
  EXPECT_EQ(Shape(out),
            "{events:{OnItem:'\r\n\r\n@tags: e\r\n';OnNothing:'E{-}e\r\n\r\n';};functions:{Get:"
            "'E{-}gets\r\n\r\nhE{lb}\r\n\r\n@param id: (optional) the E{lb}idE{rb}\r\n@type id: "
            "uint64\r\n@type filter: dict[bytearray]\r\n@rtype: L{Item}\r\n@tags: a,b\r\n"
            "@threadsafe: true\r\n@async: L{Item}\r\n';Put:'';};types:{Basket:'a E{lb}basketE{rb}"
            "\r\n\r\n@ivar id: \r\n@type id: int32\r\n@ivar color: \r\n@type color: L{Color}\r\n"
            "@ivar items: the {items}\r\n@type items: list[L{Item}]\r\n@tags: x\r\n';Color:'@cvar "
            "Red: (1) red\r\n@cvar Green: (2)\r\n@tags: t1,t2\r\n@size: 4\r\n';Item:'@ivar count: "
            "how many\r\n@type count: int32\r\n';};}");
  out.Get("old").SetString("x");
  Help(static_cast<BindingHelpFormat>(0));
  EXPECT_EQ(Shape(out), "{events:~;functions:~;types:~;}")
      << "an unknown format gives three empty members and drops earlier content";
}

TEST(ApiHelpWithoutHelpTypesTest, FullEntriesStayEmptyWhileEpytextStillWorks) {
  BindingRegistry registry;
  RegisterType<Item>(registry);
  registry.RegisterFunction("f", 0)->description = "d";
  registry.RegisterEvent("E", nullptr);
  BindingProperty out;
  BuildApiHelp(out, registry, BindingHelpFormat::Full);
  EXPECT_EQ(Shape(out), "{events:[~];functions:[~];types:[~];}");
  BuildApiHelp(out, registry, BindingHelpFormat::Epytext);
  EXPECT_EQ(Shape(out),
            "{events:{E:'\r\n\r\n';};functions:{f:'d\r\n\r\n';};"
            "types:{Item:'@ivar count: how many\r\n@type count: int32\r\n';};}");
}

// The records a linked list reaches from its first record.
template <typename Record>
std::vector<const Record*> Walk(const Record* first) {
  std::vector<const Record*> reached;
  for (const Record* record = first; record != nullptr; record = record->next)
    reached.push_back(record);
  return reached;
}
// "name code/elementCode typeName" and the optional mark of an argument or field.
template <typename Record>
std::string Describe(const Record& record) {
  return std::string(record.name) + " " + std::to_string(record.code) + "/" +
         std::to_string(record.elementCode) + " " + record.typeName +
         (record.optional != 0 ? " optional" : "");
}

std::string Tags(const char* const* tags, uint32_t count) {
  std::string text = tags == nullptr ? "null" : "";
  for (uint32_t i = 0; i < count; ++i)
    text += (i != 0 ? "," : "") + std::string(tags[i]);
  return text;
}

// Every member of a record as one text, its list of arguments, fields or enumerators included.
std::string Show(const FlatFunctionRecord& f) {
  std::string text = std::string(f.name) + " " + f.nameSpace + "|" + f.description + "|" + f.help +
                     "|" + std::to_string(f.returnCode) + "/" +
                     std::to_string(f.returnElementCode) + " " + f.returnTypeName + "|" +
                     f.asyncTypeName + "|" + std::to_string(f.threadSafe) + "|" +
                     Tags(f.tags, f.tagCount) + "|" + std::to_string(f.argumentCount) + ":";
  for (const FlatArgumentRecord* argument : Walk(f.arguments))
    text += " " + Describe(*argument) + " '" + argument->description + "'";
  return text;
}
std::string Show(const FlatTypeRecord& t) {
  std::string text = std::string(t.name) + " " + t.nameSpace + "|" + t.description + "|" +
                     std::to_string(t.nativeSize) + "|" + Tags(t.tags, t.tagCount) + "|" +
                     std::to_string(t.count) + ":";
  for (const FlatFieldRecord* field : Walk(t.fields))
    text += " " + std::to_string(field->offset) + " " + Describe(*field) + ";";
  for (const FlatEnumeratorRecord* enumerator : Walk(t.enumerators))
    text += " " + std::string(enumerator->name) + "=" + std::to_string(enumerator->value) + " " +
            enumerator->description + ";";
  return text;
}
std::string Show(const FlatEventRecord& e) {
  return std::string(e.name) + " " + e.dataTypeName + "|" + Tags(e.tags, e.tagCount);
}

TEST_F(DescriptionTest, ArraysAreLinkedInTheGivenOrderShowEveryRecordAndARebuildReplacesThem) {
  const FlatApiArrays arrays = Flat();
  std::vector<std::string> shown;
  for (const FlatFunctionRecord* f : Walk(arrays.functions))
    shown.push_back(Show(*f));
  for (const FlatTypeRecord* t : Walk(arrays.types))
    shown.push_back(Show(*t));
  for (const FlatEventRecord* e : Walk(arrays.events))
    shown.push_back(Show(*e));
  // A function's async type is named by its first return type, its arguments' types by their
  // second type; fields name registered types only for containers, enums and structs;
  // enumerators go in name order; runs of one shared array stay apart.
  EXPECT_EQ(shown, (std::vector<std::string>{
                       "Put |||0/0 ||0|null|0:",
                       "Get api|-gets|h{|15/17 Holder|Item|1|a,b|2: id 9/0  optional 'the {id}' "
                       "filter 15/16 Color ''",
                       "Holder ns|holds|64|null|6: 4 raw 15/17 Item; 8 map 19/16 Color optional; "
                       "12 enum 16/0 Color; 16 bare 17/0 ; 20 text 12/0 ; 24 odd 0/0 ;",
                       "Color ||4|t1,t2|2: Green=2 ; Red=1 red;",
                       "Item ||4|null|1: 0 count 6/0 ;",
                       "OnItem Item|e",
                       "OnNothing |null",
                   }));
  EXPECT_EQ(std::tuple(arrays.functionCount, arrays.typeCount, arrays.eventCount),
            std::tuple(2u, 3u, 2u));
  EXPECT_EQ(Walk(arrays.functions)[1], arrays.functions + 1) << "one array";
  EXPECT_EQ(storage.Arrays().types, arrays.types);
  const FlatFunctionRecord* record = storage.FindFunction("Get");
  ASSERT_EQ(record, arrays.functions + 1);
  EXPECT_TRUE(record->reserved == nullptr && record->userData == nullptr);
  EXPECT_EQ(static_cast<const void*>(record->name), get->name.c_str()) << "texts are not copied";
  EXPECT_EQ(storage.FindFunction("get"), nullptr);
  // Rebuilding replaces everything; moving the storage keeps every pointer.
  const FlatApiArrays again =
      BuildFlatApiDescription(storage, std::vector<const FunctionRecord*>{put}, {}, {});
  EXPECT_EQ(Walk(again.functions).size(), 1u);
  EXPECT_TRUE(again.types == nullptr && again.typeCount == 0 && again.events == nullptr);
  EXPECT_EQ(storage.FindFunction("Get"), nullptr);
  EXPECT_EQ(storage.FindFunction("Put"), again.functions);

  FlatApiDescription moved = std::move(storage);
  EXPECT_EQ(moved.FindFunction("Put"), again.functions) << "moving keeps every pointer";
}

TEST_F(DescriptionTest, PayloadLayoutsAreTheNativeOnes) {
  // A value is 16 bytes on a 32-bit target and 24 on a 64-bit one; the async data is 8-byte
  // aligned on both. Help and flat descriptions copy a record's size and offsets as they are.
  constexpr bool k32 = sizeof(void*) == 4;
  const std::pair<const char*, std::string> cases[] = {
      {"BindingAsyncCancelEvent", "4:0"},
      {"BindingAsyncFailureEvent", k32 ? "28:0,4" : "40:0,8"},
      {"BindingCallbackEvent", k32 ? "16:0,4" : "32:0,8"},
      {"BindingGenericAsyncEvent", k32 ? "24:0,8" : "32:0,8"},
      {"BindingGenericEvent", k32 ? "16:0" : "24:0"},
  };
  for (const auto& [name, layout] : cases) {
    const TypeRecord* type = registry.FindTypeByName(name);
    ASSERT_NE(type, nullptr) << name;
    std::string text = std::to_string(type->nativeSize) + ":";
    for (const FieldRecord& field : type->fields)
      text += (text.back() == ':' ? "" : ",") + std::to_string(field.offset);
    EXPECT_EQ(text, layout) << name;
  }
}

TEST_F(DescriptionTest, BuiltinCallbackRecordRoundTripsItsParametersAndRegistersOnce) {
  BindingCallbackEvent native;
  native.id = 9;
  native.parameters = {Parse("'first'"), Parse("i2")};
  const ValueResult written = WriteNative(native, registry);
  EXPECT_EQ(Shape(written.Value()), "{id:u9;parameters:['first',i2];}");
  BindingCallbackEvent back;
  ASSERT_TRUE(ReadNative(written.Value(), back, "<value>", registry).Ok());
  EXPECT_EQ(Shape(WriteNative(back, registry).Value()), Shape(written.Value()));
  // Registering the built-in records twice only tags OnCallback again.
  const EventRecord* onCallback = registry.FindEvent("OnCallback");
  ASSERT_NE(onCallback, nullptr);
  EXPECT_EQ(onCallback->dataType, registry.FindTypeByName("BindingCallbackEvent"));
  const size_t types = registry.CopyTypes().size();
  const size_t fields = registry.FindTypeByName("BindingAsyncCancelEvent")->fields.size();
  EXPECT_EQ(RegisterBuiltinEvents(registry), onCallback);
  EXPECT_EQ(registry.CopyTypes().size(), types);
  EXPECT_EQ(registry.FindTypeByName("BindingAsyncCancelEvent")->fields.size(), fields);
  EXPECT_EQ(onCallback->tags, (std::vector<std::string>{"$builtin", "$builtin"}));
  EXPECT_EQ(registry.CopyEvents().size(), 3u);
}

}  // namespace
}  // namespace Oxle::Client::Binding
