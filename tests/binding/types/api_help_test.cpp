#include "binding/types/api_help.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/types/type_binding.h"
#include "support/value_shape.h"

namespace Oxle::Client::Binding {
namespace {

enum class Color : int32_t { Red = 1, Green = 2 };
inline void DescribeBinding(TypeDescriber<Color>& type) {
  type.Name("Color").Value("Red", Color::Red, "red").Value("Green", Color::Green);
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
  type.Name("Basket")
      .Description("a basket")
      .NameSpace("shop")
      .Tag("x")
      .Field("id", &Basket::id)
      .Field("color", &Basket::color)
      .Field("items", &Basket::items, 0, {}, true);
}

struct TagA {};
struct TagB {};

TEST(EpytextTest, EscapeMarksBracesAndALeadingDashOnly) {
  const struct {
    std::string_view text;
    const char* escaped;
  } cases[] = {
      {"-x{y}", "E{-}xE{lb}yE{rb}"},
      {"a-b", "a-b"},
      {"-", "E{-}"},
      {"--", "E{-}-"},
      {"}{", "E{rb}E{lb}"},
      {"", ""},
      {std::string_view("a{\0}", 4), "aE{lb}"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(EpytextEscape(c.text), c.escaped) << c.text;
}

TEST(EpytextTest, TypesAreNamedInBothForms) {
  BindingRegistry registry;
  const TypeRecord* s = registry.BeginType(4, "S", TypeIdOf<TagA>(), false).Record();
  const TypeRecord* e = registry.BeginType(4, "E", TypeIdOf<TagB>(), true).Record();
  using C = BindingCode;
  const struct {
    TypeIdentifier type;
    const char* full;
    const char* fullElement;
    const char* epytext;
  } cases[] = {
      {{C::Int32}, "int32", "", "int32"},
      {{C::Object}, "object", "", "object"},
      {{C::Blob}, "blob", "", "bytearray"},
      {{C::Callback}, "callback", "", "callback"},
      {{C::Vector, C::Struct, s}, "vector", "S", "list[L{S}]"},
      {{C::Vector, C::Int32}, "vector", "int32", "list[int32]"},
      {{C::Map, C::Enum, e}, "map", "E", "dict[L{E}]"},
      {{C::Map, C::Blob}, "map", "blob", "dict[bytearray]"},
      {{C::Enum, C::None, e}, "E", "", "L{E}"},
      {{C::Struct, C::None, s}, "S", "", "L{S}"},
      {{C::Enum}, "enum", "", "enum"},
      {{C::Struct}, "struct", "", "struct"},
      {{C::Vector, C::Struct}, "vector", "struct", "list[struct]"},
      {{C::None}, "", "", ""},
      {{static_cast<C>(20)}, "", "", ""},
  };
  for (const auto& c : cases) {
    const BindingFullTypeIdentifier full = FullTypeName(c.type);
    EXPECT_EQ(full.type, c.full) << c.epytext;
    EXPECT_EQ(full.elementType, c.fullElement) << c.epytext;
    EXPECT_EQ(EpytextTypeName(c.type), c.epytext);
  }
}

TEST(EpytextTest, EnumListsValuesInNumericOrderThenTagsAndSize) {
  BindingRegistry registry;
  TypeBuilder builder = registry.BeginType(4, "E", TypeIdOf<TagA>(), true);
  builder.AddEnumValue("B", 2, "two").AddEnumValue("A", 1, "").AddTag("t").SetDescription("D");
  std::string text = "kept|";
  WriteEnumEpytext(text, *builder.Record());
  EXPECT_EQ(text, "kept|D\r\n\r\n@cvar A: (1)\r\n@cvar B: (2) two\r\n@tags: t\r\n@size: 4\r\n");
}

TEST(EpytextTest, FunctionWithOptionalArgumentAndTags) {
  BindingRegistry registry;
  FunctionRecord* function = registry.RegisterFunction("f", 1);
  ArgumentRecord& x = BindingRegistry::AddArgument(*function, "x", "the x");
  x.optional = true;
  x.type = {BindingCode::Int32};
  function->returns = {BindingCode::String};
  function->tags = {"a", "b"};
  std::string text;
  WriteFunctionEpytext(text, *function);
  EXPECT_EQ(text,
            "@param x: (optional) the x\r\n@type x: int32\r\n@rtype: string\r\n@tags: a,b\r\n");
}

TEST(EpytextTest, FunctionWithEveryLine) {
  BindingRegistry registry;
  const TypeRecord* s = registry.BeginType(4, "S", TypeIdOf<TagA>(), false).Record();
  FunctionRecord* function = registry.RegisterFunction("f", 2);
  function->description = "-d";
  function->help = "h{";
  BindingRegistry::AddArgument(*function, "a", "").type = {BindingCode::Vector, BindingCode::Struct,
                                                           s};
  BindingRegistry::AddArgument(*function, "b", "b{}").type = {BindingCode::Uint64};
  function->returns = {BindingCode::Struct, BindingCode::None, s};
  function->threadSafe = true;
  function->async = true;
  std::string text;
  WriteFunctionEpytext(text, *function);
  EXPECT_EQ(text,
            "E{-}d\r\n\r\nhE{lb}\r\n\r\n"
            "@type a: list[L{S}]\r\n"
            "@param b: bE{lb}E{rb}\r\n@type b: uint64\r\n"
            "@rtype: L{S}\r\n@threadsafe: true\r\n@async: L{S}\r\n");
}

TEST(EpytextTest, StructEscapesItsDescriptionButNotFieldDescriptions) {
  BindingRegistry registry;
  TypeBuilder builder = registry.BeginType(8, "S", TypeIdOf<TagA>(), false);
  builder.SetDescription("S {x}").AddTag("p").AddTag("q");
  builder.AddField("n", "the {n}", 0, TypeIdOf<int32_t>(), {BindingCode::Int32}, {}, 0, nullptr,
                   false);
  builder.AddField("m", "", 4, TypeIdOf<int32_t>(), {BindingCode::Map, BindingCode::String}, {}, 0,
                   nullptr, false);
  std::string text;
  WriteStructEpytext(text, *builder.Record());
  EXPECT_EQ(text,
            "S E{lb}xE{rb}\r\n\r\n@ivar n: the {n}\r\n@type n: int32\r\n"
            "@ivar m: \r\n@type m: dict[string]\r\n@tags: p,q\r\n");
}

TEST(EpytextTest, EventAlwaysEndsItsDescriptionParagraph) {
  EventRecord event;
  event.tags = {"t"};
  std::string text;
  WriteEventEpytext(text, event);
  EXPECT_EQ(text, "\r\n\r\n@tags: t\r\n");
  event.description = "-e";
  event.tags.clear();
  text.clear();
  WriteEventEpytext(text, event);
  EXPECT_EQ(text, "E{-}e\r\n\r\n");
}

class ApiHelpTest : public ::testing::Test {
 protected:
  ApiHelpTest() {
    RegisterBuiltinEvents(registry);
    basket = RegisterType<Basket>(registry);
    getBasket = registry.RegisterFunction("GetBasket", 1);
    getBasket->nameSpace = "shop";
    getBasket->description = "Gets a basket.";
    getBasket->tags = {"read"};
    getBasket->threadSafe = true;
    getBasket->async = true;
    getBasket->returns = {BindingCode::Struct, BindingCode::None, basket};
    BindingRegistry::AddArgument(*getBasket, "id", "the id").type = {BindingCode::Uint64};
    addItem = registry.RegisterFunction("addItem", 0);
    onBasket = registry.RegisterEvent("OnBasket", basket);
    onBasket->description = "fired";
  }

  void Build(BindingHelpFormat format) {
    const std::vector<const FunctionRecord*> functions = {addItem, getBasket};
    const std::vector<const TypeRecord*> types = {registry.FindTypeByName("Item"),
                                                  registry.FindTypeByName("Color"), basket};
    const std::vector<const EventRecord*> events = {onBasket};
    BuildApiHelp(out, registry, functions, types, events, format);
  }

  BindingRegistry registry;
  const TypeRecord* basket = nullptr;
  FunctionRecord* getBasket = nullptr;
  FunctionRecord* addItem = nullptr;
  EventRecord* onBasket = nullptr;
  BindingProperty out;
};

TEST_F(ApiHelpTest, FullHelpListsConvertedRecordsSortedByName) {
  Build(BindingHelpFormat::Full);
  EXPECT_EQ(
      Shape(out.Get("functions")),
      "[{arguments:[{description:'the id';name:'id';optional:F;"
      "type:{elementType:'';type:'uint64';};}];async:'Basket';description:'Gets a basket.';"
      "help:'';name:'GetBasket';nameSpace:'shop';returns:{elementType:'';type:'Basket';};"
      "tags:['read'];threadSafe:T;},{arguments:[];async:'';description:'';help:'';"
      "name:'addItem';nameSpace:'';returns:{elementType:'';type:'';};tags:[];threadSafe:F;}]");
  const std::string basketSize = std::to_string(sizeof(Basket));
  EXPECT_EQ(
      Shape(out.Get("types")),
      "[{description:'a basket';fields:["
      "{description:'';name:'id';offset:u0;optional:F;type:{elementType:'';type:'int32';};},"
      "{description:'';name:'color';offset:u4;optional:F;type:{elementType:'';type:'Color';};},"
      "{description:'';name:'items';offset:u8;optional:T;"
      "type:{elementType:'Item';type:'vector';};}];name:'Basket';nameSpace:'shop';size:u" +
          basketSize +
          ";tags:['x'];values:[];},{description:'';fields:[];name:'Color';nameSpace:'';"
          "size:u4;tags:[];values:[{description:'';name:'Green';value:i2;},"
          "{description:'red';name:'Red';value:i1;}];},{description:'';fields:["
          "{description:'how many';name:'count';offset:u0;optional:F;"
          "type:{elementType:'';type:'int32';};}];name:'Item';nameSpace:'';size:u4;tags:[];"
          "values:[];}]");
  EXPECT_EQ(Shape(out.Get("events")),
            "[{description:'fired';name:'OnBasket';nameSpace:'';tags:[];"
            "type:{elementType:'';type:'Basket';};}]");
}

TEST_F(ApiHelpTest, EpytextHelpMapsEachNameToItsText) {
  Build(BindingHelpFormat::Epytext);
  EXPECT_EQ(Shape(out.Get("functions")),
            "{GetBasket:'Gets a basket.\r\n\r\n@param id: the id\r\n@type id: uint64\r\n"
            "@rtype: L{Basket}\r\n@tags: read\r\n@threadsafe: true\r\n@async: L{Basket}\r\n';"
            "addItem:'';}");
  EXPECT_EQ(Shape(out.Get("types").Get("Color")),
            "'@cvar Red: (1) red\r\n@cvar Green: (2)\r\n@size: 4\r\n'");
  EXPECT_EQ(Shape(out.Get("types").Get("Item")),
            "'@ivar count: how many\r\n@type count: int32\r\n'");
  EXPECT_EQ(out.Get("types").Size(), 3u);
  EXPECT_EQ(Shape(out.Get("events")), "{OnBasket:'fired\r\n\r\n';}");
}

TEST_F(ApiHelpTest, AnUnknownFormatGivesThreeEmptyMembersAndDropsEarlierContent) {
  out.Get("old").SetString("x");
  Build(static_cast<BindingHelpFormat>(0));
  EXPECT_EQ(Shape(out), "{events:~;functions:~;types:~;}");
}

TEST_F(ApiHelpTest, WholeRegistryListsEveryRecordWithBuiltinEnumValuesByName) {
  BuildApiHelp(out, registry, BindingHelpFormat::Full);
  std::string values;
  for (const BindingProperty& type : out.Get("types").Elements()) {
    if (type.Get("name").GetString() == "BindingAsyncState") values = Shape(type.Get("values"));
  }
  EXPECT_NE(values.find("{description:'Invalid state';name:'None';value:i0;}"), std::string::npos)
      << values;
  EXPECT_EQ(out.Get("events").Size(), 2u) << "OnBasket and OnCallback";
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

}  // namespace
}  // namespace Oxle::Client::Binding
