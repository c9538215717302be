#include "codec/json.h"

#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>

#include "binding/format/positional_format.h"
#include "codec/tree_builder.h"

namespace Oxle::Client::Codec {

using Binding::BindingProperty;
using Binding::ValueResult;

namespace {

// Decoded text up to its first NUL: values cannot hold an embedded NUL.
[[nodiscard]] std::string_view UpToNul(const char* text, rapidjson::SizeType length) noexcept {
  const void* nul = std::memchr(text, '\0', length);
  return {text, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text)
                               : static_cast<size_t>(length)};
}

// The reader's events, each applied to the tree through the builder. Only the depth limit
// rejects an event.
class JsonHandler {
 public:
  // `mayHoldNul`: whether the text has a "\u0000" escape; without one no decoded string holds a
  // NUL (a raw NUL ends the text), so none needs searching for one.
  JsonHandler(BindingProperty& root, bool mayHoldNul)
      : builder_(root, ElementPlacement::Deferred), mayHoldNul_(mayHoldNul) {}

  [[nodiscard]] bool TooDeep() const noexcept { return tooDeep_; }

  bool Null() {
    builder_.Slot().Clear();
    return true;
  }
  bool Bool(bool value) {
    builder_.Slot().SetBool(value);
    return true;
  }
  // The reader reports negative integers (and -0) through Int/Int64 and the others through
  // Uint/Uint64.
  bool Int(int value) {
    builder_.Slot().SetSigned(value);
    return true;
  }
  bool Uint(unsigned value) {
    builder_.Slot().SetUnsigned(value);
    return true;
  }
  bool Int64(int64_t value) {
    builder_.Slot().SetSigned(value);
    return true;
  }
  bool Uint64(uint64_t value) {
    builder_.Slot().SetUnsigned(value);
    return true;
  }
  bool Double(double value) {
    builder_.Slot().SetFloat(value);
    return true;
  }
  // Only called with the numbers-as-strings flag, which is not used.
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    builder_.Slot().SetString(Decoded(text, length));
    return true;
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    builder_.Key(Decoded(text, length));
    return true;
  }
  bool StartObject() { return Admit(builder_.BeginStructure()); }
  bool EndObject(rapidjson::SizeType) {
    builder_.End();
    return true;
  }
  bool StartArray() { return Admit(builder_.BeginCollection()); }
  bool EndArray(rapidjson::SizeType) {
    builder_.End();
    return true;
  }

 private:
  bool Admit(bool opened) noexcept {
    tooDeep_ = !opened;
    return opened;
  }

  [[nodiscard]] std::string_view Decoded(const char* text, rapidjson::SizeType length) const {
    return mayHoldNul_ ? UpToNul(text, length) : std::string_view(text, length);
  }

  TreeBuilder builder_;
  const bool mayHoldNul_;
  bool tooDeep_ = false;
};

[[nodiscard]] const char* ParseErrorText(rapidjson::ParseErrorCode code) noexcept {
  static constexpr const char* kTexts[] = {
      "No error.",
      "The document is empty.",
      "The document root must not be followed by other values.",
      "Invalid value.",
      "Missing a name for object member.",
      "Missing a colon after a name of object member.",
      "Missing a comma or '}' after an object member.",
      "Missing a comma or ']' after an array element.",
      "Incorrect hex digit after \\u escape in string.",
      "The surrogate pair in string is invalid.",
      "Invalid escape character in string.",
      "Missing a closing quotation mark in string.",
      "Invalid encoding in string.",
      "Number too big to be stored in double.",
      "Miss fraction part in number.",
      "Miss exponent in number.",
      "Terminate parsing due to Handler error.",
      "Unspecific syntax error.",
  };
  const auto index = static_cast<size_t>(code);
  return index < std::size(kTexts) ? kTexts[index] : "Unknown error.";
}

[[nodiscard]] bool IsJsonSpace(char c) noexcept {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

}  // namespace

ValueResult ParseJson(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  size_t start = 0;
  while (start < text.size() && IsJsonSpace(text[start]))
    ++start;
  if (start == text.size()) return ValueResult();

  BindingProperty root;
  JsonHandler handler(root, text.find("\\u0000", start) != std::string_view::npos);
  // Parsed in place in a copy of the text: the reader then decodes each string where it lies
  // instead of pushing it through its own stack a character at a time. Offsets are the same.
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.data(), text.size());
  copy[text.size()] = '\0';
  rapidjson::Reader reader;
  rapidjson::InsituStringStream stream(copy.get());
  const rapidjson::ParseResult parsed = reader.Parse<rapidjson::kParseInsituFlag>(stream, handler);
  if (parsed.IsError()) {
    const char* what = handler.TooDeep() ? "Nesting is too deep." : ParseErrorText(parsed.Code());
    return ValueResult::Error(
        Binding::FormatToString<256>("Error: %1 at offset %2.", what, parsed.Offset()));
  }
  return ValueResult(std::move(root));
}

ValueResult ParseJson(const char* text) {
  if (text == nullptr) return ValueResult();
  return ParseJson(std::string_view(text));
}

ValueResult ParseJson(const std::string& text) {
  return ParseJson(std::string_view(text));
}

}  // namespace Oxle::Client::Codec
