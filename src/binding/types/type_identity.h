// Type identity: one TypeId record per native type, created on first use and never destroyed.
//
// TypeIdOf<T>() gives T's record. A type with a fixed hash (FixedTypeHash<T>, specialised next to
// the type) is named "#" and the hash in 8 upper-case hex digits; any other type is named by its
// signature text, StaticType::Name<T>(), and hashed with FNV-1a over that text. The signature
// text is the compiler's own spelling of the function StaticType::Name<T>, so the hash is stable
// from run to run of one build and differs between types unless FNV-1a collides (the registry
// refuses to register a second type under a hash another type holds).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "binding/value/binding_property.h"
#include "binding/value/interned_string.h"
#include "binding/value/type_id.h"

namespace Oxle::Client::Binding {

struct StaticType {
  // The compiler's signature text of this function for T, which names T.
  template <typename T>
  [[nodiscard]] static const char* Name() noexcept {
    return __PRETTY_FUNCTION__;
  }
};

// Specialise to give a type a fixed hash (and a "#XXXXXXXX" name):
//   template <> struct FixedTypeHash<MyType> { static constexpr uint32_t kHash = 0x12345678; };
template <typename T>
struct FixedTypeHash {};

template <typename T>
concept HasFixedTypeHash = requires {
  { FixedTypeHash<T>::kHash } -> std::convertible_to<uint32_t>;
};

// The one TypeId record of T.
template <typename T>
[[nodiscard]] const TypeId& TypeIdOf() noexcept {
  if constexpr (HasFixedTypeHash<T>) {
    static const TypeId id(FixedTypeHash<T>::kHash);
    return id;
  } else {
    static const TypeId id(Fnv1a(StaticType::Name<T>()), StaticType::Name<T>());
    return id;
  }
}

// Whether two records stand for one native type: equal hashes and equal names. Records of equal
// hashes and different names are two types whose signature texts collide under FNV-1a.
[[nodiscard]] inline bool SameTypeIdentity(const TypeId& a, const TypeId& b) noexcept {
  return &a == &b || (a.Hash() == b.Hash() && std::strcmp(a.Name(), b.Name()) == 0);
}

// The reserved hash: a type registered under it is indexed by name only.
inline constexpr uint32_t kReservedTypeHash = 0x1BE7EF8Eu;

// Fixed hashes of the built-in types.
template <>
struct FixedTypeHash<bool> {
  static constexpr uint32_t kHash = 0x6AB1187Cu;
};
template <>
struct FixedTypeHash<int32_t> {
  static constexpr uint32_t kHash = 0x1C4DE261u;
};
template <>
struct FixedTypeHash<uint32_t> {
  static constexpr uint32_t kHash = 0x3494B562u;
};
template <>
struct FixedTypeHash<uint64_t> {
  static constexpr uint32_t kHash = 0xC647E802u;
};
template <>
struct FixedTypeHash<std::string> {
  static constexpr uint32_t kHash = 0x2757680Bu;
};
template <>
struct FixedTypeHash<BindingProperty> {
  static constexpr uint32_t kHash = 0xAF98C378u;
};
template <>
struct FixedTypeHash<std::vector<std::string>> {
  static constexpr uint32_t kHash = 0xBFDBCD22u;
};
template <>
struct FixedTypeHash<std::vector<BindingProperty>> {
  static constexpr uint32_t kHash = 0xE980F126u;
};

}  // namespace Oxle::Client::Binding
