// FieldConverter: how one registered field (or element) moves between its native form and a
// BindingProperty. Each field record owns one; the typed registration creates them, so code
// rarely implements this interface by hand. Read and write report failures through the result
// and never throw for bad data.
#pragma once

#include <cstdint>

#include "binding/types/binding_code.h"
#include "binding/value/binding_property.h"
#include "binding/value/value_result.h"

namespace Oxle::Client::Binding {

class BindingRegistry;

// The native types that structure reading and writing convert inline rather than through the
// field's converter: a field of one of these forms holds exactly that type and converts as the
// typed registration converts it. Other is any type or converter besides.
enum class NativeForm : uint8_t {
  Other,
  Bool,
  Int8,
  Uint8,
  Int16,
  Uint16,
  Int32,
  Uint32,
  Int64,
  Uint64,
  Float,
  Double,
  String,
};

class FieldConverter {
 public:
  // Reads `value` into the native field at `native`, labelled `label` in messages.
  virtual void ReadField(ValueResult& result, void* native, const BindingProperty& value,
                         const char* label, const TypeIdentifier& type,
                         const BindingRegistry* registry, uint8_t flags) const = 0;
  // Writes the native field at `native` into result.Value().
  virtual void WriteField(ValueResult& result, const void* native, const TypeIdentifier& type,
                          const BindingRegistry* registry) const {
    result.SetOk();
    WriteInto(result, result.Value(), native, type, registry);
  }
  // Writes the native field into `target`, which may be a member or element of any tree (so
  // nothing is built twice); a failure is recorded in `status`.
  virtual void WriteInto(ValueResult& status, BindingProperty& target, const void* native,
                         const TypeIdentifier& type, const BindingRegistry* registry) const = 0;
  // Whether the native field would be written as a zero value: 1 yes, 0 no, -1 only writing
  // tells.
  [[nodiscard]] virtual int IsZero(const void* native) const noexcept = 0;
  // The form structure conversion may use instead of ReadField and WriteInto.
  [[nodiscard]] virtual NativeForm Form() const noexcept { return NativeForm::Other; }
  virtual ~FieldConverter() = default;
};

}  // namespace Oxle::Client::Binding
