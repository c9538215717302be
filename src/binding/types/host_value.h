// HostValue conversions: BindingProperty to and from the flat tagged value of the host boundary,
// and the release of a HostValue this module built.
// Ownership: ToHostValue builds a value in one block from the framework's allocation hooks, its
// own array, text or bytes first and every nested array, text, blob and key after them, so
// ReleaseHostValue frees that one pointer; a failed ToHostValue frees what it built and leaves
// `out` all zero. FromHostValue only reads its input and copies it.
// Not for host-owned values: the host releases those itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/types/binding_registry.h"
#include "binding/value/binding_property.h"
#include "binding/value/value_result.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Binding {

// The deepest nesting of collections and structures FromHostValue and ToHostValue accept: 512
// containers on the path from the top value down pass, 513 fail. The decoders share the bound.
inline constexpr uint32_t kMaxHostValueDepth = 512;

// "bool", "signed", "unsigned", "float", "string", "blob", "collection", "structure" for the
// kinds 1 to 10; the empty text for any other kind (0 included).
[[nodiscard]] const char* HostValueKindName(uint32_t kind) noexcept;

// Builds `out` (overwritten, not released first) from `value`:
// - empty, bool, signed, unsigned and float become kinds 0 to 4;
// - a string becomes kind 6, an owned copy of its text up to the first NUL, with that length;
// - a blob becomes kind 8, an owned copy of its bytes;
// - an enum becomes kind 6 holding the enumerator's name when `registry` names it, otherwise
//   kind 2 with the value sign-extended;
// - a collection becomes kind 9, a structure kind 10 (entries in key order, owned keys).
// Keys travel up to their first NUL; of keys equal that far ("a\0b", "a\0c") only the last in
// key order is sent. Owned pointers are never null, even for empty texts, blobs and arrays.
// Returns false, with `out` all zero and nothing leaked, when `value` nests deeper than
// kMaxHostValueDepth containers, when an allocation fails, when a text, blob or container is too
// large for the 32-bit length fields, or when the registry lookup throws.
// Recurses once per nesting level of `value`, so at most kMaxHostValueDepth + 1 calls deep.
[[nodiscard]] bool ToHostValue(const BindingProperty& value, const BindingRegistry* registry,
                               HostValue& out) noexcept;
// The same, recording why it failed in `result` unless the result failed before, for example
// "Couldn't convert value to a host value because it is nested too deeply.".
[[nodiscard]] bool ToHostValue(const BindingProperty& value, const BindingRegistry* registry,
                               HostValue& out, ValueResult& result) noexcept;

// Replaces `property` with the content of `in`:
// - kind 0 clears it; kinds 1 to 4 copy the scalar (any non-zero bool byte is true);
// - kinds 5 and 6 give a string of the text up to its first NUL (the length field is not read;
//   a null text is the empty string);
// - kinds 7 and 8 give a blob of `size` bytes (a null pointer is an empty blob when the size is
//   0, and a failure otherwise);
// - kind 9 gives a collection with an element per item, kind 10 a structure with a member per
//   entry in entry order, so a repeated key keeps the last entry's value; a null key is the
//   empty key. A previous collection or structure in `property` is discarded, not merged.
// On failure the result records the message (unless it failed before), `property` keeps what
// was built so far and false is returned. Failures: a kind above 10, nesting deeper than
// kMaxHostValueDepth containers, a null array or blob pointer with a non-zero count, a
// collection larger than BindingProperty::kMaxElements. A null label is the empty label.
// Allocation failures of the value itself surface as std::bad_alloc.
[[nodiscard]] bool FromHostValue(const HostValue& in, BindingProperty& property,
                                 ValueResult& result, const char* label);

// Frees what ToHostValue built into `value`: the block its text, bytes or array (kinds 6, 8, 9
// and 10) starts, which holds everything nested. Kinds 5 and 7 are borrowed and left alone.
// Afterwards `value` is all zero.
void ReleaseHostValue(HostValue& value) noexcept;

}  // namespace Oxle::Client::Binding
