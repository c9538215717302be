#include "binding/types/flat_description.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/types/type_binding.h"

namespace Oxle::Client::Binding {
namespace {

enum class Color : int32_t { Red = 1, Green = 2 };
inline void DescribeBinding(TypeDescriber<Color>& type) {
  type.Name("Color")
      .Tag("t1")
      .Tag("t2")
      .Value("Red", Color::Red, "red")
      .Value("Green", Color::Green);
}

struct Item {
  int32_t count = 0;
};
inline void DescribeBinding(TypeDescriber<Item>& type) {
  type.Name("Item").Field("count", &Item::count, 0, "how many");
}

struct HolderTag {};

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

template <typename Record>
std::string Names(const Record* first) {
  std::string names;
  for (const Record* record : Walk(first))
    names += (names.empty() ? "" : ",") + std::string(record->name);
  return names;
}

std::string Tags(const char* const* tags, uint32_t count) {
  std::string text = tags == nullptr ? "null" : "";
  for (uint32_t i = 0; i < count; ++i)
    text += (i != 0 ? "," : "") + std::string(tags[i]);
  return text;
}

class FlatDescriptionTest : public ::testing::Test {
 protected:
  FlatDescriptionTest() {
    using C = BindingCode;
    color = RegisterType<Color>(registry);
    item = RegisterType<Item>(registry);
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

    get = registry.RegisterFunction("Get", 2);
    get->nameSpace = "api";
    get->description = "gets";
    get->help = "help";
    get->threadSafe = true;
    get->async = true;
    get->tags = {"a", "b"};
    get->returns = {C::Struct, C::None, item};
    get->secondReturns = {C::Vector, C::Struct, holder};
    ArgumentRecord& id = BindingRegistry::AddArgument(*get, "id", "the id");
    id.type = {C::Uint64};
    id.optional = true;
    const TypeIdentifier colors{C::Vector, C::Enum, color};
    BindingRegistry::AddArgument(*get, "filter", "", &colors).type = {C::Object};
    put = registry.RegisterFunction("Put", 0);
    put->returns = {C::Struct, C::None, item};

    onItem = registry.RegisterEvent("OnItem", item);
    onItem->tags = {"e"};
    onNothing = registry.RegisterEvent("OnNothing", nullptr);
  }

  FlatApiArrays Build() {
    const std::vector<const FunctionRecord*> functions = {put, get};
    const std::vector<const TypeRecord*> types = {holder, color, item};
    const std::vector<const EventRecord*> events = {onItem, onNothing};
    return BuildFlatApiDescription(storage, functions, types, events);
  }

