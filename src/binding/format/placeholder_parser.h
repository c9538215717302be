// Parsing of one "%" placeholder, shared by the positional formatter and the translation of
// named fields. Internal to the format library: callers use FormatPositional / FormatNamed.
// The parser only reads the format; argument numbers it returns are not checked against the
// descriptors (the formatter does that when it takes each argument).
#pragma once

#include <cstddef>
#include <string_view>

#include "binding/format/positional_format.h"

namespace Oxle::Client::Binding::FormatDetail {

struct ParsedPlaceholder {
  FormatPlaceholder placeholder;
  size_t end = 0;                // index just after the placeholder
  size_t bodyBegin = 0;          // index of the first character after "%" or "%N$"
  size_t argument = 0;           // N of "%N$" or of a bare "%N"; 0: the next in sequence
  size_t widthArgument = 0;      // M of a "*M$" width; 0: the next in sequence
  size_t precisionArgument = 0;  // M of a "*M$" precision; 0: the next in sequence
};

// Parses the placeholder whose "%" is at format[percent] (which must not start "%%"), for a
// call with `count` arguments. False for a malformed or overlong placeholder and for "%N$"
// with N greater than `count`.
[[nodiscard]] bool ParsePlaceholder(std::string_view format, size_t percent, size_t count,
                                    ParsedPlaceholder& parsed);

}  // namespace Oxle::Client::Binding::FormatDetail
