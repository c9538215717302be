// The heap parts of collection and structure values, shared by the value's implementation and
// its iterators. Not for use outside the value model: go through BindingProperty.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

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

// The first 16 bytes of a key as two big-endian numbers, zero-padded: when two prefixes differ
// they order the keys exactly as a byte comparison would, so a search compares most keys without
// reading their records.
struct KeyPrefix {
  uint64_t high = 0;
  uint64_t low = 0;

  explicit KeyPrefix(std::string_view key) noexcept {
    unsigned char bytes[16] = {};
    std::memcpy(bytes, key.data(), key.size() < 16 ? key.size() : 16);
    std::memcpy(&high, bytes, 8);
    std::memcpy(&low, bytes + 8, 8);
    if constexpr (std::endian::native == std::endian::little) {
      high = __builtin_bswap64(high);
      low = __builtin_bswap64(low);
    }
  }
};

// One member of a structure: a red-black tree node holding the interned key and the value.
// The colour shares the word of the parent link (its lowest bit; 1 is red).
struct StructureNode {
  StructureNode(InternedString* memberKey, KeyPrefix memberPrefix, ValueContext* context) noexcept
      : key(memberKey), prefix(memberPrefix), value(BindingProperty::ChildTag::kChild, context) {}

  [[nodiscard]] StructureNode* Parent() const noexcept {
    return reinterpret_cast<StructureNode*>(parentAndColour & ~uintptr_t{1});
  }
  void SetParent(StructureNode* parent) noexcept {
    parentAndColour = reinterpret_cast<uintptr_t>(parent) | (parentAndColour & 1);
  }
  [[nodiscard]] bool Red() const noexcept { return (parentAndColour & 1) != 0; }
  void SetRed(bool red) noexcept { parentAndColour = (parentAndColour & ~uintptr_t{1}) | red; }

  StructureNode* left = nullptr;
  StructureNode* right = nullptr;
  uintptr_t parentAndColour = 1;
  InternedString* key;
  KeyPrefix prefix;
  BindingProperty value;
};

// The ordered map of a structure: members by the bytes of their keys.
struct StructureMap {
  StructureNode* root = nullptr;
  StructureNode* first = nullptr;  // the smallest key, where iteration starts
  StructureNode* last = nullptr;   // the largest key, where in-order insertion appends
  size_t count = 0;
};

static_assert(sizeof(StructureNode) <= 72, "a node must fit the largest slab slot");

}  // namespace Oxle::Client::Binding
