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

  // Each entry as "path method 'name' flags locations/lists", and the user data of GetA.
  const auto describe = [&](const char* name) {
    const ApiExportEntry* entry = FindEntry(table, name);
    if (entry == nullptr) return std::string("none");
    std::string text = std::string(entry->pathTemplate) + " " + std::to_string(entry->method) +
                       " '" + entry->methodName + "' " + std::to_string(entry->flags) + " " +
                       std::to_string(entry->function.argumentCount) + ":";
    for (const auto* l = entry->argumentLocations; l != nullptr; l = l->next)
      text += std::to_string(l->location);
    text += "/" + std::to_string(entry->stringListCount) + ":";
    for (const auto* list = entry->stringLists; list != nullptr; list = list->next) {
      text += "[";
      for (uint32_t i = 0; i < list->count; ++i)
        text += list->texts[i];
      text += "]";
    }
    return text;
  };
  EXPECT_EQ(describe("GetA"), "/a/{id} 2 '' 0 2:21/0:");
  EXPECT_EQ(describe("GetB"), "/b 0 '' 3 0:/2:[xy][]");
  EXPECT_EQ(describe("Unrouted"), "none");
  const auto* pair =
      static_cast<const ApiExportUserData*>(FindEntry(table, "GetA")->function.userData);
  EXPECT_EQ(pair->registry, &registry);
  EXPECT_EQ(pair->binding, registry.FindRouteBinding(*registry.FindFunction("GetA")));

  // The unrouted function is in the flat description only.
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
