// The heap services of heap.h on Windows: the C runtime's _msize and _strdup.
#include "platform/heap.h"

#include <malloc.h>
#include <string.h>

namespace Oxle::Client::Platform {

size_t HeapBlockSize(void* block) noexcept {
  return block != nullptr ? _msize(block) : 0;
}

char* DuplicateHeapText(const char* text) noexcept {
  return _strdup(text);
}

}  // namespace Oxle::Client::Platform
