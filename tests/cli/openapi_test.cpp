#include "cli/openapi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/json.h"
#include "core/host.h"
#include "openapi/edge_api.h"

extern "C" void* load_qel_mhx(PluginDescriptor* descriptor);

namespace Oxle::Client::Host::Cli {
namespace {

using Binding::BindingProperty;
using OpenApiEdge::HandTable;

[[nodiscard]] std::string Json(const BindingProperty& value) {
  return Codec::WriteJson(value, nullptr, nullptr);
}

[[nodiscard]] const BindingProperty& Operation(const BindingProperty& document,
                                               const std::string& path, const char* method) {
  return document.Get("paths").Get(path).Get(method);
}

// ---- the match-history module ----

class ModuleDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostOptions options;
    options.mode = HostMode::Manual;
    host = std::make_unique<Host>(options);
    const Result<ModuleId> loaded = host->LoadModule(&load_qel_mhx, "linked mhx");
    ASSERT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
    const Result<ModuleInfo> info = host->Module(loaded.Value());
    ASSERT_TRUE(info.Ok());
    const OpenApiModule module{info.Value().shortName, "18.0.0", info.Value().exportTable};
    document = BuildOpenApiDocument({&module, 1}, "http://127.0.0.1:4100");
  }

  std::unique_ptr<Host> host;
  BindingProperty document;
};