  BindingRegistry registry;
  const TypeRecord* color = nullptr;
  const TypeRecord* item = nullptr;
  TypeRecord* holder = nullptr;
  FunctionRecord* get = nullptr;
  FunctionRecord* put = nullptr;
  EventRecord* onItem = nullptr;
  EventRecord* onNothing = nullptr;
  FlatApiDescription storage;
};

TEST_F(FlatDescriptionTest, ArraysAreLinkedInTheGivenOrderAndCounted) {
  const FlatApiArrays arrays = Build();
  EXPECT_EQ(arrays.functionCount, 2u);
  EXPECT_EQ(Names(arrays.functions), "Put,Get");
  EXPECT_EQ(arrays.typeCount, 3u);
  EXPECT_EQ(Names(arrays.types), "Holder,Color,Item");
  EXPECT_EQ(arrays.eventCount, 2u);
  EXPECT_EQ(Names(arrays.events), "OnItem,OnNothing");
  EXPECT_EQ(Walk(arrays.functions)[1], arrays.functions + 1) << "one array";
  EXPECT_EQ(storage.Arrays().types, arrays.types);

  const FlatEventRecord& onItemRecord = arrays.events[0];
  EXPECT_STREQ(onItemRecord.dataTypeName, "Item");
  EXPECT_EQ(Tags(onItemRecord.tags, onItemRecord.tagCount), "e");
  EXPECT_STREQ(arrays.events[1].dataTypeName, "");
  EXPECT_EQ(Tags(arrays.events[1].tags, arrays.events[1].tagCount), "null");
}

TEST_F(FlatDescriptionTest, FunctionShowsSecondTypesAndItsAsyncType) {
  Build();
  const FlatFunctionRecord* record = storage.FindFunction("Get");
  ASSERT_NE(record, nullptr);
  const void* zeroWords[] = {record->reserved, record->userData};
  EXPECT_EQ(zeroWords[0], nullptr);
  EXPECT_EQ(zeroWords[1], nullptr);
  const char* name = record->name;
  EXPECT_EQ(name, get->name.c_str()) << "texts are not copied";
  EXPECT_STREQ(record->nameSpace, "api");
  EXPECT_STREQ(record->description, "gets");
  EXPECT_STREQ(record->help, "help");
  EXPECT_EQ(std::to_string(record->returnCode) + "/" + std::to_string(record->returnElementCode) +
                " " + record->returnTypeName,
            "15/17 Holder");
  EXPECT_STREQ(record->asyncTypeName, "Item") << "the first return type names the async type";
  EXPECT_EQ(record->threadSafe, 1);
  EXPECT_EQ(Tags(record->tags, record->tagCount), "a,b");
  EXPECT_EQ(uint32_t{record->argumentCount}, 2u);
  const auto arguments = Walk(record->arguments);
  ASSERT_EQ(arguments.size(), 2u);
  EXPECT_EQ(Describe(*arguments[0]), "id 9/0  optional");
  EXPECT_STREQ(arguments[0]->description, "the id");
  EXPECT_EQ(Describe(*arguments[1]), "filter 15/16 Color") << "the second type wins";

  const FlatFunctionRecord* other = storage.FindFunction("Put");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(Names(other->arguments), "");
  EXPECT_EQ(uint32_t{other->argumentCount}, 0u);
  EXPECT_STREQ(other->returnTypeName, "Item");
  EXPECT_STREQ(other->asyncTypeName, "") << "not async";
  EXPECT_EQ(Tags(other->tags, other->tagCount), "null");
  EXPECT_EQ(storage.FindFunction("get"), nullptr);
}

TEST_F(FlatDescriptionTest, FieldsNameRegisteredTypesOnlyForContainersEnumsAndStructs) {
  Build();
  const FlatTypeRecord& type = *storage.Arrays().types;
  EXPECT_STREQ(type.nameSpace, "ns");
  EXPECT_STREQ(type.description, "holds");
  EXPECT_EQ(uint32_t{type.nativeSize}, 64u);
  EXPECT_EQ(Names(type.enumerators), "");
  EXPECT_EQ(uint32_t{type.count}, 6u);
  std::vector<std::string> fields;
  for (const FlatFieldRecord* field : Walk(type.fields))
    fields.push_back(std::to_string(field->offset) + " " + Describe(*field));
  EXPECT_EQ(fields, (std::vector<std::string>{"4 raw 15/17 Item", "8 map 19/16 Color optional",
                                              "12 enum 16/0 Color", "16 bare 17/0 ",
                                              "20 text 12/0 ", "24 odd 0/0 "}));
}

TEST_F(FlatDescriptionTest, EnumsListEnumeratorsInNameOrder) {
  const FlatApiArrays arrays = Build();
  const FlatTypeRecord& type = arrays.types[1];
  EXPECT_STREQ(type.name, "Color");
  EXPECT_EQ(uint32_t{type.nativeSize}, 4u);
  EXPECT_EQ(Names(type.fields), "");
  EXPECT_EQ(Tags(type.tags, type.tagCount), "t1,t2");
  EXPECT_EQ(uint32_t{type.count}, 2u);
  std::string enumerators;
  for (const FlatEnumeratorRecord* enumerator : Walk(type.enumerators))
    enumerators += std::string(enumerator->name) + "=" + std::to_string(enumerator->value) + " " +
                   enumerator->description + ";";
  EXPECT_EQ(enumerators, "Green=2 ;Red=1 red;");
  EXPECT_EQ(Names(arrays.types[2].fields), "count") << "runs of one shared array stay apart";
}

TEST_F(FlatDescriptionTest, RebuildingReplacesEverything) {
  Build();
  const std::vector<const FunctionRecord*> functions = {put};
  const FlatApiArrays arrays = BuildFlatApiDescription(storage, functions, {}, {});
  EXPECT_EQ(Names(arrays.functions), "Put");
  EXPECT_EQ(arrays.types, nullptr);
  EXPECT_EQ(arrays.typeCount, 0u);
  EXPECT_EQ(arrays.events, nullptr);
  EXPECT_EQ(storage.FindFunction("Get"), nullptr);
  EXPECT_EQ(storage.FindFunction("Put"), arrays.functions);

  FlatApiDescription moved = std::move(storage);
  EXPECT_EQ(moved.FindFunction("Put"), arrays.functions) << "moving keeps every pointer";
}

}  // namespace
}  // namespace Oxle::Client::Binding
