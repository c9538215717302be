// The OpenAPI document: that of the match-history module and that of small modules made for the
// unusual corners, each compared whole with its expected text in openapi/ (which the validator
// there checks for validity), and hand-written export tables for what registration cannot
// produce (colliding names, unservable entries, none at all, lists that loop).
#include "cli/openapi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "api/api_registry.h"
#include "api/route_registration.h"
#include "binding/types/type_binding.h"
#include "codec/json.h"
#include "core/host.h"

extern "C" void* load_qel_mhx(PluginDescriptor* descriptor);

namespace OpenApiEdge {

using namespace Oxle::Client;
using Api::ArgumentLocation;
using Api::HttpMethod;
using Binding::TypeDescriber;
template <class T>
using TD = TypeDescriber<T>;

// Every binding code, a rest parameter, argument locations of every kind, methods 0 and 8, a
// fragment route, and a second module with a colliding enum, an identical struct and its own
// "Error".
enum class Level : int32_t { Low = 1, High = 2 };
void DescribeBinding(TD<Level>& type) {
  type.Name("Level")
      .Description("How much.")
      .Value("Low", Level::Low, "a")
      .Value("High", Level::High);
}
struct Nested {
  bool flag = false;
  friend void DescribeBinding(TD<Nested>& t) { t.Name("Nested").Field("flag", &Nested::flag); }
};
struct Sample {
  int8_t small = 0;
  uint16_t port = 0;
  double ratio = 0;
  std::string name;
  Binding::Blob data;
  std::vector<Level> levels;
  std::map<std::string, int64_t> counts;
  Level level = Level::Low;
  Binding::BindingProperty extra;
  Nested nested;
};
void DescribeBinding(TD<Sample>& type) {
  type.Name("Sample").Description("One of everything.").Field("small", &Sample::small);
  type.Field("port", &Sample::port, 0, "the port", true).Field("ratio", &Sample::ratio);
  type.Field("name", &Sample::name).Field("data", &Sample::data).Field("levels", &Sample::levels);
  type.Field("counts", &Sample::counts).Field("level", &Sample::level);
  type.Field("extra", &Sample::extra).Field("nested", &Sample::nested, 0, "the nested one");
}
// Equal in both modules but for what "Level" is there.
struct AlphaPair {
  Level level = Level::Low;
  friend void DescribeBinding(TD<AlphaPair>& t) {
    t.Name("Pair").Field("level", &AlphaPair::level);
  }
};
enum class OtherLevel : int32_t { Zero = 0 };
void DescribeBinding(TD<OtherLevel>& type) {
  type.Name("Level").Value("Zero", OtherLevel::Zero);
}
struct Holder {
  OtherLevel level = OtherLevel::Zero;
  Nested nested;
  friend void DescribeBinding(TD<Holder>& t) {
    t.Name("Holder").Field("level", &Holder::level).Field("nested", &Holder::nested);
  }
};
struct BetaPair {
  OtherLevel level = OtherLevel::Zero;
  friend void DescribeBinding(TD<BetaPair>& t) { t.Name("Pair").Field("level", &BetaPair::level); }
};
struct OwnError {
  std::string reason;
  friend void DescribeBinding(TD<OwnError>& t) {
    t.Name("Error").Field("reason", &OwnError::reason);
  }
};

// Module "alpha": routes of every shape. Module "beta": its own "Level", an identical "Nested",
// its own "Error", a route alpha already serves (shadowed) and one at another method of an
// equivalent template.
struct EdgeModules {
  Api::ApiRegistry alpha, beta;

  EdgeModules() {
    using L = ArgumentLocation;
    Binding::RegisterType<Sample>(alpha);
    Binding::RegisterType<AlphaPair>(alpha);
    Binding::FunctionRecord* files = Api::RegisterRoute(
        alpha, HttpMethod::Get, "/alpha/v1/files/{+path}", [](std::string) { return Sample{}; },
        {{"path", L::Path, "where the file is"}});
    files->description = "Reads a file.";
    files->help = "Any depth of folders.";
    Api::RegisterRoute(
        alpha, HttpMethod::Put, "/alpha/v1/items/{id}/",
        [](uint32_t, Sample, std::string, int32_t, bool, std::vector<Level>, uint64_t, Nested) {},
        {{"id", L::Path},
         {"data", L::Body, "the new item"},
         {"X-Note", L::Header},
         {"limit", L::Query, "", true},
         {"verbose", L::Query},
         {"filter", L::Any},
         {"ghost", L::Path},
         {"extra", L::Body}});
    Api::RegisterRoute(alpha, HttpMethod::Any, "/alpha/v1/any", [] { return Api::ApiResponse(); });
    alpha.FindRouteBinding(*Api::RegisterRoute(alpha, HttpMethod::Other, "/alpha/v1/cache", [] {}))
        ->methodName = "PURGE";
    Api::RegisterRoute(alpha, HttpMethod::Get, "/alpha/v1/doc{#frag}", [](std::string) {},
                       {{"frag", L::Path}});
    Binding::RegisterType<Holder>(beta);
    Binding::RegisterType<OwnError>(beta);
    Binding::RegisterType<BetaPair>(beta);
    Api::RegisterRoute(beta, HttpMethod::Get, "/alpha/v1/any", [] { return Holder{}; });
    Api::RegisterRoute(beta, HttpMethod::Delete, "/alpha/v1/items/{key}", [](std::string) {},
                       {{"key", L::Path}});
    Api::RegisterRoute(beta, HttpMethod::Get, "/beta/v1/holder", [] { return Holder{}; });
  }
};

// An export table written by hand: routes by name, namespace, method code and path; every entry
// has a callback that is never called (unless it is to have none).
struct HandTable {
  struct Route {
    const char *name, *nameSpace;
    uint32_t method;
    const char* path;
    bool withCallback = true, withTemplate = true;
  };
  explicit HandTable(const std::vector<Route>& routes) : entries_(routes.size()) {
    for (size_t i = 0; i < routes.size(); ++i) {
      FlatFunctionRecord& f = entries_[i].function;
      f.next = i + 1 < routes.size() ? &entries_[i + 1].function : nullptr;
      f.name = routes[i].name;
      f.nameSpace = routes[i].nameSpace;
      f.description = f.help = f.returnTypeName = f.asyncTypeName = entries_[i].methodName = "";
      f.returnCode = 12;
      entries_[i].callback =
          routes[i].withCallback ? +[](ApiResponseRecord*, const ApiRequestRecord*) {} : nullptr;
      entries_[i].pathTemplate = routes[i].withTemplate ? routes[i].path : nullptr;
      entries_[i].method = routes[i].method;
    }
    table_.entries = entries_.empty() ? nullptr : entries_.data();
    table_.entryCount = static_cast<uint32_t>(entries_.size());
  }
  std::vector<ApiExportEntry> entries_;
  ApiExportTable table_{};
};

}  // namespace OpenApiEdge

