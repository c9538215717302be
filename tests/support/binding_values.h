// Parse(text): the value that Shape() (support/value_shape.h) prints as `text`, so that a table
// row of the binding suites can give a whole value in one string.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "binding/value/binding_property.h"
#include "support/value_shape.h"

namespace Oxle::Client {

// Reads one value of the Shape text at `at`. Enums take `enumType`; a key runs up to its ':',
// a text up to its closing quote (with \0 for a NUL).
class ShapeParser {
 public:
  ShapeParser(std::string_view text, const Binding::TypeId* enumType)
      : text_(text), enumType_(enumType) {}

  void Read(Binding::BindingProperty& out) {
    const char kind = text_[at_++];
    if (kind == 'T' || kind == 'F') out.SetBool(kind == 'T');
    if (kind == 'i') out.SetSigned(std::strtoll(Number().c_str(), nullptr, 10));
    if (kind == 'u') out.SetUnsigned(std::strtoull(Number().c_str(), nullptr, 10));
    if (kind == 'f') out.SetFloat(std::strtod(Number().c_str(), nullptr));
    if (kind == 'e') out.SetEnum(std::atoi(Number().c_str()), *enumType_);
    if (kind == '\'') out.SetString(Quoted());
    if (kind == 'b') {
      ++at_;
      Binding::Blob bytes;
      for (; text_[at_] != '\''; at_ += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text_.substr(at_, 2)), 0, 16)));
      ++at_;
      out.SetBlob(std::move(bytes));
    }
    if (kind == '[') {
      out.MakeCollection();
      while (text_[at_++] != ']') {
        --at_;
        Read(out.Append());
        if (text_[at_] == ',') ++at_;
      }
    }
    if (kind == '{') {
      out.MakeStructure();
      while (text_[at_] != '}') {
        const size_t colon = text_.find(':', at_);
        const std::string key(text_.substr(at_, colon - at_));
        at_ = colon + 1;
        Read(out.Get(key));
        ++at_;  // ';'
      }
      ++at_;
    }
  }

 private:
  std::string Number() {
    const size_t end = text_.find_first_of(",;]}", at_);
    const std::string number(text_.substr(at_, end - at_));
    at_ = end == std::string_view::npos ? text_.size() : end;
    return number;
  }
  std::string Quoted() {
    std::string text;
    for (; text_[at_] != '\''; ++at_)
      text += text_.substr(at_, 2) == "\\0" ? (++at_, '\0') : text_[at_];
    ++at_;
    return text;
  }

  std::string_view text_;
  const Binding::TypeId* enumType_;
  size_t at_ = 0;
};

inline Binding::BindingProperty Parse(std::string_view text,
                                      const Binding::TypeId* enumType = nullptr) {
  Binding::BindingProperty value;
  ShapeParser(text, enumType).Read(value);
  return value;
}

}  // namespace Oxle::Client
