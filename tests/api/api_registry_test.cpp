#include "api/api_registry.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "api/dispatch.h"
#include "api/host_request.h"

namespace Oxle::Client::Api {
namespace {

using Testing::FindEntry;

class ApiRegistryTest : public ::testing::Test {
 protected:
  // A function with `arguments` slots and a route binding at `path`.
  RouteBinding& AddRoute(const std::string& name, const std::string& path,
                         std::vector<std::pair<const char*, ArgumentLocation>> arguments) {
    Binding::FunctionRecord* function = registry.RegisterFunction(name, arguments.size());
    RouteBinding& binding = registry.CreateRouteBinding(*function);
    SetRoutePath(binding, path);
    SetRouteMethod(binding, HttpMethod::Get);
    for (const auto& [argument, location] : arguments) {
      DeclareArgument(registry, *function, argument, "", location);
    }
    return binding;
  }

  ApiRegistry registry;
};

TEST_F(ApiRegistryTest, EntriesDescribeEveryRoutedFunctionOnly) {
  AddRoute("GetA", "/a/{id}", {{"id", ArgumentLocation::Path}, {"q", ArgumentLocation::Query}});
  RouteBinding& b = AddRoute("GetB", "/b", {});
  b.method = static_cast<HttpMethod>(9);  // exported as 0
  b.flags = 3;
  b.stringLists = {{"x", "y"}, {}};
  registry.RegisterFunction("Unrouted", 0);

  const ApiExportTable& table = registry.BuildExportTable();
  ASSERT_EQ(+table.entryCount, 2u);
  std::set<std::string> names;
  size_t linked = 0;
  for (const ApiExportEntry* entry = table.entries; entry != nullptr;
       entry = reinterpret_cast<const ApiExportEntry*>(entry->function.next)) {
    names.insert(entry->function.name);
    EXPECT_EQ(+entry->callback, &ExportCallback);
    ++linked;
  }
  EXPECT_EQ(linked, 2u);
  EXPECT_EQ(names, (std::set<std::string>{"GetA", "GetB"}));

  const ApiExportEntry* a = FindEntry(table, "GetA");
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->pathTemplate, "/a/{id}");
  EXPECT_EQ(+a->method, 2u);
  EXPECT_STREQ(a->methodName, "");
  ASSERT_NE(+a->argumentLocations, nullptr);
  EXPECT_EQ(+a->argumentLocations->location, 2u);
  ASSERT_NE(+a->argumentLocations->next, nullptr);
  EXPECT_EQ(+a->argumentLocations->next->location, 1u);
  EXPECT_EQ(+a->argumentLocations->next->next, nullptr);
  EXPECT_EQ(+a->function.argumentCount, 2u);
  const auto* pair = static_cast<const ApiExportUserData*>(a->function.userData);
  ASSERT_NE(pair, nullptr);
  EXPECT_EQ(pair->registry, &registry);
  EXPECT_EQ(pair->binding, registry.FindRouteBinding(*registry.FindFunction("GetA")));

  const ApiExportEntry* bEntry = FindEntry(table, "GetB");
  ASSERT_NE(bEntry, nullptr);
  EXPECT_EQ(+bEntry->method, 0u);
  EXPECT_EQ(+bEntry->flags, 3);
  EXPECT_EQ(+bEntry->argumentLocations, nullptr);
  ASSERT_EQ(+bEntry->stringListCount, 2u);
  EXPECT_EQ(+bEntry->stringLists->count, 2u);
  EXPECT_STREQ(bEntry->stringLists->texts[1], "y");
  EXPECT_EQ(+bEntry->stringLists->next->count, 0u);
  EXPECT_EQ(+bEntry->stringLists->next->next, nullptr);

  // The unrouted function is in the flat description only.
  EXPECT_EQ(FindEntry(table, "Unrouted"), nullptr);
  size_t flatFunctions = 0;
  bool unroutedListed = false;
  for (const FlatFunctionRecord* f = table.functions; f != nullptr; f = f->next) {
    ++flatFunctions;
    unroutedListed = unroutedListed || std::string(f->name) == "Unrouted";
  }
  EXPECT_EQ(flatFunctions, 3u);
  EXPECT_TRUE(unroutedListed);
  EXPECT_EQ(+table.reserved, 0u);
}

TEST_F(ApiRegistryTest, ASecondBindingReplacesTheFirst) {
  Binding::FunctionRecord* function = registry.RegisterFunction("F", 1);
  RouteBinding& first = registry.CreateRouteBinding(*function);
  SetRoutePath(first, "/first");
  RouteBinding& second = registry.CreateRouteBinding(*function);
  SetRoutePath(second, "/second");
  EXPECT_EQ(registry.FindRouteBinding(*function), &second);
  EXPECT_EQ(second.argumentLocations.size(), 1u);
  EXPECT_EQ(first.pathTemplate, "/first");  // still alive for whoever held it
  ASSERT_EQ(registry.CopyRouteBindings().size(), 1u);
  const ApiExportTable& table = registry.BuildExportTable();
  ASSERT_EQ(+table.entryCount, 1u);
  EXPECT_STREQ(table.entries[0].pathTemplate, "/second");
}

TEST_F(ApiRegistryTest, RebuildingReplacesTheWholeTable) {
  AddRoute("GetA", "/a", {});
  EXPECT_EQ(registry.BuildExportTable().entryCount, 1u);
  AddRoute("GetB", "/b", {});
  AddRoute("GetC", "/c", {});
  const ApiExportTable& table = registry.BuildExportTable();
  EXPECT_EQ(+table.entryCount, 3u);
  for (const char* name : {"GetA", "GetB", "GetC"}) {
    const ApiExportEntry* entry = FindEntry(table, name);
    ASSERT_NE(entry, nullptr) << name;
    const auto* pair = static_cast<const ApiExportUserData*>(entry->function.userData);
    EXPECT_EQ(static_cast<const RouteBinding*>(pair->binding)->function->name, name);
  }
}

TEST_F(ApiRegistryTest, ACallWithoutUserDataIsAnInvalidFunction) {
  ApiResponseRecord response;
  ApiRequestRecord request{};
  request.target = "/a";
  ExportCallback(&response, &request);
  EXPECT_EQ(+response.error, 1);
  EXPECT_STREQ(response.errorMessage, "Invalid function");
  EXPECT_EQ(+response.status, 404u);
  EXPECT_STREQ(response.text, "");  // never null, even on the dispatcher's own failures
  response.free(&response);
  EXPECT_EQ(+response.errorMessage, nullptr);
}

}  // namespace
}  // namespace Oxle::Client::Api
