#include "binding/types/api_help.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/binding_types.h"

namespace Oxle::Client::Binding {
namespace {

using BindingTestTypes::Color;
using BindingTestTypes::Item;

struct Basket {
  int32_t id = 0;
  Color color = Color::Red;
  std::vector<Item> items;
};
inline void DescribeBinding(TypeDescriber<Basket>& type) {
  Fields(type.Name("Basket").Description("a basket").NameSpace("shop").Tag("x"), {"id", "color"},
         &Basket::id, &Basket::color)
      .Field("items", &Basket::items, 0, {}, true);
}

struct TagA {};
struct TagB {};

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

TEST(EpytextTest, TypesAreNamedInBothForms) {
  BindingRegistry registry;
  const TypeRecord* s = registry.BeginType(4, "S", TypeIdOf<TagA>(), false).Record();
  const TypeRecord* e = registry.BeginType(4, "E", TypeIdOf<TagB>(), true).Record();
  using C = BindingCode;
  const std::pair<TypeIdentifier, std::string> cases[] = {
      {{C::Int32}, "int32||int32"},
      {{C::Object}, "object||object"},
      {{C::Blob}, "blob||bytearray"},
      {{C::Callback}, "callback||callback"},
      {{C::Vector, C::Struct, s}, "vector|S|list[L{S}]"},
      {{C::Vector, C::Int32}, "vector|int32|list[int32]"},
      {{C::Map, C::Enum, e}, "map|E|dict[L{E}]"},
      {{C::Map, C::Blob}, "map|blob|dict[bytearray]"},
      {{C::Enum, C::None, e}, "E||L{E}"},
      {{C::Struct, C::None, s}, "S||L{S}"},
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

TEST(EpytextTest, RecordsListTheirLinesAndEscapeOnlyTheirOwnDescription) {
  BindingRegistry registry;
  TypeBuilder enumBuilder = registry.BeginType(4, "E", TypeIdOf<TagA>(), true);
  enumBuilder.AddEnumValue("B", 2, "two").AddEnumValue("A", 1, "").AddTag("t").SetDescription("D");
  std::string text = "kept|";
  WriteEnumEpytext(text, *enumBuilder.Record());
  EXPECT_EQ(text, "kept|D\r\n\r\n@cvar A: (1)\r\n@cvar B: (2) two\r\n@tags: t\r\n@size: 4\r\n");

  TypeBuilder builder = registry.BeginType(8, "S", TypeIdOf<TagB>(), false);
  builder.SetDescription("S {x}").AddTag("p").AddTag("q");
  builder.AddField("n", "the {n}", 0, TypeIdOf<int32_t>(), {BindingCode::Int32}, {}, 0, nullptr,
                   false);
  builder.AddField("m", "", 4, TypeIdOf<int32_t>(), {BindingCode::Map, BindingCode::String}, {}, 0,
                   nullptr, false);
  text.clear();
  WriteStructEpytext(text, *builder.Record());
  EXPECT_EQ(text,
            "S E{lb}xE{rb}\r\n\r\n@ivar n: the {n}\r\n@type n: int32\r\n"
            "@ivar m: \r\n@type m: dict[string]\r\n@tags: p,q\r\n");

  FunctionRecord* f = registry.RegisterFunction("f", 1);
  ArgumentRecord& x = BindingRegistry::AddArgument(*f, "x", "the x");
  x.optional = true;
  x.type = {BindingCode::Int32};
  f->returns = {BindingCode::String};
  f->tags = {"a", "b"};
  text.clear();
  WriteFunctionEpytext(text, *f);
  EXPECT_EQ(text,
            "@param x: (optional) the x\r\n@type x: int32\r\n@rtype: string\r\n@tags: a,b\r\n");

  FunctionRecord* g = registry.RegisterFunction("g", 2);
  g->description = "-d";
  g->help = "h{";
  BindingRegistry::AddArgument(*g, "a", "").type = {BindingCode::Vector, BindingCode::Struct,
                                                    builder.Record()};
  BindingRegistry::AddArgument(*g, "b", "b{}").type = {BindingCode::Uint64};
  g->returns = {BindingCode::Struct, BindingCode::None, builder.Record()};
  g->threadSafe = g->async = true;
  text.clear();
  WriteFunctionEpytext(text, *g);
  EXPECT_EQ(text,
            "E{-}d\r\n\r\nhE{lb}\r\n\r\n@type a: list[L{S}]\r\n@param b: bE{lb}E{rb}\r\n"
            "@type b: uint64\r\n@rtype: L{S}\r\n@threadsafe: true\r\n@async: L{S}\r\n");

  // An event always ends its description paragraph.
  EventRecord event;
  event.tags = {"t"};
  text.clear();
  WriteEventEpytext(text, event);
  event.description = "-e";
  event.tags.clear();
  WriteEventEpytext(text, event);
  EXPECT_EQ(text, "\r\n\r\n@tags: t\r\nE{-}e\r\n\r\n");
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
    getBasket->threadSafe = getBasket->async = true;
    getBasket->returns = {BindingCode::Struct, BindingCode::None, basket};
    BindingRegistry::AddArgument(*getBasket, "id", "the id").type = {BindingCode::Uint64};
    addItem = registry.RegisterFunction("addItem", 0);
    onBasket = registry.RegisterEvent("OnBasket", basket);
    onBasket->description = "fired";
  }
  void Build(BindingHelpFormat format) {
    const TypeRecord* item = registry.FindTypeByName("Item");
    BuildApiHelp(out, registry, std::vector<const FunctionRecord*>{addItem, getBasket},
                 std::vector{item, registry.FindTypeByName("Color"), basket},
                 std::vector<const EventRecord*>{onBasket}, format);
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
  EXPECT_EQ(
      Shape(out.Get("types")),
      "[{description:'a basket';fields:["
      "{description:'';name:'id';offset:u0;optional:F;type:{elementType:'';type:'int32';};},"
      "{description:'';name:'color';offset:u4;optional:F;type:{elementType:'';type:'Color';};},"
      "{description:'';name:'items';offset:u8;optional:T;"
      "type:{elementType:'Item';type:'vector';};}];name:'Basket';nameSpace:'shop';size:u" +
          std::to_string(sizeof(Basket)) +
          ";tags:['x'];values:[];},{description:'';fields:[];name:'Color';nameSpace:'';"
          "size:u4;tags:['t1','t2'];values:[{description:'';name:'Green';value:i2;},"
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
  EXPECT_EQ(Shape(out),
            "{events:{OnBasket:'fired\r\n\r\n';};functions:{GetBasket:'Gets a basket.\r\n\r\n"
            "@param id: the id\r\n@type id: uint64\r\n@rtype: L{Basket}\r\n@tags: read\r\n"
            "@threadsafe: true\r\n@async: L{Basket}\r\n';addItem:'';};types:{Basket:'a basket\r\n"
            "\r\n@ivar id: \r\n@type id: int32\r\n@ivar color: \r\n@type color: L{Color}\r\n"
            "@ivar items: \r\n@type items: list[L{Item}]\r\n@tags: x\r\n';Color:'@cvar Red: (1) "
            "red\r\n@cvar Green: (2)\r\n@tags: t1,t2\r\n@size: 4\r\n';Item:'@ivar count: how "
            "many\r\n@type count: int32\r\n';};}");
  out.Get("old").SetString("x");
  Build(static_cast<BindingHelpFormat>(0));
  EXPECT_EQ(Shape(out), "{events:~;functions:~;types:~;}")
      << "an unknown format gives three empty members and drops earlier content";
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
