// Shape(value): a compact text of a decoded tree that keeps kinds apart, for decoder tests:
// i5 signed, u5 unsigned, f1.500000 float, T/F bool, ~ empty, 'x' string, b3 blob of 3 bytes,
// [a,b] collection, {k:v;} structure.
#pragma once

#include <string>
#include <string_view>

#include "binding/value/binding_property.h"
#include "binding/value/value_visitor.h"

namespace Oxle::Client::Codec {

class ShapeVisitor : public Binding::ValueVisitor {
 public:
  std::string text;
  void OnEmpty() override { text += "~"; }
  void OnBool(bool v) override { text += v ? "T" : "F"; }
  void OnSigned(int64_t v) override { text += "i" + std::to_string(v); }
  void OnUnsigned(uint64_t v) override { text += "u" + std::to_string(v); }
  void OnFloat(double v) override { text += "f" + std::to_string(v); }
  void OnString(std::string_view v) override { text += "'" + std::string(v) + "'"; }
  void OnBlob(const Binding::Blob& v) override { text += "b" + std::to_string(v.size()); }
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

}  // namespace Oxle::Client::Codec
