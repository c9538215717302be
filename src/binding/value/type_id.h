// TypeId: the identity record of a native type, as enum values and the type registry carry it.
// One immutable record per type lives for the whole process (so records are never copied); two
// records denote the same type exactly when their hashes are equal, and the name is for display
// only. The value model only stores references to these records; how hashes and names are
// derived for native types lives with the type registry.
#pragma once

#include <cstdint>

namespace Oxle::Client::Binding {

class TypeId {
 public:
  // A type with a signature text uses it as its name; without one (null), the name is "#" and
  // the hash as 8 upper-case hex digits, kept in the record itself.
  constexpr explicit TypeId(uint32_t hash, const char* signature = nullptr) : hash_(hash) {
    if (signature != nullptr) {
      name_ = signature;
      return;
    }
    constexpr char kDigits[] = "0123456789ABCDEF";
    inlineName_[0] = '#';
    for (int i = 0; i < 8; ++i)
      inlineName_[1 + i] = kDigits[(hash >> (28 - 4 * i)) & 0xFu];
    inlineName_[9] = '\0';
    name_ = inlineName_;
  }
  TypeId(const TypeId&) = delete;
  TypeId& operator=(const TypeId&) = delete;

  [[nodiscard]] constexpr uint32_t Hash() const { return hash_; }
  [[nodiscard]] constexpr const char* Name() const { return name_; }

  friend constexpr bool operator==(const TypeId& a, const TypeId& b) { return a.hash_ == b.hash_; }

 private:
  uint32_t hash_;
  const char* name_ = nullptr;
  char inlineName_[12] = {};
};

}  // namespace Oxle::Client::Binding
