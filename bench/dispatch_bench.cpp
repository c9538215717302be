// Request dispatch through an export entry's callback, beside the same dispatch done the literal
// way: the route's regular expression compiled for every request and matched with the standard
// regex library, then the same binding, invocation and response record.
//
//   Dispatch/OnePathOneQuery/{ours,regex}   GET /bench/v1/games/{gameId}?detail=full
//   Dispatch/ThreePath/{ours,regex}         GET
//   /bench/v1/{region}/players/{playerId}/games/{gameId}
//
// Ten routes are registered; each handler answers with a small registered structure. The
// "...Alone" cases run with no other value alive in the process (see ResidentValue).
#include <benchmark/benchmark.h>

#include <regex>
#include <string>
#include <vector>

#include "api/dispatch.h"
#include "api/route_pattern.h"
#include "api/route_registration.h"
#include "binding/types/type_binding.h"
#include "ratio_reporter.h"

namespace Oxle::Client::Bench {
namespace {

using Api::ArgumentLocation;
using Api::HttpMethod;

struct GameSummary {
  uint64_t gameId = 0;
  std::string region;
  uint32_t duration = 0;
};

void DescribeBinding(Binding::TypeDescriber<GameSummary>& type) {
  type.Name("GameSummary")
      .Field("gameId", &GameSummary::gameId)
      .Field("region", &GameSummary::region)
      .Field("duration", &GameSummary::duration);
}

class Fixture {
 public:
  Fixture() {
    using L = ArgumentLocation;
    for (int i = 0; i < 8; ++i) {
      Api::RegisterRoute(registry, HttpMethod::Get,
                         "/bench/v1/filler" + std::to_string(i) + "/{id}",
                         [](uint64_t id) {
                           return GameSummary{id, "x", 1};
                         },
                         {{"id", L::Path}});
    }
    Api::RegisterRoute(registry, HttpMethod::Get, "/bench/v1/games/{gameId}",
                       [](uint64_t gameId, std::string detail) {
                         return GameSummary{gameId, detail, 1800};
                       },
                       {{"gameId", L::Path}, {"detail", L::Query}});
    Api::RegisterRoute(registry, HttpMethod::Get,
                       "/bench/v1/{region}/players/{playerId}/games/{gameId}",
                       [](std::string region, uint64_t playerId, uint64_t gameId) {
                         return GameSummary{gameId + playerId, region, 1800};
                       },
                       {{"region", L::Path}, {"playerId", L::Path}, {"gameId", L::Path}});
    table = &registry.BuildExportTable();
  }

  const ApiExportEntry& Entry(std::string_view name) const {
    for (const ApiExportEntry* entry = table->entries; entry != nullptr;
         entry = reinterpret_cast<const ApiExportEntry*>(entry->function.next)) {
      if (name == entry->function.name) return *entry;
    }
    std::abort();
  }

  Api::ApiRegistry registry;
  const ApiExportTable* table = nullptr;
};

Fixture& Shared() {
  static Fixture* fixture = new Fixture();
  return *fixture;
}

ApiRequestRecord Request(const ApiExportEntry& entry, const char* target) {
  ApiRequestRecord request{};
  request.method = 2;
  request.target = target;
  request.userData = entry.function.userData;
  request.contentType = "";
  request.methodName = "";
  return request;
}

void Check(benchmark::State& state, const ApiResponseRecord& response) {
  if (response.error != 0) state.SkipWithError(response.errorMessage);
}

// A plugin keeps values alive between requests (its session, its configuration), so the page
// source keeps a region mapped and a request's values take pages from it. Without any such
// value, every request maps and unmaps a region of its own.
Binding::BindingProperty ResidentValue(bool resident) {
  Binding::BindingProperty value;
  if (resident) {
    for (const char* key : {"session", "configuration", "platform"})
      value.Get(key).SetBool(true);
  }
  return value;
}

void Ours(benchmark::State& state, const char* function, const char* target, bool resident) {
  const Binding::BindingProperty kept = ResidentValue(resident);
  const ApiExportEntry& entry = Shared().Entry(function);
  const ApiRequestRecord request = Request(entry, target);
  for (auto _ : state) {
    ApiResponseRecord response;
    entry.callback(&response, &request);
    Check(state, response);
    benchmark::DoNotOptimize(response.value.kind);
    response.free(&response);
  }
}

// The literal dispatch: the pattern's expression is compiled for each request.
void Regex(benchmark::State& state, const char* function, const char* target, bool resident) {
  const Binding::BindingProperty kept = ResidentValue(resident);
  const ApiExportEntry& entry = Shared().Entry(function);
  const ApiRequestRecord request = Request(entry, target);
  const auto* userData = static_cast<const ApiExportUserData*>(entry.function.userData);
  const auto& binding = *static_cast<const Api::RouteBinding*>(userData->binding);
  for (auto _ : state) {
    ApiResponseRecord response;
    Api::ResetResponseRecord(response);
    std::vector<Api::PathParameter> parameters;
    const std::regex expression(Api::TemplateToRegex(binding.pathTemplate, parameters),
                                std::regex::ECMAScript | std::regex::optimize);
    const std::string path = std::string(target).substr(0, std::string_view(target).find('?'));
    Api::RouteMatch match;
    match.target = path;
    match.method = HttpMethod::Get;
    std::smatch groups;
    if (std::regex_match(path, groups, expression)) {
      for (size_t i = 1; i < groups.size(); ++i) {
        match.pathParameters[parameters[i - 1].name] = Api::UrlDecode(groups[i].str());
      }
      match.function = binding.function;
      match.binding = &binding;
      Api::InvokeFunction(response, request, match);
    }
    Check(state, response);
    benchmark::DoNotOptimize(response.value.kind);
    response.free(&response);
  }
}

constexpr const char* kOneFunction = "GetBenchV1GamesByGameId";
constexpr const char* kOneTarget = "/bench/v1/games/4242424242?detail=full";
constexpr const char* kThreeFunction = "GetBenchV1ByRegionPlayersByPlayerIdGamesByGameId";
constexpr const char* kThreeTarget = "/bench/v1/north/players/123456789/games/4242424242";

void RegisterAll() {
  struct Case {
    const char* name;
    const char* function;
    const char* target;
  };
  for (const Case& c : {Case{"OnePathOneQuery", kOneFunction, kOneTarget},
                        Case{"ThreePath", kThreeFunction, kThreeTarget}}) {
    for (const bool resident : {true, false}) {
      const std::string stem = std::string("Dispatch/") + c.name + (resident ? "" : "Alone");
      benchmark::RegisterBenchmark((stem + "/ours").c_str(), Ours, c.function, c.target, resident);
      benchmark::RegisterBenchmark((stem + "/regex").c_str(), Regex, c.function, c.target,
                                   resident);
    }
  }
}

}  // namespace
}  // namespace Oxle::Client::Bench

int main(int argc, char** argv) {
  Oxle::Client::Bench::RegisterAll();
  return Oxle::Client::Bench::RunBenchmarksWithRatios(argc, argv, "regex");
}
