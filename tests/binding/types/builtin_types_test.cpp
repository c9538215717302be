#include "binding/types/builtin_types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/types/api_help.h"
#include "binding/types/flat_description.h"

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

TEST_F(BuiltinTypesTest, HelpVectorsCarryTheirFixedIdentities) {
  struct Expected {
    const char* type;
    size_t field;
    uint32_t hash;
    const char* name;
  };
  const Expected expected[] = {
      {"BindingFullTypeHelp", 5, 0x91BDEEC6, "#91BDEEC6"},
      {"BindingFullTypeHelp", 6, 0xF613EC9E, "#F613EC9E"},
      {"BindingFullApiHelp", 0, 0x334BF406, "#334BF406"},
      {"BindingFullApiHelp", 1, 0xE98B65D6, "#E98B65D6"},
      {"BindingFullApiHelp", 2, 0xC8AF01A6, "#C8AF01A6"},
  };
  for (const Expected& e : expected) {
    const FieldRecord& field = registry.FindTypeByName(e.type)->fields.at(e.field);
    EXPECT_EQ(field.typeId->Hash(), e.hash) << e.type << "." << field.name;
    EXPECT_STREQ(field.typeId->Name(), e.name) << e.type << "." << field.name;
    EXPECT_EQ(field.type.code, BindingCode::Vector) << e.type << "." << field.name;
  }
}

// "size:offset,offset,..." of a registered record, a Full help entry and a flat record.
std::string Layout(const TypeRecord& type) {
  std::string text = std::to_string(type.nativeSize) + ":";
  for (const FieldRecord& field : type.fields)
    text += (text.back() == ':' ? "" : ",") + std::to_string(field.offset);
  return text;
}

std::string Layout(const BindingProperty& help) {
  std::string text = std::to_string(help.Get("size").GetUnsigned(0)) + ":";
  for (const BindingProperty& field : help.Get("fields").Elements())
    text += (text.back() == ':' ? "" : ",") + std::to_string(field.Get("offset").GetUnsigned(0));
  return text;
}

std::string Layout(const FlatTypeRecord& flat) {
  const uint32_t size = flat.nativeSize;
  std::string text = std::to_string(size) + ":";
  for (const FlatFieldRecord* field = flat.fields; field != nullptr; field = field->next) {
    const uint32_t offset = field->offset;
    text += (text.back() == ':' ? "" : ",") + std::to_string(offset);
  }
  return text;
}

TEST_F(BuiltinTypesTest, PayloadLayoutsAreTheNativeOnesInHelpAndFlatDescription) {
  // A value is 16 bytes on a 32-bit target and 24 on a 64-bit one; the async data is 8-byte
  // aligned on both.
  constexpr bool k32 = sizeof(void*) == 4;
  struct Expected {
    const char* name;
    std::string layout;
  };
  const std::vector<Expected> expected = {
      {"BindingAsyncCancelEvent", "4:0"},
      {"BindingAsyncFailureEvent", k32 ? "28:0,4" : "40:0,8"},
      {"BindingCallbackEvent", k32 ? "16:0,4" : "32:0,8"},
      {"BindingGenericAsyncEvent", k32 ? "24:0,8" : "32:0,8"},
      {"BindingGenericEvent", k32 ? "16:0" : "24:0"},
  };
  std::vector<const TypeRecord*> types;
  for (const Expected& e : expected) {
    types.push_back(registry.FindTypeByName(e.name));
    ASSERT_NE(types.back(), nullptr) << e.name;
  }
  BindingProperty help;
  BuildApiHelp(help, registry, {}, types, {}, BindingHelpFormat::Full);
  FlatApiDescription storage;
  const FlatApiArrays flat = BuildFlatApiDescription(storage, {}, types, {});
  ASSERT_EQ(help.Get("types").Size(), expected.size());
  ASSERT_EQ(flat.typeCount, expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Expected& e = expected[i];
    EXPECT_EQ(Layout(*types[i]), e.layout) << e.name;
    ASSERT_EQ(help.Get("types").At(i).Get("name").GetString(), e.name) << "sorted by name";
    EXPECT_EQ(Layout(help.Get("types").At(i)), e.layout) << e.name;
    EXPECT_EQ(Layout(flat.types[i]), e.layout) << e.name;
  }
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
