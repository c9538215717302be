#include "api/api_registry.h"

#include <gtest/gtest.h>

#include <set>

#include "api/dispatch.h"
#include "api/host_request.h"

namespace Oxle::Client::Api {
namespace {

using Testing::FindEntry;

class ApiRegistryTest : public ::testing::Test {
 protected:
  // A function with `arguments` slots and a route binding at `path`.
  RouteBinding& AddRoute(const std::string& name, const std::string& path,
                         std::vector<std::pair<const char*, ArgumentLocation>> arguments = {}) {
    Binding::FunctionRecord* function = registry.RegisterFunction(name, arguments.size());
    RouteBinding& binding = registry.CreateRouteBinding(*function);
    SetRoutePath(binding, path);
    SetRouteMethod(binding, HttpMethod::Get);
    for (const auto& [argument, location] : arguments)
      DeclareArgument(registry, *function, argument, "", location);
    return binding;
  }
  // The entry count and reserved field, each entry as "name path method 'name' flags
  // count:locations/lists", and the flat function names, in name order; every entry calls the
  // export callback with its registry and binding.
  std::string Describe() {
    const ApiExportTable& table = registry.BuildExportTable();
    std::set<std::string> entries, flat;
    for (const ApiExportEntry* entry = table.entries; entry != nullptr;
         entry = reinterpret_cast<const ApiExportEntry*>(entry->function.next)) {
      EXPECT_EQ(+entry->callback, &ExportCallback);
      const auto* pair = static_cast<const ApiExportUserData*>(entry->function.userData);
      EXPECT_EQ(pair->registry, &registry);
      EXPECT_EQ(pair->binding,
                registry.FindRouteBinding(*registry.FindFunction(entry->function.name)));
      std::string text = "|" + std::string(entry->function.name) + " " + entry->pathTemplate + " " +
                         std::to_string(entry->method) + " '" + entry->methodName + "' " +
                         std::to_string(entry->flags) + " " +
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
      entries.insert(text);
    }
    for (const FlatFunctionRecord* f = table.functions; f != nullptr; f = f->next)
      flat.insert(std::string(" ") + f->name);
    std::string text = std::to_string(table.entryCount) + " " + std::to_string(table.reserved);
    for (const std::string& part : entries)
      text += part;
    text += "|flat:";
    for (const std::string& part : flat)
      text += part;
    return text;
  }

  ApiRegistry registry;
};

TEST_F(ApiRegistryTest, EntriesDescribeEveryRoutedFunctionOnly) {
  AddRoute("GetA", "/a/{id}", {{"id", ArgumentLocation::Path}, {"q", ArgumentLocation::Query}});
  RouteBinding& b = AddRoute("GetB", "/b");
  b.method = static_cast<HttpMethod>(9);  // exported as 0
  b.flags = 3;
  b.stringLists = {{"x", "y"}, {}};
  registry.RegisterFunction("Unrouted", 0);
  // The unrouted function is in the flat description only.
  EXPECT_EQ(Describe(),
            "2 0|GetA /a/{id} 2 '' 0 2:21/0:|GetB /b 0 '' 3 0:/2:[xy][]|flat: GetA GetB Unrouted");
}

// A second binding of a function replaces the first; a rebuilt table holds every route.
TEST_F(ApiRegistryTest, ASecondBindingReplacesTheFirstAndRebuildingReplacesTheTable) {
  Binding::FunctionRecord* function = registry.RegisterFunction("F", 1);
  RouteBinding& first = registry.CreateRouteBinding(*function);
  SetRoutePath(first, "/first");
  RouteBinding& second = registry.CreateRouteBinding(*function);
  SetRoutePath(second, "/second");
  EXPECT_EQ(registry.FindRouteBinding(*function), &second);
  EXPECT_EQ(second.argumentLocations.size(), 1u);
  EXPECT_EQ(first.pathTemplate, "/first");  // still alive for whoever held it
  ASSERT_EQ(registry.CopyRouteBindings().size(), 1u);
  EXPECT_EQ(Describe(), "1 0|F /second 0 '' 0 1:0/0:|flat: F");
  AddRoute("GetB", "/b");
  AddRoute("GetC", "/c");
  EXPECT_EQ(registry.BuildExportTable().entryCount, 3u);
  for (const char* name : {"F", "GetB", "GetC"})
    EXPECT_NE(FindEntry(registry.BuildExportTable(), name), nullptr) << name;
}

TEST_F(ApiRegistryTest, ACallWithoutUserDataIsAnInvalidFunction) {
  ApiResponseRecord response;
  ApiRequestRecord request{};
  request.target = "/a";
  ExportCallback(&response, &request);
  EXPECT_EQ(std::tuple(+response.error, std::string(response.errorMessage), +response.status),
            std::tuple(1, "Invalid function", 404u));
  EXPECT_STREQ(response.text, "");  // never null, even on the dispatcher's own failures
  response.free(&response);
  EXPECT_EQ(+response.errorMessage, nullptr);
}

}  // namespace
}  // namespace Oxle::Client::Api
