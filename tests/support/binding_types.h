// What the binding type suites share: Fields(), which describes several members of a record in
// one call, and the small records several suites register.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "binding/types/type_binding.h"
#include "support/binding_values.h"

namespace Oxle::Client {

// Describes the members in the order given, each under the name at its place in `names` and
// with `flags` (kFieldRequired, kFieldOmitWhenZero).
template <typename T, typename... Member>
Binding::TypeDescriber<T>& Fields(Binding::TypeDescriber<T>& type, uint8_t flags,
                                  std::initializer_list<const char*> names, Member... members) {
  const char* const* name = names.begin();
  (type.Field(*name++, members, flags), ...);
  return type;
}
template <typename T, typename... Member>
Binding::TypeDescriber<T>& Fields(Binding::TypeDescriber<T>& type,
                                  std::initializer_list<const char*> names, Member... members) {
  return Fields(type, 0, names, members...);
}

}  // namespace Oxle::Client

// Records that the registry, help and flat description suites all describe.
namespace BindingTestTypes {

using Oxle::Client::Binding::TypeDescriber;

enum class Color : int32_t { Red = 1, Green = 2 };
inline void DescribeBinding(TypeDescriber<Color>& type) {
  type.Name("Color")
      .Tag("t1")
      .Tag("t2")
      .Value("Red", Color::Red, "red")
      .Value("Green", Color::Green);
}

struct Item {
  int32_t count = 0;
};
inline void DescribeBinding(TypeDescriber<Item>& type) {
  type.Name("Item").Field("count", &Item::count, 0, "how many");
}

}  // namespace BindingTestTypes
