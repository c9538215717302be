// ValueVisitor: the interface through which writers walk a BindingProperty (see
// BindingProperty::Accept). Scalars arrive as one call; a collection as BeginCollection, then
// BeginElement / the element / EndElement per index, then EndCollection; a structure likewise
// with its members in key order. Text arguments are views into the tree, valid during the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "binding/value/binding_property.h"

namespace Oxle::Client::Binding {

class ValueVisitor {
 public:
  virtual void OnEmpty() = 0;
  virtual void OnBool(bool value) = 0;
  virtual void OnSigned(int64_t value) = 0;
  virtual void OnUnsigned(uint64_t value) = 0;
  virtual void OnFloat(double value) = 0;
  virtual void OnString(std::string_view text) = 0;
  virtual void OnBlob(const Blob& bytes) = 0;
  virtual void OnEnum(const EnumValue& value) = 0;
  virtual void BeginCollection(size_t count) = 0;
  virtual void BeginElement(size_t index) = 0;
  virtual void EndElement(size_t index) = 0;
  virtual void EndCollection() = 0;
  virtual void BeginStructure(size_t count) = 0;
  virtual void BeginMember(std::string_view key) = 0;
  virtual void EndMember(std::string_view key) = 0;
  virtual void EndStructure() = 0;
  virtual ~ValueVisitor() = default;
};

}  // namespace Oxle::Client::Binding
