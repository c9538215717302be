// Small APIs whose OpenAPI documents exercise the unusual corners: every binding code, a rest
// parameter, argument locations of every kind, methods 0 and 8, a fragment route, and a second
// module with a colliding enum, an identical struct and its own "Error". Shared by the document
// tests and the program that writes documents for the validator. The registries own the tables.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api/api_registry.h"
#include "api/route_registration.h"
#include "binding/types/type_binding.h"
#include "cli/openapi.h"

namespace OpenApiEdge {

using namespace Oxle::Client;
using Api::ApiResponse;
using Api::ArgumentLocation;
using Api::HttpMethod;
using Binding::TypeDescriber;

enum class Level : int32_t { Low = 1, High = 2 };
inline void DescribeBinding(TypeDescriber<Level>& type) {
  type.Name("Level")
      .Description("How much.")
      .Value("Low", Level::Low, "a little")
      .Value("High", Level::High);
}

struct Nested {
  bool flag = false;
};
inline void DescribeBinding(TypeDescriber<Nested>& type) {
  type.Name("Nested").Field("flag", &Nested::flag);
}

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
inline void DescribeBinding(TypeDescriber<Sample>& type) {
  type.Name("Sample")
      .Description("One of everything.")
      .Field("small", &Sample::small)
      .Field("port", &Sample::port, 0, "the port", true)
      .Field("ratio", &Sample::ratio)
      .Field("name", &Sample::name)
      .Field("data", &Sample::data)
      .Field("levels", &Sample::levels)
      .Field("counts", &Sample::counts)
      .Field("level", &Sample::level)
      .Field("extra", &Sample::extra)
      .Field("nested", &Sample::nested, 0, "the nested one");
}

// Equal in both modules but for what "Level" is there.
struct AlphaPair {
  Level level = Level::Low;
};
inline void DescribeBinding(TypeDescriber<AlphaPair>& type) {
  type.Name("Pair").Field("level", &AlphaPair::level);
}

// The second module's enum of the same name, with other enumerators.
enum class OtherLevel : int32_t { Zero = 0 };
inline void DescribeBinding(TypeDescriber<OtherLevel>& type) {
  type.Name("Level").Value("Zero", OtherLevel::Zero);
}
struct Holder {
  OtherLevel level = OtherLevel::Zero;
  Nested nested;
};
inline void DescribeBinding(TypeDescriber<Holder>& type) {
  type.Name("Holder").Field("level", &Holder::level).Field("nested", &Holder::nested);
}
struct BetaPair {
  OtherLevel level = OtherLevel::Zero;
};
inline void DescribeBinding(TypeDescriber<BetaPair>& type) {
  type.Name("Pair").Field("level", &BetaPair::level);
}
struct OwnError {
  std::string reason;
};
inline void DescribeBinding(TypeDescriber<OwnError>& type) {
  type.Name("Error").Field("reason", &OwnError::reason);
}

// Module "alpha": registered routes of every shape.
struct Alpha {
  Api::ApiRegistry registry;

  Alpha() {
    using L = ArgumentLocation;
    Binding::RegisterType<Sample>(registry);
    Binding::RegisterType<AlphaPair>(registry);
    Binding::FunctionRecord* files = Api::RegisterRoute(
        registry, HttpMethod::Get, "/alpha/v1/files/{+path}", [](std::string) { return Sample{}; },
        {{"path", L::Path, "where the file is"}});
    files->description = "Reads a file.";
    files->help = "Any depth of folders.";
    Api::RegisterRoute(
        registry, HttpMethod::Put, "/alpha/v1/items/{id}/",
        [](uint32_t, Sample, std::string, int32_t, bool, std::vector<Level>, uint64_t, Nested) {},
        {{"id", L::Path},
         {"data", L::Body, "the new item"},
         {"X-Note", L::Header},
         {"limit", L::Query, "", true},
         {"verbose", L::Query},
         {"filter", L::Any},
         {"ghost", L::Path},
         {"extra", L::Body}});
    Api::RegisterRoute(registry, HttpMethod::Any, "/alpha/v1/any", [] { return ApiResponse(); });
    Binding::FunctionRecord* purge =
        Api::RegisterRoute(registry, HttpMethod::Other, "/alpha/v1/cache", [] {});
    registry.FindRouteBinding(*purge)->methodName = "PURGE";
    Api::RegisterRoute(registry, HttpMethod::Get, "/alpha/v1/doc{#frag}", [](std::string) {},
                       {{"frag", L::Path}});
  }

  [[nodiscard]] Host::Cli::OpenApiModule Module() {
    return {"alpha", "1.2.3", &registry.BuildExportTable()};
  }
};

// Module "beta": its own "Level", an identical "Nested", its own "Error", a route alpha already
// serves (shadowed) and one at another method of an equivalent template.
struct Beta {
  Api::ApiRegistry registry;

  Beta() {
    using L = ArgumentLocation;
    Binding::RegisterType<Holder>(registry);
    Binding::RegisterType<OwnError>(registry);
    Binding::RegisterType<BetaPair>(registry);
    Api::RegisterRoute(registry, HttpMethod::Get, "/alpha/v1/any", [] { return Holder{}; });
    Api::RegisterRoute(registry, HttpMethod::Delete, "/alpha/v1/items/{key}", [](std::string) {},
                       {{"key", L::Path}});
    Api::RegisterRoute(registry, HttpMethod::Get, "/beta/v1/holder", [] { return Holder{}; });
  }

  [[nodiscard]] Host::Cli::OpenApiModule Module() {
    return {"beta", "0.1.0", &registry.BuildExportTable()};
  }
};

// An export table written by hand, for what registration cannot produce: functions of one name
// in several modules or namespaces. Every entry has a callback that is never called.
class HandTable {
 public:
  struct Route {
    std::string name;
    std::string nameSpace;
    uint32_t method = 2;
    std::string path;
    bool withCallback = true;
    bool withTemplate = true;
  };

  explicit HandTable(std::vector<Route> routes) : routes_(std::move(routes)) {
    entries_.resize(routes_.size());
    for (size_t i = 0; i < routes_.size(); ++i) {
      ApiExportEntry& entry = entries_[i];
      entry.function.name = routes_[i].name.c_str();
      entry.function.nameSpace = routes_[i].nameSpace.c_str();
      entry.function.description = "";
      entry.function.help = "";
      entry.function.returnTypeName = "";
      entry.function.asyncTypeName = "";
      entry.function.returnCode = 12;
      entry.function.next = i + 1 < routes_.size() ? &entries_[i + 1].function : nullptr;
      entry.callback = routes_[i].withCallback ? &Unused : nullptr;
      entry.pathTemplate = routes_[i].withTemplate ? routes_[i].path.c_str() : nullptr;
      entry.method = routes_[i].method;
      entry.methodName = "";
    }
    table_.entries = entries_.empty() ? nullptr : entries_.data();
    table_.entryCount = static_cast<uint32_t>(entries_.size());
  }
  HandTable(const HandTable&) = delete;
  HandTable& operator=(const HandTable&) = delete;

  [[nodiscard]] const ApiExportTable* Table() const noexcept { return &table_; }
  [[nodiscard]] ApiExportTable* MutableTable() noexcept { return &table_; }
  [[nodiscard]] ApiExportEntry& Entry(size_t index) { return entries_[index]; }

 private:
  static void Unused(ApiResponseRecord*, const ApiRequestRecord*) {}

  std::vector<Route> routes_;
  std::vector<ApiExportEntry> entries_;
  ApiExportTable table_{};
};

}  // namespace OpenApiEdge