namespace Oxle::Client::Host::Cli {
namespace {

using OpenApiEdge::HandTable;
using Modules = std::vector<OpenApiModule>;

// The document of `modules` against the text in openapi/`name`. With TPK_WRITE_EXPECTED=1 in the
// environment the test writes the document there instead (then check the difference, which the
// OpenAPI validator test also reads).
void ExpectDocument(const Modules& modules, const std::string& name,
                    const std::string& url = "http://127.0.0.1:8080") {
  const std::string path = std::string(TPK_OPENAPI_DIR) + "/" + name;
  const std::string actual =
      Codec::WriteJson(BuildOpenApiDocument(modules, url), nullptr, "\n") + "\n";
  if (const char* write = std::getenv("TPK_WRITE_EXPECTED"); write && std::string(write) == "1") {
    std::ofstream(path, std::ios::binary) << actual;
  }
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(actual, std::string(std::istreambuf_iterator<char>(in), {}));
}

TEST(OpenApiDocument, OfTheMatchHistoryModule) {
  HostOptions manual;
  manual.mode = HostMode::Manual;
  Host host(manual);
  const Result<ModuleId> loaded = host.LoadModule(&load_qel_mhx, "linked mhx");
  ASSERT_TRUE(loaded.Ok()) << loaded.ErrorMessage();
  const Result<ModuleInfo> info = host.Module(loaded.Value());
  ASSERT_TRUE(info.Ok());
  ExpectDocument({{info.Value().shortName, "18.0.0", info.Value().exportTable}}, "module.json");
}

TEST(OpenApiDocument, OfModulesOfEveryShapeThatCollide) {
  OpenApiEdge::EdgeModules modules;
  ExpectDocument({{"alpha", "1.2.3", &modules.alpha.BuildExportTable()},
                  {"beta", "0.1.0", &modules.beta.BuildExportTable()}},
                 "edge.json");
}

// Names that collide are qualified, and only those; what the host would not serve is listed
// apart; linked lists that loop end; tables with nothing in them.
TEST(OpenApiDocument, OfHandWrittenTables) {
  HandTable first(
      {{"List", "alpha.v1", 2, "/a/one"}, {"Solo", "", 2, "/a/two"}, {"AnyM", "", 0, "/m"}});
  HandTable second({{"List", "", 2, "/b/one"},
                    {"List", "", 7, "/b/two"},
                    {"PurgeM", "", 8, "/m"},
                    {"Param", "", 2, "/m/{x}"},
                    {"NoCallback", "", 2, "/n", false},
                    {"NoTemplate", "", 2, "", true, false},
                    {"Relative", "", 2, "n"},
                    {"Query", "", 2, "/n?x=1"},
                    {"Loop", "", 2, "/loop"}});
  second.entries_[2].methodName = "PURGE";
  FlatTypeRecord type{&type, "Loop", "", 0, "", nullptr, 0, nullptr, nullptr, 1};
  FlatFieldRecord field{&field, "self", "", 0, 17, 0, "Loop", 0};
  FlatArgumentRecord argument{&argument, "x", "", 12, 0, "", 0};
  type.fields = &field;
  second.entries_[8].function.arguments = &argument;
  second.entries_[8].function.argumentCount = 1;
  second.table_.types = &type;
  ExpectDocument({{"alpha", "1", &first.table_}, {"beta", "2", &second.table_}}, "hand.json");
  // No module, and modules without routes (one without even a table) and without a server URL.
  ExpectDocument({}, "none.json");
  HandTable empty({});
  ExpectDocument({{"a", "1", nullptr}, {"b", "2", &empty.table_}}, "empty.json", "");
}

}  // namespace
}  // namespace Oxle::Client::Host::Cli
