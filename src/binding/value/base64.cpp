#include "binding/value/base64.h"

namespace Oxle::Client::Binding {

std::string Base64Encode(std::span<const uint8_t> bytes) {
  std::string text;
  text.resize((bytes.size() + 2) / 3 * 4);
  char* out = text.data();
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    *out++ = kBase64Alphabet[group >> 18];
    *out++ = kBase64Alphabet[(group >> 12) & 63];
    *out++ = kBase64Alphabet[(group >> 6) & 63];
    *out++ = kBase64Alphabet[group & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest != 0) {
    const uint32_t group = uint32_t{bytes[i]} << 16 | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
    *out++ = kBase64Alphabet[group >> 18];
    *out++ = kBase64Alphabet[(group >> 12) & 63];
    *out++ = rest == 2 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    *out++ = '=';
  }
  return text;
}

}  // namespace Oxle::Client::Binding
