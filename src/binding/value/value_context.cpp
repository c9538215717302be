#include "binding/value/value_context.h"

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
  // The slab gives back all its pages next: its records need not be freed one by one. The
  // listed arrays go with heapArrays_.
  strings_.Abandon();
}

}  // namespace Oxle::Client::Binding
