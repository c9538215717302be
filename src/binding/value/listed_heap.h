// ListedHeap: blocks from the general heap, each after a link in a list of them, so that their
// owner can free them all at once without finding them. Not thread-safe: it belongs to one tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace Oxle::Client::Binding {

class ListedHeap {
 public:
  ListedHeap() noexcept = default;
  ~ListedHeap() { FreeAll(); }
  ListedHeap(const ListedHeap&) = delete;
  ListedHeap& operator=(const ListedHeap&) = delete;

  // A block of `bytes` with the heap's alignment; throws std::bad_alloc.
  [[nodiscard]] void* Allocate(size_t bytes) {
    if (bytes > SIZE_MAX - sizeof(Link)) throw std::bad_alloc();
    auto* link = static_cast<Link*>(::operator new(sizeof(Link) + bytes));
    link->previous = nullptr;
    link->next = first_;
    if (first_ != nullptr) first_->previous = link;
    first_ = link;
    return link + 1;
  }

  // Frees a block from Allocate.
  void Free(void* block) noexcept {
    Link* link = static_cast<Link*>(block) - 1;
    if (link->previous != nullptr) {
      link->previous->next = link->next;
    } else {
      first_ = link->next;
    }
    if (link->next != nullptr) link->next->previous = link->previous;
    ::operator delete(link);
  }

  // Frees every block still allocated.
  void FreeAll() noexcept {
    while (first_ != nullptr) {
      Link* next = first_->next;
      ::operator delete(first_);
      first_ = next;
    }
  }

 private:
  // Precedes each block; sized so that the block keeps the heap's alignment.
  struct alignas(alignof(std::max_align_t)) Link {
    Link* previous;
    Link* next;
  };

  Link* first_ = nullptr;
};

}  // namespace Oxle::Client::Binding
