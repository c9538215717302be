// The heap parts of collection and structure values, shared by the value's implementation and
// its inline reads and iterators. Not for use outside the value model: go through
// BindingProperty (whose header includes this one at its end, for those inline reads).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
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
  // Constructs an empty element of `context`'s tree in the spare room, which must not be empty.
  BindingProperty& PlaceEmpty(ValueContext* context) noexcept;
};

// The first 16 bytes of a key as two big-endian numbers, zero-padded: when two prefixes differ
// they order the keys exactly as a byte comparison would, so a search compares most keys without
// reading their records.
struct KeyPrefix {
  uint64_t high = 0;
  uint64_t low = 0;

  explicit KeyPrefix(std::string_view key) noexcept {
    // Built from loads of the key's own bytes, never through a buffer on the stack: reading a
    // buffer back right after filling it stalls, on every insertion and lookup.
    const auto* bytes = reinterpret_cast<const unsigned char*>(key.data());
    const size_t size = key.size();
    if (size >= 16) {
      high = LoadBigEndian(bytes);
      low = LoadBigEndian(bytes + 8);
    } else if (size >= 8) {
      high = LoadBigEndian(bytes);
      // The last eight bytes, shifted so that byte 8 comes first (the ones before it drop out).
      if (size > 8) low = LoadBigEndian(bytes + size - 8) << (8 * (16 - size));
    } else if (size >= 4) {
      // The first four and the last four bytes, overlapping when fewer than eight.
      const uint64_t head = LoadBigEndian32(bytes);
      const uint64_t tail = LoadBigEndian32(bytes + size - 4);
      high = head << 32 | (tail << 32) >> (8 * (size - 4));
    } else if (size > 0) {
      high = uint64_t{bytes[0]} << 56 | uint64_t{bytes[size / 2]} << (56 - 8 * (size / 2)) |
             uint64_t{bytes[size - 1]} << (56 - 8 * (size - 1));
    }
  }

 private:
  [[nodiscard]] static uint64_t LoadBigEndian(const unsigned char* bytes) noexcept {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
  }
  [[nodiscard]] static uint32_t LoadBigEndian32(const unsigned char* bytes) noexcept {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
    return word;
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

[[nodiscard]] inline StructureNode* Leftmost(StructureNode* node) noexcept {
  while (node->left != nullptr)
    node = node->left;
  return node;
}

// The member after `node` in key order, or null after the last.
[[nodiscard]] inline StructureNode* Successor(StructureNode* node) noexcept {
  if (node->right != nullptr) return Leftmost(node->right);
  StructureNode* parent = node->Parent();
  while (parent != nullptr && node == parent->right) {
    node = parent;
    parent = parent->Parent();
  }
  return parent;
}

// The reads below are inline because walks of large trees (writing, conversion) call them for
// every value.

inline std::string_view BindingProperty::GetString(std::string_view fallback) const noexcept {
  return kind_ == ValueKind::String ? payload_.string->Text() : fallback;
}

inline std::span<const BindingProperty> BindingProperty::Elements() const noexcept {
  if (kind_ != ValueKind::Collection) return {};
  return {payload_.collection->begin, payload_.collection->end};
}

inline std::span<BindingProperty> BindingProperty::Elements() noexcept {
  if (kind_ != ValueKind::Collection) return {};
  return {payload_.collection->begin, payload_.collection->end};
}

inline BindingProperty::MemberRange<true> BindingProperty::Members() const noexcept {
  if (kind_ != ValueKind::Structure) return {nullptr, 0};
  return {payload_.structure->first, payload_.structure->count};
}

inline BindingProperty::MemberRange<false> BindingProperty::Members() noexcept {
  if (kind_ != ValueKind::Structure) return {nullptr, 0};
  return {payload_.structure->first, payload_.structure->count};
}

// Appending into spare capacity is inline too: builders append every element of a collection.
inline BindingProperty& BindingProperty::Append() {
  if (kind_ == ValueKind::Collection) {
    CollectionStorage& storage = *payload_.collection;
    if (storage.end != storage.capacityEnd) return storage.PlaceEmpty(context_);
  }
  return AppendGrowing();
}

inline BindingProperty& CollectionStorage::PlaceEmpty(ValueContext* context) noexcept {
  auto* element = ::new (end) BindingProperty(BindingProperty::ChildTag::kChild, context);
  ++end;
  return *element;
}

template <bool kConst>
inline MemberView<kConst> BindingProperty::MemberIterator<kConst>::operator*() const noexcept {
  return {node_->key->Text(), node_->value};
}

template <bool kConst>
inline BindingProperty::MemberIterator<kConst>&
BindingProperty::MemberIterator<kConst>::operator++() noexcept {
  node_ = Successor(node_);
  return *this;
}

}  // namespace Oxle::Client::Binding
