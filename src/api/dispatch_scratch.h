// The reusable buffers of one dispatch (DispatchScratch) and the pool they are leased from for
// the length of a call (ScratchLease), so a request reuses value trees and buffer storage rather
// than building them anew.
// A scratch is used by one dispatch at a time; the pool is taken from and given back to from any
// thread without a lock, and stays usable (leasing fresh scratches) while statics are destroyed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/api_response.h"
#include "api/argument_binding.h"
#include "binding/value/binding_property.h"

namespace Oxle::Client::Api {

// One path parameter to bind: its name and its decoded value.
struct PathValue {
  std::string_view name;
  const std::string* value = nullptr;
};

// What one call of a function needs besides the records: the root of its argument tree, the
// handler's response, the header and query pairs and the path parameters. Dispatches take one
// from the ScratchPool and give it back cleared, so a request reuses the two value trees'
// contexts (string table and slab) and the buffers' storage instead of building and tearing
// down two trees and a dozen heap blocks each time. Used by one dispatch at a time.
struct DispatchScratch {
  Binding::BindingProperty arguments;
  ApiResponse call;
  OrderedPairs headers;
  OrderedPairs query;
  std::vector<std::pair<std::string_view, const std::string*>> headerArguments;
  std::vector<std::string_view> captures;
  std::vector<std::string> decoded;
  std::vector<PathValue> pathValues;

  // Empties everything in the order a call's own locals would go: the arguments first, then
  // the response. What a large request grew beyond the usual is given back.
  void Clear() noexcept;

  static constexpr size_t kKeptTextCapacity = 1024;
  static constexpr size_t kKeptDecoded = 16;
};

// A scratch for the length of one call, from the pool; given back cleared however the call ends.
class ScratchLease {
 public:
  ScratchLease();
  ~ScratchLease();
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  [[nodiscard]] DispatchScratch& operator*() const noexcept { return *scratch_; }

 private:
  DispatchScratch* scratch_;
};

}  // namespace Oxle::Client::Api
