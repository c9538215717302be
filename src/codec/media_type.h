// The media types values are decoded from, stated once: which format each names and who decodes
// it (a module function's request body, one of its parameters, a resource stored over HTTP); the
// rules that pick a format from a Content-Type; and one decode of bytes by format.
// Constant data and plain functions; safe from any thread. Writing is not here (JSON is written
// by json.h; there is no MessagePack or YAML writer).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "binding/value/value_result.h"

namespace Oxle::Client::Codec {

enum class MediaFormat : uint8_t { Json, MessagePack, Yaml };

// "JSON", "MessagePack" or "YAML".
[[nodiscard]] std::string_view MediaFormatName(MediaFormat format) noexcept;

// Who decodes a media type; a bit set.
enum MediaUse : uint8_t {
  kBodyUse = 1,       // a request body bound to a function argument (dispatch)
  kParameterUse = 2,  // one argument's text with its own content type (dispatch)
  kResourceUse = 4,   // a resource stored over HTTP
};

struct MediaType {
  std::string_view name;  // lower case, without parameters
  MediaFormat format;
  uint8_t uses;  // MediaUse bits
};

// Every media type decoded anywhere. For each use, the first entry of a format is the name to
// list it by (JSON, then MessagePack, then YAML).
inline constexpr MediaType kMediaTypes[] = {
    {"application/json", MediaFormat::Json, kBodyUse | kParameterUse | kResourceUse},
    {"application/x-msgpack", MediaFormat::MessagePack, kBodyUse | kParameterUse | kResourceUse},
    {"application/x-yaml", MediaFormat::Yaml, kBodyUse | kResourceUse},
    {"text/x-yaml", MediaFormat::Yaml, kParameterUse | kResourceUse},
    {"application/vnd.api+json", MediaFormat::Json, kBodyUse | kResourceUse},
    {"application/msgpack", MediaFormat::MessagePack, kResourceUse},
    {"application/vnd.msgpack", MediaFormat::MessagePack, kResourceUse},
    {"application/yaml", MediaFormat::Yaml, kResourceUse},
    {"text/yaml", MediaFormat::Yaml, kResourceUse},
};

// The name `format` is listed by for `use`: its first entry with that use, or empty.
[[nodiscard]] std::string_view ListedMediaType(MediaFormat format, MediaUse use) noexcept;

// The media type of a Content-Type: lower case, without parameters (from the first ';') and
// without surrounding spaces and tabs.
[[nodiscard]] std::string MediaTypeOf(std::string_view contentType);

// Dispatch's rule: the format of the first entry for `use` that `contentType` starts with,
// letters in either case (so "application/x-msgpack-ext" and "application/json; charset=utf-8"
// are found); nothing when none does.
[[nodiscard]] std::optional<MediaFormat> FormatByPrefix(std::string_view contentType,
                                                        MediaUse use) noexcept;

// The resource store's rule: the format of an entry for resources whose name is the media type
// of `contentType`, or JSON for any media type ending in "+json"; nothing otherwise.
[[nodiscard]] std::optional<MediaFormat> ResourceFormat(std::string_view contentType);

// How much of the bytes a decode reads.
struct DecodeExtent {
  // Bytes after the first MessagePack object fail the decode with "Extra MessgePack data found
  // in body"; when false they are left unread.
  bool wholeMessagePack = true;
  // YAML text ends at its first NUL; when false every byte is read. JSON text always ends at its
  // first NUL.
  bool yamlEndsAtNul = true;
};

// Decodes `bytes` as `format`: ok with the value, or failed with the decoder's message.
[[nodiscard]] Binding::ValueResult DecodeMedia(MediaFormat format, std::string_view bytes,
                                               DecodeExtent extent = {});

}  // namespace Oxle::Client::Codec
