// Parse(text): the value that Shape() (support/value_shape.h) prints as `text`, so that a table
// row of the binding suites can give a whole value in one string.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "binding/value/binding_property.h"
#include "support/value_shape.h"

namespace Oxle::Client {

// Reads the value whose Shape text starts `text` into `out` and steps past it. Enums take
// `enumType`; a key runs up to its ':', a text up to its closing quote (with \0 for a NUL).
inline void ReadShape(std::string_view& text, Binding::BindingProperty& out,
                      const Binding::TypeId* enumType) {
  const char kind = text[0];
  text.remove_prefix(1);
  const size_t end = std::min(text.find_first_of(",;]}"), text.size());
  const std::string number(text.substr(0, end));
  if (std::string_view("iufe").find(kind) != std::string_view::npos) text.remove_prefix(end);
  if (kind == 'T' || kind == 'F') out.SetBool(kind == 'T');
  if (kind == 'i') out.SetSigned(std::strtoll(number.c_str(), nullptr, 10));
  if (kind == 'u') out.SetUnsigned(std::strtoull(number.c_str(), nullptr, 10));
  if (kind == 'f') out.SetFloat(std::strtod(number.c_str(), nullptr));
  if (kind == 'e') out.SetEnum(std::atoi(number.c_str()), *enumType);
  if (kind == '\'') {
    std::string quoted;
    for (; text[0] != '\''; text.remove_prefix(1))
      quoted += text.substr(0, 2) == "\\0" ? (text.remove_prefix(1), '\0') : text[0];
    out.SetString(quoted);
  }
  if (kind == 'b') {
    Binding::Blob bytes;
    for (text.remove_prefix(1); text[0] != '\''; text.remove_prefix(2))
      bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(0, 2)), nullptr, 16)));
    out.SetBlob(std::move(bytes));
  }
  if (kind == '[') out.MakeCollection();
  while (kind == '[' && text[0] != ']') {
    ReadShape(text, out.Append(), enumType);
    if (text[0] == ',') text.remove_prefix(1);
  }
  if (kind == '{') out.MakeStructure();
  while (kind == '{' && text[0] != '}') {
    const size_t colon = text.find(':');
    Binding::BindingProperty& member = out.Get(std::string(text.substr(0, colon)));
    text.remove_prefix(colon + 1);
    ReadShape(text, member, enumType);
    text.remove_prefix(1);  // the ';' after a member
  }
  // The closing quote or bracket.
  if (kind == '\'' || kind == 'b' || kind == '[' || kind == '{') text.remove_prefix(1);
}

inline Binding::BindingProperty Parse(std::string_view text,
                                      const Binding::TypeId* enumType = nullptr) {
  Binding::BindingProperty value;
  ReadShape(text, value, enumType);
  return value;
}

}  // namespace Oxle::Client
