#include "binding/types/builtin_types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/types/api_help.h"
#include "binding/types/flat_description.h"
#include "support/binding_values.h"

namespace Oxle::Client::Binding {
namespace {

class BuiltinTypesTest : public ::testing::Test {
 protected:
  BindingRegistry registry;
  EventRecord* onCallback = RegisterBuiltinEvents(registry);
};

TEST_F(BuiltinTypesTest, FixedIdentitiesAreFoundByHashAndNamedInHex) {
  const TypeRecord* function = registry.FindTypeByName("BindingFullFunctionHelp");
  ASSERT_NE(function, nullptr);
  EXPECT_EQ(registry.FindTypeByHash(function->hash), function);
  EXPECT_STREQ(function->typeId->Name(), "#835D167A");
  EXPECT_EQ(function->fields[2].type.record, registry.FindTypeByName("BindingFullArgumentHelp"));
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
  std::string text = std::to_string(flat.nativeSize) + ":";
  for (const FlatFieldRecord* field = flat.fields; field != nullptr; field = field->next)
    text += (text.back() == ':' ? "" : ",") + std::to_string(field->offset);
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
  BindingProperty help;  // Full help, which lists the types sorted by name
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

TEST_F(BuiltinTypesTest, CallbackParametersAreDeclaredAsOneObjectAndRoundTrip) {
  BindingCallbackEvent native;
  native.id = 9;
  native.parameters = {Parse("'first'"), Parse("i2")};
  const ValueResult written = WriteNative(native, registry);
  EXPECT_EQ(Shape(written.Value()), "{id:u9;parameters:['first',i2];}");
  BindingCallbackEvent back;
  ASSERT_TRUE(ReadNative(written.Value(), back, "<value>", registry).Ok());
  EXPECT_EQ(Shape(WriteNative(back, registry).Value()), Shape(written.Value()));
}

TEST_F(BuiltinTypesTest, RegisteringTwiceOnlyTagsOnCallbackAgain) {
  ASSERT_NE(onCallback, nullptr);
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
