// Conversion between BindingProperty values and native data laid out as registered.
//
// Reading fills native objects and is tolerant where documents are loose (numbers as text, enums
// by name or number) and strict elsewhere (a bool only as a bool or "true"/"false"/"1"/"0").
// Writing builds values from native objects. Every failure is a failed ValueResult with a fixed
// message whose label names the innermost field or argument only; the first failure wins (a
// reader that finds the result failed does nothing and gives the zero value), and native fields
// read before a failure keep their new values. Nothing here throws for bad data; only the
// standard allocation failure can escape.
#pragma once

#include <cstdint>
#include <string>

#include "binding/types/binding_registry.h"
#include "binding/value/binding_property.h"
#include "binding/value/value_result.h"

namespace Oxle::Client::Binding {

// Records `message` unless the result has failed already.
void FailConversion(ValueResult& result, std::string_view message);

// "A value for '%1' is required."
void FailRequired(ValueResult& result, const char* label);

// The reading primitives. Each gives the zero value of its type when the result has failed
// before or fails now.
[[nodiscard]] bool ReadBool(ValueResult& result, const BindingProperty& value, const char* label);
[[nodiscard]] int64_t ReadSigned(ValueResult& result, const BindingProperty& value,
                                 const char* label, int64_t min, int64_t max, const char* typeName);
[[nodiscard]] uint64_t ReadUnsigned(ValueResult& result, const BindingProperty& value,
                                    const char* label, uint64_t max, const char* typeName);
[[nodiscard]] double ReadDouble(ValueResult& result, const BindingProperty& value,
                                const char* label, double min, double max, const char* typeName);
[[nodiscard]] int32_t ReadEnum(ValueResult& result, const BindingProperty& value, const char* label,
                               const TypeRecord* type);
[[nodiscard]] std::string ReadString(ValueResult& result, const BindingProperty& value,
                                     const char* label, const BindingRegistry* registry);

// Fills the registered structure at `nativeBase` from `value`, field by field in registration
// order; members that match no field are ignored, missing ones leave their field unchanged
// (unless the field is required).
void ReadStruct(const BindingRegistry* registry, ValueResult& result, void* nativeBase,
                const BindingProperty& value, const char* label, const TypeRecord* type,
                uint8_t flags);
// A whole registered structure: an empty input is "required", anything else goes to ReadStruct.
void ReadTop(ValueResult& result, void* native, const BindingProperty& value, const char* label,
             const TypeRecord* type, const BindingRegistry* registry, uint8_t flags);

// Makes `target` a structure built from the registered native structure at `nativeBase`.
// Failures go to `status` (which is cleared by its own SetError, so `target` may lie inside it).
void WriteStructInto(const BindingRegistry* registry, ValueResult& status, BindingProperty& target,
                     const void* nativeBase, const TypeRecord* type);
// Sets result.Value() to a structure built from the native structure.
void WriteStruct(const BindingRegistry* registry, ValueResult& result, const void* nativeBase,
                 const TypeRecord* type);

// The zero values that omit-when-zero fields skip: empty, false, 0, 0.0 (either sign, not NaN),
// empty text, blob, collection or structure, and enumerator 0.
[[nodiscard]] bool IsZeroValue(const BindingProperty& value) noexcept;

}  // namespace Oxle::Client::Binding
