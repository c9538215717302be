#include "binding/types/builtin_types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Oxle::Client::Binding {
namespace {

std::vector<std::string> FieldNames(const TypeRecord* type) {
  std::vector<std::string> names;
  for (const FieldRecord& field : type->fields)
    names.push_back(field.name);
  return names;
}

class BuiltinTypesTest : public ::testing::Test {
 protected:
  BindingRegistry registry;
  EventRecord* onCallback = RegisterBuiltinEvents(registry);
};

TEST_F(BuiltinTypesTest, HelpRecordsAreRegisteredWithTheirFixedIdentities) {
  struct Expected {
    const char* name;
    uint32_t hash;
    std::vector<std::string> fields;
  };
  const std::vector<Expected> expected = {
      {"BindingFullTypeIdentifier", 0x88B6D4CA, {"type", "elementType"}},
      {"BindingFullArgumentHelp", 0x65FF9F6F, {"name", "description", "type", "optional"}},
      {"BindingFullFunctionHelp",
       0x835D167A,
       {"name", "nameSpace", "arguments", "returns", "description", "help", "threadSafe", "async",
        "tags"}},
      {"BindingFullEnumValueHelp", 0xD0706E0C, {"name", "description", "value"}},
      {"BindingFullFieldHelp", 0x5E9DFDF6, {"name", "description", "offset", "type", "optional"}},
      {"BindingFullTypeHelp",
       0x7534AFEA,
       {"name", "nameSpace", "size", "description", "tags", "fields", "values"}},
      {"BindingFullEventHelp", 0x6178093A, {"name", "nameSpace", "type", "description", "tags"}},
      {"BindingFullApiHelp", 0x7DFB1102, {"functions", "types", "events"}},
      {"BindingGenericEvent", 0x2A500213, {"data"}},
      {"BindingCallbackEvent", 0x4B3E42BB, {"id", "parameters"}},
      {"BindingGenericAsyncEvent", 0x78B7AC8F, {"asyncToken", "data"}},
      {"BindingAsyncFailureEvent", 0x2DB89656, {"asyncToken", "error"}},
      {"BindingAsyncCancelEvent", 0x96EAAF44, {"asyncToken"}},
  };
  for (const Expected& e : expected) {
    const TypeRecord* type = registry.FindTypeByName(e.name);
    ASSERT_NE(type, nullptr) << e.name;
    EXPECT_EQ(type->hash, e.hash) << e.name;
    EXPECT_EQ(registry.FindTypeByHash(e.hash), type) << e.name;
    EXPECT_EQ(FieldNames(type), e.fields) << e.name;
  }
  const TypeRecord* function = registry.FindTypeByName("BindingFullFunctionHelp");
  EXPECT_EQ(function->description, "Describes a function.");
  EXPECT_EQ(function->tags, (std::vector<std::string>{"$builtin", "help"}));
  EXPECT_EQ(function->fields[2].type.code, BindingCode::Vector);
  EXPECT_EQ(function->fields[2].type.elementCode, BindingCode::Struct);
  EXPECT_EQ(function->fields[2].type.record, registry.FindTypeByName("BindingFullArgumentHelp"));
  EXPECT_EQ(function->fields[2].typeId->Hash(), 0xAE376D12u);
  EXPECT_EQ(function->fields[8].typeId->Hash(), 0xBFDBCD22u);
  EXPECT_STREQ(function->typeId->Name(), "#835D167A");
}

TEST_F(BuiltinTypesTest, EnumsCarryTheirValuesAndDescriptions) {
  const TypeRecord* state = registry.FindTypeByName("BindingAsyncState");
  ASSERT_NE(state, nullptr);
  EXPECT_TRUE(state->isEnum);
  EXPECT_EQ(state->hash, 0x4B896D21u);
  EXPECT_EQ(state->nativeSize, 4u);
  std::vector<std::string> names;
  for (const auto& [name, enumerator] : state->enumerators)
    names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Cancelled", "Cancelling", "Failed", "None", "Running",
                                             "Succeeded"}));
  EXPECT_EQ(state->enumerators.at("Failed").value, 5);
  EXPECT_EQ(state->enumerators.at("Failed").description, "The operation encountered an error");
  EXPECT_EQ(state->tags, (std::vector<std::string>{"$builtin", "async"}));
  const TypeRecord* format = registry.FindTypeByName("BindingHelpFormat");
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(format->hash, 0x2698AA94u);
  EXPECT_EQ(format->enumerators.size(), 2u);
  EXPECT_EQ(format->enumerators.at("Epytext").description, "Python epytext format");
}

TEST_F(BuiltinTypesTest, CallbackParametersAreDeclaredAsOneObject) {
  const TypeRecord* callback = registry.FindTypeByName("BindingCallbackEvent");
  const FieldRecord& parameters = callback->fields[1];
  EXPECT_EQ(parameters.type.code, BindingCode::Object);
  EXPECT_EQ(parameters.typeId->Hash(), 0xE980F126u);
  EXPECT_EQ(parameters.description, "Callback parameters");

  BindingCallbackEvent native;
  native.id = 9;
  native.parameters.resize(2);
  native.parameters[0].SetString("first");
  native.parameters[1].SetSigned(2);
  const ValueResult written = WriteNative(native, registry);
  ASSERT_TRUE(written.Ok()) << written.ErrorMessage();
  EXPECT_EQ(written.Value().Get("parameters").Size(), 2u);
  EXPECT_EQ(written.Value().Get("parameters").At(0).GetString(), "first");
  BindingCallbackEvent back;
  ASSERT_TRUE(ReadNative(written.Value(), back, "<value>", registry).Ok());
  EXPECT_EQ(back.id, 9u);
  ASSERT_EQ(back.parameters.size(), 2u);
  EXPECT_EQ(back.parameters[1].GetSigned(0), 2);
}

TEST_F(BuiltinTypesTest, RegisteringTwiceOnlyTagsOnCallbackAgain) {
  ASSERT_NE(onCallback, nullptr);
  EXPECT_EQ(onCallback->name, "OnCallback");
  EXPECT_EQ(onCallback->description, "Fired when a callback is invoked.");
  EXPECT_EQ(onCallback->dataType, registry.FindTypeByName("BindingCallbackEvent"));
  const size_t types = registry.CopyTypes().size();
  const size_t fields = registry.FindTypeByName("BindingAsyncCancelEvent")->fields.size();
  EXPECT_EQ(RegisterBuiltinEvents(registry), onCallback);
  EXPECT_EQ(registry.CopyTypes().size(), types);
  EXPECT_EQ(registry.FindTypeByName("BindingAsyncCancelEvent")->fields.size(), fields);
  EXPECT_EQ(onCallback->tags, (std::vector<std::string>{"$builtin", "$builtin"}));
  EXPECT_EQ(registry.CopyEvents().size(), 1u);
}

}  // namespace
}  // namespace Oxle::Client::Binding
