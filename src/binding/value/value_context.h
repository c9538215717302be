// ValueContext: what one tree of values shares: its string table and its slab allocator.
// A root value creates it on the first operation that needs heap storage and destroys it with
// itself; elements and members borrow their root's. The slab's size classes are created
// together on the first slot allocation, so a tree of strings only never pays for them.
// Destroying the context frees every string record still in its table.
#pragma once

#include <memory>

#include "binding/value/interned_string.h"
#include "binding/value/slab_allocator.h"

namespace Oxle::Client::Binding {

class ValueContext {
 public:
  ValueContext() noexcept = default;
  ValueContext(const ValueContext&) = delete;
  ValueContext& operator=(const ValueContext&) = delete;

  [[nodiscard]] InternTable& Strings() noexcept { return strings_; }
  [[nodiscard]] const InternTable& Strings() const noexcept { return strings_; }

  [[nodiscard]] SlabAllocator& Slab() {
    if (!slab_) slab_.reset(SlabAllocator::Create());
    return *slab_;
  }
  // The slab, or null before the first slot allocation.
  [[nodiscard]] const SlabAllocator* SlabIfCreated() const noexcept { return slab_.get(); }

  // Set while the owning root is destroyed: the whole table goes with the context, so values
  // skip releasing their strings one by one.
  [[nodiscard]] bool TearingDown() const noexcept { return tearingDown_; }
  void BeginTeardown() noexcept { tearingDown_ = true; }

 private:
  bool tearingDown_ = false;
  InternTable strings_;
  struct DestroySlab {
    void operator()(SlabAllocator* slab) const noexcept { SlabAllocator::Destroy(slab); }
  };
  std::unique_ptr<SlabAllocator, DestroySlab> slab_;
};

}  // namespace Oxle::Client::Binding
