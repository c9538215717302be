// ValueContext: what one tree of values shares: its slab allocator and its string table.
// A root value creates it on the first operation that needs heap storage and destroys it with
// itself; elements and members borrow their root's. The context, its slab's size classes and
// the table live together in one page from the PageSource.
//
// The context counts the parts of its tree that live on the general heap (blob bytes, element
// arrays too large for a slab slot). When none is left, destroying the whole tree needs no walk:
// the slab gives its pages back at once and the table drops its records with it.
#pragma once

#include <cstddef>

#include "binding/value/interned_string.h"
#include "binding/value/slab_allocator.h"

namespace Oxle::Client::Binding {

class ValueContext {
 public:
  // A context in a page of its own; throws std::bad_alloc when no page can be had.
  [[nodiscard]] static ValueContext* Create();
  static void Destroy(ValueContext* context) noexcept;
  ValueContext(const ValueContext&) = delete;
  ValueContext& operator=(const ValueContext&) = delete;

  [[nodiscard]] InternTable& Strings() noexcept { return strings_; }
  [[nodiscard]] const InternTable& Strings() const noexcept { return strings_; }
  [[nodiscard]] SlabAllocator& Slab() noexcept { return slab_; }
  [[nodiscard]] const SlabAllocator& Slab() const noexcept { return slab_; }

  // Set while the owning root is destroyed: the whole table and slab go with the context, so
  // values skip releasing their strings and slots one by one.
  [[nodiscard]] bool TearingDown() const noexcept { return tearingDown_; }
  void BeginTeardown() noexcept { tearingDown_ = true; }

  // Heap parts of the tree: one more, one fewer, and how many there are.
  void AddHeapPart() noexcept { ++heapParts_; }
  void RemoveHeapPart() noexcept { --heapParts_; }
  [[nodiscard]] size_t HeapParts() const noexcept { return heapParts_; }

 private:
  ValueContext() noexcept = default;
  ~ValueContext();

  bool tearingDown_ = false;
  size_t heapParts_ = 0;
  SlabAllocator slab_;
  InternTable strings_{slab_};  // declared after the slab: its records may live there
};

}  // namespace Oxle::Client::Binding
