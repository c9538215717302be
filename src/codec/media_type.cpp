// Media type lookup and decoding by format.
#include "codec/media_type.h"

#include <cstdint>
#include <iterator>

#include "codec/ascii_case.h"
#include "codec/json.h"
#include "codec/msgpack.h"
#include "codec/yaml.h"

namespace Oxle::Client::Codec {

using Binding::ValueResult;

std::string_view MediaFormatName(MediaFormat format) noexcept {
  constexpr std::string_view kNames[] = {"JSON", "MessagePack", "YAML"};
  const auto index = static_cast<size_t>(format);
  return index < std::size(kNames) ? kNames[index] : std::string_view();
}

std::string_view ListedMediaType(MediaFormat format, MediaUse use) noexcept {
  for (const MediaType& type : kMediaTypes) {
    if (type.format == format && (type.uses & use) != 0) return type.name;
  }
  return {};
}

std::string MediaTypeOf(std::string_view contentType) {
  std::string_view type = contentType.substr(0, contentType.find(';'));
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!type.empty() && blank(type.back()))
    type.remove_suffix(1);
  while (!type.empty() && blank(type.front()))
    type.remove_prefix(1);
  return AsciiLower(type);
}

std::optional<MediaFormat> FormatByPrefix(std::string_view contentType, MediaUse use) noexcept {
  for (const MediaType& type : kMediaTypes) {
    if ((type.uses & use) != 0 && StartsWithNoCase(contentType, type.name)) return type.format;
  }
  return std::nullopt;
}

std::optional<MediaFormat> ResourceFormat(std::string_view contentType) {
  const std::string type = MediaTypeOf(contentType);
  for (const MediaType& known : kMediaTypes) {
    if ((known.uses & kResourceUse) != 0 && known.name == type) return known.format;
  }
  if (type.ends_with("+json")) return MediaFormat::Json;
  return std::nullopt;
}

ValueResult DecodeMedia(MediaFormat format, std::string_view bytes, DecodeExtent extent) {
  ValueResult decoded;
  switch (format) {
    case MediaFormat::Json:
      return ParseJson(bytes);
    case MediaFormat::Yaml:
      if (extent.yamlEndsAtNul) bytes = bytes.substr(0, bytes.find('\0'));
      ParseYaml(decoded, bytes.data(), bytes.size());
      return decoded;
    case MediaFormat::MessagePack: {
      size_t consumed = 0;
      ReadMessagePack(decoded, consumed, reinterpret_cast<const uint8_t*>(bytes.data()),
                      bytes.size());
      if (extent.wholeMessagePack && decoded.Ok() && consumed != bytes.size()) {
        return ValueResult::Error("Extra MessgePack data found in body");
      }
      return decoded;
    }
  }
  return decoded;
}

}  // namespace Oxle::Client::Codec
