// ASCII letter case for protocol words (media types, header and method names): lower- and
// upper-casing and case-insensitive comparison of A-Z / a-z only, the same in every locale.
// Other bytes, UTF-8 included, compare and copy as they are. Plain functions; safe from any
// thread. Not for human-language text.
#pragma once

#include <string>
#include <string_view>

namespace Oxle::Client::Codec {

[[nodiscard]] constexpr char AsciiLower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

[[nodiscard]] constexpr char AsciiUpper(char c) noexcept {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Lower-cases `text` where it is.
constexpr void AsciiLowerInPlace(std::string& text) noexcept {
  for (char& c : text)
    c = AsciiLower(c);
}

// A lower-case copy of `text`.
[[nodiscard]] inline std::string AsciiLower(std::string_view text) {
  std::string out(text);
  AsciiLowerInPlace(out);
  return out;
}

// True when `a` and `b` differ at most in the case of their letters.
[[nodiscard]] constexpr bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// True when `text` starts with `prefix`, letters compared in either case.
[[nodiscard]] constexpr bool StartsWithNoCase(std::string_view text,
                                              std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace Oxle::Client::Codec
