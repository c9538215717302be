// Positional formatting: "%1", "%2" ... and printf-style "%N$-8.3x" placeholders filled from a
// typed argument list into a caller-supplied buffer (FormatPositional), and the typed forms
// FormatToString / FormatToBuffer that every message, URL and header uses.
// Invariants: nothing is written past the buffer, which always ends with a NUL (unless its size
// is 0); "%n" is never executed; the C library never reads an argument as another type. Not for
// long texts: FormatToString caps its result at 4095 characters.
//
// Choices where the syntax leaves room (formatting never fails loudly):
// - A malformed placeholder, a missing argument, or a "*" from an argument that is no integer
//   ends the output there; what was written stays.
// - "%N$..." with N greater than the argument count ends the output (the "$" marks an argument
//   number, never a width); a bare "%N" with N beyond the count is re-read as a width ("%10d").
// - The user's length modifier only survives where it cannot change how the argument is read:
//   "h"/"hh" for types passed as a C int; 64-bit integers always use "ll", doubles and strings
//   none. Flags and precisions that C leaves undefined for a conversion are dropped.
// - Widths and precisions (literal or "*") are clamped so the visible text is exactly what the
//   unclamped placeholder would show; a negative "*" width left-justifies, a negative "*"
//   precision counts as absent. "*" values come only from integer arguments.
// - Strings are padded with spaces (a "0" flag pads strings with spaces too); a null C string
//   prints "(null)". A conversion letter "c" prints the low byte of an integer.
// - If the C library reports a failure, the output ends before that argument.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace Oxle::Client::Binding {

// A placeholder, from "%" through its conversion character, must be shorter than this.
inline constexpr size_t kPlaceholderLimit = 60;
// The buffer of FormatToString: no formatted text is longer than 4095 characters.
inline constexpr size_t kFormatBufferSize = 4096;

// The printf length modifier written in a placeholder.
enum class LengthModifier : uint8_t { None, Hh, H, L, Ll, LongDouble, J, Z, T };

// printf flag bits of FormatPlaceholder::flags.
inline constexpr uint8_t kFormatFlagLeft = 0x01;       // "-"
inline constexpr uint8_t kFormatFlagPlus = 0x02;       // "+"
inline constexpr uint8_t kFormatFlagSpace = 0x04;      // " "
inline constexpr uint8_t kFormatFlagAlternate = 0x08;  // "#"
inline constexpr uint8_t kFormatFlagZero = 0x10;       // "0"

// One parsed placeholder. Literal widths and precisions saturate at INT_MAX.
struct FormatPlaceholder {
  std::string_view text;  // as written, "%" through the conversion character
  bool bare = false;      // "%N": the argument's default form
  uint8_t flags = 0;
  bool hasWidth = false;
  bool widthFromStar = false;  // the width is the first "*" value
  uint32_t width = 0;
  bool hasPrecision = false;
  bool precisionFromStar = false;  // the precision is the last "*" value
  uint32_t precision = 0;
  LengthModifier length = LengthModifier::None;
  char conversion = '\0';  // unset for a bare placeholder
};

// What the formatter hands to an argument's format operation. The operation writes at most
// `room` characters at `output` (one more byte is reserved for the NUL) and returns how many.
struct FormatContext {
  char* output = nullptr;
  size_t room = 0;
  FormatPlaceholder placeholder;
  std::string_view allowed;         // the argument type's conversion letters, default first
  std::string_view lengthModifier;  // the type's own modifier ("ll" for 64-bit integers)
  uint8_t starCount = 0;            // "*" values taken: width first, then precision
  std::array<int32_t, 2> starValues{};
  bool failed = false;  // set when the C library failed; the output ends before this argument
};

using FormatOperation = size_t (*)(FormatContext& context, const void* argument);
using AsInt32Operation = int32_t (*)(const void* argument);

// How to format one argument type, and how to read it as a "*" width or precision.
struct FormatArgDescriptor {
  FormatOperation format = nullptr;
  AsInt32Operation asInt32 = nullptr;
  bool hasAsInt32 = false;
};

