#include "binding/types/flat_description.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/binding_types.h"

namespace Oxle::Client::Binding {
namespace {

using BindingTestTypes::Color;
using BindingTestTypes::Item;

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
    get->threadSafe = get->async = true;
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
    return BuildFlatApiDescription(storage, std::vector<const FunctionRecord*>{put, get},
                                   std::vector<const TypeRecord*>{holder, color, item},
                                   std::vector<const EventRecord*>{onItem, onNothing});
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

TEST_F(FlatDescriptionTest, ArraysAreLinkedInTheGivenOrderAndShowEveryRecord) {
  const FlatApiArrays arrays = Build();
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
                       "Put |||17/0 Item||0|null|0:",
                       "Get api|gets|help|15/17 Holder|Item|1|a,b|2: id 9/0  optional 'the id' "
                       "filter 15/16 Color ''",
                       "Holder ns|holds|64|null|6: 4 raw 15/17 Item; 8 map 19/16 Color optional; "
                       "12 enum 16/0 Color; 16 bare 17/0 ; 20 text 12/0 ; 24 odd 0/0 ;",
                       "Color ||4|t1,t2|2: Green=2 ; Red=1 red;",
                       "Item ||4|null|1: 0 count 6/0 ;",
                       "OnItem Item|e",
                       "OnNothing |null",
                   }));
  EXPECT_EQ(std::to_string(arrays.functionCount) + std::to_string(arrays.typeCount) +
                std::to_string(arrays.eventCount),
            "232");
  EXPECT_EQ(Walk(arrays.functions)[1], arrays.functions + 1) << "one array";
  EXPECT_EQ(storage.Arrays().types, arrays.types);
  const FlatFunctionRecord* record = storage.FindFunction("Get");
  ASSERT_EQ(record, arrays.functions + 1);
  const void* words[] = {record->reserved, record->userData, record->name};
  EXPECT_EQ(words[0], nullptr);
  EXPECT_EQ(words[1], nullptr);
  EXPECT_EQ(words[2], get->name.c_str()) << "texts are not copied";
  EXPECT_EQ(storage.FindFunction("get"), nullptr);
}

TEST_F(FlatDescriptionTest, RebuildingReplacesEverything) {
  Build();
  const FlatApiArrays arrays =
      BuildFlatApiDescription(storage, std::vector<const FunctionRecord*>{put}, {}, {});
  EXPECT_EQ(Walk(arrays.functions).size(), 1u);
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
