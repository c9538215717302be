// ElementStack: elements of collections that are still being filled, gathered on one stack and
// placed when their collection is complete, in one array of exactly their count.
//
// A decoder that learns a collection's size only at its end would otherwise grow the element
// array step by step (1, 2, 3, 4, 6, ...), copying and freeing on the way. With the stack, the
// elements of every open collection lie one after another, innermost last; closing a collection
// moves its run off the top into the collection. The elements are values of the tree of the
// value the stack was made for, so whatever they hold is owned by that tree.
//
// An element is addressed by its index: a reference from Push is valid until the next Push or
// MoveInto. The stack must be destroyed before its tree; elements still on it are destroyed with
// it. Not thread-safe: it belongs to one decoder.
#pragma once

#include <cstddef>
#include <new>

#include "binding/value/binding_property.h"

namespace Oxle::Client::Binding {

class ElementStack {
 public:
  // A stack for elements of the tree `member` belongs to (its context is created if needed).
  explicit ElementStack(BindingProperty& member);
  ~ElementStack();
  ElementStack(const ElementStack&) = delete;
  ElementStack& operator=(const ElementStack&) = delete;

  // A new empty element on top.
  BindingProperty& Push() {
    if (end_ == capacityEnd_) GrowBuffer();
    return *::new (end_++) BindingProperty(BindingProperty::ChildTag::kChild, context_);
  }
  [[nodiscard]] size_t Size() const noexcept { return static_cast<size_t>(end_ - begin_); }
  [[nodiscard]] BindingProperty& operator[](size_t index) noexcept { return begin_[index]; }

  // Makes `collection`, an empty collection of the same tree that does not lie at or above
  // `first` on the stack, hold the elements from index `first` to the top, in order, and takes
  // them off the stack. On failure (no memory) the stack and `collection` are unchanged.
  void MoveInto(BindingProperty& collection, size_t first);

 private:
  void GrowBuffer();

  ValueContext* context_;
  BindingProperty* begin_ = nullptr;
  BindingProperty* end_ = nullptr;
  BindingProperty* capacityEnd_ = nullptr;
};

}  // namespace Oxle::Client::Binding
