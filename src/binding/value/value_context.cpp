#include "binding/value/value_context.h"

#include <cstdint>
#include <new>

#include "platform/page_source.h"

namespace Oxle::Client::Binding {

static_assert(sizeof(ValueContext) <= Platform::PageSource::kPageSize,
              "a context must fit the page it lives in");
static_assert(alignof(ValueContext) <= Platform::PageSource::kPageSize);

ValueContext* ValueContext::Create() {
  // Trees are often short-lived and the context is too large for the general heap's fast
  // paths, while a page is usually at hand in a region that is already mapped.
  return ::new (Platform::PageSource::Instance().AcquirePage()) ValueContext();
}

void ValueContext::Destroy(ValueContext* context) noexcept {
  if (context == nullptr) return;
  context->~ValueContext();
  Platform::PageSource::Instance().ReleasePage(context);
}

ValueContext::~ValueContext() {
  while (heapArrays_ != nullptr) {
    ArrayLink* next = heapArrays_->next;
    ::operator delete(heapArrays_);
    heapArrays_ = next;
  }
  // The slab gives back all its pages next: its records need not be freed one by one.
  strings_.Abandon();
}

void* ValueContext::AllocateHeapArray(size_t bytes) {
  if (bytes > SIZE_MAX - sizeof(ArrayLink)) throw std::bad_alloc();
  auto* link = static_cast<ArrayLink*>(::operator new(sizeof(ArrayLink) + bytes));
  link->previous = nullptr;
  link->next = heapArrays_;
  if (heapArrays_ != nullptr) heapArrays_->previous = link;
  heapArrays_ = link;
  return link + 1;
}

void ValueContext::FreeHeapArray(void* array) noexcept {
  ArrayLink* link = static_cast<ArrayLink*>(array) - 1;
  if (link->previous != nullptr) {
    link->previous->next = link->next;
  } else {
    heapArrays_ = link->next;
  }
  if (link->next != nullptr) link->next->previous = link->previous;
  ::operator delete(link);
}

}  // namespace Oxle::Client::Binding