// Print one value of a built-in argument type with the context's placeholder; each sets the
// context's allowed letters (default first) and length modifier first: uint8 "ucdioxX", signed
// char "cdiouxX", int32 "dciouxX", uint32 "ucdioxX", int64 "dciouxX" with "ll", uint64
// "ucdioxX" with "ll", double "gaefGAEF", strings "s" (every character of a string_view; a null
// C string prints "(null)"). Custom types call these with their own form (a version, for
// example, calls the std::string_view overload with its text).
[[nodiscard]] size_t FormatValue(FormatContext& context, uint8_t value);
[[nodiscard]] size_t FormatValue(FormatContext& context, signed char value);
[[nodiscard]] size_t FormatValue(FormatContext& context, int32_t value);
[[nodiscard]] size_t FormatValue(FormatContext& context, uint32_t value);
[[nodiscard]] size_t FormatValue(FormatContext& context, int64_t value);
[[nodiscard]] size_t FormatValue(FormatContext& context, uint64_t value);
[[nodiscard]] size_t FormatValue(FormatContext& context, double value);
[[nodiscard]] size_t FormatValue(FormatContext& context, const char* value);
[[nodiscard]] size_t FormatValue(FormatContext& context, std::string_view value);

// Formats `format` into `buffer` (of `size` bytes) from `count` arguments: `descriptors[i]`
// describes the value `arguments[i]` points to. Returns the characters written, at most
// size - 1; the NUL follows them. A null descriptor ends the output where it is needed.
[[nodiscard]] size_t FormatPositional(char* buffer, size_t size, std::string_view format,
                                      const FormatArgDescriptor* const* descriptors,
                                      const void* const* arguments, size_t count);
// The same for a NUL-terminated format; a null format formats nothing.
[[nodiscard]] size_t FormatPositional(char* buffer, size_t size, const char* format,
                                      const FormatArgDescriptor* const* descriptors,
                                      const void* const* arguments, size_t count);

// A type outside this library becomes formattable by declaring, in its own namespace (found by
// argument-dependent lookup):
//   size_t FormatArgument(FormatContext& context, const T& value);
// and, when it can serve as a "*" width or precision,
//   int32_t FormatArgumentAsInt32(const T& value);
template <typename T>
concept HasFormatArgument = requires(FormatContext& context, const T& value) {
  { FormatArgument(context, value) } -> std::same_as<size_t>;
};
namespace FormatDetail {
template <typename T>
inline constexpr bool kIsClassOrEnum = std::is_class_v<T> || std::is_enum_v<T>;
}  // namespace FormatDetail
template <typename T>
concept CustomFormattable = FormatDetail::kIsClassOrEnum<T> && HasFormatArgument<T>;
template <typename T>
concept CustomAsInt32 = requires(const T& value) {
  { FormatArgumentAsInt32(value) } -> std::same_as<int32_t>;
};

