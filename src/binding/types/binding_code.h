// Binding type codes and TypeIdentifier: how fields, arguments and return values name their
// type. A TypeIdentifier is {code, element code, record}: the element code describes the
// elements of a vector or map, and the record is the registered enum or struct (of the value
// itself, or of the elements). Descriptors do not nest further.
#pragma once

#include <cstdint>

namespace Oxle::Client::Binding {

struct TypeRecord;

enum class BindingCode : uint32_t {
  None = 0,
  Bool = 1,
  Int8 = 2,
  Uint8 = 3,
  Int16 = 4,
  Uint16 = 5,
  Int32 = 6,
  Uint32 = 7,
  Int64 = 8,
  Uint64 = 9,
  Float = 10,
  Double = 11,
  String = 12,
  Object = 13,
  Blob = 14,
  Vector = 15,
  Enum = 16,
  Struct = 17,
  Callback = 18,
  Map = 19,
};

// "bool" ... "map"; the empty text for any other code.
[[nodiscard]] constexpr const char* BindingCodeName(BindingCode code) noexcept {
  constexpr const char* kNames[] = {"",       "bool",   "int8",   "uint8",    "int16",
                                    "uint16", "int32",  "uint32", "int64",    "uint64",
                                    "float",  "double", "string", "object",   "blob",
                                    "vector", "enum",   "struct", "callback", "map"};
  const auto index = static_cast<uint32_t>(code);
  return index < sizeof(kNames) / sizeof(kNames[0]) ? kNames[index] : "";
}

struct TypeIdentifier {
  BindingCode code = BindingCode::None;
  BindingCode elementCode = BindingCode::None;  // for vector and map
  const TypeRecord* record = nullptr;           // the enum or struct, or the elements'
};

}  // namespace Oxle::Client::Binding
