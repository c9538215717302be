// The flat API description: the registered functions, types and events as the packed, linked C
// records of tpk/plugin_abi.h, for the plugin host.
//
// FlatApiDescription owns every array; the records' texts point into the registry's records and
// are not copied, so the arrays stay valid until the storage is rebuilt or destroyed and while the
// registry is unchanged. Moving the storage keeps every pointer; copying is not allowed.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/types/binding_registry.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Binding {

// The six words of the description: each array's first record (null when empty) and its count.
struct FlatApiArrays {
  const FlatFunctionRecord* functions = nullptr;
  uint32_t functionCount = 0;
  const FlatTypeRecord* types = nullptr;
  uint32_t typeCount = 0;
  const FlatEventRecord* events = nullptr;
  uint32_t eventCount = 0;
};

class FlatApiDescription;

// Replaces the storage's arrays with the description of the given records, in the given order,
// and returns its six words. Null records are skipped.
[[nodiscard]] FlatApiArrays BuildFlatApiDescription(
    FlatApiDescription& storage, std::span<const FunctionRecord* const> functions,
    std::span<const TypeRecord* const> types, std::span<const EventRecord* const> events);

// Owns the arrays of one flat description.
class FlatApiDescription {
 public:
  FlatApiDescription() = default;
  FlatApiDescription(const FlatApiDescription&) = delete;
  FlatApiDescription& operator=(const FlatApiDescription&) = delete;
  FlatApiDescription(FlatApiDescription&&) = default;
  FlatApiDescription& operator=(FlatApiDescription&&) = default;

  [[nodiscard]] const FlatApiArrays& Arrays() const noexcept { return arrays_; }
  // The flat record of the function of that name (the first one built under it), or null.
  [[nodiscard]] const FlatFunctionRecord* FindFunction(std::string_view name) const;

 private:
  friend FlatApiArrays BuildFlatApiDescription(FlatApiDescription& storage,
                                               std::span<const FunctionRecord* const> functions,
                                               std::span<const TypeRecord* const> types,
                                               std::span<const EventRecord* const> events);

  // Each function's arguments, each type's fields and each enum's enumerators are one
  // contiguous run of these shared arrays; links stay within a run.
  std::vector<FlatFunctionRecord> functions_;
  std::vector<FlatArgumentRecord> arguments_;
  std::vector<FlatTypeRecord> types_;
  std::vector<FlatFieldRecord> fields_;
  std::vector<FlatEnumeratorRecord> enumerators_;
  std::vector<FlatEventRecord> events_;
  std::vector<const char*> tags_;  // runs of tag texts, one per record with tags
  // Keys are views of the registry's function names.
  std::unordered_map<std::string_view, size_t> functionsByName_;
  FlatApiArrays arrays_;
};

}  // namespace Oxle::Client::Binding
