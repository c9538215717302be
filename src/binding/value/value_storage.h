// The heap parts of collection and structure values, shared by the value's implementation and
// its iterators. Not for use outside the value model: go through BindingProperty.
#pragma once

#include <cstddef>

#include "binding/value/binding_property.h"
#include "binding/value/interned_string.h"

namespace Oxle::Client::Binding {

// The element vector of a collection; the elements themselves are on the general heap.
struct CollectionStorage {
  BindingProperty* begin = nullptr;
  BindingProperty* end = nullptr;
  BindingProperty* capacityEnd = nullptr;

  [[nodiscard]] size_t Size() const noexcept { return static_cast<size_t>(end - begin); }
  [[nodiscard]] size_t Capacity() const noexcept {
    return static_cast<size_t>(capacityEnd - begin);
  }
};

// One member of a structure: a red-black tree node holding the interned key and the value.
struct StructureNode {
  StructureNode(InternedString* memberKey, ValueContext* context) noexcept
      : key(memberKey), value(BindingProperty::ChildTag::kChild, context) {}

  StructureNode* left = nullptr;
  StructureNode* right = nullptr;
  StructureNode* parent = nullptr;
  InternedString* key;
  bool red = true;
  BindingProperty value;
};

// The ordered map of a structure: members by the bytes of their keys.
struct StructureMap {
  StructureNode* root = nullptr;
  StructureNode* first = nullptr;  // the smallest key, where iteration starts
  size_t count = 0;
};

}  // namespace Oxle::Client::Binding
