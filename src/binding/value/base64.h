// Base64 with the standard alphabet, padded with '=' to a multiple of 4, without line breaks:
// the text form of blob values.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace Oxle::Client::Binding {

inline constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

[[nodiscard]] std::string Base64Encode(std::span<const uint8_t> bytes);

}  // namespace Oxle::Client::Binding