TEST_F(ModuleDocumentTest, ListsTheRoutesWithTheirParametersAndResults) {
  EXPECT_EQ(document.Get("paths").Size(), 10u);
  const BindingProperty& champions =
      Operation(document, "/qel-mhx/v1/recently-played-champions/{accountId}", "get");
  EXPECT_EQ(champions.Get("operationId").GetString(),
            "GetQelMhxV1RecentlyPlayedChampionsByAccountId");
  EXPECT_EQ(Json(champions.Get("tags")), R"(["qel-mhx"])");
  EXPECT_EQ(Json(champions.Get("parameters")),
            R"([{"in":"path","name":"accountId","required":true,)"
            R"("schema":{"format":"uint64","minimum":0,"type":"integer"}},)"
            R"({"in":"query","name":"force","required":false,)"
            R"("schema":{"default":false,"type":"boolean"}}])");
  EXPECT_EQ(Json(champions.Get("responses")),
            R"({"200":{"content":{"application/json":{"schema":)"
            R"({"$ref":"#/components/schemas/MhxChampionGamesCollection"}}},)"
            R"("description":"Success: the function's result."},)"
            R"("default":{"$ref":"#/components/responses/Error"}})");
  const BindingProperty& delta = Operation(document, "/qel-mhx/v1/delta", "get");
  EXPECT_FALSE(delta.Has("parameters") || delta.Has("requestBody"));
  EXPECT_EQ(Json(delta.Get("responses").Get("200").Get("content")),
            R"({"application/json":{"schema":{}}})");
  EXPECT_FALSE(
      Operation(document, "/qel-mhx/v2/request-recently-played-champions/current-summoner", "get")
          .Get("responses")
          .Get("200")
          .Has("content"));
  EXPECT_EQ(
      Json(Operation(document, "/qel-mhx/v1/mhx-endpoint-override", "post").Get("requestBody")),
      R"({"content":{"application/json":{"schema":{"$ref":"#/components/schemas/MhxEndPoint"}},)"
      R"("application/x-msgpack":{"schema":{"$ref":"#/components/schemas/MhxEndPoint"}},)"
      R"("application/x-yaml":{"schema":{"$ref":"#/components/schemas/MhxEndPoint"}}},)"
      R"("required":true})");
}

TEST_F(ModuleDocumentTest, DescribesTheDocumentTheServerAndTheRegisteredTypes) {
  EXPECT_EQ(document.Get("openapi").GetString(), "3.0.3");
  EXPECT_EQ(Json(document.Get("info")),
            R"({"description":"The HTTP API of the modules loaded into tpk-host: qel-mhx 18.0.0.",)"
            R"("title":"tpk-host","version":"qel-mhx 18.0.0"})");
  EXPECT_EQ(Json(document.Get("servers")), R"([{"url":"http://127.0.0.1:4100"}])");
  EXPECT_EQ(Json(document.Get("security")), R"([{"bearer":[]}])");
  EXPECT_FALSE(document.Has("x-tpk-unserved"));

  const BindingProperty& schemas = document.Get("components").Get("schemas");
  EXPECT_EQ(schemas.Size(), 28u);  // the module's five, the framework's 22 and "Error"
  // A field of an enum type refers to the enum's component.
  EXPECT_EQ(Json(schemas.Get("LoginSession").Get("properties").Get("state")),
            R"({"$ref":"#/components/schemas/LoginSessionStates"})");
  EXPECT_EQ(Json(schemas.Get("Error")),
            R"({"description":"A failed call: its HTTP status and its message.",)"
            R"("properties":{"message":{"type":"string"},)"
            R"("status":{"format":"int32","maximum":599,"minimum":400,"type":"integer"}},)"
            R"("required":["message","status"],"type":"object"})");
  EXPECT_EQ(Json(document.Get("components").Get("responses")),
            R"({"Error":{"content":{"application/json":{"schema":)"
            R"({"$ref":"#/components/schemas/Error"}}},"description":"The call failed."}})");
}

// ---- edge cases ----

class EdgeDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<OpenApiModule> modules = {alpha.Module(), beta.Module()};
    document = BuildOpenApiDocument(modules, "http://127.0.0.1:1");
  }

  OpenApiEdge::Alpha alpha;
  OpenApiEdge::Beta beta;
  BindingProperty document;
};

TEST_F(EdgeDocumentTest, BindsParametersWhereDispatchTakesThem) {
  // A rest parameter: one OpenAPI parameter, marked with its template form.
  const BindingProperty& files = Operation(document, "/alpha/v1/files/{path}", "get");
  EXPECT_EQ(Json(files.Get("parameters")),
            R"([{"description":"where the file is","in":"path","name":"path","required":true,)"
            R"("schema":{"type":"string"},"x-tpk-template":"{+path}"}])");
  EXPECT_EQ(files.Get("summary").GetString(), "Reads a file.");
  EXPECT_EQ(files.Get("description").GetString(), "Any depth of folders.");

  // The trailing "/" is trimmed; the header goes by its lower-cased name; an argument located
  // anywhere is a query parameter; "ghost" (path, not in the template) and the second body
  // argument are not listed.
  const BindingProperty& put = Operation(document, "/alpha/v1/items/{id}", "put");
  EXPECT_EQ(Json(put.Get("parameters")),
            R"([{"in":"path","name":"id","required":true,"schema":{"format":"uint32",)"
            R"("maximum":4294967295,"minimum":0,"type":"integer"}},)"
            R"({"in":"header","name":"x-note","required":true,"schema":{"type":"string"}},)"
            R"({"in":"query","name":"limit","required":false,"schema":{"format":"int32",)"
            R"("maximum":2147483647,"minimum":-2147483648,"type":"integer"}},)"
            R"({"in":"query","name":"verbose","required":false,)"
            R"("schema":{"default":false,"type":"boolean"}},)"
            R"({"content":{"application/json":{"schema":{"items":)"
            R"({"$ref":"#/components/schemas/Level"},"type":"array"}}},)"
            R"("in":"query","name":"filter","required":true}])");
  const std::string sample = R"({"schema":{"$ref":"#/components/schemas/Sample"}})";
  EXPECT_EQ(Json(put.Get("requestBody")), R"({"content":{"application/json":)" + sample +
                                              R"(,"application/x-msgpack":)" + sample +
                                              R"(,"application/x-yaml":)" + sample +
                                              R"(},"description":"the new item","required":true})");
  EXPECT_EQ(Json(put.Get("responses").Get("200")),
            R"({"description":"Success, with an empty body."})");
}

TEST_F(EdgeDocumentTest, DocumentsEveryMethodTheHostRoutes) {
  // Any method: under each of the seven, named after it.
  const BindingProperty& any = document.Get("paths").Get("/alpha/v1/any");
  ASSERT_EQ(any.Size(), 7u);
  const std::vector<std::pair<const char*, const char*>> methods = {
      {"delete", "DeleteAlphaV1Any"},   {"get", "GetAlphaV1Any"},     {"head", "HeadAlphaV1Any"},
      {"options", "OptionsAlphaV1Any"}, {"patch", "PatchAlphaV1Any"}, {"post", "PostAlphaV1Any"},
      {"put", "PutAlphaV1Any"}};
  for (const auto& [method, id] : methods) {
    EXPECT_EQ(any.Get(method).Get("operationId").GetString(), id) << method;
    EXPECT_TRUE(any.Get(method).Get("x-tpk-any-method").GetBool(false)) << method;
  }
  // A named method: in the path's extension, not as an operation.
  const BindingProperty& cache = document.Get("paths").Get("/alpha/v1/cache");
  ASSERT_EQ(cache.Size(), 1u);
  EXPECT_EQ(cache.Get("x-tpk-methods").Get("PURGE").Get("operationId").GetString(), "AlphaV1Cache");

  // beta's DELETE of an equivalent template joins alpha's path, its parameter renamed.
  const BindingProperty& items = document.Get("paths").Get("/alpha/v1/items/{id}");
  EXPECT_EQ(items.Size(), 2u);
  EXPECT_EQ(Json(items.Get("delete").Get("parameters")),
            R"([{"in":"path","name":"id","required":true,"schema":{"type":"string"}}])");
  EXPECT_EQ(Json(items.Get("delete").Get("tags")), R"(["beta"])");
  EXPECT_FALSE(document.Get("paths").Has("/alpha/v1/items/{key}"));

  // The fragment route and beta's GET of a path alpha serves for any method.
  EXPECT_EQ(Json(document.Get("x-tpk-unserved")),
            R"([{"function":"GetAlphaV1DocBy#frag","method":"GET","module":"alpha",)"
            R"("path":"/alpha/v1/doc{#frag}","reason":"a request target cannot hold \"#\" or )"
            R"(\"?\" in its path, nor a \"{#name}\" fragment"},)"
            R"({"function":"GetAlphaV1Any","method":"GET","module":"beta","path":"/alpha/v1/any",)"
            R"("reason":"an earlier route serves the same path and method"}])");
  EXPECT_EQ(document.Get("paths").Size(), 5u);
}

TEST_F(EdgeDocumentTest, NamesComponentsOnceAndKeepsModulesApart) {
  const BindingProperty& schemas = document.Get("components").Get("schemas");
  std::vector<std::string> names;
  for (const auto& member : schemas.Members())
    names.emplace_back(member.key);
  EXPECT_EQ(names, (std::vector<std::string>{"Error", "Holder", "Level", "Nested", "Pair", "Sample",
                                             "beta.Error", "beta.Level", "beta.Pair"}));
  EXPECT_EQ(
      Json(schemas.Get("Sample")),
      R"({"description":"One of everything.","properties":{)"
      R"("counts":{"additionalProperties":{"format":"int64","type":"integer"},"type":"object"},)"
      R"("data":{"format":"byte","type":"string"},"extra":{},)"
      R"("level":{"$ref":"#/components/schemas/Level"},)"
      R"("levels":{"items":{"$ref":"#/components/schemas/Level"},"type":"array"},)"
      R"("name":{"type":"string"},"nested":{"allOf":[{"$ref":"#/components/schemas/Nested"}],)"
      R"("description":"the nested one"},"port":{"description":"the port","format":"uint16",)"
      R"("maximum":65535,"minimum":0,"type":"integer"},"ratio":{"format":"double",)"
      R"("type":"number"},"small":{"format":"int8","maximum":127,"minimum":-128,)"
      R"("type":"integer"}},"required":["small","ratio","name","data","levels","counts",)"
      R"("level","extra","nested"],"type":"object"})");
  EXPECT_EQ(Json(schemas.Get("Level")),
            R"({"description":"How much.","enum":["High","Low"],"type":"string"})");
  EXPECT_EQ(Json(schemas.Get("beta.Level")), R"({"enum":["Zero"],"type":"string"})");
  // Same fields, other "Level": a component of its own.
  EXPECT_EQ(Json(schemas.Get("Pair")),
            R"({"properties":{"level":{"$ref":"#/components/schemas/Level"}},)"
            R"("required":["level"],"type":"object"})");
  EXPECT_EQ(Json(schemas.Get("beta.Pair")),
            R"({"properties":{"level":{"$ref":"#/components/schemas/beta.Level"}},)"
            R"("required":["level"],"type":"object"})");
  // beta's "Nested" equals alpha's and is shared.
  EXPECT_EQ(Json(schemas.Get("Holder").Get("properties")),
            R"({"level":{"$ref":"#/components/schemas/beta.Level"},)"
            R"("nested":{"$ref":"#/components/schemas/Nested"}})");
  EXPECT_EQ(Json(schemas.Get("beta.Error").Get("properties")), R"({"reason":{"type":"string"}})");
  EXPECT_EQ(
      Json(
          Operation(document, "/beta/v1/holder", "get").Get("responses").Get("200").Get("content")),
      R"({"application/json":{"schema":{"$ref":"#/components/schemas/Holder"}}})");
}

// ---- hand-written tables ----

TEST(OpenApiDocumentTest, QualifiesOnlyTheNamesThatCollide) {
  HandTable first({{"List", "alpha.v1", 2, "/a/one"}, {"Solo", "", 2, "/a/two"}});
  HandTable second({{"List", "", 2, "/b/one"}, {"List", "", 7, "/b/two"}});
  const std::vector<OpenApiModule> modules = {{"alpha", "1", first.Table()},
                                              {"beta", "2", second.Table()}};
  const BindingProperty document = BuildOpenApiDocument(modules, "");
  const std::vector<std::pair<std::pair<std::string, const char*>, const char*>> expected = {
      {{"/a/one", "get"}, "alpha.v1.List"},
      {{"/a/two", "get"}, "Solo"},
      {{"/b/one", "get"}, "beta.List"},
      {{"/b/two", "put"}, "beta.List_2"}};
  for (const auto& [where, id] : expected) {
    EXPECT_EQ(Operation(document, where.first, where.second).Get("operationId").GetString(), id)
        << where.first;
  }
  EXPECT_FALSE(document.Has("servers"));
}

TEST(OpenApiDocumentTest, ListsWhatTheHostWouldNotServe) {
  HandTable first({{"AnyM", "", 0, "/m"}});
  HandTable second({{"PurgeM", "", 8, "/m"},
                    {"Param", "", 2, "/m/{x}"},
                    {"NoCallback", "", 2, "/n", false},
                    {"NoTemplate", "", 2, "", true, false},
                    {"Relative", "", 2, "n"},
                    {"Query", "", 2, "/n?x=1"}});
  second.Entry(0).methodName = "PURGE";
  const std::vector<OpenApiModule> modules = {{"alpha", "1", first.Table()},
                                              {"beta", "2", second.Table()}};
  const BindingProperty document = BuildOpenApiDocument(modules, "");
  std::vector<std::string> unserved;
  for (const BindingProperty& left : document.Get("x-tpk-unserved").Elements()) {
    unserved.push_back(std::string(left.Get("function").GetString()) + " " +
                       std::string(left.Get("method").GetString()) + " " +
                       std::string(left.Get("path").GetString()) + ": " +
                       std::string(left.Get("reason").GetString()));
  }
  EXPECT_EQ(unserved,
            (std::vector<std::string>{
                "PurgeM PURGE /m: an earlier route serves the same path and method",
                "NoCallback GET /n: the entry has no callback",
                "NoTemplate GET : the entry has no path template",
                "Relative GET n: the path does not start with \"/\"",
                "Query GET /n?x=1: a request target cannot hold \"#\" or \"?\" in its path, nor a "
                "\"{#name}\" fragment"}));
  EXPECT_EQ(document.Get("paths").Get("/m").Size(), 7u);
  EXPECT_EQ(Operation(document, "/m/{x}", "get").Get("operationId").GetString(), "Param");
}

TEST(OpenApiDocumentTest, EmptyTablesGiveAnEmptyButCompleteDocument) {
  const BindingProperty none = BuildOpenApiDocument({}, "http://127.0.0.1:9");
  EXPECT_EQ(Json(none.Get("info")),
            R"({"description":"The HTTP API of the modules loaded into tpk-host (none).",)"
            R"("title":"tpk-host","version":"none"})");
  EXPECT_EQ(Json(none.Get("paths")), "{}");
  EXPECT_FALSE(none.Has("tags"));
  EXPECT_EQ(none.Get("components").Get("schemas").Size(), 1u);

  HandTable empty({});
  const std::vector<OpenApiModule> modules = {{"a", "1", nullptr}, {"b", "2", empty.Table()}};
  const BindingProperty two = BuildOpenApiDocument(modules, "");
  EXPECT_EQ(Json(two.Get("paths")), "{}");
  EXPECT_EQ(Json(two.Get("tags")), R"([{"description":"Module a, version 1","name":"a"},)"
                                   R"({"description":"Module b, version 2","name":"b"}])");
  EXPECT_EQ(two.Get("info").Get("version").GetString(), "a 1, b 2");
}

TEST(OpenApiDocumentTest, LinkedListsThatLoopEnd) {
  HandTable table({{"Loop", "", 2, "/loop"}});
  FlatTypeRecord type{};
  type.name = "Loop";
  type.nameSpace = "";
  type.description = "";
  type.next = &type;
  FlatFieldRecord field{};
  field.name = "self";
  field.description = "";
  field.typeName = "Loop";
  field.code = 17;
  field.next = &field;
  type.fields = &field;
  type.count = 1;
  FlatArgumentRecord argument{};
  argument.name = "x";
  argument.description = "";
  argument.typeName = "";
  argument.code = 12;
  argument.next = &argument;
  table.Entry(0).function.arguments = &argument;
  table.Entry(0).function.argumentCount = 1;
  table.MutableTable()->types = &type;
  const std::vector<OpenApiModule> modules = {{"loop", "1", table.Table()}};
  const BindingProperty document = BuildOpenApiDocument(modules, "");
  EXPECT_EQ(Json(document.Get("components").Get("schemas").Get("Loop")),
            R"({"properties":{"self":{"$ref":"#/components/schemas/Loop"}},)"
            R"("required":["self"],"type":"object"})");
  EXPECT_EQ(Json(Operation(document, "/loop", "get").Get("parameters")),
            R"([{"in":"query","name":"x","required":true,"schema":{"type":"string"}}])");
}

}  // namespace
}  // namespace Oxle::Client::Host::Cli
