#include "binding/value/slab_allocator.h"

#include <array>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "platform/page_source.h"

namespace Oxle::Client::Binding {
namespace {

static_assert(sizeof(void*) != 4 || sizeof(SlabAllocator::PageHeader) == 16,
              "a page header takes 16 bytes on a 32-bit target");
static_assert(SlabAllocator::kPageSize == Platform::PageSource::kPageSize);

uint16_t LoadIndex(const unsigned char* slot) noexcept {
  uint16_t index;
  std::memcpy(&index, slot, sizeof index);
  return index;
}

void StoreIndex(unsigned char* slot, uint16_t index) noexcept {
  std::memcpy(slot, &index, sizeof index);
}

unsigned char* Bytes(SlabAllocator::PageHeader* page) noexcept {
  return reinterpret_cast<unsigned char*>(page);
}

// FirstSlot of every class, computed once: a division per class would dominate the set-up of a
// new tree's allocator.
constexpr auto kFirstSlots = [] {
  std::array<uint16_t, SlabAllocator::kClassCount> slots{};
  for (size_t c = 0; c < slots.size(); ++c) {
    slots[c] = static_cast<uint16_t>(SlabAllocator::FirstSlot((c + 1) * 4));
  }
  return slots;
}();

// offset / slotSize for offsets inside a page, by a multiplication with the rounded-up reciprocal
// (exact while offset * slotSize stays far below 2^32): a division per free is slow.
constexpr auto kReciprocals = [] {
  std::array<uint32_t, SlabAllocator::kClassCount> reciprocals{};
  for (size_t c = 0; c < reciprocals.size(); ++c) {
    const uint64_t slotSize = (c + 1) * 4;
    reciprocals[c] = static_cast<uint32_t>(((uint64_t{1} << 32) + slotSize - 1) / slotSize);
  }
  return reciprocals;
}();

[[nodiscard]] uint16_t SlotIndex(size_t offset, size_t slotSize) noexcept {
  const uint64_t index = (uint64_t{offset} * kReciprocals[slotSize / 4 - 1]) >> 32;
  assert(index == offset / slotSize);
  return static_cast<uint16_t>(index);
}

}  // namespace

SlabAllocator::SlabAllocator() noexcept {
  for (size_t c = 0; c < kClassCount; ++c) {
    auto* page = reinterpret_cast<PageHeader*>(classes_[c].builtinPage);
    InitPage(page, kBuiltinPageSize, (c + 1) * 4);
    classes_[c].pagesWithRoom = page;
  }
}

SlabAllocator::~SlabAllocator() {
  ReleaseEverything();
}

void SlabAllocator::ReleaseEverything() noexcept {
  for (size_t c = 0; c < kClassCount; ++c) {
    SizeClass& sizeClass = classes_[c];
    auto* builtin = reinterpret_cast<PageHeader*>(sizeClass.builtinPage);
    for (PageHeader* list : {sizeClass.pagesWithRoom, sizeClass.fullPages}) {
      while (list != nullptr) {
        PageHeader* next = list->next;
        if (list != builtin) Platform::PageSource::Instance().ReleasePage(list);
        list = next;
      }
    }
    InitPage(builtin, kBuiltinPageSize, (c + 1) * 4);
    sizeClass.pagesWithRoom = builtin;
    sizeClass.fullPages = nullptr;
  }
  pagesHeld_ = 0;
}

void SlabAllocator::InitPage(PageHeader* page, size_t pageSize, size_t slotSize) noexcept {
  page->next = nullptr;
  page->prev = nullptr;
  page->size = static_cast<uint16_t>(pageSize);
  page->used = 0;
  page->freeIndex = 0;
  page->unusedIndex = kFirstSlots[slotSize / 4 - 1];
}

void SlabAllocator::Unlink(PageHeader*& head, PageHeader* page) noexcept {
  if (page->prev != nullptr) {
    page->prev->next = page->next;
  } else {
    head = page->next;
  }
  if (page->next != nullptr) page->next->prev = page->prev;
  page->next = nullptr;
  page->prev = nullptr;
}

void SlabAllocator::PushFront(PageHeader*& head, PageHeader* page) noexcept {
  page->prev = nullptr;
  page->next = head;
  if (page->next != nullptr) page->next->prev = page;
  head = page;
}

void* SlabAllocator::AllocateFillingOrNewPage(size_t size) {
  assert(size >= 1 && size <= kMaxSlotSize);
  const size_t slotSize = SlotSize(size);
  SizeClass& sizeClass = classes_[slotSize / 4 - 1];
  PageHeader* page = sizeClass.pagesWithRoom;
  if (page == nullptr) {
    page = static_cast<PageHeader*>(Platform::PageSource::Instance().AcquirePage());
    ++pagesHeld_;
    InitPage(page, kPageSize, slotSize);
    PushFront(sizeClass.pagesWithRoom, page);
  }
  // The two indices are kept in locals: reading them back right after the 16-bit stores would
  // stall on store forwarding, on every allocation.
  uint16_t freeIndex = page->freeIndex;
  uint16_t unusedIndex = page->unusedIndex;
  unsigned char* slot;
  if (freeIndex != 0) {
    slot = Bytes(page) + size_t{freeIndex} * slotSize;
    freeIndex = LoadIndex(slot);
    page->freeIndex = freeIndex;
  } else {
    const size_t index = unusedIndex;
    slot = Bytes(page) + index * slotSize;
    unusedIndex = (index + 2) * slotSize <= page->size ? static_cast<uint16_t>(index + 1) : 0;
    page->unusedIndex = unusedIndex;
  }
  ++page->used;
  if (freeIndex == 0 && unusedIndex == 0) {
    // Full: off the list of pages with room. Pages from the PageSource are kept on the list of
    // full ones, so that the whole allocator can be released without freeing slot by slot.
    Unlink(sizeClass.pagesWithRoom, page);
    if (reinterpret_cast<unsigned char*>(page) != sizeClass.builtinPage) {
      PushFront(sizeClass.fullPages, page);
    }
  }
  return slot;
}

void SlabAllocator::Free(void* slot, size_t size) noexcept {
  if (slot == nullptr) return;
  const size_t slotSize = SlotSize(size);
  SizeClass& sizeClass = classes_[slotSize / 4 - 1];
  auto* bytes = static_cast<unsigned char*>(slot);
  const bool builtin =
      bytes >= sizeClass.builtinPage && bytes < sizeClass.builtinPage + kBuiltinPageSize;
  auto* page = builtin ? reinterpret_cast<PageHeader*>(sizeClass.builtinPage)
                       : reinterpret_cast<PageHeader*>(reinterpret_cast<uintptr_t>(bytes) &
                                                       ~uintptr_t{kPageSize - 1});
  const bool wasFull = page->freeIndex == 0 && page->unusedIndex == 0;
  StoreIndex(bytes, page->freeIndex);
  page->freeIndex = SlotIndex(static_cast<size_t>(bytes - Bytes(page)), slotSize);
  --page->used;
  if (wasFull) {
    if (!builtin) Unlink(sizeClass.fullPages, page);
    PushFront(sizeClass.pagesWithRoom, page);
  }
  if (page->used == 0 && !builtin) {
    Unlink(sizeClass.pagesWithRoom, page);
    --pagesHeld_;
    Platform::PageSource::Instance().ReleasePage(page);
  }
}

}  // namespace Oxle::Client::Binding
