// SlabAllocator: the fixed-size slots (4 to 72 bytes) of one value tree.
//
// Vector and map headers, enum payloads, structure entry nodes, and the string records and
// element arrays that fit a slot live here; larger ones and blob bytes use the general heap. There
// are 18 size classes of 4, 8, ... 72 bytes. Each class has a first page of 144 bytes built into
// the allocator; further pages are 4096 bytes from the process-wide PageSource, so the page of a
// slot outside the built-in one is found by rounding its address down. A page starts with a
// header (links, page size, used count, first free index, first never-used index); a freed slot
// holds the index of the next free slot in its first 16 bits, and index 0 (always inside the
// header) ends the chain. Slots never used yet are handed out in order after the chain is
// empty, so a fresh page is not written through before it is needed.
// A page that becomes empty goes back to the PageSource at once, and destroying the allocator
// gives back every page it still holds. Allocation and release are
// O(1) and lock-free; only page refills and returns take the PageSource's mutex. Not
// thread-safe: it belongs to one tree.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace Oxle::Client::Binding {

class SlabAllocator {
 public:
  static constexpr size_t kClassCount = 18;
  static constexpr size_t kMaxSlotSize = 72;
  static constexpr size_t kBuiltinPageSize = 144;
  static constexpr size_t kPageSize = 4096;

  // The header that starts every page: 16 bytes on a 32-bit target, 24 with 64-bit links.
  struct PageHeader {
    PageHeader* next;
    PageHeader* prev;
    uint16_t size;
    uint16_t used;
    uint16_t freeIndex;    // head of the chain of freed slots; 0 when it is empty
    uint16_t unusedIndex;  // the first slot never handed out; 0 when all have been
  };

  SlabAllocator() noexcept;
  ~SlabAllocator();
  SlabAllocator(const SlabAllocator&) = delete;
  SlabAllocator& operator=(const SlabAllocator&) = delete;

  // A slot of at least `size` bytes (1 to kMaxSlotSize). Throws std::bad_alloc when no page
  // can be had. Inline while the class's first page with room keeps room afterwards: trees
  // allocate a slot for every member, and only a new page or a page filling up takes the call.
  [[nodiscard]] void* Allocate(size_t size) {
    assert(size >= 1 && size <= kMaxSlotSize);
    const size_t slotSize = SlotSize(size);
    if (PageHeader* page = classes_[slotSize / 4 - 1].pagesWithRoom; page != nullptr) {
      auto* base = reinterpret_cast<unsigned char*>(page);
      if (const uint16_t freeIndex = page->freeIndex; freeIndex != 0) {
        unsigned char* slot = base + size_t{freeIndex} * slotSize;
        uint16_t next;
        std::memcpy(&next, slot, sizeof next);
        if (next != 0 || page->unusedIndex != 0) {
          page->freeIndex = next;
          ++page->used;
          return slot;
        }
      } else if (const size_t index = page->unusedIndex; (index + 2) * slotSize <= page->size) {
        // A page with room and no freed slot has slots never used: index is not 0.
        assert(index != 0);
        page->unusedIndex = static_cast<uint16_t>(index + 1);
        ++page->used;
        return base + index * slotSize;
      }
    }
    return AllocateFillingOrNewPage(size);
  }
  // Returns a slot obtained from Allocate with the same size.
  void Free(void* slot, size_t size) noexcept;
  // Gives every page back at once, whatever is still allocated in it: how a tree that is
  // destroyed whole skips freeing its slots one by one. The allocator is as new afterwards.
  void ReleaseEverything() noexcept;

  template <typename T, typename... Args>
  [[nodiscard]] T* New(Args&&... args) {
    static_assert(sizeof(T) <= kMaxSlotSize, "too large for a slab slot");
    static_assert(SlotSize(sizeof(T)) % alignof(T) == 0, "slots would misalign this type");
    void* slot = Allocate(sizeof(T));
    return ::new (slot) T(std::forward<Args>(args)...);
  }
  template <typename T>
  void Delete(T* object) noexcept {
    object->~T();
    Free(object, sizeof(T));
  }

  [[nodiscard]] static constexpr size_t SlotSize(size_t size) noexcept { return (size + 3) & ~3u; }
  [[nodiscard]] static constexpr size_t ClassIndex(size_t size) noexcept {
    return SlotSize(size) / 4 - 1;
  }
  // The first usable slot index of a page: the header occupies the slots before it.
  [[nodiscard]] static constexpr size_t FirstSlot(size_t slotSize) noexcept {
    return (sizeof(PageHeader) + slotSize - 1) / slotSize;
  }
  // Pages of this allocator that came from the PageSource.
  [[nodiscard]] size_t PagesHeld() const noexcept { return pagesHeld_; }

 private:
  struct SizeClass {
    PageHeader* pagesWithRoom = nullptr;  // pages that still have a free slot
    PageHeader* fullPages = nullptr;      // PageSource pages without one
    alignas(8) unsigned char builtinPage[kBuiltinPageSize];
  };

  // Allocate when the slot taken fills its page or a new page is needed.
  [[nodiscard]] void* AllocateFillingOrNewPage(size_t size);
  static void InitPage(PageHeader* page, size_t pageSize, size_t slotSize) noexcept;
  static void Unlink(PageHeader*& head, PageHeader* page) noexcept;
  static void PushFront(PageHeader*& head, PageHeader* page) noexcept;

  SizeClass classes_[kClassCount];
  size_t pagesHeld_ = 0;
};

}  // namespace Oxle::Client::Binding
