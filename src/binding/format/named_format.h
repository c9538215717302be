// Named-parameter formatting: FormatNamed turns "{name}" fields into positional placeholders in
// order of appearance ("Error response for {method} {url}: {error}" becomes "Error response
// for %1 %2: %3") and records each named value in a structure, for structured error reports.
// The caller then formats the translated text positionally with the same arguments (the
// FormatToString overload below). FormatNamed only appends to `out`; it never fails loudly.
//
// Finer points, chosen here:
// - Inside a field, "?", "@", ":" switch where the following characters go (alternate text,
//   filter name, printf format) and may come in any order; "!" may appear anywhere; a backslash
//   takes the next character literally. An unclosed field at the end of the format is dropped.
// - A false/zero/empty argument with "?" writes the alternate text ("%" doubled); otherwise a
//   silent field writes nothing and trims the spaces, tabs and line breaks ending what this
//   call has appended so far (never text that was in `out` before).
// - A "%" placeholder is a field too and is renumbered to its field's argument ("%d" in the
//   second field becomes "%2$d", a bare "%1" there "%2"); a malformed one is copied as is.
// - A field past the last argument writes "%N$s" (or "%N$" and its printf format), which ends
//   the positional output there. A bare "%N" followed by a digit or "$" is written "%N$<default
//   letter>" so that the two cannot merge into another argument number.
// - Filters other than "str" and "hex" are ignored. A name already containing "_bool", "_int",
//   "_long", "_float", "_str", "_time" or "_ip" gets no kind suffix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "binding/format/positional_format.h"
#include "binding/value/binding_property.h"

namespace Oxle::Client::Binding {

enum class NamedArgumentKind : uint8_t {
  Bool = 1,
  Signed = 2,
  Unsigned = 3,
  Double = 4,
  String = 5
};

// One argument of a named format: a kind, the text of a string argument, and the 8-byte number
// of the others (a bool as 0/1, integers as their two's-complement bits, a double's bits).
// Positionally a bool prints like an unsigned 8-bit value, the others like their C types.
struct NamedArgument {
  NamedArgumentKind kind = NamedArgumentKind::String;
  std::string text;
  uint64_t number = 0;

  [[nodiscard]] static NamedArgument Bool(bool value);
  [[nodiscard]] static NamedArgument Signed(int64_t value);
  [[nodiscard]] static NamedArgument Unsigned(uint64_t value);
  [[nodiscard]] static NamedArgument Double(double value);
  [[nodiscard]] static NamedArgument String(std::string_view value);

  [[nodiscard]] bool AsBool() const noexcept { return number != 0; }
  [[nodiscard]] int64_t AsSigned() const noexcept { return static_cast<int64_t>(number); }
  [[nodiscard]] uint64_t AsUnsigned() const noexcept { return number; }
  [[nodiscard]] double AsDouble() const noexcept;
  // False, zero (either sign) or empty: what "?" replaces by the alternate text.
  [[nodiscard]] bool IsBlank() const noexcept;
  // "true"/"false", decimal integers, printf "%f" for doubles, the text itself.
  [[nodiscard]] std::string ToText() const;
};

// One field as the translation reads it.
struct NamedField {
  std::string name;
  std::string alternate;  // after "?"
  std::string affix;      // after ":" (or a "%" placeholder's): follows "%N$" in the output
  std::string filter;     // after "@"
  bool typed = false;     // "{#...}": the recorded name gets a kind suffix
  bool hasAlternate = false;
  bool silent = false;  // "!"
  bool hasFilter = false;
  bool hasAffix = false;
  bool fromPercent = false;  // a "%" placeholder rather than a brace field
};

// Positional formatting of named arguments (found by argument-dependent lookup). As a "*" value
// a bool gives 0 or 1, integers and doubles their value clamped to int32, a string 0.
[[nodiscard]] size_t FormatArgument(FormatContext& context, const NamedArgument& argument);
[[nodiscard]] int32_t FormatArgumentAsInt32(const NamedArgument& argument);

// Appends the positional translation of `format` to `out` and records every named field's
// argument in `parameters` (made a structure; member name -> value). Filters may rewrite
// arguments ("str" turns one into a string), hence the mutable span.
void FormatNamed(std::string_view format, std::span<NamedArgument> arguments, std::string& out,
                 BindingProperty& parameters);
void FormatNamed(std::string_view format, NamedArgument* arguments, size_t count, std::string& out,
                 BindingProperty& parameters);

// Formats a translated format with named arguments into a 4096-byte buffer.
[[nodiscard]] std::string FormatToString(std::string_view format,
                                         std::span<const NamedArgument> arguments);

}  // namespace Oxle::Client::Binding