namespace FormatDetail {

template <typename T, typename... Ts>
inline constexpr bool kIsOneOf = (std::is_same_v<T, Ts> || ...);

// Integers that have a built-in form: every standard integer type up to 64 bits except bool
// and the wide character types (which would print as numbers by accident).
template <typename T>
inline constexpr bool kIsFormattableInteger =
    std::is_integral_v<T> && sizeof(T) <= 8 &&
    !kIsOneOf<T, bool, wchar_t, char8_t, char16_t, char32_t>;

template <typename T>
inline constexpr bool kIsCharArray =
    std::rank_v<T> == 1 && std::is_same_v<std::remove_extent_t<T>, char>;

template <typename T>
inline constexpr bool kIsBuiltin =
    kIsFormattableInteger<T> ||
    kIsOneOf<T, float, double, const char*, char*, std::string, std::string_view> ||
    kIsCharArray<T>;

// Saturating conversion for "*" values.
template <typename T>
[[nodiscard]] constexpr int32_t ClampToInt32(T value) noexcept {
  using Limits = std::numeric_limits<int32_t>;
  if (std::cmp_less(value, Limits::min())) return Limits::min();
  if (std::cmp_greater(value, Limits::max())) return Limits::max();
  return static_cast<int32_t>(value);
}

// The canonical argument for a value: a custom type as itself; integers widened to one of
// the six table types; float to double; character arrays (up to their first NUL) and string
// objects to std::string_view; character pointers to const char*.
template <typename T>
[[nodiscard]] decltype(auto) Canonicalize(const T& value) noexcept {
  if constexpr (CustomFormattable<T>) {
    return (value);
  } else if constexpr (kIsCharArray<T>) {
    const char* end = std::find(value, value + std::extent_v<T>, '\0');
    return std::string_view(value, static_cast<size_t>(end - value));
  } else if constexpr (kIsOneOf<T, char, signed char>) {
    return static_cast<signed char>(value);
  } else if constexpr (std::is_same_v<T, unsigned char>) {
    return static_cast<uint8_t>(value);
  } else if constexpr (kIsFormattableInteger<T> && std::is_signed_v<T>) {
    if constexpr (sizeof(T) <= sizeof(int32_t)) {
      return static_cast<int32_t>(value);
    } else {
      return static_cast<int64_t>(value);
    }
  } else if constexpr (kIsFormattableInteger<T>) {
    if constexpr (sizeof(T) <= sizeof(uint32_t)) {
      return static_cast<uint32_t>(value);
    } else {
      return static_cast<uint64_t>(value);
    }
  } else if constexpr (kIsOneOf<T, float, double>) {
    return static_cast<double>(value);
  } else if constexpr (kIsOneOf<T, const char*, char*>) {
    return static_cast<const char*>(value);
  } else {
    static_assert(kIsOneOf<T, std::string, std::string_view>);
    return std::string_view(value);
  }
}

// The descriptor of a canonical argument type (see Canonicalize).
template <typename T>
struct Described {
  static size_t Format(FormatContext& context, const void* argument) {
    const T& value = *static_cast<const T*>(argument);
    if constexpr (CustomFormattable<T>) {
      return FormatArgument(context, value);
    } else {
      return FormatValue(context, value);
    }
  }
  static int32_t AsInt32(const void* argument) {
    const T& value = *static_cast<const T*>(argument);
    if constexpr (CustomAsInt32<T>) {
      return FormatArgumentAsInt32(value);
    } else if constexpr (std::is_integral_v<T>) {
      return ClampToInt32(value);
    } else {
      return 0;
    }
  }
  static constexpr FormatArgDescriptor kDescriptor{
      &Format, &AsInt32, CustomAsInt32<T> || (!CustomFormattable<T> && std::is_integral_v<T>)};
};

template <typename... Cs>
[[nodiscard]] size_t FormatCanonical(std::span<char> buffer, std::string_view format,
                                     const Cs&... values) {
  const FormatArgDescriptor* const descriptors[sizeof...(Cs) + 1] = {&Described<Cs>::kDescriptor...,
                                                                     nullptr};
  const void* const pointers[sizeof...(Cs) + 1] = {static_cast<const void*>(&values)..., nullptr};
  return FormatPositional(buffer.data(), buffer.size(), format, descriptors, pointers,
                          sizeof...(Cs));
}

}  // namespace FormatDetail

// Types with a built-in form or a custom FormatArgument.
template <typename T>
concept Formattable =
    FormatDetail::kIsBuiltin<std::remove_cvref_t<T>> || CustomFormattable<std::remove_cvref_t<T>>;

// The descriptor used for arguments of type T (after canonicalisation).
template <Formattable T>
[[nodiscard]] const FormatArgDescriptor& FormatDescriptorOf() noexcept {
  using Canonical = std::remove_cvref_t<decltype(FormatDetail::Canonicalize(std::declval<T>()))>;
  return FormatDetail::Described<Canonical>::kDescriptor;
}

// Formats into `buffer` (always NUL-terminated unless empty); returns the characters written.
template <Formattable... Args>
[[nodiscard]] size_t FormatToBuffer(std::span<char> buffer, std::string_view format,
                                    const Args&... arguments) {
  return FormatDetail::FormatCanonical(buffer, format, FormatDetail::Canonicalize(arguments)...);
}

// Formats into a kSize-byte stack buffer and returns the text (at most kSize - 1 characters):
//   FormatToString("%1/%2/stats/game/%3/%4", baseUrl, "v1", platformId, gameId)
//   FormatToString<33>("%1.%2.%3", major, minor, patch)
template <size_t kSize = kFormatBufferSize, Formattable... Args>
[[nodiscard]] std::string FormatToString(std::string_view format, const Args&... arguments) {
  static_assert(kSize > 0, "the buffer needs room for the NUL");
  std::array<char, kSize> buffer;
  const size_t written = FormatToBuffer(std::span<char>(buffer), format, arguments...);
  return std::string(buffer.data(), written);
}

}  // namespace Oxle::Client::Binding
