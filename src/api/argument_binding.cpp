// Argument binding: query splitting, ArgumentSet, binding texts to arguments and decoding them.
#include "api/argument_binding.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>

#include "binding/format/positional_format.h"
#include "codec/ascii_case.h"
#include "codec/media_type.h"

namespace Oxle::Client::Api {

using Binding::BindingCode;
using Binding::BindingProperty;
using Binding::FormatToString;
using Binding::FunctionRecord;
using Binding::ValueKind;
using Binding::ValueResult;

namespace {

[[nodiscard]] std::string_view SkipSpaces(std::string_view text) noexcept {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0)
    ++i;
  return text.substr(i);
}

[[nodiscard]] bool IsContainerCode(BindingCode code) noexcept {
  return code == BindingCode::Object || code == BindingCode::Vector || code == BindingCode::Struct;
}

}  // namespace

void SplitQuery(std::string_view target, OrderedPairs& query) {
  const size_t mark = target.find('?');
  if (mark == std::string_view::npos) return;
  std::string_view rest = target.substr(mark + 1);
  while (true) {
    const size_t amp = rest.find('&');
    const std::string_view piece = rest.substr(0, amp);
    const size_t equals = piece.find('=');
    if (equals != std::string_view::npos) {
      query.PutLast(piece.substr(0, equals), piece.substr(equals + 1), true);
    } else {
      query.PutLast(piece, {}, true);
    }
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
}

void DecodeBody(ApiResponse& call, BindingProperty& target, std::string_view contentType,
                std::span<const uint8_t> body) {
  const std::optional<Codec::MediaFormat> format =
      Codec::FormatByPrefix(contentType, Codec::kBodyUse);
  if (!format) {
    call.SetError("Unsupported body content type");
    call.status = 415;
    return;
  }
  ValueResult decoded =
      Codec::DecodeMedia(*format, {reinterpret_cast<const char*>(body.data()), body.size()});
  if (!decoded.Ok()) {
    call.SetError(decoded.ErrorMessage());
    return;
  }
  target = std::move(decoded.Value());
}

ArgumentSet::ArgumentSet(const FunctionRecord& function) : ArgumentSet(function, owned_) {}

ArgumentSet::ArgumentSet(const FunctionRecord& function, BindingProperty& storage)
    : function_(function), values_(storage) {
  values_.Clear();
  values_.MakeCollection();
  if (!function.arguments.empty()) values_.At(function.arguments.size() - 1);
}

size_t ArgumentSet::Find(std::string_view name) const noexcept {
  // Functions have a handful of arguments: a scan beats building an index per call.
  for (size_t i = 0; i < function_.arguments.size(); ++i) {
    if (function_.arguments[i].name == name) return i;
  }
  return function_.arguments.size();
}

void DecodeParameter(ApiResponse& call, BindingProperty& target, const FunctionRecord& function,
                     std::string_view parameterName, const std::string& valueText,
                     std::string_view contentType, bool sniff) {
  const bool guess = sniff && contentType.empty() && !valueText.empty();
  const auto first = static_cast<unsigned char>(guess ? valueText[0] : 0);
  const std::string_view trimmed = guess ? SkipSpaces(valueText) : std::string_view();
  std::optional<Codec::MediaFormat> format =
      Codec::FormatByPrefix(contentType, Codec::kParameterUse);
  if (!format && guess) {
    if ((first >= 0x80 && first <= 0x9F) || (first >= 0xDC && first <= 0xDF)) {
      format = Codec::MediaFormat::MessagePack;
    } else if (!trimmed.empty() && (trimmed[0] == '{' || trimmed[0] == '[')) {
      format = Codec::MediaFormat::Json;
    } else if (trimmed.starts_with("---")) {
      format = Codec::MediaFormat::Yaml;
    }
  }
  if (!format) {
    if (Codec::StartsWithNoCase(contentType, "application/octet-stream")) {
      target.SetBlob(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(valueText.data()),
                                              valueText.size()));
    } else {
      target.SetString(valueText);
    }
    return;
  }
  // Bytes after the first MessagePack value are not the parameter's concern.
  ValueResult decoded = Codec::DecodeMedia(*format, valueText, {.wholeMessagePack = false});
  if (!decoded.Ok()) {
    call.SetError(FormatToString("Couldn't deserialize %1 value for parameter '%2' of '%3': %4",
                                 Codec::MediaFormatName(*format), parameterName, function.name,
                                 decoded.ErrorMessage()));
    return;
  }
  target = std::move(decoded.Value());
}

