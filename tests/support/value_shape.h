// Shape(value): a compact, exact text of a value that keeps kinds apart, for the tests of what
// builds or converts values: i5 signed, u5 unsigned, f1.5 float (shortest exact digits), T/F
// bool, ~ empty, 'x' string (a NUL as \0), b'0aff' blob in hex, e7 enum, [a,b] collection,
// {k:v;} structure.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "binding/value/binding_property.h"
#include "binding/value/value_visitor.h"

namespace Oxle::Client {

class ShapeVisitor : public Binding::ValueVisitor {
 public:
  std::string text;
  void OnEmpty() override { text += "~"; }
  void OnBool(bool v) override { text += v ? "T" : "F"; }
  void OnSigned(int64_t v) override { text += "i" + std::to_string(v); }
  void OnUnsigned(uint64_t v) override { text += "u" + std::to_string(v); }
  void OnFloat(double v) override {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.17g", v);
    text += "f" + std::string(digits);
  }
  void OnString(std::string_view v) override {
    text += "'";
    for (const char c : v)
      text += c == '\0' ? std::string("\\0") : std::string(1, c);
    text += "'";
  }
  void OnBlob(const Binding::Blob& v) override {
    text += "b'";
    for (const uint8_t byte : v)
      text += std::string{"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 0xF]};
    text += "'";
  }
  void OnEnum(const Binding::EnumValue& v) override { text += "e" + std::to_string(v.value); }
  void BeginCollection(size_t) override { text += "["; }
  void BeginElement(size_t i) override { text += i == 0 ? "" : ","; }
  void EndElement(size_t) override {}
  void EndCollection() override { text += "]"; }
  void BeginStructure(size_t) override { text += "{"; }
  void BeginMember(std::string_view k) override { text += std::string(k) + ":"; }
  void EndMember(std::string_view) override { text += ";"; }
  void EndStructure() override { text += "}"; }
};

inline std::string Shape(const Binding::BindingProperty& value) {
  ShapeVisitor visitor;
  value.Accept(visitor);
  return visitor.text;
}

}  // namespace Oxle::Client
