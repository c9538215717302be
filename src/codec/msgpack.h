// MessagePack reading: one object from a byte range into a BindingProperty.
//
// Every standard family is read except the extension types (and the never-used byte 0xC1),
// which fail. Decoding is one iterative pass with an explicit frame stack, so nesting costs heap
// frames, never call stack; containers nested deeper than 512 fail. Truncation is reported with
// exact byte positions; running out of data between items is not an error (the containers end
// early). Declared counts and lengths never reserve memory ahead of the data that backs them.
// Strings are taken byte for byte (no UTF-8 check); map keys may hold any bytes, NUL included.
// There is no MessagePack writer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/value/value_result.h"

namespace Oxle::Client::Codec {

// Decodes one object from data[0, length) into `result` and sets `consumed` to the bytes read;
// bytes after the object are left for the caller to judge. An empty input gives an ok, empty
// result.
void ReadMessagePack(Binding::ValueResult& result, size_t& consumed, const uint8_t* data,
                     size_t length);

// True when the first byte opens a map or an array (fixmap, fixarray, array 16/32, map 16/32):
// how bodies without a content type are recognised.
[[nodiscard]] bool LooksLikeMessagePack(const uint8_t* data, size_t length) noexcept;

}  // namespace Oxle::Client::Codec
