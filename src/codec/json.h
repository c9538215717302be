// JSON reading into and writing from BindingProperty: reading over RapidJSON's Reader (its default
// grammar, run in place on a copy of the text); writing by a direct walk of the tree that lays
// text out byte for byte as RapidJSON's Writer / PrettyWriter do, with RapidJSON's number
// formatting. Both are single passes with no intermediate document tree. Failures are
// failed ValueResults ("Error: <text> at offset <n>."), never exceptions. Nesting is limited to
// 512 arrays/objects, so no input can exhaust the stack. Not a general JSON library: only the
// mapping below is supported.
//
// Reading: the text ends at its first NUL; empty or whitespace-only text (space, LF, CR, tab) is
// ok and empty; null is empty; non-negative integers are unsigned, negative ones signed (so -0 is
// signed 0), other numbers and integers beyond 64 bits float; strings and keys are cut at their
// first NUL (\u0000); a repeated key keeps one member, in its first place, with the last value.
// Writing: compact, or indented by 4 spaces with a caller-chosen line separator; an empty root
// writes ""; members in key byte order; blobs as base64; enums by name when the registry has
// one, else as a signed number.
//
// Departures from standard JSON handling:
// - nesting deeper than 512 fails with "Error: Nesting is too deep. at offset <n>." (n is the
//   offset just past the bracket that went too deep);
// - no comments, NaN/Infinity literals or trailing commas; invalid UTF-8 is not rejected;
// - numbers are read with the reader's normal precision: long decimals may land a few units in
//   the last place away from the nearest double;
// - a NaN or infinite float is written as null, so the output is always JSON.
#pragma once

#include <string>
#include <string_view>

#include "binding/value/binding_property.h"
#include "binding/value/value_result.h"
#include "tpk/plugin_abi.h"

namespace Oxle::Client::Binding {
class BindingRegistry;
}

namespace Oxle::Client::Codec {

// Parses the NUL-terminated UTF-8 `text` (null is treated as the empty text).
[[nodiscard]] Binding::ValueResult ParseJson(const char* text);
// Parses `text` up to its first NUL.
[[nodiscard]] Binding::ValueResult ParseJson(const std::string& text);
[[nodiscard]] Binding::ValueResult ParseJson(std::string_view text);

// Writes `value` as JSON. `registry` (may be null) supplies enum names. A null or empty
// `lineSeparator` selects compact output; any other selects indented output with that separator
// between lines.
[[nodiscard]] std::string WriteJson(const Binding::BindingProperty& value,
                                    const Binding::BindingRegistry* registry,
                                    const char* lineSeparator);

// Writes a value of the host boundary as compact JSON: the text WriteJson writes for what
// FromHostValue reads from it, without building that tree. Returns false, leaving `out`
// unspecified, where FromHostValue fails, and for a structure whose keys are not strictly in
// byte order (ToHostValue never sends one): the caller then goes through FromHostValue.
[[nodiscard]] bool WriteJson(const HostValue& value, std::string& out);

}  // namespace Oxle::Client::Codec
