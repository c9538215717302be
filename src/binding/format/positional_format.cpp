#include "binding/format/positional_format.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "binding/format/placeholder_parser.h"

namespace Oxle::Client::Binding {
namespace {

constexpr uint64_t kIntMax = INT_MAX;
// Past this precision a double's exact decimal expansion has ended (at most 767 significant
// digits, 1074 after the point), so more precision only appends zeros or changes nothing.
constexpr uint64_t kExactDoubleDigits = 1100;
// More than the digits of any 64-bit integer in any base printf knows.
constexpr uint64_t kIntegerDigitsMargin = 64;

// Flags, width and precision with the "*" values substituted.
struct Layout {
  uint8_t flags = 0;
  bool hasWidth = false;
  uint64_t width = 0;
  bool hasPrecision = false;
  uint64_t precision = 0;
};

Layout ResolveLayout(const FormatContext& context) {
  const FormatPlaceholder& placeholder = context.placeholder;
  Layout layout{placeholder.flags, placeholder.hasWidth, placeholder.width,
                placeholder.hasPrecision, placeholder.precision};
  size_t star = 0;
  auto nextStar = [&]() -> int64_t {
    return star < context.starCount && star < context.starValues.size() ? context.starValues[star++]
                                                                        : 0;
  };
  if (placeholder.widthFromStar) {
    const int64_t value = nextStar();  // 64 bits, so that INT_MIN can be negated
    if (value < 0) layout.flags |= kFormatFlagLeft;
    layout.width = static_cast<uint64_t>(value < 0 ? -value : value);
  }
  if (placeholder.precisionFromStar) {
    const int64_t value = nextStar();
    layout.hasPrecision = value >= 0;
    layout.precision = value >= 0 ? static_cast<uint64_t>(value) : 0;
  }
  return layout;
}

// The conversion letter the argument's type settles on; '\0' for "%n", which prints nothing.
char SettleConversion(const FormatContext& context) {
  if (context.allowed.empty()) return '\0';
  if (context.placeholder.bare) return context.allowed.front();
  const char conversion = context.placeholder.conversion;
  if (conversion == 'n') return '\0';
  return context.allowed.find(conversion) != std::string_view::npos ? conversion
                                                                    : context.allowed.front();
}

// A printf format rebuilt from parts that are valid for the value passed with it.
class PrintfFormat {
 public:
  void Append(char c) { text_[length_++] = c; }
  void Append(std::string_view text) {
    for (const char c : text)
      Append(c);
  }
  void AppendNumber(uint64_t value) {
    char digits[24];
    size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0)
      Append(digits[--count]);
  }
  [[nodiscard]] const char* CStr() {
    text_[length_] = '\0';
    return text_.data();
  }