void BindIndexed(ApiResponse& call, BindingProperty& target, const FunctionRecord& function,
                 std::string_view path, const std::string& valueText,
                 std::string_view contentType) {
  BindingProperty* current = &target;
  std::string_view rest = path;
  // Every segment nests one level deeper, and values are destroyed and converted recursively,
  // so a path may not nest deeper than any decoder may.
  if (static_cast<size_t>(std::count(path.begin(), path.end(), '.')) >= kMaxIndexPathSegments) {
    call.SetError(
        FormatToString("Couldn't assign value to '%1' because the input is nested too deeply.",
                       path.substr(0, path.find('.'))));
    return;
  }
  while (true) {
    const size_t dot = rest.find('.');
    const std::string_view segment = rest.substr(0, dot);
    if (!segment.empty() && segment[0] >= '0' && segment[0] <= '9') {
      const std::string digits(segment);
      char* end = nullptr;
      errno = 0;
      const unsigned long index = std::strtoul(digits.c_str(), &end, 0);
      if (*end != '\0') {
        call.SetError(FormatToString("Index %1 is in an incorrect format", segment));
        return;
      }
      // Indices from 0x80000000 up are out of range by rule; a collection grown that far would
      // exhaust memory long before, so the bound is far lower.
      if (errno == ERANGE || index > kMaxArgumentIndex) {
        call.SetError(FormatToString("Index %1 is out of range", segment));
        return;
      }
      if (current->Kind() != ValueKind::Collection) {
        current->Clear();
        current->MakeCollection();
      }
      current = &current->At(index);
    } else {
      if (current->Kind() != ValueKind::Structure) {
        current->Clear();
        current->MakeStructure();
      }
      current = &current->Get(segment);
    }
    if (dot == std::string_view::npos) {
      DecodeParameter(call, *current, function, segment, valueText, contentType, false);
      return;
    }
    rest.remove_prefix(dot + 1);
  }
}

void BindArgument(ApiResponse& call, ArgumentSet& arguments, const FunctionRecord& function,
                  const RouteBinding& binding, std::string_view key, const std::string& valueText,
                  std::string_view contentType, ArgumentLocation location) {
  const size_t dot = key.find('.');
  const std::string_view name = key.substr(0, dot);
  const size_t index = arguments.Find(name);
  if (index >= function.arguments.size()) {
    call.SetError(FormatToString("Unknown argument '%1' for '%2'.", name, function.name));
    return;
  }
  const ArgumentLocation declared = DeclaredLocation(binding, index);
  if (declared != ArgumentLocation::Any && declared != location) {
    call.SetError(FormatToString("Argument '%1' for '%2' was specified in an invalid location.",
                                 name, function.name));
    return;
  }
  BindingProperty& target = arguments.Values()[index];
  if (dot != std::string_view::npos && dot + 1 < key.size()) {
    BindIndexed(call, target, function, key.substr(dot + 1), valueText, contentType);
    return;
  }
  const BindingCode code = function.arguments[index].type.code;
  if (valueText.empty()) {
    switch (code) {
      case BindingCode::Bool:
        target.SetBool(true);
        return;
      case BindingCode::Object:
      case BindingCode::Struct:
        target.Clear();
        target.MakeStructure();
        return;
      case BindingCode::Vector:
        target.Clear();
        target.MakeCollection();
        return;
      default:
        call.SetError(FormatToString("Expected value for argument '%1'.", name));
        return;
    }
  }
  DecodeParameter(call, target, function, name, valueText, contentType, IsContainerCode(code));
}

}  // namespace Oxle::Client::Api
