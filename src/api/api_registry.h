// ApiRegistry: the registry of an API's functions, types and events, plus the route binding of
// every function served over HTTP and the export table through which the host learns the API and
// calls into it.
// Bindings are created at registration and live as long as the registry (a replaced binding is
// kept, unreachable, so pointers to it stay valid). The export table is built once registration
// is over, on the registering thread, and is read-only afterwards; its pointers stay valid until
// it is rebuilt or the registry is destroyed.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/routes.h"
#include "binding/types/binding_registry.h"
#include "binding/types/flat_description.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Api {

class ApiRegistry : public Binding::BindingRegistry {
 public:
  ApiRegistry() = default;
  ~ApiRegistry();

  // A new binding for `function`, with one location slot (Any) per argument, stored under the
  // function in place of any earlier one.
  RouteBinding& CreateRouteBinding(const Binding::FunctionRecord& function);
  // The binding of `function`, or null.
  [[nodiscard]] RouteBinding* FindRouteBinding(const Binding::FunctionRecord& function) const;
  // The current bindings, in the map's order.
  [[nodiscard]] std::vector<const RouteBinding*> CopyRouteBindings() const;

  // Builds (or rebuilds) the export table: one entry per route binding, with the flat
  // description of the whole API in its last four words.
  const ApiExportTable& BuildExportTable();

 private:
  using NamedBinding = std::pair<std::string_view, const RouteBinding*>;

  // Fills `entry` for `binding`: its flat function record, argument locations, path, method and
  // string lists, taken from the arrays at `nextLocation` and `nextList`, which move past them.
  void FillExportEntry(ApiExportEntry& entry, const NamedBinding& routed, size_t& nextLocation,
                       size_t& nextList);
  // Gives each entry its user data (this registry and the entry's binding, in userData_ by the
  // function's name) and the dispatch callback.
  void LinkExportUserData(const std::vector<NamedBinding>& routed);

  // Guards bindings_ and retiredBindings_.
  mutable std::mutex bindingsMutex_;
  std::unordered_map<const Binding::FunctionRecord*, std::unique_ptr<RouteBinding>> bindings_;
  std::vector<std::unique_ptr<RouteBinding>> retiredBindings_;

  // The export storage, written only by BuildExportTable.
  Binding::FlatApiDescription flat_;
  std::vector<ApiExportEntry> entries_;
  std::vector<ApiArgumentLocationRecord> locations_;
  std::vector<ApiStringListRecord> stringLists_;
  std::vector<std::vector<const char*>> stringListTexts_;
  std::unordered_map<std::string, ApiExportUserData> userData_;
  ApiExportTable table_{};
};

// Declares the function's next argument (name and description) and records where a request may
// supply it. Precondition: the function has a route binding in `registry`.
void DeclareArgument(ApiRegistry& registry, Binding::FunctionRecord& function,
                     std::string_view name, std::string_view description,
                     ArgumentLocation location);

}  // namespace Oxle::Client::Api