 private:
  // "%", five flags, two numbers of at most ten digits, ".", two length letters, the letter.
  std::array<char, 48> text_{};
  size_t length_ = 0;
};

PrintfFormat BuildPrintfFormat(uint8_t flags, bool hasWidth, uint64_t width, bool hasPrecision,
                               uint64_t precision, std::string_view length, char conversion) {
  PrintfFormat pattern;
  pattern.Append('%');
  if ((flags & kFormatFlagLeft) != 0) pattern.Append('-');
  if ((flags & kFormatFlagPlus) != 0) pattern.Append('+');
  if ((flags & kFormatFlagSpace) != 0) pattern.Append(' ');
  if ((flags & kFormatFlagAlternate) != 0) pattern.Append('#');
  if ((flags & kFormatFlagZero) != 0) pattern.Append('0');
  if (hasWidth) pattern.AppendNumber(std::min(width, kIntMax));
  if (hasPrecision) {
    pattern.Append('.');
    pattern.AppendNumber(std::min(precision, kIntMax));
  }
  pattern.Append(length);
  pattern.Append(conversion);
  return pattern;
}

// Prints `value` with the C library, clamping width and precision so that the visible text is
// exactly what the unclamped placeholder shows: beyond `precisionCap` more precision only
// lengthens a run of zeros (or changes nothing), and padding beyond the room is never seen.
// This keeps "%1$999999999d" or a "*" of INT_MAX from producing gigabytes of padding.
template <typename T>
size_t Render(FormatContext& context, const Layout& layout, std::string_view length,
              char conversion, T value, uint64_t precisionCap) {
  const uint64_t room = context.room;
  const bool precisionClamped = layout.hasPrecision && layout.precision > precisionCap;
  const uint64_t precision = precisionClamped ? precisionCap : layout.precision;
  bool hasWidth = layout.hasWidth;
  uint64_t width = layout.width;
  if (hasWidth && width > room) {
    auto measure = [&](uint64_t withPrecision) {
      PrintfFormat pattern = BuildPrintfFormat(layout.flags, false, 0, layout.hasPrecision,
                                               withPrecision, length, conversion);
      return std::snprintf(nullptr, 0, pattern.CStr(), value);
    };
    const int measured = measure(precision);
    if (measured < 0) {
      hasWidth = false;
    } else {
      // The unpadded length under the unclamped precision: past the cap each further digit of
      // precision adds one character or none, the same for every step.
      uint64_t natural = static_cast<uint64_t>(measured);
      if (precisionClamped && measure(precision + 1) > measured) {
        natural += layout.precision - precision;
      }
      hasWidth = width > natural;
      width = static_cast<uint64_t>(measured) + std::min(width - natural, room);
    }
  }
  PrintfFormat pattern = BuildPrintfFormat(layout.flags, hasWidth, width, layout.hasPrecision,
                                           precision, length, conversion);
  const int result = std::snprintf(context.output, context.room + 1, pattern.CStr(), value);
  if (result < 0) {
    // What snprintf left behind is undefined: count none of it and end the output here.
    context.failed = true;
    context.output[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(std::min(static_cast<uint64_t>(result), room));
}

// Integers: `bits` holds the value sign- or zero-extended; `wide` marks the 64-bit types.
size_t FormatInteger(FormatContext& context, uint64_t bits, bool wide) {
  const char conversion = SettleConversion(context);
  if (conversion == '\0') return 0;
  Layout layout = ResolveLayout(context);
  const uint64_t precisionCap = std::min<uint64_t>(context.room, kIntMax) + kIntegerDigitsMargin;
  if (conversion == 'c') {
    // C leaves "#", "0" and a precision undefined for %c.
    layout.flags &= static_cast<uint8_t>(~(kFormatFlagAlternate | kFormatFlagZero));
    layout.hasPrecision = false;
    return Render(context, layout, {}, 'c', static_cast<int>(static_cast<unsigned char>(bits)),
                  precisionCap);
  }
  const bool isSigned = conversion == 'd' || conversion == 'i';
  if (isSigned || conversion == 'u') {
    layout.flags &= static_cast<uint8_t>(~kFormatFlagAlternate);
  }
  if (wide) {
    if (isSigned) {
      return Render(context, layout, "ll", conversion, static_cast<long long>(bits), precisionCap);
    }
    return Render(context, layout, "ll", conversion, static_cast<unsigned long long>(bits),
                  precisionCap);
  }
  // Types passed as a C int keep "h" and "hh": they narrow what printf already read as an int.
  std::string_view length;
  if (!context.placeholder.bare && context.placeholder.length == LengthModifier::H) length = "h";
  if (!context.placeholder.bare && context.placeholder.length == LengthModifier::Hh) length = "hh";
  const auto low = static_cast<uint32_t>(bits);
  if (isSigned) {
    return Render(context, layout, length, conversion, static_cast<int>(static_cast<int32_t>(low)),
                  precisionCap);
  }
  return Render(context, layout, length, conversion, static_cast<unsigned>(low), precisionCap);
}

void SetType(FormatContext& context, std::string_view allowed, std::string_view length) {
  context.allowed = allowed;
  context.lengthModifier = length;
}

}  // namespace

size_t FormatValue(FormatContext& context, uint8_t value) {
  SetType(context, "ucdioxX", "");
  return FormatInteger(context, value, false);
}

size_t FormatValue(FormatContext& context, signed char value) {
  SetType(context, "cdiouxX", "");
  return FormatInteger(context, static_cast<uint64_t>(static_cast<int64_t>(value)), false);
}

size_t FormatValue(FormatContext& context, int32_t value) {
  SetType(context, "dciouxX", "");
  return FormatInteger(context, static_cast<uint64_t>(static_cast<int64_t>(value)), false);
}

size_t FormatValue(FormatContext& context, uint32_t value) {
  SetType(context, "ucdioxX", "");
  return FormatInteger(context, value, false);
}

size_t FormatValue(FormatContext& context, int64_t value) {
  SetType(context, "dciouxX", "ll");
  return FormatInteger(context, static_cast<uint64_t>(value), true);
}

size_t FormatValue(FormatContext& context, uint64_t value) {
  SetType(context, "ucdioxX", "ll");
  return FormatInteger(context, value, true);
}

size_t FormatValue(FormatContext& context, double value) {
  SetType(context, "gaefGAEF", "");
  const char conversion = SettleConversion(context);
  if (conversion == '\0') return 0;
  const uint64_t precisionCap =
      std::max(std::min<uint64_t>(context.room, kIntMax), kExactDoubleDigits);
  return Render(context, ResolveLayout(context), {}, conversion, value, precisionCap);
}

size_t FormatValue(FormatContext& context, const char* value) {
  return FormatValue(context, std::string_view(value != nullptr ? value : "(null)"));
}

// Strings are padded here rather than by printf: the text may hold NULs and is not
// NUL-terminated, and the padding is bounded by the room without any clamping.
size_t FormatValue(FormatContext& context, std::string_view value) {
  SetType(context, "s", "");
  if (SettleConversion(context) == '\0') return 0;
  const Layout layout = ResolveLayout(context);
  if (layout.hasPrecision && layout.precision < value.size()) {
    value = value.substr(0, static_cast<size_t>(layout.precision));
  }
  const uint64_t padding =
      layout.hasWidth && layout.width > value.size() ? layout.width - value.size() : 0;
  size_t written = 0;
  auto pad = [&] {
    const auto count = static_cast<size_t>(std::min<uint64_t>(padding, context.room - written));
    std::memset(context.output + written, ' ', count);
    written += count;
  };
  auto copy = [&] {
    const size_t count = std::min(value.size(), context.room - written);
    if (count > 0) std::memcpy(context.output + written, value.data(), count);
    written += count;
  };
  if ((layout.flags & kFormatFlagLeft) != 0) {
    copy();
    pad();
  } else {
    pad();
    copy();
  }
  context.output[written] = '\0';
  return written;
}

size_t FormatPositional(char* buffer, size_t size, std::string_view format,
                        const FormatArgDescriptor* const* descriptors, const void* const* arguments,
                        size_t count) {
  if (buffer == nullptr || size == 0) return 0;
  if (descriptors == nullptr || arguments == nullptr) count = 0;
  const size_t limit = size - 1;  // the last byte is the NUL's
  size_t written = 0;
  size_t at = 0;
  size_t sequence = 1;  // the next argument for placeholders without "N$" and plain "*"

  auto descriptorOf = [&](size_t number) -> const FormatArgDescriptor* {
    return number >= 1 && number <= count ? descriptors[number - 1] : nullptr;
  };

  while (at < format.size() && written < limit) {
    if (format[at] != '%') {
      buffer[written++] = format[at++];
      continue;
    }
    if (at + 1 < format.size() && format[at + 1] == '%') {
      buffer[written++] = '%';
      at += 2;
      continue;
    }
    FormatDetail::ParsedPlaceholder parsed;
    if (!FormatDetail::ParsePlaceholder(format, at, count, parsed)) break;

    FormatContext context;
    context.placeholder = parsed.placeholder;
    auto takeStar = [&](size_t number) {
      if (number == 0) number = sequence++;
      const FormatArgDescriptor* descriptor = descriptorOf(number);
      if (descriptor == nullptr || !descriptor->hasAsInt32 || descriptor->asInt32 == nullptr) {
        return false;
      }
      context.starValues[context.starCount++] = descriptor->asInt32(arguments[number - 1]);
      return true;
    };
    if (parsed.placeholder.widthFromStar && !takeStar(parsed.widthArgument)) break;
    if (parsed.placeholder.precisionFromStar && !takeStar(parsed.precisionArgument)) break;

    const size_t number = parsed.argument != 0 ? parsed.argument : sequence++;
    const FormatArgDescriptor* descriptor = descriptorOf(number);
    if (descriptor == nullptr || descriptor->format == nullptr) break;
    context.output = buffer + written;
    context.room = limit - written;
    const size_t printed = descriptor->format(context, arguments[number - 1]);
    if (context.failed) break;
    written += std::min(printed, context.room);
    at = parsed.end;
  }
  buffer[written] = '\0';
  return written;
}

size_t FormatPositional(char* buffer, size_t size, const char* format,
                        const FormatArgDescriptor* const* descriptors, const void* const* arguments,
                        size_t count) {
  return FormatPositional(buffer, size, std::string_view(format != nullptr ? format : ""),
                          descriptors, arguments, count);
}

}  // namespace Oxle::Client::Binding
