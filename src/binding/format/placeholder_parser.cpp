#include "binding/format/placeholder_parser.h"

#include <cstdint>
#include <limits>

namespace Oxle::Client::Binding::FormatDetail {
namespace {

constexpr uint32_t kSaturated = std::numeric_limits<int32_t>::max();

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsNonZeroDigit(char c) {
  return c >= '1' && c <= '9';
}

// Reads the decimal digits at `at`; a number too large for an int saturates, so fifty digits
// are as harmless as ten.
uint32_t ReadNumber(std::string_view text, size_t& at) {
  uint32_t value = 0;
  while (at < text.size() && IsDigit(text[at])) {
    const auto digit = static_cast<uint32_t>(text[at] - '0');
    value = value > (kSaturated - digit) / 10 ? kSaturated : value * 10 + digit;
    ++at;
  }
  return value;
}

// After a "*" at text[at - 1]: an "M$" names the argument; anything else leaves the star plain
// (the next argument in sequence) and is read as what follows the width or precision.
size_t ReadStarArgument(std::string_view text, size_t& at) {
  if (at >= text.size() || !IsNonZeroDigit(text[at])) return 0;
  size_t probe = at;
  const uint32_t number = ReadNumber(text, probe);
  if (probe >= text.size() || text[probe] != '$') return 0;
  at = probe + 1;
  return number;
}

// The flag characters from text[at] on ("-", "+", " ", "#", "0", in any order and number);
// `at` moves past them.
uint8_t ReadFlags(std::string_view text, size_t& at) {
  uint8_t flags = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '-') {
      flags |= kFormatFlagLeft;
    } else if (c == '+') {
      flags |= kFormatFlagPlus;
    } else if (c == ' ') {
      flags |= kFormatFlagSpace;
    } else if (c == '#') {
      flags |= kFormatFlagAlternate;
    } else if (c == '0') {
      flags |= kFormatFlagZero;
    } else {
      break;
    }
  }
  return flags;
}

// The length modifier at text[at] ("hh", "h", "ll", "l", "L", "j", "z", "t"), or None; `at`
// moves past it.
LengthModifier ReadLengthModifier(std::string_view text, size_t& at) {
  if (at >= text.size()) return LengthModifier::None;
  const char c = text[at];
  const bool doubled = at + 1 < text.size() && text[at + 1] == c;
  if (c == 'h' || c == 'l') {
    at += doubled ? 2 : 1;
    if (c == 'h') return doubled ? LengthModifier::Hh : LengthModifier::H;
    return doubled ? LengthModifier::Ll : LengthModifier::L;
  }
  if (c == 'L' || c == 'j' || c == 'z' || c == 't') {
    ++at;
    return c == 'L'   ? LengthModifier::LongDouble
           : c == 'j' ? LengthModifier::J
           : c == 'z' ? LengthModifier::Z
                      : LengthModifier::T;
  }
  return LengthModifier::None;
}

}  // namespace

bool ParsePlaceholder(std::string_view format, size_t percent, size_t count,
                      ParsedPlaceholder& parsed) {
  parsed = ParsedPlaceholder{};
  // The longest text a placeholder may have; running off its end is a parse failure.
  const std::string_view text = format.substr(percent, kPlaceholderLimit - 1);
  FormatPlaceholder& placeholder = parsed.placeholder;
  size_t at = 1;

  if (at < text.size() && IsNonZeroDigit(text[at])) {
    size_t probe = at;
    const uint32_t number = ReadNumber(text, probe);
    const bool dollar = probe < text.size() && text[probe] == '$';
    if (number <= count) {
      parsed.argument = number;
      if (!dollar) {
        placeholder.bare = true;
        placeholder.text = text.substr(0, probe);
        parsed.bodyBegin = percent + 1;
        parsed.end = percent + probe;
        return true;
      }
      at = probe + 1;
    } else if (dollar) {
      return false;
    }
    // Otherwise N is no argument: its digits are read again as a width ("%10d").
  }
  parsed.bodyBegin = percent + at;

  placeholder.flags = ReadFlags(text, at);

  if (at < text.size() && text[at] == '*') {
    ++at;
    placeholder.hasWidth = placeholder.widthFromStar = true;
    parsed.widthArgument = ReadStarArgument(text, at);
  } else if (at < text.size() && IsDigit(text[at])) {
    placeholder.hasWidth = true;
    placeholder.width = ReadNumber(text, at);
  }

  if (at < text.size() && text[at] == '.') {
    ++at;
    placeholder.hasPrecision = true;
    if (at < text.size() && text[at] == '*') {
      ++at;
      placeholder.precisionFromStar = true;
      parsed.precisionArgument = ReadStarArgument(text, at);
    } else {
      placeholder.precision = ReadNumber(text, at);  // "." alone means 0, as in C
    }
  }

  placeholder.length = ReadLengthModifier(text, at);

  if (at >= text.size()) return false;  // no conversion character, or too long
  placeholder.conversion = text[at++];
  placeholder.text = text.substr(0, at);
  parsed.end = percent + at;
  return true;
}

}  // namespace Oxle::Client::Binding::FormatDetail
