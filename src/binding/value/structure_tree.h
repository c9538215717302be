// StructureTree: the red-black tree behind a structure value (a StructureMap of StructureNodes,
// value_storage.h). Members are kept in the byte order of their keys (bytes unsigned, a proper
// prefix first); insertion rebalances, appending past the largest key skips the search, teardown
// and cloning are iterative so only value nesting costs stack. Part of the value model's
// implementation, not for use outside it. Not thread-safe: a tree is changed by the one thread
// that owns its value.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/value/value_storage.h"

namespace Oxle::Client::Binding {

class StringCopier;
class ValueContext;

class StructureTree {
 public:
  // The node for `key`, inserting an empty member when it is missing. `hash`, when given, is the
  // key's FNV-1a hash.
  [[nodiscard]] static StructureNode* FindOrInsert(ValueContext* context, StructureMap& map,
                                                   std::string_view key,
                                                   const uint32_t* hash = nullptr);
  // Links the first member of the empty `map` for `key`, interned in the tree's table already
  // (the map takes its reference, or releases it when the node cannot be had).
  [[nodiscard]] static StructureNode* InsertFirst(ValueContext* context, StructureMap& map,
                                                  InternedString* key);
  // The node for `key`, or null.
  [[nodiscard]] static const StructureNode* Find(const StructureMap& map,
                                                 std::string_view key) noexcept;
  // Destroys every node with its key and value, then the map itself.
  static void Destroy(ValueContext* context, StructureMap* map) noexcept;
  // Gives the empty `map` the members of `from`, cloning the tree's shape and colours; keys and
  // strings are copied through `strings`.
  static void Clone(ValueContext* context, StructureMap& map, const StructureMap& from,
                    StringCopier& strings);
};

}  // namespace Oxle::Client::Binding
