// ValueContext: what one tree of values shares: its slab allocator and its string table.
// A root value creates it on the first operation that needs heap storage and destroys it with
// itself; elements and members borrow their root's. The context, its slab's size classes and
// the table live together in one page from the PageSource.
//
// Element arrays too large for a slab slot come from the general heap through the context, each
// after a link in the context's list of them, and the context counts the tree's blobs. When the
// tree holds no blob, destroying it whole needs no walk: the context frees the listed arrays, the
// slab gives its pages back at once and the table drops its records with it.
#pragma once

#include <cstddef>

#include "binding/value/interned_string.h"
#include "binding/value/listed_heap.h"
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

  // Element arrays on the general heap, freed with the context.
  [[nodiscard]] ListedHeap& HeapArrays() noexcept { return heapArrays_; }

  // Blobs of the tree (their bytes are on the general heap): one more, one fewer, how many.
  void AddBlob() noexcept { ++blobs_; }
  void RemoveBlob() noexcept { --blobs_; }
  [[nodiscard]] size_t Blobs() const noexcept { return blobs_; }

 private:
  ValueContext() noexcept = default;
  ~ValueContext();

  ListedHeap heapArrays_;
  size_t blobs_ = 0;
  bool tearingDown_ = false;
  SlabAllocator slab_;
  InternTable strings_{slab_};  // declared after the slab: its records may live there
};

// Gives back one reference to a string record of the tree of `context`, unless the record is the
// shared empty one or the whole tree is being torn down (its table goes at once).
inline void ReleaseString(ValueContext* context, InternedString* record) noexcept {
  if (record != &InternTable::Empty() && !context->TearingDown()) {
    context->Strings().Release(record);
  }
}

// Destroys a slab object of the tree of `context`. While the whole tree is torn down its slots
// are not given back one by one: the slab allocator releases all its pages at once when the
// context goes.
template <typename T>
void DeleteSlot(ValueContext* context, T* object) noexcept {
  if (context->TearingDown()) {
    object->~T();
  } else {
    context->Slab().Delete(object);
  }
}

}  // namespace Oxle::Client::Binding
